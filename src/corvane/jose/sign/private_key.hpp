// Importing the private key of a JWK, for signing.
#pragma once

#include <string>

#include "corvane/jose/key_material.hpp"
#include "corvane/util/json.hpp"

namespace corvane::jose::detail {

// Imports the private key of one RSA, EC or OKP JWK (the tools and tests
// make tokens; the system itself only verifies). Throws InvalidJWKType for
// another "kty", InvalidJWKValue for any bad member.
KeyMaterial import_private_key(const Json& members, const std::string& kty);

}  // namespace corvane::jose::detail
