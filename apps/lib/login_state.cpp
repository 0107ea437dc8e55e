#include "login_state.hpp"

#include <openssl/evp.h>

#include "app_errors.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/json.hpp"
#include "oauth_crypto.hpp"

namespace corvane::apps {
namespace {

constexpr std::string_view kStateVersion = "login.v1.";
constexpr std::size_t kMaxCookieValue = 4096;

long long seconds_now(LoginStateCodec::Clock::time_point now = LoginStateCodec::Clock::now()) {
  return std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
}

}  // namespace

LoginStateCodec::LoginStateCodec(std::vector<std::string> secrets) : secrets_(std::move(secrets)) {
  if (secrets_.empty()) throw ConfigError("the sign-in needs the session secret");
}

std::string LoginStateCodec::mac(const std::string& secret, std::string_view content) const {
  unsigned char out[EVP_MAX_MD_SIZE];
  std::size_t length = 0;
  // Its own prefix: a session cookie's signature never passes for a sign-in's.
  const std::string input = std::string(kStateVersion) + std::string(content);
  if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, secret.data(), secret.size(),
                 reinterpret_cast<const unsigned char*>(input.data()), input.size(), out, sizeof out, &length)) {
    throw CryptoError("HMAC failed");
  }
  return std::string(reinterpret_cast<char*>(out), length);
}

std::string LoginStateCodec::encode(const LoginState& state) const {
  const Json content = {{"idp", state.idp_id}, {"state", state.state}, {"nonce", state.nonce},
                        {"next", state.next}, {"exp", state.expires}};
  const std::string encoded = base64url_encode(dump(content));
  return encoded + "." + base64url_encode(mac(secrets_.front(), encoded));
}

std::optional<LoginState> LoginStateCodec::decode(std::string_view value, Clock::time_point now) const {
  if (value.size() > kMaxCookieValue) return std::nullopt;
  const auto dot = value.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view encoded = value.substr(0, dot);
  std::string signature, text;
  if (!base64url_decode(value.substr(dot + 1), signature)) return std::nullopt;
  bool verified = false;
  for (const std::string& secret : secrets_) verified = verified || same_text(signature, mac(secret, encoded));
  if (!verified || !base64url_decode(encoded, text)) return std::nullopt;
  try {
    const Json content = parse_json(text, 4);
    LoginState state;
    for (auto [key, field] : {std::pair{"idp", &state.idp_id}, {"state", &state.state}, {"nonce", &state.nonce},
                              {"next", &state.next}}) {
      const Json& member = get_or_null(content, key);
      if (!member.is_string()) return std::nullopt;
      *field = member.get<std::string>();
    }
    const Json& exp = get_or_null(content, "exp");
    if (!exp.is_number_integer() || exp.get<long long>() <= seconds_now(now)) return std::nullopt;
    state.expires = exp.get<long long>();
    return state;
  } catch (const Exception&) {
    return std::nullopt;  // signed by us in another layout
  }
}

std::string LoginStateCodec::code_verifier(std::string_view state) const {
  return base64url_encode(mac(secrets_.front(), "pkce." + std::string(state)));
}

}  // namespace corvane::apps
