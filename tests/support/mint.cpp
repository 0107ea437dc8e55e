#include "support/mint.hpp"

#include "corvane/jose/sign/signer.hpp"
#include "corvane/util/base64.hpp"

namespace corvane::testing {

std::string sign_hs256(const std::string& secret, const std::string& header, const std::string& payload) {
  return jose::SigningKey(Json{{"kty", "oct"}, {"k", base64url_encode(secret)}}).sign_compact("HS256", header, payload);
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
