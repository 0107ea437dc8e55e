#include "signin/sign_in_settings.hpp"

#include "corvane/util/json.hpp"

namespace corvane::apps {
namespace {

std::optional<std::string> nonempty_text(const Json& config, const char* key) {
  const Json& value = get_or_null(config, key);
  if (value.is_string() && !value.get<std::string>().empty()) return value.get<std::string>();
  return std::nullopt;
}

}  // namespace

std::vector<SignInProvider> sign_in_providers(const auth::jwt::JWTAuthenticationPolicy& policy,
                                              std::vector<SignInProblem>& problems) {
  std::vector<SignInProvider> out;
  if (!policy.idps) return out;
  for (const auto& [id, idp] : *policy.idps) {
    const Json& config = *idp.idp_config;
    const bool has_client = has_key(config, "client_id"), has_redirect = has_key(config, "redirect_uri");
    if (!has_client && !has_redirect) continue;
    SignInProvider provider;
    provider.idp_id = id;
    const Json& name = get_or_null(config, "idp_name");
    provider.idp_name = name.is_string() ? name.get<std::string>() : id;
    const auto client_id = nonempty_text(config, "client_id");
    const auto redirect_uri = nonempty_text(config, "redirect_uri");
    const auto authorization = nonempty_text(config, "authorization_endpoint");
    const auto token = nonempty_text(config, "token_endpoint");
    if (!client_id || !redirect_uri) {
      problems.push_back({id, client_id ? "redirect_uri" : "client_id",
                          "no sign-in: \"client_id\" and \"redirect_uri\" must both be non-empty texts"});
      continue;
    }
    if (!authorization || !token) {
      problems.push_back({id, authorization ? "token_endpoint" : "authorization_endpoint",
                          "no sign-in: the authorization_endpoint and token_endpoint must be texts"});
      continue;
    }
    const Json& secret = get_or_null(config, "client_secret");
    if (!secret.is_null() && !secret.is_string()) {
      problems.push_back({id, "client_secret", "no sign-in: \"client_secret\" must be a text"});
      continue;
    }
    if (secret.is_string()) provider.client_secret = secret.get<std::string>();
    const Json& scopes = get_or_null(config, "scopes");
    bool scopes_ok = scopes.is_null() || scopes.is_array();
    if (scopes.is_array()) {
      for (const Json& scope : scopes) {
        const bool word = scope.is_string() && !scope.get<std::string>().empty() &&
                          scope.get<std::string>().find_first_of(" \t\r\n") == std::string::npos;
        if (!word) {
          scopes_ok = false;
          break;
        }
        if (scope != "openid") provider.scopes.push_back(scope.get<std::string>());
      }
    }
    if (!scopes_ok) {
      problems.push_back({id, "scopes", "no sign-in: \"scopes\" must be a list of words"});
      continue;
    }
    provider.client_id = *client_id;
    provider.redirect_uri = *redirect_uri;
    provider.authorization_endpoint = *authorization;
    provider.token_endpoint = *token;
    provider.http_timeout = idp.jwt_settings_http_timeout;
    out.push_back(std::move(provider));
  }
  return out;
}

}  // namespace corvane::apps
