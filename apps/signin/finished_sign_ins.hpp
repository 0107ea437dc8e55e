// The sign-ins this process finished, so that a replayed callback is refused
// even with its cookie. Only sign-ins whose code the provider accepted are
// recorded: a made-up callback never takes a place. The set is bounded and,
// when full, forgets its oldest entries, so no flood can refuse anyone's
// sign-in; a forgotten one is still refused by the provider, whose code is
// good for one exchange (the guard across processes and restarts, too).
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace corvane::apps {

class FinishedSignIns {
 public:
  // 50,000 sign-ins within their ten minutes is over 80 a second, far above
  // what one host's people do, in some megabytes.
  static constexpr std::size_t kDefaultCapacity = 50000;

  explicit FinishedSignIns(std::size_t capacity = kDefaultCapacity) : capacity_(capacity ? capacity : 1) {}

  // Whether `state` was recorded (and not yet forgotten).
  bool contains(const std::string& state) const;
  // Records `state` until `expires`; false when it already was (a replay
  // that raced the first). Forgets expired entries, then the oldest ones
  // beyond the capacity.
  bool insert(const std::string& state, long long expires, long long now);
  std::size_t size() const;

 private:
  void forget_oldest();

  std::size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<std::string> order_;                      // oldest first
  std::unordered_map<std::string, long long> expires_;  // state to its expiry

};

}  // namespace corvane::apps
