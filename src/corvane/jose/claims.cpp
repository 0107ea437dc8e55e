#include "corvane/jose/claims.hpp"

#include <string>

#include "corvane/util/errors.hpp"

namespace corvane::jose {

JsonKind VerifiedClaims::kind() const {
  if (kind_ == JsonKind::absent) throw JSONDecodeError(error_);
  return kind_;
}

Json VerifiedClaims::json() const { return parse_json(payload_); }

namespace {

double seconds_of(std::chrono::system_clock::time_point now) {
  return std::chrono::duration<double>(now.time_since_epoch()).count();
}
constexpr double kLeewaySeconds = std::chrono::duration<double>(detail::kLeeway).count();

bool expired(const std::optional<double>& exp, double seconds) { return exp && *exp < seconds - kLeewaySeconds; }
bool not_yet_valid(const std::optional<double>& nbf, double seconds) { return nbf && *nbf > seconds + kLeewaySeconds; }

}  // namespace

bool within_window(const TimeWindow& window, std::chrono::system_clock::time_point now) {
  const double seconds = seconds_of(now);
  return !expired(window.exp, seconds) && !not_yet_valid(window.nbf, seconds);
}

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
  const TimeWindow window = time_window(claims);
  const double seconds = seconds_of(now);
  if (expired(window.exp, seconds)) throw JWTExpired("Token expired");
  if (not_yet_valid(window.nbf, seconds)) throw JWTNotYetValid("Token not yet valid");
}

TimeWindow time_window(std::span<const JsonMember, kRegisteredClaims.size()> claims) {
  TimeWindow window;
  if (claims[exp].kind != JsonKind::absent) window.exp = claims[exp].number;
  if (claims[nbf].kind != JsonKind::absent) window.nbf = claims[nbf].number;
  return window;
}

}  // namespace detail
}  // namespace corvane::jose
