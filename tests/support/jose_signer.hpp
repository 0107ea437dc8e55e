// Test keys over the one signer: a fresh key for every supported algorithm,
// its public JWK members, and compact tokens of any header and payload.
#pragma once

#include <string>

#include "corvane/jose/sign/signer.hpp"
#include "corvane/util/json.hpp"

namespace corvane::testing {

class TestKey {
 public:
  // A fresh key for `alg` (RSA of `rsa_bits` for RS*/PS*; "Ed448" makes an
  // EdDSA key on Ed448).
  explicit TestKey(const std::string& alg, int rsa_bits = 2048);

  const std::string& alg() const { return alg_; }
  // The public JWK members (for HS* the secret itself), with kid when given.
  Json public_jwk(const std::string& kid = "") const;
  // The signature of `signing_input` in its JWS form. `as_alg` signs with
  // another algorithm's digest (and padding) under this key, for confusion
  // cases such as a P-256 key making an ES384 signature.
  std::string sign(const std::string& signing_input, const std::string& as_alg = "") const;
  // A compact token of the given header and payload texts (any text, not
  // necessarily JSON).
  std::string sign_token(const std::string& header, const std::string& payload,
                         const std::string& as_alg = "") const;
  // A compact token with {"alg": alg, "kid": kid} and the claims.
  std::string token(const Json& claims, const std::string& kid = "") const;

 private:
  std::string alg_;
  jose::SigningKey key_;
};

}  // namespace corvane::testing
