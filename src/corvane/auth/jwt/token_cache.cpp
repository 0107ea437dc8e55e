// Sharded so that threads on different tokens rarely meet; a hit takes its
// shard's lock shared, so threads on the same token read side by side. Each
// shard is a table of slots probed in small sets: a token lives in one of
// `kWays` slots after its hash, and a full set gives up its oldest entry.
// Slots keep their strings' capacity, so a steady stream of new tokens
// allocates nothing once the slots have grown to the tokens' size.
#include "corvane/auth/jwt/token_cache.hpp"

#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

namespace corvane::auth::jwt {
namespace {

// Enough shards that two request threads seldom share one, few enough that
// a small cache still has sets to probe.
constexpr std::size_t kShards = 16;
constexpr std::size_t kWays = 4;

// Bytes of the token hashed: its end, which is signature. Only tokens that
// verified are kept, and their signatures cannot be chosen without the key,
// so these bytes spread entries as well as the whole token would; a lookup
// still compares every byte.
constexpr std::size_t kHashedBytes = 48;

std::uint64_t hash_of(std::string_view provider_id, std::string_view token) {
  const std::string_view end = token.substr(token.size() - std::min(token.size(), kHashedBytes));
  const std::uint64_t h = std::hash<std::string_view>{}(end) ^ token.size();
  return h ^ (std::hash<std::string_view>{}(provider_id) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2));
}

}  // namespace

struct TokenCache::Entry {
  bool used = false;
  std::uint64_t hash = 0;
  std::uint64_t stamp = 0;  // insertion order within the shard
  std::string provider_id;
  std::string token;
  JsonKind kind = JsonKind::absent;
  JsonKind claim_kind = JsonKind::absent;
  JsonKind sub_kind = JsonKind::absent;
  std::size_t claim_size = 0;
  std::string texts;  // the claim's text, then "sub"'s
  jose::TimeWindow window;

  bool holds(std::uint64_t h, std::string_view provider, std::string_view bytes) const {
    return used && hash == h && token == bytes && provider_id == provider;
  }
};

struct alignas(64) TokenCache::Shard {
  mutable std::shared_mutex mutex;
  std::atomic<std::uint64_t> hits{0};
  std::atomic<std::uint64_t> misses{0};
  std::vector<Entry> slots;
  std::uint64_t next_stamp = 0;

  std::size_t first_slot(std::uint64_t hash) const { return (hash / kShards) % slots.size(); }
  std::size_t ways() const { return std::min(kWays, slots.size()); }
  Entry& slot(std::size_t first, std::size_t i) { return slots[(first + i) % slots.size()]; }
};

TokenCache::TokenCache(Limits limits) : limits_(limits) {
  if (limits_.entries == 0 || limits_.max_token_bytes == 0) return;
  shard_count_ = std::min(kShards, limits_.entries);
  shards_ = std::make_unique<Shard[]>(shard_count_);
  // The entries spread over the shards; the first shards take the remainder.
  for (std::size_t i = 0; i < shard_count_; ++i) {
    shards_[i].slots.resize(limits_.entries / shard_count_ + (i < limits_.entries % shard_count_ ? 1 : 0));
  }
}

TokenCache::~TokenCache() = default;

TokenCache::Shard& TokenCache::shard_of(std::uint64_t hash) const { return shards_[hash % shard_count_]; }

std::optional<RequestClaims> TokenCache::find(std::string_view provider_id, std::string_view token,
                                              std::chrono::system_clock::time_point now, std::string& buffer) {
  if (!shards_) return std::nullopt;
  const std::uint64_t hash = hash_of(provider_id, token);
  Shard& shard = shard_of(hash);
  if (token.size() > limits_.max_token_bytes) {
    shard.misses.fetch_add(1, std::memory_order_relaxed);
    return std::nullopt;
  }
  bool closed = false;
  {
    std::shared_lock lock(shard.mutex);
    const std::size_t first = shard.first_slot(hash);
    for (std::size_t i = 0; i < shard.ways(); ++i) {
      const Entry& entry = shard.slot(first, i);
      if (!entry.holds(hash, provider_id, token)) continue;
      if (!jose::within_window(entry.window, now)) {
        closed = true;
        break;
      }
      buffer.assign(entry.texts);
      const std::string_view texts = buffer;
      RequestClaims claims;
      claims.kind = entry.kind;
      claims.claim = {entry.claim_kind, texts.substr(0, entry.claim_size)};
      claims.sub = {entry.sub_kind, texts.substr(entry.claim_size)};
      claims.window = entry.window;
      shard.hits.fetch_add(1, std::memory_order_relaxed);
      return claims;
    }
  }
  shard.misses.fetch_add(1, std::memory_order_relaxed);
  if (closed) {
    std::unique_lock lock(shard.mutex);
    const std::size_t first = shard.first_slot(hash);
    for (std::size_t i = 0; i < shard.ways(); ++i) {
      Entry& entry = shard.slot(first, i);
      if (entry.holds(hash, provider_id, token) && !jose::within_window(entry.window, now)) entry.used = false;
    }
  }
  return std::nullopt;
}

void TokenCache::insert(std::string_view provider_id, std::string_view token, const RequestClaims& claims) {
  if (!shards_ || token.size() > limits_.max_token_bytes) return;
  const std::uint64_t hash = hash_of(provider_id, token);
  Shard& shard = shard_of(hash);
  std::unique_lock lock(shard.mutex);
  const std::size_t first = shard.first_slot(hash);
  // The token's own slot (another thread verified it meanwhile), else a free
  // one, else the set's oldest.
  Entry* target = nullptr;
  for (std::size_t i = 0; i < shard.ways() && !target; ++i) {
    if (shard.slot(first, i).holds(hash, provider_id, token)) target = &shard.slot(first, i);
  }
  for (std::size_t i = 0; i < shard.ways() && !target; ++i) {
    if (!shard.slot(first, i).used) target = &shard.slot(first, i);
  }
  if (!target) {
    target = &shard.slot(first, 0);
    for (std::size_t i = 1; i < shard.ways(); ++i) {
      if (shard.slot(first, i).stamp < target->stamp) target = &shard.slot(first, i);
    }
  }
  Entry& entry = *target;
  entry.used = true;
  entry.hash = hash;
  entry.stamp = shard.next_stamp++;
  entry.provider_id.assign(provider_id);
  entry.token.assign(token);
  entry.kind = claims.kind;
  entry.claim_kind = claims.claim.kind;
  entry.sub_kind = claims.sub.kind;
  entry.claim_size = claims.claim.text.size();
  entry.texts.assign(claims.claim.text);
  entry.texts.append(claims.sub.text);
  entry.window = claims.window;
}

std::uint64_t TokenCache::hits() const noexcept {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < shard_count_; ++i) total += shards_[i].hits.load(std::memory_order_relaxed);
  return total;
}

std::uint64_t TokenCache::misses() const noexcept {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < shard_count_; ++i) total += shards_[i].misses.load(std::memory_order_relaxed);
  return total;
}

std::size_t TokenCache::size() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < shard_count_; ++i) {
    std::shared_lock lock(shards_[i].mutex);
    total += static_cast<std::size_t>(
        std::count_if(shards_[i].slots.begin(), shards_[i].slots.end(), [](const Entry& e) { return e.used; }));
  }
  return total;
}

}  // namespace corvane::auth::jwt
