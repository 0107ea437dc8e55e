// The browser sign-in's settings of each provider, read beside the
// provider's configuration (and its discovery document): the policy itself
// never reads them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/auth/jwt/policy.hpp"

namespace corvane::apps {

// How the client proves itself at the token endpoint (RFC 6749 2.3.1).
enum class ClientAuth {
  none,   // a public client: client_id in the form, no secret
  basic,  // client_secret_basic: HTTP Basic with the form-encoded id and secret
  post,   // client_secret_post: client_id and client_secret in the form
};

// A ready provider's sign-in settings, read beside its configuration.
struct SignInProvider {
  std::string idp_id;
  std::string idp_name;
  std::string client_id;
  std::optional<std::string> client_secret;
  ClientAuth client_auth = ClientAuth::none;
  // This host's callback address as registered at the provider, and its
  // path: "/callback/NAME" (or, for one provider alone, "/callback"). No two
  // providers share a path, so a callback's path names the one provider
  // whose answer it may carry.
  std::string redirect_uri;
  std::string redirect_path;
  std::vector<std::string> scopes;  // asked for besides "openid"
  std::string authorization_endpoint;
  std::string token_endpoint;
  std::optional<std::string> userinfo_endpoint;
  // The provider's issuer identifier, when its configuration or discovery
  // document names one: an answer's "iss" parameter (RFC 9207) and the ID
  // token's "iss" must equal it.
  std::optional<std::string> issuer;
  // The discovery document's authorization_response_iss_parameter_supported:
  // an answer without "iss" is then refused.
  bool iss_required = false;
  std::string claim_attribute;                          // the claim users are mapped by
  std::optional<std::vector<std::string>> claims_supported;  // the discovery document's list
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
// but unusable is left out, with the reason added to `problems`; so is every
// provider whose callback path another one also has.
std::vector<SignInProvider> sign_in_providers(const auth::jwt::JWTAuthenticationPolicy& policy,
                                              std::vector<SignInProblem>& problems);

// A note when the provider's discovery document lists the claims it issues
// and the claim users are mapped by is not among them (no user could sign in).
std::optional<std::string> unsupported_claim_note(const SignInProvider& provider);

}  // namespace corvane::apps
