#include "common/oauth_crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "common/app_errors.hpp"
#include "corvane/util/base64.hpp"

namespace corvane::apps {

std::string random_token() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw CryptoError("no random bytes");
  return base64url_encode(std::string_view(reinterpret_cast<char*>(bytes), sizeof bytes));
}

std::string s256_challenge(std::string_view verifier) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!EVP_Digest(verifier.data(), verifier.size(), out, &length, EVP_sha256(), nullptr)) {
    throw CryptoError("SHA-256 failed");
  }
  return base64url_encode(std::string_view(reinterpret_cast<char*>(out), length));
}

bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace corvane::apps
