#include "host/metrics.hpp"

#include <algorithm>
#include <cstdio>

#ifndef CORVANE_VERSION
#define CORVANE_VERSION "unknown"
#endif

namespace corvane::apps {
namespace {

using auth::jwt::AuthOutcome;
using auth::jwt::ProviderState;

// Label values are configuration texts: backslash, quote and line feed escaped.
std::string label(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

void header(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

// The outcomes a provider decides; the others happen before one is chosen.
bool decided_by_provider(AuthOutcome outcome) {
  return outcome == AuthOutcome::authenticated || outcome == AuthOutcome::token_refused ||
         outcome == AuthOutcome::no_user || outcome == AuthOutcome::several_users;
}

}  // namespace

HostMetrics::HostMetrics(Clock::time_point started) : last_reload_(started) {}

void HostMetrics::count_authentication(const std::string& provider, AuthOutcome outcome,
                                       std::chrono::steady_clock::duration took) {
  const double seconds = std::chrono::duration<double>(took).count();
  const auto bucket = std::lower_bound(kBuckets.begin(), kBuckets.end(), seconds) - kBuckets.begin();
  std::lock_guard lock(mutex_);
  ++authentications_[{provider, outcome}];
  if (bucket < static_cast<std::ptrdiff_t>(kBuckets.size())) ++buckets_[static_cast<std::size_t>(bucket)];
  ++timed_;
  seconds_ += seconds;
}

void HostMetrics::count_session_hit() {
  std::lock_guard lock(mutex_);
  ++session_hits_;
}

void HostMetrics::count_reload(bool succeeded, Clock::time_point at) {
  std::lock_guard lock(mutex_);
  ++(succeeded ? reloads_ok_ : reloads_failed_);
  last_reload_ok_ = succeeded;
  last_reload_ = at;
}

void HostMetrics::count_sign_in_busy() {
  std::lock_guard lock(mutex_);
  ++sign_in_busy_;
}

std::string HostMetrics::render(const auth::jwt::JWTAuthenticationPolicy& policy, HttpListener::WorkLoad load) const {
  std::unique_lock lock(mutex_);
  auto authentications = authentications_;
  const auto buckets = buckets_;
  const std::uint64_t timed = timed_, session_hits = session_hits_, ok = reloads_ok_, failed = reloads_failed_;
  const std::uint64_t sign_in_busy = sign_in_busy_;
  const double seconds = seconds_;
  const bool last_ok = last_reload_ok_;
  const Clock::time_point last = last_reload_;
  lock.unlock();

  // Every series that can move is shown from zero on, so a rate over the
  // first increase is right.
  for (std::size_t i = 0; i < auth::jwt::kAuthOutcomeCount; ++i) {
    const auto outcome = static_cast<AuthOutcome>(i);
    if (!decided_by_provider(outcome)) authentications.try_emplace({std::string(), outcome}, 0);
  }
  for (const ProviderState& state : policy.provider_states) {
    if (state.status != ProviderState::Status::ready) continue;
    for (std::size_t i = 0; i < auth::jwt::kAuthOutcomeCount; ++i) {
      const auto outcome = static_cast<AuthOutcome>(i);
      if (decided_by_provider(outcome)) authentications.try_emplace({state.idp_id, outcome}, 0);
    }
  }

  std::string out;
  header(out, "corvane_auth_requests_total", "counter",
         "Requests the JWT policy answered, by the provider that decided (empty: none) and outcome.");
  for (const auto& [key, value] : authentications) {
    out += "corvane_auth_requests_total{provider=\"" + label(key.first) + "\",outcome=\"" +
           std::string(auth::jwt::outcome_name(key.second)) + "\"} " + std::to_string(value) + "\n";
  }
  header(out, "corvane_session_hits_total", "counter", "Requests authenticated by their session cookie.");
  out += "corvane_session_hits_total " + std::to_string(session_hits) + "\n";

  header(out, "corvane_auth_duration_seconds", "histogram", "Time the JWT policy took per request.");
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    cumulative += buckets[i];
    out += "corvane_auth_duration_seconds_bucket{le=\"" + number(kBuckets[i]) + "\"} " + std::to_string(cumulative) +
           "\n";
  }
  out += "corvane_auth_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(timed) + "\n";
  out += "corvane_auth_duration_seconds_sum " + number(seconds) + "\n";
  out += "corvane_auth_duration_seconds_count " + std::to_string(timed) + "\n";

  header(out, "corvane_provider_state", "gauge", "1 for the state each configured provider is in.");
  for (const ProviderState& state : policy.provider_states) {
    for (auto status : {ProviderState::Status::ready, ProviderState::Status::skipped, ProviderState::Status::disabled}) {
      out += "corvane_provider_state{provider=\"" + label(state.idp_id) + "\",state=\"" +
             std::string(auth::jwt::status_name(status)) + "\"} " + (state.status == status ? "1" : "0") + "\n";
    }
  }
  header(out, "corvane_provider_keys", "gauge", "Keys in each ready provider's key set.");
  if (policy.idps) {
    for (const auto& [id, idp] : *policy.idps) {
      const std::size_t keys = idp.offline_jwks ? idp.offline_jwks->keys().size() : 0;
      out += "corvane_provider_keys{provider=\"" + label(id) + "\"} " + std::to_string(keys) + "\n";
    }
  }

  header(out, "corvane_token_cache_lookups_total", "counter",
         "Verified tokens looked up in the policy's token cache, by result (a reload starts from zero; "
         "nothing while the cache is off).");
  const auth::jwt::TokenCache* cache = policy.token_cache.get();
  out += "corvane_token_cache_lookups_total{result=\"hit\"} " + std::to_string(cache ? cache->hits() : 0) + "\n";
  out += "corvane_token_cache_lookups_total{result=\"miss\"} " + std::to_string(cache ? cache->misses() : 0) + "\n";

  header(out, "corvane_sign_in_callbacks", "gauge",
         "Sign-in callbacks on the sign-in pool (they wait on the provider's token endpoint), by state.");
  out += "corvane_sign_in_callbacks{state=\"running\"} " + std::to_string(load.running) + "\n";
  out += "corvane_sign_in_callbacks{state=\"queued\"} " + std::to_string(load.queued) + "\n";
  header(out, "corvane_sign_in_busy_total", "counter",
         "Sign-in callbacks answered 503 at once because the sign-in pool was full.");
  out += "corvane_sign_in_busy_total " + std::to_string(sign_in_busy) + "\n";

  header(out, "corvane_reloads_total", "counter", "Configuration reloads, by result.");
  out += "corvane_reloads_total{result=\"success\"} " + std::to_string(ok) + "\n";
  out += "corvane_reloads_total{result=\"failure\"} " + std::to_string(failed) + "\n";
  header(out, "corvane_config_last_reload_successful", "gauge",
         "Whether the last reload succeeded (1 before any: the start-up configuration is in use).");
  out += std::string("corvane_config_last_reload_successful ") + (last_ok ? "1" : "0") + "\n";
  header(out, "corvane_config_last_reload_timestamp_seconds", "gauge",
         "When the configuration was last loaded or a reload last tried, in Unix seconds.");
  out += "corvane_config_last_reload_timestamp_seconds " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(last.time_since_epoch()).count()) + "\n";
  header(out, "corvane_build_info", "gauge", "The running build.");
  out += "corvane_build_info{version=\"" + label(CORVANE_VERSION) + "\"} 1\n";
  return out;
}

}  // namespace corvane::apps
