#include "corvane/jose/sign/signer.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <array>
#include <vector>

#include "corvane/jose/algorithm.hpp"
#include "corvane/jose/sign/private_key.hpp"
#include "corvane/jose/signature.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"

namespace corvane::jose {

using detail::Family;
using detail::KeyType;
using detail::Owned;

struct SigningKey::State {
  Json jwk;
  KeyType type = KeyType::oct;
  detail::KeyMaterial material;  // RSA, EC and OKP keys
  std::string secret;            // oct keys
  ~State() { OPENSSL_cleanse(secret.data(), secret.size()); }
};

namespace {

const detail::Algorithm& algorithm_named(std::string_view alg) {
  const detail::Algorithm* algorithm = detail::find_algorithm(alg);
  if (algorithm == nullptr) throw InvalidJWAAlgorithm("Algorithm '" + std::string(alg) + "' is not supported");
  return *algorithm;
}

KeyType key_type_of(Family family) {
  switch (family) {
    case Family::hmac: return KeyType::oct;
    case Family::rsa_pkcs1:
    case Family::rsa_pss: return KeyType::rsa;
    case Family::ecdsa: return KeyType::ec;
    case Family::eddsa: return KeyType::okp;
  }
  return KeyType::oct;
}

std::string kty_name(KeyType type) {
  switch (type) {
    case KeyType::rsa: return "RSA";
    case KeyType::ec: return "EC";
    case KeyType::okp: return "OKP";
    case KeyType::oct: return "oct";
  }
  return "";
}

[[noreturn]] void openssl_failed(const std::string& what) {
  throw JWException(what + ": " + detail::take_openssl_errors());
}

std::string b64(const std::vector<unsigned char>& bytes) {
  return base64url_encode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// A big-number parameter, minimal length or padded to `width` bytes.
std::string bn_member(const EVP_PKEY* pkey, const char* name, std::size_t width = 0) {
  BIGNUM* raw = nullptr;
  if (!EVP_PKEY_get_bn_param(pkey, name, &raw)) openssl_failed(std::string("Cannot read the key parameter ") + name);
  Owned<BIGNUM> number(raw);
  std::vector<unsigned char> out(width ? width : static_cast<std::size_t>(BN_num_bytes(number.get())));
  if (BN_bn2binpad(number.get(), out.data(), static_cast<int>(out.size())) < 0) {
    openssl_failed(std::string("Key parameter too large: ") + name);
  }
  std::string text = b64(out);
  OPENSSL_cleanse(out.data(), out.size());
  return text;
}

Json rsa_members(int bits) {
  Owned<EVP_PKEY> pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)));
  if (!pkey) openssl_failed("RSA key generation failed");
  Json jwk = {{"kty", "RSA"}};
  const std::pair<const char*, const char*> members[] = {
      {"n", OSSL_PKEY_PARAM_RSA_N},          {"e", OSSL_PKEY_PARAM_RSA_E},
      {"d", OSSL_PKEY_PARAM_RSA_D},          {"p", OSSL_PKEY_PARAM_RSA_FACTOR1},
      {"q", OSSL_PKEY_PARAM_RSA_FACTOR2},    {"dp", OSSL_PKEY_PARAM_RSA_EXPONENT1},
      {"dq", OSSL_PKEY_PARAM_RSA_EXPONENT2}, {"qi", OSSL_PKEY_PARAM_RSA_COEFFICIENT1}};
  for (const auto& [member, param] : members) jwk[member] = bn_member(pkey.get(), param);
  return jwk;
}

Json ec_members(const detail::CurveInfo& curve) {
  Owned<EVP_PKEY> pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve.openssl_name));
  if (!pkey) openssl_failed("EC key generation failed");
  return {{"kty", "EC"},
          {"crv", curve.jwk_name},
          {"x", bn_member(pkey.get(), OSSL_PKEY_PARAM_EC_PUB_X, curve.size)},
          {"y", bn_member(pkey.get(), OSSL_PKEY_PARAM_EC_PUB_Y, curve.size)},
          {"d", bn_member(pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, curve.size)}};
}

Json okp_members(const detail::CurveInfo& curve) {
  Owned<EVP_PKEY> pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, curve.openssl_name));
  if (!pkey) openssl_failed("OKP key generation failed");
  std::vector<unsigned char> pub(curve.size), priv(curve.size);
  std::size_t pub_size = pub.size(), priv_size = priv.size();
  if (!EVP_PKEY_get_raw_public_key(pkey.get(), pub.data(), &pub_size) ||
      !EVP_PKEY_get_raw_private_key(pkey.get(), priv.data(), &priv_size)) {
    openssl_failed("Cannot export the OKP key");
  }
  Json jwk = {{"kty", "OKP"}, {"crv", curve.jwk_name}, {"x", b64(pub)}, {"d", b64(priv)}};
  OPENSSL_cleanse(priv.data(), priv.size());
  return jwk;
}

Json oct_members(std::size_t size) {
  std::vector<unsigned char> secret(size);
  if (RAND_bytes(secret.data(), static_cast<int>(secret.size())) != 1) openssl_failed("No random bytes");
  Json jwk = {{"kty", "oct"}, {"k", b64(secret)}};
  OPENSSL_cleanse(secret.data(), secret.size());
  return jwk;
}

