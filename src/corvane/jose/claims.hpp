// The registered claims (RFC 7519 section 4.1) checked on every verified token.
#pragma once

#include <chrono>

#include "corvane/util/json.hpp"

namespace corvane::jose::detail {

// Clock skew tolerated between the issuer and this host.
constexpr std::chrono::seconds kLeeway{60};

// For a claims object: "iss", "sub", "jti" and "typ" are strings, "aud" a
// string or list of strings, "exp", "nbf" and "iat" numbers (else
// JWTInvalidClaimFormat); "exp" before now - leeway is JWTExpired, "nbf" after
// now + leeway is JWTNotYetValid.
void check_registered_claims(const Json& claims, std::chrono::system_clock::time_point now);

}  // namespace corvane::jose::detail
