// The verification-ready form of a JWK's public part, built once at load.
#pragma once

#include <array>
#include <cstddef>

#include "corvane/jose/algorithm.hpp"
#include "corvane/jose/ossl.hpp"
#include "corvane/util/json.hpp"

namespace corvane::jose::detail {

struct KeyMaterial {
  KeyType type = KeyType::oct;
  Curve curve = Curve::none;  // EC and OKP keys
  Owned<EVP_PKEY> pkey;       // RSA, EC and OKP keys
  int rsa_bits = 0;
  std::size_t secret_size = 0;  // oct keys
  // HMAC contexts keyed with the secret for SHA-256/384/512, each duplicated
  // per verification; null where the secret is shorter than the hash output.
  std::array<Owned<EVP_MAC_CTX>, 3> hmac;
};

// Imports the key members of one JWK; throws InvalidJWKType for an unknown
// "kty", InvalidJWKValue for any bad member. Private members are not read.
KeyMaterial import_key(const Json& members, const std::string& kty);

// Bytes of a coordinate (and of r or s) on an ECDSA curve.
std::size_t coordinate_size(Curve curve) noexcept;

}  // namespace corvane::jose::detail
