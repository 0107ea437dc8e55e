// Browser sign-in with a provider's own login page: the OpenID Connect
// authorization code flow with PKCE. The ID token it yields is verified by
// the policy with the provider's keys and mapped to one user (its claims
// completed from the provider's UserInfo when the ID token lacks the one
// users are mapped by), who is then logged in to the host's session.
#pragma once

#include <spdlog/logger.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "corvane/auth/jwt/policy.hpp"
#include "http/http_listener.hpp"
#include "http/render.hpp"
#include "identity/session_cookie.hpp"
#include "signin/finished_sign_ins.hpp"
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
  // `max_finished`: how many finished sign-ins are remembered against
  // replays (FinishedSignIns).
  explicit SignIn(std::shared_ptr<spdlog::logger> log,
                  std::size_t max_finished = FinishedSignIns::kDefaultCapacity)
      : log_(std::move(log)), finished_(max_finished) {}

  // GET /login?idp_id=ID&next=PATH: the redirect to the provider.
  SignInAnswer login(const HttpRequest& request, const SignInContext& context) const;
  // GET <a provider's callback path>?state=...&code=...: the code exchange
  // with the provider the sign-in started with, the ID token's checks, the
  // user's mapping and session, the redirect to `next`. Safe to call from
  // several threads at once.
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
  // The 500 page of a fault of this host's configuration (say, a user
  // record without the attribute), not of the sign-in.
  SignInAnswer internal_error(const std::string& who, const std::exception& error, bool secure) const;

  // The stages of a callback, in order; each ends the sign-in with its
  // answer, or gives the next stage what it needs.
  struct Accepted {  // a provider's answer to a sign-in started here, not finished before
    LoginState state;
    const SignInProvider* provider;
    std::string code;
    std::string who;  // names the provider in log lines
  };
  std::variant<Accepted, SignInAnswer> accept_answer(const HttpRequest& request, const SignInContext& context) const;
  // A refusal unless the answer came from the sign-in's own provider: at its
  // callback path, with its "iss" (RFC 9207) where it sends one.
  std::optional<SignInAnswer> check_origin(const HttpRequest& request, const LoginState& state,
                                           const SignInProvider& provider, bool secure) const;
  struct Tokens {  // the token endpoint's answer
    std::string id_token;
    std::optional<std::string> access_token;
  };
  // The tokens the sign-in's provider gives for the code; the sign-in is
  // then finished (a replay is refused).
  std::variant<Tokens, SignInAnswer> redeem_code(const Accepted& accepted, const SignInContext& context) const;
  // The ID token verified with the provider's keys, and a refusal when it is
  // not this sign-in's (nonce), not from the provider (iss) or not for us
  // (aud, azp).
  std::variant<auth::jwt::VerifiedToken, SignInAnswer> check_id_token(const Tokens& tokens, const Accepted& accepted,
                                                                      const SignInContext& context) const;
  // The claims completed from the provider's UserInfo when the ID token
  // lacks the one users are mapped by; `source` says where that claim came from.
  std::optional<SignInAnswer> complete_claims(auth::jwt::VerifiedToken& token, const Tokens& tokens,
                                              const Accepted& accepted, std::string& source, bool secure) const;
  // The policy's mapping of the claims to one user, and the session it starts.
  SignInAnswer log_in(const auth::jwt::VerifiedToken& token, const std::string& source, const Accepted& accepted,
                      const SignInContext& context) const;

  std::shared_ptr<spdlog::logger> log_;
  mutable FinishedSignIns finished_;
};

}  // namespace corvane::apps
