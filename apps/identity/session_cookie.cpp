#include "identity/session_cookie.hpp"

#include "common/app_errors.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/json.hpp"

namespace corvane::apps {
namespace {

// Far above what a user id and an sso id need; bounds the work on garbage.
constexpr std::size_t kMaxCookieValue = 3072;
// Marks the format and the purpose; a later layout changes it rather than
// misreading old cookies.
constexpr std::string_view kVersion = "v1.";

std::optional<std::string> optional_text(const Json& content, const char* key) {
  auto it = content.find(key);
  if (it == content.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) throw ValueError("not text");
  return it->get<std::string>();
}

std::vector<std::string> all_secrets(std::string secret, std::vector<std::string> previous) {
  std::vector<std::string> secrets = {std::move(secret)};
  for (std::string& each : previous) secrets.push_back(std::move(each));
  for (const std::string& each : secrets) {
    if (each.size() < 16) throw ConfigError("the session secret must be at least 16 characters");
  }
  return secrets;
}

}  // namespace

SessionCodec::SessionCodec(std::string secret, std::chrono::seconds lifetime, std::vector<std::string> previous_secrets)
    : signed_(all_secrets(std::move(secret), std::move(previous_secrets)), std::string(kVersion), kMaxCookieValue),
      lifetime_(lifetime) {
  if (lifetime_.count() <= 0) throw ConfigError("the session lifetime must be positive");
}

std::string SessionCodec::encode(const SessionData& data, Clock::time_point now) const {
  return signed_.seal({{"uid", data.user_id ? Json(*data.user_id) : Json()},
                       {"sso", data.sso_user_id ? Json(*data.sso_user_id) : Json()},
                       {"exp", SignedValue::seconds(now + lifetime_)}});
}

std::optional<SessionData> SessionCodec::decode(std::string_view value, Clock::time_point now) const {
  const std::optional<Json> content = signed_.open(value, now);
  if (!content) return std::nullopt;
  try {
    return SessionData{optional_text(*content, "uid"), optional_text(*content, "sso")};
  } catch (const Exception&) {
    return std::nullopt;  // signed by us in another layout
  }
}

std::optional<std::string_view> find_cookie(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const auto end = header.find(';');
    std::string_view pair = header.substr(0, end);
    header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
    while (!pair.empty() && (pair.front() == ' ' || pair.front() == '\t')) pair.remove_prefix(1);
    while (!pair.empty() && (pair.back() == ' ' || pair.back() == '\t')) pair.remove_suffix(1);
    const auto eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
  }
  return std::nullopt;
}

}  // namespace corvane::apps
