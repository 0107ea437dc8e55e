// The host's counters, served at /metrics in the Prometheus text format
// (version 0.0.4). Counting takes one short lock; request threads never wait
// on anything slower.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "corvane/auth/jwt/policy.hpp"
#include "http/http_listener.hpp"
#include "identity/identify.hpp"

namespace corvane::apps {

class HostMetrics : public IdentityCounter {
 public:
  using Clock = std::chrono::system_clock;
  // Upper bounds of the authentication time histogram, in seconds.
  static constexpr std::array<double, 13> kBuckets = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                      0.025,  0.05,    0.1,    0.25,  0.5,   1.0};

  explicit HostMetrics(Clock::time_point started = Clock::now());

  // One answer of the policy: `provider` is the ready provider that decided,
  // empty when none did, so the labels stay within the configured ids.
  void count_authentication(const std::string& provider, auth::jwt::AuthOutcome outcome,
                            std::chrono::steady_clock::duration took) override;
  // A request authenticated by its session cookie, without the policy.
  void count_session_hit() override;
  void count_reload(bool succeeded, Clock::time_point at = Clock::now());
  // A sign-in callback answered 503 because the sign-in's pool was full.
  void count_sign_in_busy();

  // The exposition of every counter, with the providers' state and key
  // counts as `policy` holds them and the sign-in pool's `load`.
  std::string render(const auth::jwt::JWTAuthenticationPolicy& policy, HttpListener::WorkLoad load = {}) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, auth::jwt::AuthOutcome>, std::uint64_t> authentications_;
  std::array<std::uint64_t, kBuckets.size()> buckets_{};  // not cumulative; summed when rendered
  std::uint64_t timed_ = 0;
  double seconds_ = 0;
  std::uint64_t session_hits_ = 0;
  std::uint64_t reloads_ok_ = 0, reloads_failed_ = 0;
  std::uint64_t sign_in_busy_ = 0;
  bool last_reload_ok_ = true;
  Clock::time_point last_reload_;
};

// The content type of the exposition.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace corvane::apps
