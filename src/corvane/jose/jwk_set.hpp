// A JWK Set (RFC 7517 section 5): the keys a token may be verified with.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "corvane/jose/jwk.hpp"

namespace corvane::jose {

class JWKSet {
 public:
  void add(JWK key);
  std::size_t size() const noexcept { return keys_.size(); }
  const std::vector<JWK>& keys() const noexcept { return keys_; }  // in the order added
  // The first key whose "kid" is `kid`, or null.
  const JWK* find(std::string_view kid) const noexcept;

 private:
  std::vector<JWK> keys_;
};

}  // namespace corvane::jose
