// The verification-ready form of a JWK's public part, built once at load.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/jose/algorithm.hpp"
#include "corvane/jose/ossl.hpp"
#include "corvane/jose/verifier.hpp"
#include "corvane/util/json.hpp"

namespace corvane::jose::detail {

struct CurveInfo {
  std::string_view jwk_name;
  Curve curve;
  const char* openssl_name;
  std::size_t size;  // bytes of a coordinate, or of an OKP key
};

// The named curves of EC and OKP keys; null for one not supported.
const CurveInfo* find_curve_info(Curve curve) noexcept;
const CurveInfo* find_curve_info(std::string_view jwk_name) noexcept;

struct KeyMaterial {
  KeyType type = KeyType::oct;
  Curve curve = Curve::none;  // EC and OKP keys
  Owned<EVP_PKEY> pkey;       // RSA, EC and OKP keys
  int rsa_bits = 0;
  std::size_t secret_size = 0;  // oct keys
  // HMAC contexts keyed with the secret for SHA-256/384/512; null where the
  // secret is shorter than the hash output.
  std::array<Owned<EVP_MAC_CTX>, 3> hmac;
  // One per algorithm of the key's type and curve (public keys only).
  std::vector<std::unique_ptr<PreparedVerifier>> verifiers;
};

// Imports the key members of one JWK; throws InvalidJWKType for an unknown
// "kty", InvalidJWKValue for any bad member. Private members are not read.
KeyMaterial import_key(const Json& members, const std::string& kty);

// The pieces of an import, shared with the private-key import of the signer.
// Member `name` as bytes; its curve ("crv") for an EC or OKP key; a size
// check against that curve; a key from parameters; the error of a failed
// step. Each throws InvalidJWKValue naming the member or the key type.
std::string member_bytes(const Json& members, const char* name, const std::string& kty);
const CurveInfo& curve_of(const Json& members, const std::string& kty);
void require_size(const std::string& value, const char* name, const CurveInfo& curve);
// The public point of an EC key on `curve`, from "x" and "y", uncompressed.
std::string ec_point(const Json& members, const CurveInfo& curve);
Owned<EVP_PKEY> from_params(const char* type, OSSL_PARAM_BLD* builder, const std::string& kty, int selection);
[[noreturn]] void push_failed(const std::string& kty);

// Bytes of a coordinate (and of r or s) on an ECDSA curve.
std::size_t coordinate_size(Curve curve) noexcept;

}  // namespace corvane::jose::detail
