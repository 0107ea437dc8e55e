// Checking a JWS signature over its signing input with an imported key.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "corvane/jose/algorithm.hpp"
#include "corvane/jose/key_material.hpp"

namespace corvane::jose::detail {

// Sets up `key` to verify every algorithm of its type and curve (RSA: RS*
// and PS*; EC: the ES* of its curve; OKP: EdDSA; oct: the HS* its secret is
// long enough for). A JWException when OpenSSL cannot.
void prepare_verifiers(KeyMaterial& key);

// Whether `signature` is valid for `input` under `key` with `algorithm`. The
// caller has checked that the key suits the algorithm. A signature that does
// not verify is false; a failure of OpenSSL itself is a JWException.
bool verify_signature(const KeyMaterial& key, const Algorithm& algorithm, std::string_view input,
                      std::string_view signature);

// The DER form (RFC 3279 Ecdsa-Sig-Value) of a raw JWS ECDSA signature R||S of
// the curve's size, or "" when its length is wrong or r or s is outside
// 1..n-1 (RFC 7518 3.4).
std::string ecdsa_raw_to_der(Curve curve, std::string_view raw);

// The same into `out`, without allocating: its length, or 0 when refused.
constexpr std::size_t kMaxEcdsaDerSize = 3 + 2 * (3 + 66);  // P-521
std::size_t ecdsa_raw_to_der(Curve curve, std::string_view raw, unsigned char (&out)[kMaxEcdsaDerSize]);

// The raw JWS form R||S, each padded to the curve's size, of an ECDSA
// signature in DER, as OpenSSL makes it. A JWException when it is not one.
std::string ecdsa_der_to_raw(Curve curve, std::string_view der);

}  // namespace corvane::jose::detail
