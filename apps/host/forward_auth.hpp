// GET /auth: the host as an authentication service for a reverse proxy. The
// proxy sends the original request's headers and names its target in one of
// three ways: X-Original-URI (nginx auth_request), X-Forwarded-Uri with
// X-Forwarded-Method and X-Forwarded-Host (Caddy forward_auth, Traefik
// forwardAuth), or the path after a configured prefix (Envoy's HTTP
// authorization service). The answer is 200 with the user in X-Auth-User,
// X-Auth-Sso-User and X-Auth-Principals (and Set-Cookie when this request
// logged in), or 401. Each id is an RFC 8941 string of the
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
inline constexpr std::string_view kForwardedUriHeader = "X-Forwarded-Uri";
inline constexpr std::string_view kForwardedMethodHeader = "X-Forwarded-Method";
inline constexpr std::string_view kForwardedHostHeader = "X-Forwarded-Host";

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
  // [server:main] auth_path_prefix: "/auth/api/x?a=1" names "/api/x?a=1". Empty: none.
  std::string_view path_prefix = {};
};

ForwardAuthAnswer answer_forward_auth(const HttpRequest& subrequest, const ForwardAuthContext& context);

// Whether a subrequest's target names the original one after `path_prefix`
// (the prefix, then "/"). Never with an empty prefix.
bool has_path_prefix(std::string_view target, std::string_view path_prefix);

// The request a proxy describes: the subrequest's headers, and its target
// from, in this order, X-Original-URI, X-Forwarded-Uri, or the subrequest's
// own target after `path_prefix`; "/" when none is there. Every one present
// must name the same target, byte for byte (a proxy passes on a header the
// client sent under one of the other names). The method is X-Forwarded-Method
// if sent, else the subrequest's own after a prefix, else GET;
// X-Forwarded-Host replaces Host.
struct OriginalRequest {
  enum class Problem { none, malformed, conflict };
  std::optional<HttpRequest> request;  // none on a problem
  Problem problem = Problem::none;
  std::string detail;  // what is at fault, for the log
};
OriginalRequest original_request(const HttpRequest& subrequest, std::string_view path_prefix = {});

}  // namespace corvane::apps
