#include "corvane/jose/algorithm.hpp"

#include <array>

namespace corvane::jose {
namespace {

constexpr std::array<std::string_view, 14> kNames = {
    "HS256", "HS384", "HS512", "RS256", "RS384", "RS512", "PS256",
    "PS384", "PS512", "ES256", "ES384", "ES512", "ES256K", "EdDSA"};

// The three digests, fetched from the default provider once and shared.
struct Digests {
  EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_MD* sha384 = EVP_MD_fetch(nullptr, "SHA384", nullptr);
  EVP_MD* sha512 = EVP_MD_fetch(nullptr, "SHA512", nullptr);
  ~Digests() {
    EVP_MD_free(sha256);
    EVP_MD_free(sha384);
    EVP_MD_free(sha512);
  }
};

const Digests& digests() {
  static const Digests instance;
  return instance;
}

}  // namespace

std::optional<Algorithm> algorithm_from_name(std::string_view name) noexcept {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (kNames[i] == name) return static_cast<Algorithm>(i);
  }
  return std::nullopt;
}

std::string_view algorithm_name(Algorithm algorithm) noexcept { return kNames[static_cast<std::size_t>(algorithm)]; }

Family family_of(Algorithm algorithm) noexcept {
  switch (algorithm) {
    case Algorithm::HS256: case Algorithm::HS384: case Algorithm::HS512: return Family::hmac;
    case Algorithm::RS256: case Algorithm::RS384: case Algorithm::RS512: return Family::rsa_pkcs1;
    case Algorithm::PS256: case Algorithm::PS384: case Algorithm::PS512: return Family::rsa_pss;
    case Algorithm::EdDSA: return Family::eddsa;
    default: return Family::ecdsa;
  }
}

const EVP_MD* digest_of(Algorithm algorithm) noexcept {
  switch (algorithm) {
    case Algorithm::HS256: case Algorithm::RS256: case Algorithm::PS256:
    case Algorithm::ES256: case Algorithm::ES256K: return digests().sha256;
    case Algorithm::HS384: case Algorithm::RS384: case Algorithm::PS384: case Algorithm::ES384:
      return digests().sha384;
    case Algorithm::HS512: case Algorithm::RS512: case Algorithm::PS512: case Algorithm::ES512:
      return digests().sha512;
    case Algorithm::EdDSA: return nullptr;
  }
  return nullptr;
}

std::size_t digest_size_of(Algorithm algorithm) noexcept {
  const EVP_MD* md = digest_of(algorithm);
  return md ? static_cast<std::size_t>(EVP_MD_get_size(md)) : 0;
}

}  // namespace corvane::jose
