// The signature algorithms a token may name, and what each needs of a key.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace corvane::jose::detail {

enum class KeyType { rsa, ec, okp, oct };
enum class Curve { none, p256, p384, p521, secp256k1, ed25519, ed448 };
enum class Family { hmac, rsa_pkcs1, rsa_pss, ecdsa, eddsa };
enum class Hash { none, sha256, sha384, sha512 };

struct Algorithm {
  std::string_view name;
  Family family;
  Hash hash;
  Curve curve;  // the one curve an ECDSA algorithm is defined on
};

// The algorithm of that name; null for "none" and anything unsupported.
// Each algorithm is one object, so a pointer or reference identifies it.
const Algorithm* find_algorithm(std::string_view name) noexcept;
// Every supported algorithm.
std::span<const Algorithm> algorithms() noexcept;

// The digest, fetched once per process and shared (EVP_MD is immutable).
const EVP_MD* digest(Hash hash);
std::size_t digest_size(Hash hash) noexcept;

}  // namespace corvane::jose::detail
