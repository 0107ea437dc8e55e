// Verifying a token with the provider's keys and mapping its claims to the
// one matching user. The claims come either as JSON (callers that hold a
// tree) or read in place (the request path); both give the same answers and
// errors.
#include "corvane/auth/jwt/idp_config.hpp"

#include "corvane/jose/jwt.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"
#include "corvane/util/unicode.hpp"

namespace corvane::auth::jwt {
namespace {

// What stripping a value that is not text fails with.
AttributeError not_text(const char* type) {
  return AttributeError(std::string("'") + type + "' object has no attribute 'strip'");
}

TypeError not_a_mapping(const char* type) {
  return TypeError(std::string(type) + " indices must be integers or slices, not str");
}
TypeError not_iterable(const char* type) {
  return TypeError(std::string("argument of type '") + type + "' is not iterable");
}
ValueError missing_claim(const Json& claim_attribute) {
  return ValueError("Missing expected claim " + to_text(claim_attribute) + " in JWT.");
}

void warn_no_sub() { logging::warning("'sub' value not found in returned claims from identity provider."); }
void warn_bad_sub(const Exception& e) {
  logging::warning(std::string("The sso_user_id was not acquired from 'sub' attribute in token due to ") + e.what() +
                   ". Empty string is used instead.");
}

}  // namespace

jose::JWT IDPConfig::secure_load_jwt(std::string_view token) const {
  if (!truthy(offline_verification)) throw NotImplementedError();
  const jose::JWKSet& key_set = offline_jwks.value();
  return jose::JWT(token, key_set);
}

jose::VerifiedClaims IDPConfig::secure_read_claims(std::string_view token, std::chrono::system_clock::time_point now,
                                                   std::optional<jose::LongStepRunner> run_long) const {
  if (!truthy(offline_verification)) throw NotImplementedError();
  const jose::JWKSet& key_set = offline_jwks.value();
  std::optional<std::string_view> claim;
  if (claim_attribute.is_string()) claim = claim_attribute.get_ref<const std::string&>();
  return jose::verify_claims(token, key_set, claim, now, run_long);
}

// The payload alone becomes a tree; the header is never needed as one.
Json IDPConfig::secure_load_claims(std::string_view token) const { return secure_read_claims(token).json(); }

std::string IDPConfig::get_user_id_for_claims(const Json& token) const {
  if (!token.is_object()) throw not_a_mapping(python_type_name(token));
  auto claim = claim_attribute.is_string() ? token.find(claim_attribute.get_ref<const std::string&>()) : token.end();
  if (claim == token.end()) throw missing_claim(claim_attribute);
  if (!claim->is_string()) throw not_text(python_type_name(*claim));
  const std::string token_auth_attr = comparison_form(claim->get_ref<const std::string&>());

  if (!users) throw AttributeError("'NoneType' object has no attribute 'items'");
  host::UserMatch matched_users = users->match(user_config_attribute, token_auth_attr);
  if (matched_users.count == 0) throw ValueError("User not found for the token.");
  if (matched_users.count > 1) throw SeveralUsersError("More than one user found for the token.");
  return std::move(matched_users.user_id);
}

std::string IDPConfig::get_user_id_for_claims(const RequestClaims& token, std::string& form_buffer) const {
  if (token.kind != JsonKind::object) throw not_a_mapping(python_type_name(token.kind));
  const ClaimText& claim = token.claim;
  if (claim.kind == JsonKind::absent) throw missing_claim(claim_attribute);
  if (claim.kind != JsonKind::string) throw not_text(python_type_name(claim.kind));
  const std::string_view token_auth_attr = comparison_form(claim.text, form_buffer);

  if (!users) throw AttributeError("'NoneType' object has no attribute 'items'");
  host::UserMatch matched_users = users->match(user_config_attribute, token_auth_attr);
  if (matched_users.count == 0) throw ValueError("User not found for the token.");
  if (matched_users.count > 1) throw SeveralUsersError("More than one user found for the token.");
  return std::move(matched_users.user_id);
}

std::string IDPConfig::get_sso_user_id(const Json& token) const {
  if (!token.is_object()) throw not_iterable(python_type_name(token));
  auto sub = token.find("sub");
  if (sub == token.end()) {
    warn_no_sub();
    return "";
  }
  try {
    if (!sub->is_string()) throw not_text(python_type_name(*sub));
    return comparison_form(sub->get_ref<const std::string&>());
  } catch (const Exception& e) {
    warn_bad_sub(e);
    return "";
  }
}

std::string_view IDPConfig::get_sso_user_id(const RequestClaims& token, std::string& buffer) const {
  if (token.kind != JsonKind::object) throw not_iterable(python_type_name(token.kind));
  const ClaimText& sub = token.sub;
  if (sub.kind == JsonKind::absent) {
    warn_no_sub();
    return {};
  }
  // "sub" is text here: the registered claims check refused anything else.
  try {
    return comparison_form(sub.text, buffer);
  } catch (const Exception& e) {
    warn_bad_sub(e);
    return {};
  }
}

}  // namespace corvane::auth::jwt
