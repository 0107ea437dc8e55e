// A verified JSON Web Token in JWS compact form (RFC 7519, RFC 7515).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/jose/claims.hpp"
#include "corvane/jose/jwk_set.hpp"
#include "corvane/util/json.hpp"

namespace corvane::jose {

// Parses the token, picks the key, verifies the signature and then checks
// the registered claims against `now` (with 60 s of leeway).
//  - JWE (five parts): InvalidJWEData; any other shape but three parts:
//    ValueError; over 1 MiB or a bad part or header: InvalidJWSObject;
//    unsupported "alg" (including "none"): InvalidJWAAlgorithm.
//  - With a "kid" header only the keys of that "kid" are tried, else
//    JWTMissingKey; a failed signature then is InvalidJWSSignature. Without
//    one every key is tried in order; none verifying is JWTMissingKey.
//    Keys carried in the header ("jwk", "jku", "x5u", "x5c") are never used.
//  - A payload that is not UTF-8: UnicodeDecodeError. A JSON object payload
//    with malformed registered claims: JWTInvalidClaimFormat; expired:
//    JWTExpired; not yet valid: JWTNotYetValid.
// The claims are read in place, and member `claim` (when given) and "sub"
// kept for the caller; the views stay valid until the thread verifies its
// next token. Nothing is allocated once the thread's buffers have grown to
// a token's size, except for an error.
//
// `run_long`, when given, runs everything past the header of a token signed
// with a public key algorithm (RS*, PS*, ES*, EdDSA: the signature check
// takes tens of microseconds, the payload's reading follows it): a caller
// that holds a lock other threads wait for may release it around the step,
// which reads nothing but the token's parts and the key set, calls no host
// code and writes no record. An HMAC token, shorter than handing a lock
// over, is checked in place.
VerifiedClaims verify_claims(std::string_view token, const JWKSet& keys, std::optional<std::string_view> claim,
                             std::chrono::system_clock::time_point now = std::chrono::system_clock::now(),
                             std::optional<LongStepRunner> run_long = std::nullopt);

// The same verification, keeping the token: for callers that want its
// header and claims as JSON.
class JWT {
 public:
  JWT(std::string_view jwt, const JWKSet& keys);
  // The same, judging "exp" and "nbf" at `now`.
  JWT(std::string_view jwt, const JWKSet& keys, std::chrono::system_clock::time_point now);

  const std::string& payload() const noexcept { return payload_; }  // verified, valid UTF-8
  const Json& header() const noexcept { return header_; }
  // The payload as JSON, parsed once at construction; JSONDecodeError with
  // the parser's message when the payload is not JSON.
  const Json& claims() const;

 private:
  Json header_;
  std::string payload_;
  std::optional<Json> claims_;
  std::string claims_error_;  // why the payload is not JSON
};

}  // namespace corvane::jose
