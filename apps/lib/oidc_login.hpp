// Browser sign-in with a provider's own login page: the OpenID Connect
// authorization code flow with PKCE. The ID token it yields is then
// authenticated by the policy exactly as a bearer request for an HTML page,
// which logs the user in to the host's session.
#pragma once

#include <spdlog/logger.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/auth/jwt/policy.hpp"
#include "host_render.hpp"
#include "http_listener.hpp"
#include "session_cookie.hpp"

namespace corvane::apps {

inline constexpr std::string_view kLoginCookieName = "corvane_login";

// A ready provider's sign-in settings, read beside its configuration.
struct SignInProvider {
  std::string idp_id;
  std::string idp_name;
  std::string client_id;
  std::optional<std::string> client_secret;  // sent in the token request's form when set
  std::string redirect_uri;                  // this host's /callback as the provider knows it
  std::vector<std::string> scopes;           // asked for besides "openid"
  std::string authorization_endpoint;
  std::string token_endpoint;
  long http_timeout = 1;
};

// Why a provider's sign-in settings cannot be used.
struct SignInProblem {
  std::string idp_id;
  std::string key;  // the setting at fault
  std::string message;
};

// The ready providers of `policy` whose configuration holds "client_id" and
// "redirect_uri", in settings order. One whose sign-in settings are present
// but unusable is left out, with the reason added to `problems`.
std::vector<SignInProvider> sign_in_providers(const auth::jwt::JWTAuthenticationPolicy& policy,
                                              std::vector<SignInProblem>& problems);

// Whether `next` may be redirected to: a path on this host ("/" then
// printable ASCII), never "//host" or a backslash, which browsers read as
// another host.
bool local_path(std::string_view next);

// What a started sign-in keeps in the browser, signed with the session
// secret, for the callback to check.
struct LoginState {
  std::string idp_id;
  std::string state;
  std::string nonce;
  std::string next;
  long long expires = 0;  // seconds since the epoch
};

class LoginStateCodec {
 public:
  using Clock = std::chrono::system_clock;
  // Long enough to sign in at the provider, short enough to bound replays.
  static constexpr std::chrono::seconds kLifetime{600};

  // The first secret signs, each verifies (as for sessions).
  explicit LoginStateCodec(std::vector<std::string> secrets);
  std::string encode(const LoginState& state) const;
  // A tampered, expired or malformed value is no state.
  std::optional<LoginState> decode(std::string_view value, Clock::time_point now = Clock::now()) const;
  // The sign-in's PKCE verifier, derived from its state with the signing
  // secret: it never needs to leave the host.
  std::string code_verifier(std::string_view state) const;

 private:
  std::string mac(const std::string& secret, std::string_view content) const;
  std::vector<std::string> secrets_;
};

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
  // GET /logout: the session cookie cleared.
  static SignInAnswer logout(bool secure);

  // The "Sign in with ..." links of a page at `next`.
  static std::vector<std::pair<std::string, std::string>> links(const std::vector<SignInProvider>& providers,
                                                                std::string_view next);

 private:
  SignInAnswer refuse(int status, const std::string& title, const std::string& message, const std::string& reason,
                      bool secure) const;
  // Records the state as finished; false when it already was (a replay).
  bool first_finish(const LoginState& state) const;

  std::shared_ptr<spdlog::logger> log_;
  mutable std::mutex mutex_;
  mutable std::map<std::string, long long> finished_;  // state to its expiry
};

}  // namespace corvane::apps
