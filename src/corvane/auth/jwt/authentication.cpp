// Request authentication, principals and the one-time HTML session login.
#include "corvane/auth/jwt/policy.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/log_text.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::auth::jwt {

std::optional<std::string> JWTAuthenticationPolicy::authenticated_userid(host::PolicyRequest& request) const {
  if (!truthy(jwt_enabled)) return std::nullopt;
  const std::string auth_header = request.header("Authorization", "").value_or("");
  std::string token;
  try {
    token = get_token_from_header(auth_header);
  } catch (const ValueError&) {
    return std::nullopt;
  }

  std::optional<std::string> idp_id = request.query_parameter("idp_id");
  if (!idp_id || idp_id->empty()) idp_id = request.header("X-Identity-Provider-Id");
  if (!idp_id) {
    logging::debug("Skipped JWT authentication. The idp_id was not found in query string or header.");
    return std::nullopt;
  }
  // Made only for a record that is written; piece by piece, as GCC 12 at
  // -O3 misreads "\"" + std::string as an overlapping copy (-Wrestrict).
  const auto record = [&](std::string_view before, std::string_view after) {
    std::string text(before);
    text += '"';
    text += logging::capped(*idp_id);
    text += '"';
    text += after;
    return text;
  };
  if (logging::enabled(spdlog::level::debug)) {
    logging::debug(record("JWT authentication - Identity Provider: ", ""));
  }
  const IDPConfig* idp = idps ? idps->find(*idp_id) : nullptr;
  if (!idp) {
    if (logging::enabled(spdlog::level::warn)) logging::warning(record("Unknown Identity Provider ", "."));
    return std::nullopt;
  }

  std::string user_id, sso_user_id;
  try {
    // The signature and claims checks and the users walk call no host code
    // (but the users themselves), so a host may let other threads run
    // meanwhile; the records between them are written from the host's side.
    std::optional<jose::JWT> jwt;
    host().detached([&] { jwt.emplace(idp->secure_load_jwt(token)); });
    const Json& claims = jwt->claims();
    if (logging::enabled(spdlog::level::debug)) logging::debug("JWT authentication payload: " + dump(claims));
    host().detached([&] { user_id = idp->get_user_id_for_claims(claims); });
    sso_user_id = idp->get_sso_user_id(claims);
    request.set_log_context("sso_user_id", sso_user_id);
    if (logging::enabled(spdlog::level::debug)) logging::debug("JWT authentication - user: " + user_id);
  } catch (const Exception& exc) {
    // A token that does not verify, a provider that cannot verify, and
    // unusable claims end in no user; every other error is the host's.
    if (!dynamic_cast<const JWException*>(&exc) && !dynamic_cast<const NotImplementedError*>(&exc) &&
        !dynamic_cast<const ValueError*>(&exc)) {
      throw;
    }
    if (logging::enabled(spdlog::level::warn)) logging::warning(std::string("JWT authentication failed. ") + exc.what());
    return std::nullopt;
  } catch (const std::exception& error) {
    std::string text;  // the host's own errors, from its users or its log context
    if (!host().belongs_to(error, host::ErrorFamily::request_failure, text)) throw;
    if (logging::enabled(spdlog::level::warn)) logging::warning("JWT authentication failed. " + text);
    return std::nullopt;
  }

  if (logging::enabled(spdlog::level::debug)) {
    logging::debug(record("Authenticated using JWT for Identity Provider ", "."));
  }
  cookie_auth_for_html(request, user_id);
  request.load_sso_user_to_session(sso_user_id);
  return user_id;
}

std::vector<std::string> JWTAuthenticationPolicy::effective_principals(host::PolicyRequest& request) const {
  std::vector<std::string> principals;
  std::optional<std::string> userid = authenticated_userid(request);
  if (!userid) return principals;
  principals = {host().everyone(), host().authenticated(), *userid, "group:corvane_users"};
  return principals;
}

std::optional<std::string> JWTAuthenticationPolicy::unauthenticated_userid(const host::PolicyRequest&) const {
  return std::nullopt;
}

host::Headers JWTAuthenticationPolicy::remember(host::PolicyRequest&, const std::string&, const Json&) const {
  return {};
}

host::Headers JWTAuthenticationPolicy::forget(host::PolicyRequest&) const { return {}; }

void JWTAuthenticationPolicy::cookie_auth_for_html(host::PolicyRequest& request, const std::string& userid) const {
  const std::vector<std::string> formats = request.requested_data_format(default_extension());
  if (formats.empty()) throw ValueError("not enough values to unpack (expected at least 1, got 0)");
  if (formats.front() != "html") return;
  if (request.has_attribute("cvn_cookie_updated")) return;
  request.invalidate_session();
  request.remember(userid);
  request.set_attribute("cvn_cookie_updated", true);
}

}  // namespace corvane::auth::jwt
