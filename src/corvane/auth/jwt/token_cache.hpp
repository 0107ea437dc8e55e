// Tokens a policy has verified, remembered until they expire. Within one
// policy a provider's keys never change, so the exact bytes of a token that
// verified once verify again until its time window closes: a repeated token
// skips the signature check. What is kept is what the request path reads of
// the claims; the users are still matched on every request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "corvane/auth/jwt/request_claims.hpp"

namespace corvane::auth::jwt {

class TokenCache {
 public:
  // Bounds of the memory held: at most `entries` tokens, none longer than
  // `max_token_bytes` (longer tokens always take the full path). An entry
  // holds the token, the provider id and the claim and "sub" texts (each
  // shorter than its token), so a full cache holds well under
  // entries * (2 * max_token_bytes + 256) bytes. See docs/performance.md for
  // the defaults.
  struct Limits {
    std::size_t entries = 0;
    std::size_t max_token_bytes = 0;
  };
  static constexpr Limits kDefaults = {4096, 4096};

  explicit TokenCache(Limits limits);
  ~TokenCache();
  TokenCache(const TokenCache&) = delete;
  TokenCache& operator=(const TokenCache&) = delete;

  const Limits& limits() const noexcept { return limits_; }

  // The claims remembered for `token` of provider `provider_id`, copied into
  // `buffer` (the result views it), when its time window holds at `now`. An
  // entry whose window has closed is dropped: the caller verifies the token
  // again and refuses it as a first sight would. Counts a hit or a miss.
  std::optional<RequestClaims> find(std::string_view provider_id, std::string_view token,
                                    std::chrono::system_clock::time_point now, std::string& buffer);
  // Remembers the claims of a token that verified, replacing the oldest entry
  // of its set when that is full. Tokens over the size limit are not kept.
  void insert(std::string_view provider_id, std::string_view token, const RequestClaims& claims);

  std::uint64_t hits() const noexcept;
  std::uint64_t misses() const noexcept;
  // Entries held now.
  std::size_t size() const;

 private:
  struct Entry;
  struct Shard;
  Shard& shard_of(std::uint64_t hash) const;

  Limits limits_;
  std::size_t shard_count_ = 0;
  std::unique_ptr<Shard[]> shards_;
};

}  // namespace corvane::auth::jwt
