// Ownership of OpenSSL objects and the text of its error queue.
#pragma once

#include <openssl/bn.h>
#include <openssl/core.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>
#include <string>

namespace corvane::jose::detail {

struct OsslFree {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
  void operator()(EVP_MAC_CTX* p) const noexcept { EVP_MAC_CTX_free(p); }
  void operator()(OSSL_PARAM_BLD* p) const noexcept { OSSL_PARAM_BLD_free(p); }
  void operator()(OSSL_PARAM* p) const noexcept { OSSL_PARAM_free(p); }
  void operator()(BIGNUM* p) const noexcept { BN_free(p); }
};

template <class T>
using Owned = std::unique_ptr<T, OsslFree>;

// Drains the calling thread's OpenSSL error queue into one line, so a failure
// is reported once and does not linger into the next operation.
std::string take_openssl_errors();

inline const unsigned char* bytes(const std::string& s) noexcept {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace corvane::jose::detail
