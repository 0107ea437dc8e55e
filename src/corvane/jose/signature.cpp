#include "corvane/jose/signature.hpp"

#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/rsa.h>

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

// 0 < value < order, both of the same length.
bool in_scalar_range(std::string_view value, const std::string& order) {
  const bool zero = std::all_of(value.begin(), value.end(), [](char c) { return c == 0; });
  return !zero && std::memcmp(value.data(), order.data(), order.size()) < 0;
}

void append_der_integer(std::string& out, std::string_view value) {
  std::size_t skip = 0;
  while (skip + 1 < value.size() && value[skip] == 0) ++skip;
  value.remove_prefix(skip);
  const bool high_bit = (static_cast<unsigned char>(value[0]) & 0x80) != 0;
  out.push_back(0x02);
  out.push_back(static_cast<char>(value.size() + (high_bit ? 1 : 0)));  // at most 67: short form
  if (high_bit) out.push_back(0);
  out.append(value);
}

bool verify_hmac(const EVP_MAC_CTX* keyed, std::string_view input, std::string_view signature) {
  Owned<EVP_MAC_CTX> ctx(EVP_MAC_CTX_dup(keyed));
  unsigned char mac[EVP_MAX_MD_SIZE];
  std::size_t length = 0;
  if (!ctx || !EVP_MAC_update(ctx.get(), bytes_of(input), input.size()) ||
      !EVP_MAC_final(ctx.get(), mac, &length, sizeof mac)) {
    throw JWException("HMAC failed: " + take_openssl_errors());
  }
  return signature.size() == length && CRYPTO_memcmp(mac, signature.data(), length) == 0;
}

bool digest_verify(EVP_PKEY* pkey, const Algorithm& algorithm, std::string_view input, std::string_view signature) {
  Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by ctx
  const EVP_MD* md = digest(algorithm.hash);
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, md, nullptr, pkey) <= 0) {
    throw JWException("Cannot start verification: " + take_openssl_errors());
  }
  if (algorithm.family == Family::rsa_pss &&
      (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
       EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) <= 0 ||
       EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, md) <= 0)) {
    throw JWException("Cannot set up RSASSA-PSS: " + take_openssl_errors());
  }
  const int result = EVP_DigestVerify(ctx.get(), bytes_of(signature), signature.size(), bytes_of(input), input.size());
  // A mismatch leaves reasons on the queue; they are the expected outcome, not a fault.
  if (result != 1) ERR_clear_error();
  return result == 1;
}

}  // namespace

std::string ecdsa_raw_to_der(Curve curve, std::string_view raw) {
  const std::size_t size = coordinate_size(curve);
  if (size == 0 || raw.size() != 2 * size) return {};
  const std::string& order = group_order(curve);
  const std::string_view r = raw.substr(0, size), s = raw.substr(size);
  if (!in_scalar_range(r, order) || !in_scalar_range(s, order)) return {};
  std::string body;
  append_der_integer(body, r);
  append_der_integer(body, s);
  std::string der(1, 0x30);
  if (body.size() >= 0x80) der.push_back(static_cast<char>(0x81));  // P-521 needs the long form
  der.push_back(static_cast<char>(body.size()));
  return der + body;
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

bool verify_signature(const KeyMaterial& key, const Algorithm& algorithm, std::string_view input,
                      std::string_view signature) {
  switch (algorithm.family) {
    case Family::hmac: {
      const std::size_t index = algorithm.hash == Hash::sha256 ? 0 : algorithm.hash == Hash::sha384 ? 1 : 2;
      return key.hmac[index] && verify_hmac(key.hmac[index].get(), input, signature);
    }
    case Family::rsa_pkcs1:
    case Family::rsa_pss:
    case Family::eddsa:
      return digest_verify(key.pkey.get(), algorithm, input, signature);
    case Family::ecdsa: {
      const std::string der = ecdsa_raw_to_der(key.curve, signature);
      return !der.empty() && digest_verify(key.pkey.get(), algorithm, input, der);
    }
  }
  return false;
}

}  // namespace corvane::jose::detail
