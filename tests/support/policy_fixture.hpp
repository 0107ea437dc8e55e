// Settings of policies for tests: a provider mapping claims "email" to the
// users' "email", and the authentication settings around providers.
#pragma once

#include <memory>
#include <string>

#include "corvane/host/base_policy.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/json.hpp"

namespace corvane::testing {

inline Json email_provider(const std::string& jwks_uri, bool enabled = true) {
  return {{"enabled", enabled},
          {"idp_name", "Idp"},
          {"claim_attribute", "email"},
          {"user_config_attribute", "email"},
          {"jwks_uri", jwks_uri},
          {"authorization_endpoint", "https://idp/auth"},
          {"token_endpoint", "https://idp/token"}};
}

// The authentication settings document with JWT enabled and `providers` (id to mapping).
inline Json jwt_auth_settings(Json providers) {
  return {{"authentication_policies", {{"jwt", {{"enabled", true}, {"identity_providers", std::move(providers)}}}}}};
}

inline host::AuthConfiguration jwt_configuration(Json providers, std::shared_ptr<const Users> users = nullptr) {
  host::AuthConfiguration configuration;
  *configuration.auth_settings = jwt_auth_settings(std::move(providers));
  configuration.users = users ? std::move(users) : std::make_shared<const Users>();
  return configuration;
}

}  // namespace corvane::testing
