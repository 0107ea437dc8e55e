// GET /auth: the host as an authentication service for a reverse proxy
// (nginx auth_request). The proxy sends the original request's headers and
// its target in X-Original-URI; the answer is 200 with the user in
// X-Auth-User, X-Auth-Sso-User and X-Auth-Principals (and Set-Cookie when
// this request logged in), or 401. Each id is an RFC 8941 string of the
// percent-encoded UTF-8 id, the principals a list of them (forward_auth.cpp). The proxy must strip those X-Auth-*
// headers from the client's own request before it reaches the application.
#pragma once

#include <spdlog/logger.h>

#include <optional>
#include <string>
#include <string_view>

#include "corvane/auth/jwt/policy.hpp"
#include "corvane/users/users.hpp"
#include "host/metrics.hpp"
#include "http/http_listener.hpp"
#include "identity/session_cookie.hpp"

namespace corvane::apps {

inline constexpr std::string_view kOriginalUriHeader = "X-Original-URI";

struct ForwardAuthAnswer {
  HttpResponse response;
  std::optional<std::string> sso_user_id;  // for the access log
};

struct ForwardAuthContext {
  const auth::jwt::JWTAuthenticationPolicy& policy;
  const Users& users;  // the store the policy matches against
  const SessionCodec& sessions;
  bool session_secure;
  HostMetrics& metrics;
  spdlog::logger& log;
};

ForwardAuthAnswer answer_forward_auth(const HttpRequest& subrequest, const ForwardAuthContext& context);

// The request nginx describes: the subrequest's headers, and method, path
// and query taken from X-Original-URI (path "/" without one). None when
// that target is malformed.
std::optional<HttpRequest> original_request(const HttpRequest& subrequest);

}  // namespace corvane::apps
