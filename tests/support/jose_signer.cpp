#include "support/jose_signer.hpp"

namespace corvane::testing {

TestKey::TestKey(const std::string& alg, int rsa_bits)
    : alg_(alg == "Ed448" ? "EdDSA" : alg),
      key_(jose::SigningKey::generate(alg_, rsa_bits, alg == "Ed448" ? "Ed448" : "Ed25519")) {}

Json TestKey::public_jwk(const std::string& kid) const {
  Json jwk = key_.public_jwk();
  if (!kid.empty()) jwk["kid"] = kid;
  return jwk;
}

std::string TestKey::sign(const std::string& input, const std::string& as_alg) const {
  return key_.sign(as_alg.empty() ? alg_ : as_alg, input);
}

std::string TestKey::sign_token(const std::string& header, const std::string& payload, const std::string& as_alg) const {
  return key_.sign_compact(as_alg.empty() ? alg_ : as_alg, header, payload);
}

std::string TestKey::token(const Json& claims, const std::string& kid) const {
  Json header = {{"alg", alg_}};
  if (!kid.empty()) header["kid"] = kid;
  return sign_token(header.dump(), claims.dump());
}

}  // namespace corvane::testing
