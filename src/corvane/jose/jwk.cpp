#include "corvane/jose/jwk.hpp"

#include <algorithm>

#include "corvane/jose/jwk_state.hpp"
#include "corvane/util/errors.hpp"

namespace corvane::jose {
namespace {

std::optional<std::string> optional_text(const Json& members, const char* name) {
  auto it = members.find(name);
  if (it == members.end()) return std::nullopt;
  if (!it->is_string()) throw InvalidJWKValue(std::string("JWK member \"") + name + "\" must be text");
  return it->get<std::string>();
}

}  // namespace

JWK::JWK(const Json& members) {
  if (!members.is_object()) throw InvalidJWKValue("a JWK must be a JSON object");
  auto state = std::make_shared<State>();
  state->members = members;
  auto kty = optional_text(members, "kty");
  if (!kty) throw InvalidJWKValue("JWK member \"kty\" is missing");
  state->kty = *kty;
  state->kid = optional_text(members, "kid");
  state->alg = optional_text(members, "alg");

  if (auto use = optional_text(members, "use"); use && *use != "sig") state->usable_for_signatures = false;
  if (auto ops = members.find("key_ops"); ops != members.end()) {
    if (!ops->is_array() || !std::all_of(ops->begin(), ops->end(), [](const Json& op) { return op.is_string(); })) {
      throw InvalidJWKValue("JWK member \"key_ops\" must be a list of texts");
    }
    if (std::find(ops->begin(), ops->end(), Json("verify")) == ops->end()) state->usable_for_signatures = false;
  }
  import_key(members, *state);
  state_ = std::move(state);
}

const std::string& JWK::kty() const { return state_->kty; }
const std::optional<std::string>& JWK::kid() const { return state_->kid; }
const std::optional<std::string>& JWK::alg() const { return state_->alg; }
const Json& JWK::members() const { return state_->members; }

bool JWK::can_verify(Algorithm algorithm) const {
  const State& key = *state_;
  if (!key.usable_for_signatures || !(key.algorithms & bit(algorithm))) return false;
  if (key.alg && *key.alg != algorithm_name(algorithm)) return false;
  if (family_of(algorithm) == Family::hmac) return key.secret.size() >= digest_size_of(algorithm);
  if (family_of(algorithm) == Family::rsa_pkcs1 || family_of(algorithm) == Family::rsa_pss) {
    return EVP_PKEY_get_bits(key.pkey.get()) >= 2048;
  }
  return true;
}

bool JWK::verify(Algorithm algorithm, std::string_view signing_input, std::string_view signature) const {
  if (!can_verify(algorithm)) return false;
  switch (family_of(algorithm)) {
    case Family::hmac: return verify_hmac(*state_, algorithm, signing_input, signature);
    case Family::rsa_pkcs1:
    case Family::rsa_pss: return verify_rsa(*state_, algorithm, signing_input, signature);
    case Family::ecdsa: return verify_ecdsa(*state_, algorithm, signing_input, signature);
    case Family::eddsa: return verify_eddsa(*state_, signing_input, signature);
  }
  return false;
}

}  // namespace corvane::jose
