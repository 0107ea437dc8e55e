// Verifying a token with the provider's keys and mapping its claims to the
// one matching user.
#include "corvane/auth/jwt/idp_config.hpp"

#include "corvane/jose/jwt.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"
#include "corvane/util/unicode.hpp"

namespace corvane::auth::jwt {
namespace {

// What stripping a value that is not text fails with.
AttributeError not_text(const Json& value) {
  return AttributeError(std::string("'") + python_type_name(value) + "' object has no attribute 'strip'");
}

std::string comparison_form_of(const Json& value) {
  if (!value.is_string()) throw not_text(value);
  return comparison_form(value.get_ref<const std::string&>());
}

}  // namespace

jose::JWT IDPConfig::secure_load_jwt(std::string_view token) const {
  if (!truthy(offline_verification)) throw NotImplementedError();
  const jose::JWKSet& key_set = offline_jwks.value();
  return jose::JWT(token, key_set);
}

Json IDPConfig::secure_load_claims(std::string_view token) const { return secure_load_jwt(token).claims(); }

std::string IDPConfig::get_user_id_for_claims(const Json& token) const {
  if (!token.is_object()) {
    throw TypeError(std::string(python_type_name(token)) + " indices must be integers or slices, not str");
  }
  auto claim = claim_attribute.is_string() ? token.find(claim_attribute.get_ref<const std::string&>()) : token.end();
  if (claim == token.end()) {
    throw ValueError("Missing expected claim " + to_text(claim_attribute) + " in JWT.");
  }
  const std::string token_auth_attr = comparison_form_of(*claim);

  if (!users) throw AttributeError("'NoneType' object has no attribute 'items'");
  host::UserMatch matched_users = users->match(user_config_attribute, token_auth_attr);
  if (matched_users.count == 0) throw ValueError("User not found for the token.");
  if (matched_users.count > 1) throw SeveralUsersError("More than one user found for the token.");
  return std::move(matched_users.user_id);
}

std::string IDPConfig::get_sso_user_id(const Json& token) const {
  if (!token.is_object()) {
    throw TypeError(std::string("argument of type '") + python_type_name(token) + "' is not iterable");
  }
  auto sub = token.find("sub");
  if (sub == token.end()) {
    logging::warning("'sub' value not found in returned claims from identity provider.");
    return "";
  }
  try {
    return comparison_form_of(*sub);
  } catch (const Exception& e) {
    logging::warning(std::string("The sso_user_id was not acquired from 'sub' attribute in token due to ") +
                     e.what() + ". Empty string is used instead.");
    return "";
  }
}

}  // namespace corvane::auth::jwt
