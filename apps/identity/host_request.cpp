#include "identity/host_request.hpp"

namespace corvane::apps {
namespace {

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

CookieSession::CookieSession(std::optional<SessionData> accepted, bool had_cookie)
    : data_(accepted.value_or(SessionData{})), accepted_(accepted.has_value()), had_cookie_(had_cookie) {}

void CookieSession::invalidate() {
  data_ = SessionData{};
  accepted_ = false;
}

void CookieSession::remember_user(std::string_view userid) {
  data_.user_id = userid;
  logged_in_ = true;
}

void CookieSession::set_sso_user_id(std::string_view sso_user_id) { data_.sso_user_id = sso_user_id; }

std::optional<std::string> path_extension(std::string_view path) {
  const auto slash = path.rfind('/');
  const std::string_view segment = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = segment.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  return std::string(segment.substr(dot + 1));
}

bool valid_percent_encoding(std::string_view target) {
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target[i] != '%') continue;
    if (i + 2 >= target.size() || !is_hex(target[i + 1]) || !is_hex(target[i + 2])) return false;
    i += 2;
  }
  return true;
}

HostRequest::HostRequest(const HttpRequest& request, CookieSession session)
    : headers_(true, request.headers),
      query_(false, request.query),
      extension_(path_extension(request.path)),
      session_(std::move(session)) {}

std::optional<std::string_view> HostRequest::first_data_format(const Json& default_extension) const {
  return host::format_or_default(extension_, default_extension);
}

}  // namespace corvane::apps
