// Who a request to the host is: the user of its accepted session cookie, or
// else the JWT policy's answer. The host's pages and its /auth answer for a
// proxy both ask here, so both count alike.
#pragma once

#include <spdlog/logger.h>

#include <chrono>
#include <optional>
#include <string>

#include "corvane/auth/jwt/policy.hpp"
#include "identity/host_request.hpp"

namespace corvane::apps {

// What identify() tells the host's counters.
class IdentityCounter {
 public:
  virtual ~IdentityCounter() = default;
  // A request authenticated by its session cookie, without the policy.
  virtual void count_session_hit() = 0;
  // One answer of the policy: `provider` is the ready provider that decided,
  // empty when none did; AuthOutcome::error for an error that escaped it.
  virtual void count_authentication(const std::string& provider, auth::jwt::AuthOutcome outcome,
                                    std::chrono::steady_clock::duration took) = 0;
};

struct Identity {
  std::optional<std::string> user_id;
  std::optional<std::string> sso_user_id;
  std::string via;  // "session" or "jwt"
};

// An error escaping the policy is counted and passed on.
Identity identify(HostRequest& request, const auth::jwt::JWTAuthenticationPolicy& policy, IdentityCounter& counter,
                  spdlog::logger& log);

}  // namespace corvane::apps