std::string hmac(const std::string& secret, const EVP_MD* md, std::string_view input) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  std::size_t length = 0;
  if (!EVP_Q_mac(nullptr, "HMAC", nullptr, EVP_MD_get0_name(md), nullptr, secret.data(), secret.size(),
                 reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac, sizeof mac, &length)) {
    openssl_failed("HMAC failed");
  }
  return std::string(reinterpret_cast<char*>(mac), length);
}

std::string digest_sign(EVP_PKEY* pkey, const detail::Algorithm& algorithm, std::string_view input) {
  Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by ctx
  const EVP_MD* md = detail::digest(algorithm.hash);
  if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, md, nullptr, pkey) <= 0) openssl_failed("Cannot start signing");
  if (algorithm.family == Family::rsa_pss &&
      (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
       EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) <= 0 ||
       EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, md) <= 0)) {
    openssl_failed("Cannot set up RSASSA-PSS");
  }
  const auto* data = reinterpret_cast<const unsigned char*>(input.data());
  std::size_t length = 0;
  if (EVP_DigestSign(ctx.get(), nullptr, &length, data, input.size()) <= 0) openssl_failed("Cannot sign");
  std::string signature(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, data, input.size()) <= 0) {
    openssl_failed("Cannot sign");
  }
  signature.resize(length);
  return signature;
}

}  // namespace

SigningKey SigningKey::generate(std::string_view alg, int rsa_bits, std::string_view okp_curve) {
  const detail::Algorithm& algorithm = algorithm_named(alg);
  switch (algorithm.family) {
    case Family::hmac: return SigningKey(oct_members(detail::digest_size(algorithm.hash)));
    case Family::rsa_pkcs1:
    case Family::rsa_pss: return SigningKey(rsa_members(rsa_bits));
    case Family::ecdsa: return SigningKey(ec_members(*detail::find_curve_info(algorithm.curve)));
    case Family::eddsa: {
      const detail::CurveInfo* curve = detail::find_curve_info(okp_curve);
      if (curve == nullptr || (curve->curve != detail::Curve::ed25519 && curve->curve != detail::Curve::ed448)) {
        throw InvalidJWKValue("Unknown curve '" + std::string(okp_curve) + "' for OKP key");
      }
      return SigningKey(okp_members(*curve));
    }
  }
  throw InvalidJWAAlgorithm("Algorithm '" + std::string(alg) + "' is not supported");
}

SigningKey::SigningKey(const Json& private_jwk) {
  if (!private_jwk.is_object()) throw InvalidJWKValue("A key must be an object, not " + std::string(type_name(private_jwk)));
  auto state = std::make_shared<State>();
  state->jwk = private_jwk;
  const auto kty = private_jwk.find("kty");
  if (kty == private_jwk.end() || !kty->is_string()) throw InvalidJWKValue("Missing 'kty' in key");
  const std::string& name = kty->get_ref<const std::string&>();
  if (name == "oct") {
    const auto k = private_jwk.find("k");
    if (k == private_jwk.end() || !k->is_string() || !base64url_decode(k->get_ref<const std::string&>(), state->secret)) {
      throw InvalidJWKValue("'k' of oct key is missing or not valid base64url");
    }
  } else {
    state->material = detail::import_private_key(private_jwk, name);
    state->type = state->material.type;
  }
  state_ = std::move(state);
}

const Json& SigningKey::private_jwk() const noexcept { return state_->jwk; }

Json SigningKey::public_jwk() const {
  Json out = state_->jwk;
  if (state_->type == KeyType::oct) return out;
  for (const char* member : {"d", "p", "q", "dp", "dq", "qi", "oth"}) out.erase(member);
  return out;
}

bool SigningKey::suits(std::string_view alg) const noexcept {
  const detail::Algorithm* algorithm = detail::find_algorithm(alg);
  if (algorithm == nullptr || key_type_of(algorithm->family) != state_->type) return false;
  return algorithm->family != Family::ecdsa || algorithm->curve == state_->material.curve;
}

std::string SigningKey::sign(std::string_view alg, std::string_view input) const {
  const detail::Algorithm& algorithm = algorithm_named(alg);
  const State& key = *state_;
  if (key_type_of(algorithm.family) != key.type) {
    throw InvalidJWAAlgorithm("A key of type " + kty_name(key.type) + " cannot sign " + std::string(alg));
  }
  switch (algorithm.family) {
    case Family::hmac: return hmac(key.secret, detail::digest(algorithm.hash), input);
    case Family::ecdsa:
      return detail::ecdsa_der_to_raw(key.material.curve, digest_sign(key.material.pkey.get(), algorithm, input));
    default: return digest_sign(key.material.pkey.get(), algorithm, input);
  }
}

std::string SigningKey::sign_compact(std::string_view alg, std::string_view header, std::string_view payload) const {
  // Appended piece by piece: GCC 12 at -O3 misreads "." + std::string as an
  // overlapping copy (-Wrestrict).
  std::string compact = base64url_encode(header);
  compact += '.';
  compact += base64url_encode(payload);
  const std::string signature = base64url_encode(sign(alg, compact));
  compact += '.';
  compact += signature;
  return compact;
}

}  // namespace corvane::jose
