// One JSON Web Key (RFC 7517) holding a public verification key.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/util/json.hpp"

namespace corvane::jose {

// Immutable once built, and cheap to copy: copies share one imported key, which
// request threads use concurrently without locks. The one part that changes
// after loading is the key's pool of working OpenSSL contexts, lock-free and
// owned by the key (see verifier.hpp).
class JWK {
 public:
  // The members of one JWK object. Keys of type RSA ("n", "e"), EC ("crv"
  // P-256, P-384, P-521 or secp256k1; "x", "y"), OKP ("crv" Ed25519 or Ed448;
  // "x") and oct ("k") are imported; private members are ignored. Throws
  // InvalidJWKType for an unknown "kty", InvalidJWKValue for a bad member.
  explicit JWK(const Json& members);

  const std::string& kty() const noexcept;
  const std::optional<std::string>& kid() const noexcept;  // nullopt when absent
  const std::optional<std::string>& alg() const noexcept;
  const Json& members() const noexcept;  // as given

  // Whether this key may verify a token signed with `alg`: the algorithm is
  // one of its type and curve, "use" (when present) is "sig", "key_ops" (when
  // present) holds "verify", "alg" (when present) is `alg`, and an RSA key has
  // 2048 bits or more, an HMAC key at least as many bytes as the hash output.
  bool can_verify(std::string_view alg) const;

  // Whether `signature` (raw bytes, for ECDSA R||S) is valid for
  // `signing_input` with `alg`; false whenever can_verify(alg) is false.
  bool verify(std::string_view alg, std::string_view signing_input, std::string_view signature) const;

 private:
  struct State;
  std::shared_ptr<const State> state_;
};

}  // namespace corvane::jose
