// A compact JWS token verified against a key set, with its registered claims
// checked. Construction does all the work; a constructed JWT is verified.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "corvane/jose/jwk_set.hpp"
#include "corvane/util/json.hpp"

namespace corvane::jose {

class JWT {
 public:
  // Seconds of clock skew allowed for "exp" and "nbf".
  static constexpr double kLeeway = 60;
  // Tokens larger than this are refused before any decoding.
  static constexpr std::size_t kMaxTokenSize = 1 << 20;

  // Parses `jwt`, picks the key, verifies the signature, then checks the
  // payload (UTF-8) and, for a JSON object, its registered claims at `now`.
  // Errors: ValueError "Token format unrecognized" for anything but three
  // (JWS) or five (JWE, refused) parts; UnicodeDecodeError for a payload
  // that is not UTF-8; JWException kinds for everything else.
  JWT(std::string_view jwt, const JWKSet& key);
  JWT(std::string_view jwt, const JWKSet& key, std::chrono::system_clock::time_point now);

  const Json& header() const { return header_; }
  // The verified payload bytes.
  const std::string& payload() const { return payload_; }
  // The payload parsed as JSON (once, at construction); JSONDecodeError with
  // the parser's message when it is not JSON.
  const Json& claims() const&;
  Json claims() &&;

 private:
  Json header_;
  std::string payload_;
  Json claims_;
  std::string claims_error_;  // set when the payload is not JSON
};

// The checks of the registered claims alone: types, then "exp" and "nbf"
// against `now` (seconds since the epoch) with the leeway.
void check_registered_claims(const Json& claims, double now);

}  // namespace corvane::jose
