#include "support/mint.hpp"

#include <openssl/evp.h>

#include <stdexcept>

#include "corvane/util/base64.hpp"

namespace corvane::testing {

std::string sign_hs256(const std::string& secret, const std::string& header, const std::string& payload) {
  std::string signing_input = base64url_encode(header) + "." + base64url_encode(payload);
  unsigned char mac[EVP_MAX_MD_SIZE];
  size_t length = 0;
  if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, secret.data(), secret.size(),
                 reinterpret_cast<const unsigned char*>(signing_input.data()), signing_input.size(), mac,
                 sizeof mac, &length)) {
    throw std::runtime_error("HMAC failed");
  }
  return signing_input + "." + base64url_encode(std::string(reinterpret_cast<char*>(mac), length));
}

std::string mint_hs256(const std::string& secret, const std::string& kid, const Json& claims) {
  Json header = {{"alg", "HS256"}, {"kid", kid}};
  return sign_hs256(secret, header.dump(), claims.dump());
}

std::string bearer(const std::string& compact_jwt) { return "Bearer " + base64_encode(compact_jwt); }

Json oct_jwk(const std::string& secret, const std::string& kid) {
  return {{"kty", "oct"}, {"kid", kid}, {"k", base64url_encode(secret)}};
}

}  // namespace corvane::testing
