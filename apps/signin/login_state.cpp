#include "signin/login_state.hpp"

#include "common/app_errors.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/json.hpp"

namespace corvane::apps {
namespace {

// Its own purpose: a session cookie's signature never passes for a sign-in's.
constexpr std::string_view kStateVersion = "login.v1.";
constexpr std::size_t kMaxCookieValue = 4096;

}  // namespace

LoginStateCodec::LoginStateCodec(std::vector<std::string> secrets)
    : signed_(secrets.empty() ? throw ConfigError("the sign-in needs the session secret") : std::move(secrets),
              std::string(kStateVersion), kMaxCookieValue) {}

std::string LoginStateCodec::encode(const LoginState& state) const {
  return signed_.seal({{"idp", state.idp_id}, {"state", state.state}, {"nonce", state.nonce},
                       {"next", state.next}, {"exp", state.expires}});
}

std::optional<LoginState> LoginStateCodec::decode(std::string_view value, Clock::time_point now) const {
  const std::optional<Json> content = signed_.open(value, now);
  if (!content) return std::nullopt;
  LoginState state;
  for (auto [key, field] : {std::pair{"idp", &state.idp_id}, {"state", &state.state}, {"nonce", &state.nonce},
                            {"next", &state.next}}) {
    const Json& member = get_or_null(*content, key);
    if (!member.is_string()) return std::nullopt;
    *field = member.get<std::string>();
  }
  state.expires = content->at("exp").get<long long>();
  return state;
}

std::string LoginStateCodec::code_verifier(std::string_view state) const {
  return base64url_encode(signed_.mac("pkce." + std::string(state)));
}

}  // namespace corvane::apps
