// Browser sign-in with a provider's own login page: the OpenID Connect
// authorization code flow with PKCE. The ID token it yields is then
// authenticated by the policy exactly as a bearer request for an HTML page,
// which logs the user in to the host's session.
#pragma once

#include <spdlog/logger.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "corvane/auth/jwt/policy.hpp"
#include "http/http_listener.hpp"
#include "http/render.hpp"
#include "identity/session_cookie.hpp"
#include "signin/login_state.hpp"
#include "signin/sign_in_settings.hpp"

namespace corvane::apps {

// Whether `next` may be redirected to: a path on this host ("/" then
// printable ASCII), never "//host" or a backslash, which browsers read as
// another host.
bool local_path(std::string_view next);

// One answer of the sign-in addresses.
struct SignInAnswer {
  Reply reply;
  HttpFields headers;  // Location, Set-Cookie
  std::optional<std::string> sso_user_id;
};

// What one configuration generation of the host gives the sign-in.
struct SignInContext {
  const auth::jwt::JWTAuthenticationPolicy& policy;
  const std::vector<SignInProvider>& providers;
  const SessionCodec& sessions;
  const LoginStateCodec& states;
  bool secure;  // cookies only over HTTPS
};

class SignIn {
 public:
  // At most this many sign-ins are remembered as finished within their
  // lifetime; beyond it new callbacks are refused until some expire.
  static constexpr std::size_t kMaxFinished = 50000;

  explicit SignIn(std::shared_ptr<spdlog::logger> log) : log_(std::move(log)) {}

  // GET /login?idp_id=ID&next=PATH: the redirect to the provider.
  SignInAnswer login(const HttpRequest& request, const SignInContext& context) const;
  // GET /callback?state=...&code=...: the code exchange, the policy's
  // authentication of the ID token, the redirect to `next`.
  SignInAnswer callback(const HttpRequest& request, const SignInContext& context) const;
  // POST /logout, once signin/logout.hpp found it came from this site: the
  // session cookie cleared.
  static SignInAnswer logout(bool secure);

  // The "Sign in with ..." links of a page at `next`.
  static std::vector<std::pair<std::string, std::string>> links(const std::vector<SignInProvider>& providers,
                                                                std::string_view next);

 private:
  // The page of a refused sign-in, and its warning. `spend_state` clears
  // the sign-in's cookie: a callback that failed cannot be tried again.
  SignInAnswer refuse(int status, const std::string& title, const std::string& message, const std::string& reason,
                      bool secure, bool spend_state = true) const;
  // Records the state as finished; false when it already was (a replay).
  bool first_finish(const LoginState& state) const;

  // The stages of a callback, in order; each ends the sign-in with its
  // answer, or gives the next stage what it needs.
  struct Accepted {  // a provider's answer to a sign-in started here, not seen before
    LoginState state;
    const SignInProvider* provider;
    std::string code;
    std::string who;  // names the provider in log lines
  };
  std::variant<Accepted, SignInAnswer> accept_answer(const HttpRequest& request, const SignInContext& context) const;
  // The ID token the token endpoint gives for the code.
  std::variant<std::string, SignInAnswer> redeem_code(const Accepted& accepted, const SignInContext& context) const;
  // A refusal when the token is not this sign-in's (nonce) or not for us (aud).
  std::optional<SignInAnswer> check_id_token(const std::string& id_token, const Accepted& accepted,
                                             bool secure) const;
  // The policy's authentication of the ID token, and the session it starts.
  SignInAnswer log_in(const std::string& id_token, const Accepted& accepted, const SignInContext& context) const;

  std::shared_ptr<spdlog::logger> log_;
  mutable std::mutex mutex_;
  mutable std::map<std::string, long long> finished_;  // state to its expiry
};

}  // namespace corvane::apps
