#include "identity/identify.hpp"

namespace corvane::apps {

Identity identify(HostRequest& request, const auth::jwt::JWTAuthenticationPolicy& policy, IdentityCounter& counter,
                  spdlog::logger& log) {
  const CookieSession& session = request.session();
  Identity identity;
  if (session.accepted()) {
    counter.count_session_hit();
    identity.user_id = session.data().user_id;
    identity.sso_user_id = session.data().sso_user_id;
    identity.via = "session";
    return identity;
  }
  if (session.had_cookie() && log.should_log(spdlog::level::debug)) {
    log.debug("ignoring a session cookie that is invalid, expired or names an unknown user");
  }
  const auto start = std::chrono::steady_clock::now();
  auth::jwt::Authentication result;
  try {
    result = policy.authenticate(request);
  } catch (...) {
    counter.count_authentication({}, auth::jwt::AuthOutcome::error, std::chrono::steady_clock::now() - start);
    throw;
  }
  counter.count_authentication(result.idp_id, result.outcome, std::chrono::steady_clock::now() - start);
  identity.user_id = std::move(result.user_id);
  identity.sso_user_id = std::move(result.sso_user_id);
  identity.via = "jwt";
  return identity;
}

}  // namespace corvane::apps
