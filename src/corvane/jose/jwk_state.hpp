// What an imported key holds; shared by the import and the verifiers.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>

#include "corvane/jose/jwk.hpp"

namespace corvane::jose {

struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BignumDeleter {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using BignumPtr = std::unique_ptr<BIGNUM, BignumDeleter>;

struct JWK::State {
  std::string kty;
  std::optional<std::string> kid;
  std::optional<std::string> alg;
  Json members;
  bool usable_for_signatures = true;  // from "use" and "key_ops"
  std::uint32_t algorithms = 0;       // bit per Algorithm the key type allows
  PkeyPtr pkey;                       // RSA, EC, OKP
  std::string secret;                 // oct
  BignumPtr order;                    // EC: the group order
  std::size_t coordinate_size = 0;    // EC: bytes of r and of s
};

inline constexpr std::uint32_t bit(Algorithm algorithm) { return 1u << static_cast<unsigned>(algorithm); }

// Imports the members into `state` (key material and allowed algorithms).
void import_key(const Json& members, JWK::State& state);

// The signature checks, one per family.
bool verify_hmac(const JWK::State& key, Algorithm alg, std::string_view input, std::string_view signature);
bool verify_rsa(const JWK::State& key, Algorithm alg, std::string_view input, std::string_view signature);
bool verify_ecdsa(const JWK::State& key, Algorithm alg, std::string_view input, std::string_view signature);
bool verify_eddsa(const JWK::State& key, std::string_view input, std::string_view signature);

}  // namespace corvane::jose
