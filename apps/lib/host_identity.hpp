// Who a request to the host is: the user of its accepted session cookie, or
// else the JWT policy's answer. The host's pages and its /auth answer for a
// proxy both ask here, so both count alike.
#pragma once

#include <spdlog/logger.h>

#include <optional>
#include <string>

#include "corvane/auth/jwt/policy.hpp"
#include "host_metrics.hpp"
#include "host_request.hpp"

namespace corvane::apps {

struct Identity {
  std::optional<std::string> user_id;
  std::optional<std::string> sso_user_id;
  std::string via;  // "session" or "jwt"
};

// An error escaping the policy is counted and passed on.
Identity identify(HostRequest& request, const auth::jwt::JWTAuthenticationPolicy& policy, HostMetrics& metrics,
                  spdlog::logger& log);

}  // namespace corvane::apps
