#include "signin/sign_in_settings.hpp"

#include <algorithm>

#include "corvane/util/json.hpp"
#include "corvane/util/url.hpp"

namespace corvane::apps {
namespace {

constexpr std::string_view kCallbackPath = "/callback";

std::optional<std::string> nonempty_text(const Json& config, const char* key) {
  const Json& value = get_or_null(config, key);
  if (value.is_string() && !value.get<std::string>().empty()) return value.get<std::string>();
  return std::nullopt;
}

// A member of the local configuration, else of the discovery document.
const Json& local_or_discovered(const auth::jwt::IDPConfig& idp, const char* key) {
  const Json& local = get_or_null(*idp.idp_config, key);
  return local.is_null() ? get_or_null(idp.well_known_document, key) : local;
}

bool path_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
  });
}

// Whether `path` is one the host serves callbacks at: "/callback" or "/callback/NAME".
bool callback_path(std::string_view path) {
  if (path == kCallbackPath) return true;
  return path.starts_with(std::string(kCallbackPath) + "/") && path_name(path.substr(kCallbackPath.size() + 1));
}

// "redirect_uri" with its path settled: an address without a path gets
// "/callback/ID". nullopt when the path is not a callback path.
std::optional<std::string> settled_redirect(const std::string& id, std::string redirect_uri, std::string& path) {
  UrlParts parts;
  try {
    parts = url_split(redirect_uri);
  } catch (const ValueError&) {
    return std::nullopt;
  }
  if ((parts.scheme != "http" && parts.scheme != "https") || parts.netloc.empty() || !parts.fragment.empty()) {
    return std::nullopt;
  }
  if ((parts.path.empty() || parts.path == "/") && parts.query.empty()) {
    if (!path_name(id)) return std::nullopt;
    if (redirect_uri.ends_with('/')) redirect_uri.pop_back();
    parts.path = std::string(kCallbackPath) + "/" + id;
    redirect_uri += parts.path;
  }
  if (!callback_path(parts.path)) return std::nullopt;
  path = parts.path;
  return redirect_uri;
}

// The client authentication of the settings: "token_endpoint_auth_method",
// else the first of basic and post that the discovery document's
// token_endpoint_auth_methods_supported lists; without that list, basic (the
// default OpenID Connect names). nullopt when none fits.
std::optional<ClientAuth> client_auth(const auth::jwt::IDPConfig& idp, bool has_secret, std::string& why) {
  if (!has_secret) return ClientAuth::none;
  const Json& chosen = get_or_null(*idp.idp_config, "token_endpoint_auth_method");
  if (!chosen.is_null()) {
    if (chosen == "client_secret_basic") return ClientAuth::basic;
    if (chosen == "client_secret_post") return ClientAuth::post;
    why = "no sign-in: \"token_endpoint_auth_method\" must be \"client_secret_basic\" or \"client_secret_post\"";
    return std::nullopt;
  }
  const Json& supported = get_or_null(idp.well_known_document, "token_endpoint_auth_methods_supported");
  if (!supported.is_array()) return ClientAuth::basic;
  const auto lists = [&](const char* method) {
    return std::find(supported.begin(), supported.end(), Json(method)) != supported.end();
  };
  if (lists("client_secret_basic")) return ClientAuth::basic;
  if (lists("client_secret_post")) return ClientAuth::post;
  why = "no sign-in: the provider's token_endpoint_auth_methods_supported lists neither client_secret_basic nor "
        "client_secret_post";
  return std::nullopt;
}

// Reads the settings after the required ones: false, with the problem, when
// one is unusable.
bool read_optional(const auth::jwt::IDPConfig& idp, SignInProvider& provider, SignInProblem& problem) {
  const Json& config = *idp.idp_config;
  const Json& secret = get_or_null(config, "client_secret");
  if (!secret.is_null() && !secret.is_string()) {
    problem = {provider.idp_id, "client_secret", "no sign-in: \"client_secret\" must be a text"};
    return false;
  }
  if (secret.is_string()) provider.client_secret = secret.get<std::string>();
  std::string why;
  const auto auth = client_auth(idp, provider.client_secret.has_value(), why);
  if (!auth) {
    problem = {provider.idp_id, "token_endpoint_auth_method", why};
    return false;
  }
  provider.client_auth = *auth;
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
    problem = {provider.idp_id, "scopes", "no sign-in: \"scopes\" must be a list of words"};
    return false;
  }
  const Json& userinfo = local_or_discovered(idp, "userinfo_endpoint");
  if (userinfo.is_string() && !userinfo.get<std::string>().empty()) provider.userinfo_endpoint = userinfo;
  const Json& issuer = local_or_discovered(idp, "issuer");
  if (issuer.is_string() && !issuer.get<std::string>().empty()) provider.issuer = issuer;
  provider.iss_required = local_or_discovered(idp, "authorization_response_iss_parameter_supported") == true;
  if (provider.iss_required && !provider.issuer) {
    problem = {provider.idp_id, "issuer",
               "no sign-in: the provider sends \"iss\" in its answers, but its issuer is not known"};
    return false;
  }
  if (idp.claim_attribute.is_string()) provider.claim_attribute = idp.claim_attribute.get<std::string>();
  const Json& claims = get_or_null(idp.well_known_document, "claims_supported");
  if (claims.is_array()) {
    provider.claims_supported.emplace();
    for (const Json& claim : claims) {
      if (claim.is_string()) provider.claims_supported->push_back(claim.get<std::string>());
    }
  }
  return true;
}

// Leaves out every provider whose callback path another also has.
void drop_shared_paths(std::vector<SignInProvider>& providers, std::vector<SignInProblem>& problems) {
  std::vector<SignInProvider> kept;
  for (SignInProvider& provider : providers) {
    const auto shares = [&](const SignInProvider& other) {
      return &other != &provider && other.redirect_path == provider.redirect_path;
    };
    if (std::none_of(providers.begin(), providers.end(), shares)) {
      kept.push_back(std::move(provider));
      continue;
    }
    problems.push_back({provider.idp_id, "redirect_uri",
                        "no sign-in: another provider's redirect_uri has the same path " + provider.redirect_path +
                            "; give each its own, e.g. /callback/" + provider.idp_id});
  }
  providers = std::move(kept);
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
    const auto settled = settled_redirect(id, *redirect_uri, provider.redirect_path);
    if (!settled) {
      problems.push_back({id, "redirect_uri",
                          "no sign-in: \"redirect_uri\" must be an http(s) address whose path is /callback or /callback/NAME "
                          "(NAME of letters, digits, '_', '-', '.'), e.g. https://app.example/callback/" + id});
      continue;
    }
    SignInProblem problem;
    if (!read_optional(idp, provider, problem)) {
      problems.push_back(std::move(problem));
      continue;
    }
    provider.client_id = *client_id;
    provider.redirect_uri = *settled;
    provider.authorization_endpoint = *authorization;
    provider.token_endpoint = *token;
    provider.http_timeout = idp.jwt_settings_http_timeout;
    out.push_back(std::move(provider));
  }
  drop_shared_paths(out, problems);
  return out;
}

std::optional<std::string> unsupported_claim_note(const SignInProvider& provider) {
  if (!provider.claims_supported || provider.claim_attribute.empty()) return std::nullopt;
  const auto& listed = *provider.claims_supported;
  if (std::find(listed.begin(), listed.end(), provider.claim_attribute) != listed.end()) return std::nullopt;
  return "users are mapped by the claim \"" + provider.claim_attribute +
         "\", which the provider's claims_supported does not list: no user could sign in with it";
}

}  // namespace corvane::apps
