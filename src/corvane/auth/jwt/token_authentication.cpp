// The token-level entry: a token verified and mapped without a request.
#include "corvane/auth/jwt/policy.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::auth::jwt {

std::optional<VerifiedToken> JWTAuthenticationPolicy::verify_token(std::string_view idp_id,
                                                                   std::string_view token) const {
  if (!truthy(jwt_enabled)) return std::nullopt;
  const IDPConfig* idp = find_provider(idp_id, logging::enabled(spdlog::level::debug));
  if (!idp) return std::nullopt;
  Json claims;
  try {
    // As on the request path: only a public key's check and the payload's
    // reading run through the host's detached().
    const host::Host& runner = host();
    claims = idp->secure_read_claims(token, runner.now(), [&runner](function_ref<void()> step) {
                   runner.detached(step);
                 }).json();
    if (!claims.is_object()) throw ValueError("The token's claims are not a JSON object.");
  } catch (const std::exception& error) {
    refusal(error, false);
    return std::nullopt;
  }
  return VerifiedToken(std::string(idp_id), std::move(claims));
}

Authentication JWTAuthenticationPolicy::map_token(const VerifiedToken& token) const {
  Authentication result;
  result.idp_id = token.idp_id();
  const IDPConfig* idp = idps ? idps->find(token.idp_id()) : nullptr;
  if (!idp) {
    result.outcome = AuthOutcome::unknown_provider;
    return result;
  }
  try {
    std::string user_id = idp->get_user_id_for_claims(token.claims());
    if (logging::enabled(spdlog::level::debug)) logging::debug("JWT authentication - user: " + user_id);
    result.sso_user_id = idp->get_sso_user_id(token.claims());
    result.user_id = std::move(user_id);
  } catch (const std::exception& error) {
    result.outcome = refusal(error, true);
    return result;
  }
  result.outcome = AuthOutcome::authenticated;
  return result;
}

}  // namespace corvane::auth::jwt
