// A public JSON Web Key (RFC 7517), imported once into OpenSSL and immutable
// afterwards: copies share one key, and threads verify with it concurrently.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/jose/algorithm.hpp"
#include "corvane/util/json.hpp"

namespace corvane::jose {

class JWK {
 public:
  // The members of one JWK object. Types RSA (n, e), EC (crv P-256, P-384,
  // P-521, secp256k1; x, y), OKP (crv Ed25519, Ed448; x) and oct (k).
  // Private members are ignored. Unknown kty: InvalidJWKType; bad, missing
  // or ill-typed members, unknown crv, a point off its curve:
  // InvalidJWKValue.
  explicit JWK(const Json& members);

  const std::string& kty() const;
  const std::optional<std::string>& kid() const;
  const std::optional<std::string>& alg() const;
  const Json& members() const;

  // Whether this key may verify a token of `algorithm`: the key's type and
  // curve fit it, its "use" (if any) is "sig", its "key_ops" (if any) hold
  // "verify", its "alg" (if any) is the same, and it is strong enough (RSA
  // of 2048 bits or more, an HMAC secret no shorter than the hash).
  bool can_verify(Algorithm algorithm) const;

  // Verifies `signature` over `signing_input`; false for any mismatch,
  // including an algorithm the key may not verify.
  bool verify(Algorithm algorithm, std::string_view signing_input, std::string_view signature) const;

  struct State;

 private:
  std::shared_ptr<const State> state_;
};

}  // namespace corvane::jose
