// Minting HS256 tokens and bearer headers for tests of the policy.
#pragma once

#include <string>

#include "corvane/util/json.hpp"

namespace corvane::testing {

// The compact JWS of `payload` (any text) under `header` (any text), signed
// with HMAC-SHA256 and `secret`.
std::string sign_hs256(const std::string& secret, const std::string& header, const std::string& payload);

// A token with the header {"alg":"HS256","kid":kid} and the claims given.
std::string mint_hs256(const std::string& secret, const std::string& kid, const Json& claims);

// "Bearer " and the standard base64 of the compact token.
std::string bearer(const std::string& compact_jwt);

// The JWK of an HMAC secret.
Json oct_jwk(const std::string& secret, const std::string& kid);

}  // namespace corvane::testing
