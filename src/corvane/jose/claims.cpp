#include "corvane/jose/claims.hpp"

#include <algorithm>
#include <string>

#include "corvane/util/errors.hpp"

namespace corvane::jose::detail {
namespace {

const Json* find(const Json& claims, const char* name) {
  auto it = claims.find(name);
  return it == claims.end() ? nullptr : &*it;
}

// A NumericDate as seconds; doubles hold any JSON number without overflow,
// and the parser never yields a non-finite one.
const Json* numeric_date(const Json& claims, const char* name) {
  const Json* value = find(claims, name);
  if (value != nullptr && !value->is_number()) {
    throw JWTInvalidClaimFormat("Claim '" + std::string(name) + "' must be a number");
  }
  return value;
}

}  // namespace

void check_registered_claims(const Json& claims, std::chrono::system_clock::time_point now) {
  for (const char* name : {"iss", "sub", "jti", "typ"}) {
    const Json* value = find(claims, name);
    if (value != nullptr && !value->is_string()) {
      throw JWTInvalidClaimFormat("Claim '" + std::string(name) + "' must be a string");
    }
  }
  if (const Json* aud = find(claims, "aud")) {
    const bool texts = aud->is_array() && std::all_of(aud->begin(), aud->end(), [](const Json& v) { return v.is_string(); });
    if (!aud->is_string() && !texts) throw JWTInvalidClaimFormat("Claim 'aud' must be a string or a list of strings");
  }
  const Json* exp = numeric_date(claims, "exp");
  const Json* nbf = numeric_date(claims, "nbf");
  numeric_date(claims, "iat");

  const double seconds = std::chrono::duration<double>(now.time_since_epoch()).count();
  const double leeway = std::chrono::duration<double>(kLeeway).count();
  if (exp != nullptr && exp->get<double>() < seconds - leeway) throw JWTExpired("Token expired");
  if (nbf != nullptr && nbf->get<double>() > seconds + leeway) throw JWTNotYetValid("Token not yet valid");
}

}  // namespace corvane::jose::detail
