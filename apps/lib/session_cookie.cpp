#include "session_cookie.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "app_errors.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/json.hpp"

namespace corvane::apps {
namespace {

// Far above what a user id and an sso id need; bounds the work on garbage.
constexpr std::size_t kMaxCookieValue = 3072;
// Marks the format; a later layout changes it rather than misreading old cookies.
constexpr std::string_view kVersion = "v1.";

long long seconds_of(SessionCodec::Clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
}

std::optional<std::string> optional_text(const Json& content, const char* key) {
  auto it = content.find(key);
  if (it == content.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) throw ValueError("not text");
  return it->get<std::string>();
}

}  // namespace

SessionCodec::SessionCodec(std::string secret, std::chrono::seconds lifetime, std::vector<std::string> previous_secrets)
    : lifetime_(lifetime) {
  secrets_.push_back(std::move(secret));
  for (std::string& previous : previous_secrets) secrets_.push_back(std::move(previous));
  for (const std::string& each : secrets_) {
    if (each.size() < 16) throw ConfigError("the session secret must be at least 16 characters");
  }
  if (lifetime_.count() <= 0) throw ConfigError("the session lifetime must be positive");
}

std::string SessionCodec::mac(const std::string& secret, std::string_view content) {
  unsigned char out[EVP_MAX_MD_SIZE];
  std::size_t length = 0;
  std::string input = std::string(kVersion) + std::string(content);
  if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, secret.data(), secret.size(),
                 reinterpret_cast<const unsigned char*>(input.data()), input.size(), out, sizeof out, &length)) {
    throw CryptoError("HMAC failed");
  }
  return std::string(reinterpret_cast<char*>(out), length);
}

std::string SessionCodec::encode(const SessionData& data, Clock::time_point now) const {
  Json content = {{"uid", data.user_id ? Json(*data.user_id) : Json()},
                  {"sso", data.sso_user_id ? Json(*data.sso_user_id) : Json()},
                  {"exp", seconds_of(now + lifetime_)}};
  const std::string encoded = base64url_encode(dump(content));
  return encoded + "." + base64url_encode(mac(secrets_.front(), encoded));
}

std::optional<SessionData> SessionCodec::decode(std::string_view value, Clock::time_point now) const {
  if (value.size() > kMaxCookieValue) return std::nullopt;
  const auto dot = value.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view encoded = value.substr(0, dot);
  std::string signature, content_text;
  if (!base64url_decode(value.substr(dot + 1), signature)) return std::nullopt;
  bool signed_by_us = false;
  for (const std::string& secret : secrets_) {
    const std::string expected = mac(secret, encoded);
    if (signature.size() == expected.size() &&
        CRYPTO_memcmp(signature.data(), expected.data(), expected.size()) == 0) {
      signed_by_us = true;
      break;
    }
  }
  if (!signed_by_us) return std::nullopt;
  if (!base64url_decode(encoded, content_text)) return std::nullopt;
  try {
    const Json content = parse_json(content_text, 4);
    if (!content.is_object()) return std::nullopt;
    const auto exp = content.find("exp");
    if (exp == content.end() || !exp->is_number_integer() || exp->get<long long>() <= seconds_of(now)) {
      return std::nullopt;
    }
    return SessionData{optional_text(content, "uid"), optional_text(content, "sso")};
  } catch (const Exception&) {
    // Signed by us but unreadable: a cookie of another layout, not an attack.
    return std::nullopt;
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
