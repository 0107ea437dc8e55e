// Importing the public part of RSA, EC, OKP and oct JWKs (RFC 7517, RFC 7518
// section 6, RFC 8037) into verification-ready OpenSSL objects.
#include <openssl/core_names.h>
#include <openssl/crypto.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "corvane/jose/key_material.hpp"
#include "corvane/jose/signature.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"

namespace corvane::jose::detail {
namespace {

// Bounds the cost of loading (the public check tests the modulus, 2 s for
// 16,384 bits) and of each verification, at twice the largest size in real
// use (4,096 bits).
constexpr int kMaxRsaModulusBits = 8192;

constexpr std::array<CurveInfo, 4> kEcCurves{{
    {"P-256", Curve::p256, "prime256v1", 32},
    {"P-384", Curve::p384, "secp384r1", 48},
    {"P-521", Curve::p521, "secp521r1", 66},
    {"secp256k1", Curve::secp256k1, "secp256k1", 32},
}};

constexpr std::array<CurveInfo, 2> kOkpCurves{{
    {"Ed25519", Curve::ed25519, "ED25519", 32},
    {"Ed448", Curve::ed448, "ED448", 57},
}};

const Json& member(const Json& members, const char* name, const std::string& kty) {
  auto it = members.find(name);
  if (it == members.end()) throw InvalidJWKValue("Missing '" + std::string(name) + "' in " + kty + " key");
  if (!it->is_string()) {
    throw InvalidJWKValue("'" + std::string(name) + "' of " + kty + " key must be a string, not " +
                          type_name(*it));
  }
  return *it;
}

}  // namespace

std::string member_bytes(const Json& members, const char* name, const std::string& kty) {
  std::string out;
  if (!base64url_decode(member(members, name, kty).get_ref<const std::string&>(), out)) {
    throw InvalidJWKValue("'" + std::string(name) + "' of " + kty + " key is not valid base64url");
  }
  return out;
}

namespace {

template <std::size_t N>
const CurveInfo& find_curve(const Json& members, const std::string& kty, const std::array<CurveInfo, N>& curves) {
  const std::string& name = member(members, "crv", kty).get_ref<const std::string&>();
  for (const CurveInfo& info : curves) {
    if (info.jwk_name == name) return info;
  }
  throw InvalidJWKValue("Unknown curve '" + name + "' for " + kty + " key");
}

}  // namespace

const CurveInfo& curve_of(const Json& members, const std::string& kty) {
  return kty == "EC" ? find_curve(members, kty, kEcCurves) : find_curve(members, kty, kOkpCurves);
}

void require_size(const std::string& value, const char* name, const CurveInfo& curve) {
  if (value.size() != curve.size) {
    throw InvalidJWKValue("'" + std::string(name) + "' of a " + std::string(curve.jwk_name) + " key must be " +
                          std::to_string(curve.size) + " bytes, not " + std::to_string(value.size()));
  }
}

std::string ec_point(const Json& members, const CurveInfo& curve) {
  const std::string x = member_bytes(members, "x", "EC");
  const std::string y = member_bytes(members, "y", "EC");
  require_size(x, "x", curve);
  require_size(y, "y", curve);
  return "\x04" + x + y;  // uncompressed form (SEC 1, 2.3.3)
}

Owned<EVP_PKEY> from_params(const char* type, OSSL_PARAM_BLD* builder, const std::string& kty, int selection) {
  Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder));
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  EVP_PKEY* pkey = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &pkey, selection, params.get()) <= 0) {
    throw InvalidJWKValue("Cannot import " + kty + " key: " + take_openssl_errors());
  }
  return Owned<EVP_PKEY>(pkey);
}

namespace {

// Catches what the import alone lets through: an EC point off its curve or of
// the wrong order, an RSA modulus that is even or an exponent that is unusable.
void check_public(EVP_PKEY* pkey, const std::string& kty) {
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  if (!ctx || EVP_PKEY_public_check(ctx.get()) != 1) {
    throw InvalidJWKValue("Invalid " + kty + " public key: " + take_openssl_errors());
  }
}

}  // namespace

void push_failed(const std::string& kty) {
  throw InvalidJWKValue("Cannot import " + kty + " key: " + take_openssl_errors());
}

