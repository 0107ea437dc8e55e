#include "corvane/jose/claims.hpp"

#include <string>

#include "corvane/util/errors.hpp"

namespace corvane::jose {

JsonKind VerifiedClaims::kind() const {
  if (kind_ == JsonKind::absent) throw JSONDecodeError(error_);
  return kind_;
}

Json VerifiedClaims::json() const { return parse_json(payload_); }

namespace detail {
namespace {

enum Registered { iss, sub, jti, typ, aud, exp, nbf, iat };

bool is_number(const JsonMember& member) {
  return member.kind == JsonKind::integer || member.kind == JsonKind::floating;
}

}  // namespace

void check_registered_claims(std::span<const JsonMember, kRegisteredClaims.size()> claims,
                             std::chrono::system_clock::time_point now) {
  for (Registered name : {iss, sub, jti, typ}) {
    const JsonMember& value = claims[name];
    if (value.kind != JsonKind::absent && value.kind != JsonKind::string) {
      throw JWTInvalidClaimFormat("Claim '" + std::string(kRegisteredClaims[name]) + "' must be a string");
    }
  }
  const JsonMember& audience = claims[aud];
  if (audience.kind != JsonKind::absent && audience.kind != JsonKind::string &&
      !(audience.kind == JsonKind::array && audience.all_strings)) {
    throw JWTInvalidClaimFormat("Claim 'aud' must be a string or a list of strings");
  }
  // NumericDates as seconds; doubles hold any JSON number without overflow,
  // and the parser never yields a non-finite one.
  for (Registered name : {exp, nbf, iat}) {
    if (claims[name].kind != JsonKind::absent && !is_number(claims[name])) {
      throw JWTInvalidClaimFormat("Claim '" + std::string(kRegisteredClaims[name]) + "' must be a number");
    }
  }
  const double seconds = std::chrono::duration<double>(now.time_since_epoch()).count();
  const double leeway = std::chrono::duration<double>(kLeeway).count();
  if (claims[exp].kind != JsonKind::absent && claims[exp].number < seconds - leeway) throw JWTExpired("Token expired");
  if (claims[nbf].kind != JsonKind::absent && claims[nbf].number > seconds + leeway) {
    throw JWTNotYetValid("Token not yet valid");
  }
}

}  // namespace detail
}  // namespace corvane::jose
