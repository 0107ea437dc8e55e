// A verified token's claims read in place, and the registered claims (RFC
// 7519 section 4.1) checked on every verified token.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "corvane/util/function_ref.hpp"
#include "corvane/util/json.hpp"
#include "corvane/util/json_members.hpp"

namespace corvane::jose {

class JWKSet;
class VerifiedClaims;

// A verified token's "exp" and "nbf" (NumericDates, in seconds), when present.
struct TimeWindow {
  std::optional<double> exp;
  std::optional<double> nbf;
};
// Whether `window` holds at `now` with the leeway: exactly what the
// registered claims check refuses as JWTExpired or JWTNotYetValid otherwise.
bool within_window(const TimeWindow& window, std::chrono::system_clock::time_point now);
// Runs one long step of a verification (see verify_claims in jwt.hpp).
using LongStepRunner = function_ref<void(function_ref<void()>)>;
VerifiedClaims verify_claims(std::string_view token, const JWKSet& keys, std::optional<std::string_view> claim,
                             std::chrono::system_clock::time_point now, std::optional<LongStepRunner> run_long);

// What the request path needs of a verified token, without a tree: the
// decoded header and payload, the payload's kind, and the members the policy
// asks for. The views point into buffers of the thread that verified the
// token, valid until it verifies its next token (also one verified from
// code the holder calls meanwhile, such as a host's users).
class VerifiedClaims {
 public:
  std::string_view header() const noexcept { return header_; }
  std::string_view payload() const noexcept { return payload_; }  // valid UTF-8
  // The payload's kind; JSONDecodeError with the parser's message when the
  // payload is not JSON (the token is a valid JWS all the same).
  JsonKind kind() const;
  // The member named when the token was verified, and "sub"; absent unless
  // the payload is an object holding them.
  const JsonMember& claim() const noexcept { return claim_; }
  const JsonMember& sub() const noexcept { return sub_; }
  // "exp" and "nbf", as checked when the token was verified.
  const TimeWindow& window() const noexcept { return window_; }
  // The payload as JSON, parsed at each call: for callers that want a tree.
  Json json() const;

 private:
  friend VerifiedClaims verify_claims(std::string_view, const JWKSet&, std::optional<std::string_view>,
                                      std::chrono::system_clock::time_point, std::optional<LongStepRunner>);
  std::string_view header_;
  std::string_view payload_;
  JsonKind kind_ = JsonKind::absent;  // absent: not JSON
  std::string error_;                 // why not
  JsonMember claim_;
  JsonMember sub_;
  TimeWindow window_;
};

namespace detail {

// Clock skew tolerated between the issuer and this host.
constexpr std::chrono::seconds kLeeway{60};

// The registered claims, in the order check_registered_claims() takes them.
inline constexpr std::array<std::string_view, 8> kRegisteredClaims = {"iss", "sub", "jti", "typ",
                                                                      "aud", "exp", "nbf", "iat"};

// For a claims object: "iss", "sub", "jti" and "typ" are strings, "aud" a
// string or list of strings, "exp", "nbf" and "iat" numbers (else
// JWTInvalidClaimFormat); "exp" before now - leeway is JWTExpired, "nbf" after
// now + leeway is JWTNotYetValid.
void check_registered_claims(std::span<const JsonMember, kRegisteredClaims.size()> claims,
                             std::chrono::system_clock::time_point now);
// "exp" and "nbf" of registered claims that passed that check.
TimeWindow time_window(std::span<const JsonMember, kRegisteredClaims.size()> claims);

}  // namespace detail
}  // namespace corvane::jose