namespace {

KeyMaterial import_rsa(const Json& members) {
  const std::string kty = "RSA";
  const std::string n = member_bytes(members, "n", kty);
  const std::string e = member_bytes(members, "e", kty);
  if (n.empty() || e.empty()) throw InvalidJWKValue("'n' and 'e' of RSA key must not be empty");
  if (n.size() > 2 * kMaxRsaModulusBits / 8) throw InvalidJWKValue("'n' of RSA key is longer than 8192 bits");
  Owned<BIGNUM> modulus(BN_bin2bn(bytes(n), static_cast<int>(n.size()), nullptr));
  Owned<BIGNUM> exponent(BN_bin2bn(bytes(e), static_cast<int>(e.size()), nullptr));
  // Counted in bits, so leading zero bytes neither hide nor add any.
  if (modulus && BN_num_bits(modulus.get()) > kMaxRsaModulusBits) {
    throw InvalidJWKValue("'n' of RSA key is longer than 8192 bits");
  }
  Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
  if (!modulus || !exponent || !builder ||
      !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) ||
      !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get())) {
    push_failed(kty);
  }
  KeyMaterial key;
  key.type = KeyType::rsa;
  key.pkey = from_params("RSA", builder.get(), kty, EVP_PKEY_PUBLIC_KEY);
  check_public(key.pkey.get(), kty);
  key.rsa_bits = EVP_PKEY_get_bits(key.pkey.get());
  return key;
}

KeyMaterial import_ec(const Json& members) {
  const std::string kty = "EC";
  const CurveInfo& curve = curve_of(members, kty);
  const std::string point = ec_point(members, curve);
  Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
  if (!builder || !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, curve.openssl_name, 0) ||
      !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size())) {
    push_failed(kty);
  }
  KeyMaterial key;
  key.type = KeyType::ec;
  key.curve = curve.curve;
  key.pkey = from_params("EC", builder.get(), kty, EVP_PKEY_PUBLIC_KEY);
  check_public(key.pkey.get(), kty);
  return key;
}

KeyMaterial import_okp(const Json& members) {
  const std::string kty = "OKP";
  const CurveInfo& curve = curve_of(members, kty);
  const std::string x = member_bytes(members, "x", kty);
  require_size(x, "x", curve);
  Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
  if (!builder || !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, x.data(), x.size())) {
    push_failed(kty);
  }
  KeyMaterial key;
  key.type = KeyType::okp;
  key.curve = curve.curve;
  key.pkey = from_params(curve.openssl_name, builder.get(), kty, EVP_PKEY_PUBLIC_KEY);
  return key;
}

EVP_MAC* hmac_algorithm() {
  static EVP_MAC* const mac = [] {
    EVP_MAC* fetched = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (fetched == nullptr) throw JWException("Cannot fetch HMAC: " + take_openssl_errors());
    return fetched;
  }();
  return mac;
}

KeyMaterial import_oct(const Json& members) {
  std::string secret = member_bytes(members, "k", "oct");
  KeyMaterial key;
  key.type = KeyType::oct;
  key.secret_size = secret.size();
  constexpr std::array<Hash, 3> hashes{Hash::sha256, Hash::sha384, Hash::sha512};
  for (std::size_t i = 0; i < hashes.size(); ++i) {
    // RFC 7518 3.2: a key shorter than the hash output must not be used.
    if (secret.size() < digest_size(hashes[i])) continue;
    std::string name = EVP_MD_get0_name(digest(hashes[i]));
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, name.data(), 0),
                                 OSSL_PARAM_construct_end()};
    Owned<EVP_MAC_CTX> ctx(EVP_MAC_CTX_new(hmac_algorithm()));
    if (!ctx || !EVP_MAC_init(ctx.get(), bytes(secret), secret.size(), params)) {
      OPENSSL_cleanse(secret.data(), secret.size());
      throw InvalidJWKValue("Cannot key HMAC with oct key: " + take_openssl_errors());
    }
    key.hmac[i] = std::move(ctx);
  }
  OPENSSL_cleanse(secret.data(), secret.size());
  return key;
}

template <class Match>
const CurveInfo* find_in_tables(Match match) noexcept {
  for (const CurveInfo& info : kEcCurves) {
    if (match(info)) return &info;
  }
  for (const CurveInfo& info : kOkpCurves) {
    if (match(info)) return &info;
  }
  return nullptr;
}

}  // namespace

const CurveInfo* find_curve_info(Curve curve) noexcept {
  return find_in_tables([&](const CurveInfo& info) { return info.curve == curve; });
}

const CurveInfo* find_curve_info(std::string_view jwk_name) noexcept {
  return find_in_tables([&](const CurveInfo& info) { return info.jwk_name == jwk_name; });
}

KeyMaterial import_key(const Json& members, const std::string& kty) {
  KeyMaterial key;
  if (kty == "RSA") {
    key = import_rsa(members);
  } else if (kty == "EC") {
    key = import_ec(members);
  } else if (kty == "OKP") {
    key = import_okp(members);
  } else if (kty == "oct") {
    key = import_oct(members);
  } else {
    throw InvalidJWKType("Unknown key type '" + kty + "'");
  }
  prepare_verifiers(key);
  return key;
}

std::size_t coordinate_size(Curve curve) noexcept {
  for (const CurveInfo& info : kEcCurves) {
    if (info.curve == curve) return info.size;
  }
  return 0;
}

}  // namespace corvane::jose::detail
