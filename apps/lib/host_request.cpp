#include "host_request.hpp"

#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>

#include "corvane/util/errors.hpp"

namespace corvane::apps {
namespace {

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

CookieSession session_of(const httplib::Request& request, const SessionCodec& sessions) {
  // Of several Cookie headers, or several cookies of our name, the first counts.
  if (!request.has_header("Cookie")) return CookieSession(std::nullopt, false);
  const std::string header = request.get_header_value("Cookie");
  const std::optional<std::string_view> value = find_cookie(header, kSessionCookieName);
  if (!value) return CookieSession(std::nullopt, false);
  return CookieSession(sessions.decode(*value), true);
}

}  // namespace

CookieSession::CookieSession(std::optional<SessionData> from_cookie, bool had_cookie)
    : data_(from_cookie.value_or(SessionData{})), valid_cookie_(from_cookie.has_value()), had_cookie_(had_cookie) {}

void CookieSession::invalidate() {
  data_ = SessionData{};
  valid_cookie_ = false;
  changed_ = true;
}

void CookieSession::remember_user(const std::string& userid) {
  data_.user_id = userid;
  changed_ = true;
}

void CookieSession::set_sso_user_id(const std::string& sso_user_id) {
  data_.sso_user_id = sso_user_id;
  changed_ = true;
}

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

HostRequest::HostRequest(const httplib::Request& request, const SessionCodec& sessions)
    : extension_(path_extension(request.path)), session_(session_of(request, sessions)) {
  for (const auto& [name, value] : request.headers) headers_.add(name, value);
  for (const auto& [name, value] : request.params) query_.add(name, value);
}

std::vector<std::string> HostRequest::requested_data_format(const Json& default_extension) const {
  return host::format_or_default(extension_, default_extension);
}

}  // namespace corvane::apps
