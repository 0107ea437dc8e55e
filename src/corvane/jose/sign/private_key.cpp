// Importing the private part of RSA, EC and OKP JWKs, for signing: only the
// tools, the tests and the benchmarks make tokens.
#include <openssl/core_names.h>
#include <openssl/crypto.h>

#include <string>
#include <utility>
#include <vector>

#include "corvane/jose/sign/private_key.hpp"
#include "corvane/util/errors.hpp"

namespace corvane::jose::detail {
namespace {

KeyMaterial import_private_rsa(const Json& members) {
  const std::string kty = "RSA";
  // The CRT members make signing fast; a key without "p" has none of them.
  std::vector<std::pair<const char*, const char*>> names = {
      {"n", OSSL_PKEY_PARAM_RSA_N}, {"e", OSSL_PKEY_PARAM_RSA_E}, {"d", OSSL_PKEY_PARAM_RSA_D}};
  if (members.contains("p")) {
    names.insert(names.end(), {{"p", OSSL_PKEY_PARAM_RSA_FACTOR1},
                               {"q", OSSL_PKEY_PARAM_RSA_FACTOR2},
                               {"dp", OSSL_PKEY_PARAM_RSA_EXPONENT1},
                               {"dq", OSSL_PKEY_PARAM_RSA_EXPONENT2},
                               {"qi", OSSL_PKEY_PARAM_RSA_COEFFICIENT1}});
  }
  Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
  std::vector<Owned<BIGNUM>> numbers;
  for (const auto& [name, param] : names) {
    std::string value = member_bytes(members, name, kty);
    numbers.emplace_back(BN_bin2bn(bytes(value), static_cast<int>(value.size()), nullptr));
    OPENSSL_cleanse(value.data(), value.size());
    if (!builder || !numbers.back() || !OSSL_PARAM_BLD_push_BN(builder.get(), param, numbers.back().get())) {
      push_failed(kty);
    }
  }
  KeyMaterial key;
  key.type = KeyType::rsa;
  key.pkey = from_params("RSA", builder.get(), kty, EVP_PKEY_KEYPAIR);
  key.rsa_bits = EVP_PKEY_get_bits(key.pkey.get());
  return key;
}

KeyMaterial import_private_ec(const Json& members) {
  const std::string kty = "EC";
  const CurveInfo& curve = curve_of(members, kty);
  const std::string point = ec_point(members, curve);
  std::string d = member_bytes(members, "d", kty);
  Owned<BIGNUM> scalar(BN_bin2bn(bytes(d), static_cast<int>(d.size()), nullptr));
  OPENSSL_cleanse(d.data(), d.size());
  Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
  if (!scalar || !builder ||
      !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, curve.openssl_name, 0) ||
      !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) ||
      !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get())) {
    push_failed(kty);
  }
  KeyMaterial key;
  key.type = KeyType::ec;
  key.curve = curve.curve;
  key.pkey = from_params("EC", builder.get(), kty, EVP_PKEY_KEYPAIR);
  return key;
}

KeyMaterial import_private_okp(const Json& members) {
  const std::string kty = "OKP";
  const CurveInfo& curve = curve_of(members, kty);
  std::string d = member_bytes(members, "d", kty);
  require_size(d, "d", curve);
  KeyMaterial key;
  key.type = KeyType::okp;
  key.curve = curve.curve;
  key.pkey.reset(EVP_PKEY_new_raw_private_key_ex(nullptr, curve.openssl_name, nullptr, bytes(d), d.size()));
  OPENSSL_cleanse(d.data(), d.size());
  if (!key.pkey) push_failed(kty);
  return key;
}

}  // namespace

KeyMaterial import_private_key(const Json& members, const std::string& kty) {
  if (kty == "RSA") return import_private_rsa(members);
  if (kty == "EC") return import_private_ec(members);
  if (kty == "OKP") return import_private_okp(members);
  throw InvalidJWKType("Unknown private key type '" + kty + "'");
}

}  // namespace corvane::jose::detail
