// Making keys and signing compact tokens with them. The policy only
// verifies; this is for what makes tokens: the command line tool, the tests
// and the benchmarks, which thereby share one signer and one key import.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "corvane/util/json.hpp"

namespace corvane::jose {

// A private key, immutable once made; copies share it.
class SigningKey {
 public:
  // A fresh key for the JWS algorithm `alg`: RSA of `rsa_bits`, EC on the
  // algorithm's curve, an OKP key on `okp_curve` (Ed25519 or Ed448) for
  // EdDSA, or for HS* random bytes as many as the hash makes.
  static SigningKey generate(std::string_view alg, int rsa_bits = 2048, std::string_view okp_curve = "Ed25519");

  // From the members of a private JWK: RSA ("n", "e", "d", and the CRT
  // members when "p" is given), EC ("crv", "x", "y", "d"), OKP ("crv",
  // "d") or oct ("k"). A bad or missing member is an InvalidJWKValue, an
  // unknown "kty" an InvalidJWKType.
  explicit SigningKey(const Json& private_jwk);

  const Json& private_jwk() const noexcept;
  // The members a verifier needs: without the private ones, except that an
  // oct key is its own secret and comes back whole.
  Json public_jwk() const;

  // Whether `alg` is one of this key's own algorithms: of its type and, for
  // ECDSA, of its curve.
  bool suits(std::string_view alg) const noexcept;

  // The signature of `input` with `alg`, in the form a compact JWS carries
  // (ECDSA as R||S of the key's curve size). `alg` must be of the key's type
  // (InvalidJWAAlgorithm otherwise) but may name another hash than the key's
  // own, which is how tests make confusion cases.
  std::string sign(std::string_view alg, std::string_view input) const;

  // The compact JWS of `header` and `payload`, any texts, signed with `alg`.
  std::string sign_compact(std::string_view alg, std::string_view header, std::string_view payload) const;

 private:
  struct State;
  std::shared_ptr<const State> state_;
};

}  // namespace corvane::jose
