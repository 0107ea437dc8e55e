#include "corvane/jose/algorithm.hpp"

#include <array>

#include "corvane/jose/ossl.hpp"
#include "corvane/util/errors.hpp"

namespace corvane::jose::detail {
namespace {

constexpr std::array<Algorithm, 14> kAlgorithms{{
    {"HS256", Family::hmac, Hash::sha256, Curve::none},
    {"HS384", Family::hmac, Hash::sha384, Curve::none},
    {"HS512", Family::hmac, Hash::sha512, Curve::none},
    {"RS256", Family::rsa_pkcs1, Hash::sha256, Curve::none},
    {"RS384", Family::rsa_pkcs1, Hash::sha384, Curve::none},
    {"RS512", Family::rsa_pkcs1, Hash::sha512, Curve::none},
    {"PS256", Family::rsa_pss, Hash::sha256, Curve::none},
    {"PS384", Family::rsa_pss, Hash::sha384, Curve::none},
    {"PS512", Family::rsa_pss, Hash::sha512, Curve::none},
    {"ES256", Family::ecdsa, Hash::sha256, Curve::p256},
    {"ES384", Family::ecdsa, Hash::sha384, Curve::p384},
    {"ES512", Family::ecdsa, Hash::sha512, Curve::p521},
    {"ES256K", Family::ecdsa, Hash::sha256, Curve::secp256k1},
    {"EdDSA", Family::eddsa, Hash::none, Curve::none},
}};

}  // namespace

std::span<const Algorithm> algorithms() noexcept { return kAlgorithms; }

const Algorithm* find_algorithm(std::string_view name) noexcept {
  for (const Algorithm& algorithm : kAlgorithms) {
    if (algorithm.name == name) return &algorithm;
  }
  return nullptr;
}

const EVP_MD* digest(Hash hash) {
  // Fetched once: a name lookup per verification would cost a provider query.
  static const std::array<const EVP_MD*, 3> digests = [] {
    std::array<const EVP_MD*, 3> fetched{EVP_MD_fetch(nullptr, "SHA256", nullptr),
                                         EVP_MD_fetch(nullptr, "SHA384", nullptr),
                                         EVP_MD_fetch(nullptr, "SHA512", nullptr)};
    for (const EVP_MD* md : fetched) {
      if (md == nullptr) throw JWException("Cannot fetch SHA-2 digests: " + take_openssl_errors());
    }
    return fetched;
  }();
  switch (hash) {
    case Hash::sha256: return digests[0];
    case Hash::sha384: return digests[1];
    case Hash::sha512: return digests[2];
    case Hash::none: break;
  }
  return nullptr;
}

std::size_t digest_size(Hash hash) noexcept {
  switch (hash) {
    case Hash::sha256: return 32;
    case Hash::sha384: return 48;
    case Hash::sha512: return 64;
    case Hash::none: break;
  }
  return 0;
}

}  // namespace corvane::jose::detail
