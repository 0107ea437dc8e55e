// Importing JWK members into OpenSSL keys, once per key.
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include "corvane/jose/jwk_state.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"

namespace corvane::jose {
namespace {

struct ParamBuildDeleter {
  void operator()(OSSL_PARAM_BLD* build) const { OSSL_PARAM_BLD_free(build); }
};
struct ParamDeleter {
  void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};
struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct GroupDeleter {
  void operator()(EC_GROUP* group) const { EC_GROUP_free(group); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

// The bytes of a required base64url member.
std::string member_bytes(const Json& members, const char* name) {
  auto it = members.find(name);
  if (it == members.end()) throw InvalidJWKValue(std::string("JWK member \"") + name + "\" is missing");
  if (!it->is_string()) throw InvalidJWKValue(std::string("JWK member \"") + name + "\" must be text");
  std::string bytes;
  if (!base64url_decode(it->get_ref<const std::string&>(), bytes)) {
    throw InvalidJWKValue(std::string("JWK member \"") + name + "\" is not base64url");
  }
  return bytes;
}

std::string member_text(const Json& members, const char* name) {
  auto it = members.find(name);
  if (it == members.end() || !it->is_string()) {
    throw InvalidJWKValue(std::string("JWK member \"") + name + "\" must be text");
  }
  return it->get<std::string>();
}

PkeyPtr from_data(const char* type, OSSL_PARAM_BLD* build, const char* what) {
  std::unique_ptr<OSSL_PARAM, ParamDeleter> params(OSSL_PARAM_BLD_to_param(build));
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0) {
    throw InvalidJWKValue(std::string("invalid ") + what + " key");
  }
  return PkeyPtr(key);
}

void import_rsa(const Json& members, JWK::State& state) {
  std::string n = member_bytes(members, "n"), e = member_bytes(members, "e");
  if (n.empty() || e.empty()) throw InvalidJWKValue("RSA key with an empty modulus or exponent");
  BignumPtr modulus(BN_bin2bn(reinterpret_cast<const unsigned char*>(n.data()), static_cast<int>(n.size()), nullptr));
  BignumPtr exponent(BN_bin2bn(reinterpret_cast<const unsigned char*>(e.data()), static_cast<int>(e.size()), nullptr));
  if (!modulus || !exponent || BN_is_zero(modulus.get()) || !BN_is_odd(exponent.get()) || BN_is_one(exponent.get())) {
    throw InvalidJWKValue("invalid RSA modulus or exponent");
  }
  std::unique_ptr<OSSL_PARAM_BLD, ParamBuildDeleter> build(OSSL_PARAM_BLD_new());
  if (!build || !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) ||
      !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get())) {
    throw InvalidJWKValue("invalid RSA key");
  }
  state.pkey = from_data("RSA", build.get(), "RSA");
  state.algorithms = bit(Algorithm::RS256) | bit(Algorithm::RS384) | bit(Algorithm::RS512) |
                     bit(Algorithm::PS256) | bit(Algorithm::PS384) | bit(Algorithm::PS512);
}

struct Curve {
  const char* crv;
  const char* group;
  int nid;
  std::size_t size;
  Algorithm algorithm;
};
constexpr Curve kCurves[] = {
    {"P-256", "prime256v1", NID_X9_62_prime256v1, 32, Algorithm::ES256},
    {"P-384", "secp384r1", NID_secp384r1, 48, Algorithm::ES384},
    {"P-521", "secp521r1", NID_secp521r1, 66, Algorithm::ES512},
    {"secp256k1", "secp256k1", NID_secp256k1, 32, Algorithm::ES256K},
};

void import_ec(const Json& members, JWK::State& state) {
  std::string crv = member_text(members, "crv");
  const Curve* curve = nullptr;
  for (const auto& candidate : kCurves) {
    if (crv == candidate.crv) curve = &candidate;
  }
  if (!curve) throw InvalidJWKValue("unknown EC curve \"" + crv + "\"");
  std::string x = member_bytes(members, "x"), y = member_bytes(members, "y");
  if (x.size() != curve->size || y.size() != curve->size) {
    throw InvalidJWKValue("EC coordinates of the wrong length for " + crv);
  }
  std::string point = "\x04" + x + y;
  std::unique_ptr<OSSL_PARAM_BLD, ParamBuildDeleter> build(OSSL_PARAM_BLD_new());
  if (!build || !OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, curve->group, 0) ||
      !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size())) {
    throw InvalidJWKValue("invalid EC key");
  }
  state.pkey = from_data("EC", build.get(), "EC");
  PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, state.pkey.get(), nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) throw InvalidJWKValue("EC point is not on " + crv);

  std::unique_ptr<EC_GROUP, GroupDeleter> group(EC_GROUP_new_by_curve_name(curve->nid));
  if (!group) throw InvalidJWKValue("EC curve " + crv + " is not available");
  state.order.reset(BN_dup(EC_GROUP_get0_order(group.get())));
  if (!state.order) throw std::bad_alloc();
  state.coordinate_size = curve->size;
  state.algorithms = bit(curve->algorithm);
}

void import_okp(const Json& members, JWK::State& state) {
  std::string crv = member_text(members, "crv");
  const char* type = crv == "Ed25519" ? "ED25519" : crv == "Ed448" ? "ED448" : nullptr;
  if (!type) throw InvalidJWKValue("unknown OKP curve \"" + crv + "\"");
  std::string x = member_bytes(members, "x");
  if (x.size() != (crv == "Ed25519" ? 32u : 57u)) throw InvalidJWKValue("OKP key of the wrong length for " + crv);
  state.pkey.reset(EVP_PKEY_new_raw_public_key_ex(nullptr, type, nullptr,
                                                  reinterpret_cast<const unsigned char*>(x.data()), x.size()));
  if (!state.pkey) throw InvalidJWKValue("invalid " + crv + " key");
  state.algorithms = bit(Algorithm::EdDSA);
}

void import_oct(const Json& members, JWK::State& state) {
  state.secret = member_bytes(members, "k");
  state.algorithms = bit(Algorithm::HS256) | bit(Algorithm::HS384) | bit(Algorithm::HS512);
}

}  // namespace

void import_key(const Json& members, JWK::State& state) {
  if (state.kty == "RSA") return import_rsa(members, state);
  if (state.kty == "EC") return import_ec(members, state);
  if (state.kty == "OKP") return import_okp(members, state);
  if (state.kty == "oct") return import_oct(members, state);
  throw InvalidJWKType("unknown key type \"" + state.kty + "\"");
}

}  // namespace corvane::jose
