#include "corvane/jose/signature.hpp"

#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "corvane/util/errors.hpp"

namespace corvane::jose::detail {
namespace {

const unsigned char* bytes_of(std::string_view s) noexcept { return reinterpret_cast<const unsigned char*>(s.data()); }

// The group orders, big-endian and padded to the coordinate size, so r and s
// compare against them as plain byte strings.
const std::string& group_order(Curve curve) {
  static const std::array<std::string, 4> orders = [] {
    constexpr std::array<std::pair<int, Curve>, 4> curves{{{NID_X9_62_prime256v1, Curve::p256},
                                                          {NID_secp384r1, Curve::p384},
                                                          {NID_secp521r1, Curve::p521},
                                                          {NID_secp256k1, Curve::secp256k1}}};
    std::array<std::string, 4> result;
    for (std::size_t i = 0; i < curves.size(); ++i) {
      EC_GROUP* group = EC_GROUP_new_by_curve_name(curves[i].first);
      const BIGNUM* order = group ? EC_GROUP_get0_order(group) : nullptr;
      std::string padded(coordinate_size(curves[i].second), '\0');
      const bool ok = order && BN_bn2binpad(order, reinterpret_cast<unsigned char*>(padded.data()),
                                            static_cast<int>(padded.size())) > 0;
      EC_GROUP_free(group);
      if (!ok) throw JWException("Cannot load the order of an EC group: " + take_openssl_errors());
      result[i] = std::move(padded);
    }
    return result;
  }();
  switch (curve) {
    case Curve::p256: return orders[0];
    case Curve::p384: return orders[1];
    case Curve::p521: return orders[2];
    default: return orders[3];
  }
}

std::size_t hmac_index(Hash hash) noexcept { return hash == Hash::sha256 ? 0 : hash == Hash::sha384 ? 1 : 2; }

// 0 < value < order, both of the same length.
bool in_scalar_range(std::string_view value, const std::string& order) {
  const bool zero = std::all_of(value.begin(), value.end(), [](char c) { return c == 0; });
  return !zero && std::memcmp(value.data(), order.data(), order.size()) < 0;
}

// Writes the DER INTEGER of an unsigned big-endian value at `out`.
unsigned char* put_der_integer(unsigned char* out, std::string_view value) noexcept {
  std::size_t skip = 0;
  while (skip + 1 < value.size() && value[skip] == 0) ++skip;
  value.remove_prefix(skip);
  const bool high_bit = (static_cast<unsigned char>(value[0]) & 0x80) != 0;
  *out++ = 0x02;
  *out++ = static_cast<unsigned char>(value.size() + (high_bit ? 1 : 0));  // at most 67: short form
  if (high_bit) *out++ = 0;
  std::memcpy(out, value.data(), value.size());
  return out + value.size();
}

bool suits(const KeyMaterial& key, const Algorithm& algorithm) noexcept {
  switch (algorithm.family) {
    case Family::hmac: return key.type == KeyType::oct && key.hmac[hmac_index(algorithm.hash)];
    case Family::rsa_pkcs1:
    case Family::rsa_pss: return key.type == KeyType::rsa;
    case Family::ecdsa: return key.type == KeyType::ec && key.curve == algorithm.curve;
    case Family::eddsa: return key.type == KeyType::okp;
  }
  return false;
}

}  // namespace

std::size_t ecdsa_raw_to_der(Curve curve, std::string_view raw, unsigned char (&out)[kMaxEcdsaDerSize]) {
  const std::size_t size = coordinate_size(curve);
  if (size == 0 || raw.size() != 2 * size) return 0;
  const std::string& order = group_order(curve);
  const std::string_view r = raw.substr(0, size), s = raw.substr(size);
  if (!in_scalar_range(r, order) || !in_scalar_range(s, order)) return 0;
  // The integers go three bytes in, leaving room for the longest sequence header.
  unsigned char* const body = out + 3;
  const auto body_size = static_cast<std::size_t>(put_der_integer(put_der_integer(body, r), s) - body);
  if (body_size >= 0x80) {  // P-521 needs the long form
    out[0] = 0x30;
    out[1] = 0x81;
    out[2] = static_cast<unsigned char>(body_size);
    return 3 + body_size;
  }
  std::memmove(out + 2, body, body_size);
  out[0] = 0x30;
  out[1] = static_cast<unsigned char>(body_size);
  return 2 + body_size;
}

std::string ecdsa_raw_to_der(Curve curve, std::string_view raw) {
  unsigned char der[kMaxEcdsaDerSize];
  const std::size_t size = ecdsa_raw_to_der(curve, raw, der);
  return std::string(reinterpret_cast<const char*>(der), size);
}

std::string ecdsa_der_to_raw(Curve curve, std::string_view der) {
  const std::size_t size = coordinate_size(curve);
  const auto* cursor = bytes_of(der);
  std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(
      d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())), ECDSA_SIG_free);
  std::string raw(2 * size, '\0');
  auto* out = reinterpret_cast<unsigned char*>(raw.data());
  if (!sig || size == 0 || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out, static_cast<int>(size)) < 0 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out + size, static_cast<int>(size)) < 0) {
    throw JWException("Not an ECDSA signature of the curve: " + take_openssl_errors());
  }
  return raw;
}

void prepare_verifiers(KeyMaterial& key) {
  for (const Algorithm& algorithm : algorithms()) {
    if (!suits(key, algorithm)) continue;
    if (algorithm.family == Family::hmac) {
      key.verifiers.push_back(std::make_unique<PreparedVerifier>(algorithm, key.hmac[hmac_index(algorithm.hash)].get()));
    } else {
      key.verifiers.push_back(std::make_unique<PreparedVerifier>(algorithm, key.pkey.get()));
    }
  }
}

bool verify_signature(const KeyMaterial& key, const Algorithm& algorithm, std::string_view input,
                      std::string_view signature) {
  for (const auto& verifier : key.verifiers) {
    if (&verifier->algorithm() != &algorithm) continue;
    if (algorithm.family != Family::ecdsa) return verifier->verify(input, signature);
    unsigned char der[kMaxEcdsaDerSize];
    const std::size_t size = ecdsa_raw_to_der(key.curve, signature, der);
    return size != 0 && verifier->verify(input, std::string_view(reinterpret_cast<const char*>(der), size));
  }
  return false;
}

}  // namespace corvane::jose::detail
