// A JWK's descriptive members and the rules for which tokens it may verify.
#include "corvane/jose/jwk.hpp"

#include <algorithm>

#include "corvane/jose/key_material.hpp"
#include "corvane/jose/signature.hpp"
#include "corvane/util/errors.hpp"

namespace corvane::jose {

struct JWK::State {
  std::string kty;
  std::optional<std::string> kid;
  std::optional<std::string> alg;
  Json members;
  bool for_signatures = true;  // from "use" and "key_ops"
  detail::KeyMaterial key;
};

namespace {

std::optional<std::string> optional_text(const Json& members, const char* name) {
  auto it = members.find(name);
  if (it == members.end()) return std::nullopt;
  if (!it->is_string()) {
    throw InvalidJWKValue("'" + std::string(name) + "' of a key must be a string, not " + type_name(*it));
  }
  return it->get<std::string>();
}

// "key_ops" holds "verify" (RFC 7517 4.3); absent means unrestricted.
bool key_ops_allow_verify(const Json& members) {
  auto it = members.find("key_ops");
  if (it == members.end()) return true;
  if (!it->is_array() || !std::all_of(it->begin(), it->end(), [](const Json& op) { return op.is_string(); })) {
    throw InvalidJWKValue("'key_ops' of a key must be a list of strings");
  }
  return std::find(it->begin(), it->end(), Json("verify")) != it->end();
}

}  // namespace

JWK::JWK(const Json& members) {
  if (!members.is_object()) throw InvalidJWKValue(std::string("A key must be an object, not ") + type_name(members));
  auto state = std::make_shared<State>();
  const std::optional<std::string> kty = optional_text(members, "kty");
  if (!kty) throw InvalidJWKValue("Missing 'kty' in key");
  state->kty = *kty;
  state->kid = optional_text(members, "kid");
  state->alg = optional_text(members, "alg");
  const std::optional<std::string> use = optional_text(members, "use");
  const bool ops_allow = key_ops_allow_verify(members);
  state->for_signatures = (!use || *use == "sig") && ops_allow;
  state->key = detail::import_key(members, state->kty);
  state->members = members;
  state_ = std::move(state);
}

const std::string& JWK::kty() const noexcept { return state_->kty; }
const std::optional<std::string>& JWK::kid() const noexcept { return state_->kid; }
const std::optional<std::string>& JWK::alg() const noexcept { return state_->alg; }
const Json& JWK::members() const noexcept { return state_->members; }

namespace {

// can_verify() for an algorithm already looked up by its name `alg`.
bool may_verify(const JWK& jwk, const detail::KeyMaterial& key, bool for_signatures,
                const detail::Algorithm& algorithm, std::string_view alg) {
  using namespace detail;
  if (!for_signatures) return false;
  if (jwk.alg() && *jwk.alg() != alg) return false;
  switch (algorithm.family) {
    case Family::hmac:
      return key.type == KeyType::oct && key.secret_size >= digest_size(algorithm.hash);
    case Family::rsa_pkcs1:
    case Family::rsa_pss:
      return key.type == KeyType::rsa && key.rsa_bits >= 2048;
    case Family::ecdsa:
      return key.type == KeyType::ec && key.curve == algorithm.curve;
    case Family::eddsa:
      return key.type == KeyType::okp && (key.curve == Curve::ed25519 || key.curve == Curve::ed448);
  }
  return false;
}

}  // namespace

bool JWK::can_verify(std::string_view alg) const {
  const detail::Algorithm* algorithm = detail::find_algorithm(alg);
  return algorithm && may_verify(*this, state_->key, state_->for_signatures, *algorithm, alg);
}

bool JWK::verify(std::string_view alg, std::string_view signing_input, std::string_view signature) const {
  // Looked up once: this runs for every key a token is tried with.
  const detail::Algorithm* algorithm = detail::find_algorithm(alg);
  return algorithm && may_verify(*this, state_->key, state_->for_signatures, *algorithm, alg) &&
         detail::verify_signature(state_->key, *algorithm, signing_input, signature);
}

}  // namespace corvane::jose
