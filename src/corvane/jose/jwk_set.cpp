#include "corvane/jose/jwk_set.hpp"

#include <utility>

namespace corvane::jose {

void JWKSet::add(JWK key) { keys_.push_back(std::move(key)); }

const JWK* JWKSet::find(std::string_view kid) const noexcept {
  for (const JWK& key : keys_) {
    if (key.kid() && *key.kid() == kid) return &key;
  }
  return nullptr;
}

}  // namespace corvane::jose
