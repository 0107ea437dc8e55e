// The JWS algorithms the verifier accepts (RFC 7518, RFC 8037, RFC 8812).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <openssl/evp.h>

namespace corvane::jose {

enum class Algorithm : std::uint8_t {
  HS256, HS384, HS512,
  RS256, RS384, RS512,
  PS256, PS384, PS512,
  ES256, ES384, ES512, ES256K,
  EdDSA,
};

enum class Family : std::uint8_t { hmac, rsa_pkcs1, rsa_pss, ecdsa, eddsa };

// Only the names above; "none" and everything else give nullopt.
std::optional<Algorithm> algorithm_from_name(std::string_view name) noexcept;
std::string_view algorithm_name(Algorithm algorithm) noexcept;
Family family_of(Algorithm algorithm) noexcept;

// The digest of an algorithm, fetched once for the process; null for EdDSA.
const EVP_MD* digest_of(Algorithm algorithm) noexcept;
// Its output size in bytes; 0 for EdDSA.
std::size_t digest_size_of(Algorithm algorithm) noexcept;

}  // namespace corvane::jose
