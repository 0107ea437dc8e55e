// The browser sign-in's settings of each provider, read beside the
// provider's configuration: the policy itself never reads them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "corvane/auth/jwt/policy.hpp"

namespace corvane::apps {

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

}  // namespace corvane::apps
