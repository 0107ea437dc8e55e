// A verified JSON Web Token in JWS compact form (RFC 7519, RFC 7515).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/jose/jwk_set.hpp"
#include "corvane/util/json.hpp"

namespace corvane::jose {

class JWT {
 public:
  // Parses the token, picks the key, verifies the signature and then checks
  // the registered claims against the current time (with 60 s of leeway).
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
