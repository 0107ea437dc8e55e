// A set of keys in the order they were added.
#pragma once

#include <cstddef>
#include <vector>

#include "corvane/jose/jwk.hpp"

namespace corvane::jose {

class JWKSet {
 public:
  void add(JWK key) { keys_.push_back(std::move(key)); }
  std::size_t size() const { return keys_.size(); }
  bool empty() const { return keys_.empty(); }
  const std::vector<JWK>& keys() const { return keys_; }

 private:
  std::vector<JWK> keys_;
};

}  // namespace corvane::jose
