// Signature checks on keys prepared at import.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/hmac.h>
#include <openssl/rsa.h>

#include "corvane/jose/jwk_state.hpp"

namespace corvane::jose {
namespace {

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

const unsigned char* bytes(std::string_view text) { return reinterpret_cast<const unsigned char*>(text.data()); }

// EVP_DigestVerify with an optional PSS set-up; any OpenSSL failure is a
// failed verification.
bool digest_verify(EVP_PKEY* key, const EVP_MD* md, bool pss, std::string_view input,
                   const unsigned char* signature, std::size_t signature_size) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pkey_ctx = nullptr;
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pkey_ctx, md, nullptr, key) != 1) return false;
  if (pss && (EVP_PKEY_CTX_set_rsa_padding(pkey_ctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
              EVP_PKEY_CTX_set_rsa_pss_saltlen(pkey_ctx, RSA_PSS_SALTLEN_DIGEST) <= 0 ||
              EVP_PKEY_CTX_set_rsa_mgf1_md(pkey_ctx, md) <= 0)) {
    return false;
  }
  return EVP_DigestVerify(ctx.get(), signature, signature_size, bytes(input), input.size()) == 1;
}

}  // namespace

bool verify_hmac(const JWK::State& key, Algorithm alg, std::string_view input, std::string_view signature) {
  unsigned char tag[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!HMAC(digest_of(alg), key.secret.data(), static_cast<int>(key.secret.size()), bytes(input), input.size(), tag,
            &size)) {
    return false;
  }
  return signature.size() == size && CRYPTO_memcmp(tag, signature.data(), size) == 0;
}

bool verify_rsa(const JWK::State& key, Algorithm alg, std::string_view input, std::string_view signature) {
  if (signature.size() != static_cast<std::size_t>(EVP_PKEY_get_size(key.pkey.get()))) return false;
  return digest_verify(key.pkey.get(), digest_of(alg), family_of(alg) == Family::rsa_pss, input, bytes(signature),
                       signature.size());
}

bool verify_ecdsa(const JWK::State& key, Algorithm alg, std::string_view input, std::string_view signature) {
  const std::size_t n = key.coordinate_size;
  if (signature.size() != 2 * n) return false;
  BIGNUM* r = BN_bin2bn(bytes(signature), static_cast<int>(n), nullptr);
  BIGNUM* s = BN_bin2bn(bytes(signature) + n, static_cast<int>(n), nullptr);
  std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(ECDSA_SIG_new(), ECDSA_SIG_free);
  if (!r || !s || !sig || !ECDSA_SIG_set0(sig.get(), r, s)) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  // r and s in 1..n-1; anything else never verifies.
  if (BN_is_zero(r) || BN_is_zero(s) || BN_cmp(r, key.order.get()) >= 0 || BN_cmp(s, key.order.get()) >= 0) {
    return false;
  }
  unsigned char der[160];
  unsigned char* out = der;
  int der_size = i2d_ECDSA_SIG(sig.get(), nullptr);
  if (der_size <= 0 || static_cast<std::size_t>(der_size) > sizeof der) return false;
  der_size = i2d_ECDSA_SIG(sig.get(), &out);
  return digest_verify(key.pkey.get(), digest_of(alg), false, input, der, static_cast<std::size_t>(der_size));
}

bool verify_eddsa(const JWK::State& key, std::string_view input, std::string_view signature) {
  return digest_verify(key.pkey.get(), nullptr, false, input, bytes(signature), signature.size());
}

}  // namespace corvane::jose
