#include "support/jose_signer.hpp"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <stdexcept>

#include "corvane/util/base64.hpp"

namespace corvane::testing {
namespace {

std::string bn_bytes(const EVP_PKEY* key, const char* name, int width = 0) {
  BIGNUM* number = nullptr;
  if (!EVP_PKEY_get_bn_param(key, name, &number)) throw std::runtime_error(std::string("no ") + name);
  int size = width ? width : BN_num_bytes(number);
  std::string out(static_cast<std::size_t>(size), '\0');
  BN_bn2binpad(number, reinterpret_cast<unsigned char*>(out.data()), size);
  BN_free(number);
  return out;
}

const char* digest_name(const std::string& alg) {
  if (alg == "EdDSA") return nullptr;
  if (alg.ends_with("384")) return "SHA384";
  if (alg.ends_with("512")) return "SHA512";
  return "SHA256";
}

struct Curve {
  const char* alg;
  const char* group;
  const char* crv;
  int size;
};
constexpr Curve kCurves[] = {{"ES256", "P-256", "P-256", 32},
                             {"ES384", "P-384", "P-384", 48},
                             {"ES512", "P-521", "P-521", 66},
                             {"ES256K", "secp256k1", "secp256k1", 32}};

}  // namespace

struct TestKey::Impl {
  EVP_PKEY* pkey = nullptr;
  std::string secret;
  const Curve* curve = nullptr;
  ~Impl() { EVP_PKEY_free(pkey); }
};

TestKey::TestKey(const std::string& alg, int rsa_bits) : alg_(alg), impl_(std::make_unique<Impl>()) {
  if (alg.starts_with("HS")) {
    impl_->secret.resize(alg == "HS256" ? 32 : alg == "HS384" ? 48 : 64);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(impl_->secret.data()), static_cast<int>(impl_->secret.size())) != 1) {
      throw std::runtime_error("no random bytes");
    }
  } else if (alg.starts_with("RS") || alg.starts_with("PS")) {
    impl_->pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(rsa_bits));
  } else if (alg.starts_with("ES")) {
    for (const auto& curve : kCurves) {
      if (alg == curve.alg) impl_->curve = &curve;
    }
    if (!impl_->curve) throw std::runtime_error("unknown alg " + alg);
    impl_->pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", impl_->curve->group);
  } else if (alg == "EdDSA" || alg == "Ed448") {
    impl_->pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, alg == "EdDSA" ? "ED25519" : "ED448");
    alg_ = "EdDSA";
  } else {
    throw std::runtime_error("unknown alg " + alg);
  }
  if (!alg.starts_with("HS") && !impl_->pkey) throw std::runtime_error("key generation failed for " + alg);
}

TestKey::~TestKey() = default;
TestKey::TestKey(TestKey&&) noexcept = default;

Json TestKey::public_jwk(const std::string& kid) const {
  Json jwk;
  if (!impl_->secret.empty()) {
    jwk = {{"kty", "oct"}, {"k", base64url_encode(impl_->secret)}};
  } else if (alg_.starts_with("RS") || alg_.starts_with("PS")) {
    jwk = {{"kty", "RSA"},
           {"n", base64url_encode(bn_bytes(impl_->pkey, OSSL_PKEY_PARAM_RSA_N))},
           {"e", base64url_encode(bn_bytes(impl_->pkey, OSSL_PKEY_PARAM_RSA_E))}};
  } else if (impl_->curve) {
    int size = impl_->curve->size;
    jwk = {{"kty", "EC"},
           {"crv", impl_->curve->crv},
           {"x", base64url_encode(bn_bytes(impl_->pkey, OSSL_PKEY_PARAM_EC_PUB_X, size))},
           {"y", base64url_encode(bn_bytes(impl_->pkey, OSSL_PKEY_PARAM_EC_PUB_Y, size))}};
  } else {
    unsigned char raw[64];
    size_t length = sizeof raw;
    EVP_PKEY_get_raw_public_key(impl_->pkey, raw, &length);
    jwk = {{"kty", "OKP"},
           {"crv", EVP_PKEY_is_a(impl_->pkey, "ED25519") ? "Ed25519" : "Ed448"},
           {"x", base64url_encode(std::string(reinterpret_cast<char*>(raw), length))}};
  }
  if (!kid.empty()) jwk["kid"] = kid;
  return jwk;
}

std::string TestKey::sign(const std::string& input, const std::string& as_alg) const {
  const std::string& alg = as_alg.empty() ? alg_ : as_alg;
  const auto* data = reinterpret_cast<const unsigned char*>(input.data());
  if (!impl_->secret.empty()) {
    unsigned char tag[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!HMAC(EVP_get_digestbyname(digest_name(alg)), impl_->secret.data(), static_cast<int>(impl_->secret.size()),
              data, input.size(), tag, &size)) {
      throw std::runtime_error("HMAC failed");
    }
    return std::string(reinterpret_cast<char*>(tag), size);
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = nullptr;
  const char* md = digest_name(alg);
  auto run = [&](std::string& signature) {
    size_t size = 0;
    if (EVP_DigestSignInit_ex(ctx, &pctx, md, nullptr, nullptr, impl_->pkey, nullptr) != 1) return false;
    if (alg.starts_with("PS") && (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
                                  EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) <= 0)) {
      return false;
    }
    if (EVP_DigestSign(ctx, nullptr, &size, data, input.size()) != 1) return false;
    signature.resize(size);
    if (EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(signature.data()), &size, data, input.size()) != 1) {
      return false;
    }
    signature.resize(size);
    return true;
  };
  std::string signature;
  const bool ok = run(signature);
  EVP_MD_CTX_free(ctx);
  if (!ok) throw std::runtime_error("signing failed for " + alg);
  if (impl_->curve) {  // DER to raw R||S
    const auto* der = reinterpret_cast<const unsigned char*>(signature.data());
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(signature.size()));
    if (!sig) throw std::runtime_error("bad ECDSA signature");
    int n = impl_->curve->size;
    std::string raw(static_cast<std::size_t>(2 * n), '\0');
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), reinterpret_cast<unsigned char*>(raw.data()), n);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), reinterpret_cast<unsigned char*>(raw.data()) + n, n);
    ECDSA_SIG_free(sig);
    return raw;
  }
  return signature;
}

std::string TestKey::sign_token(const std::string& header, const std::string& payload, const std::string& as_alg) const {
  std::string input = base64url_encode(header) + "." + base64url_encode(payload);
  return input + "." + base64url_encode(sign(input, as_alg));
}

std::string TestKey::token(const Json& claims, const std::string& kid) const {
  Json header = {{"alg", alg_}};
  if (!kid.empty()) header["kid"] = kid;
  return sign_token(header.dump(), claims.dump());
}

}  // namespace corvane::testing
