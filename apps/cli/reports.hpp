// What `corvane-jwt check` and `corvane-jwt auth` find out, as JSON
// documents; the readable reports are rendered from the same documents so
// the two forms never disagree.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "corvane/util/json.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::apps {

// {"level": "debug"|"info"|"warning", "message": TEXT} per record, in order.
Json log_records(const std::vector<logging::Record>& records);

// Constructs the policy from the ini file and describes every provider:
// {"ini", "jwt_enabled", "providers": [{"id", "status", "reason"?,
// "endpoints", "keys": [{"kid", "kty", "alg"}]}], "token_cache": {"entries",
// "max_token_bytes"} (both 0 when off), "warnings": [{"file", "key",
// "message"}], "startup_log"}.
// Configuration errors are ConfigError.
Json check_report(const std::string& ini_path);
// Every enabled provider is ready.
bool all_ready(const Json& check);
std::string render_check(const Json& check);

struct AuthOptions {
  std::string ini_path;
  std::string authorization;
  std::optional<std::string> idp_id;      // query parameter "idp_id"
  std::optional<std::string> idp_header;  // header X-Identity-Provider-Id
  std::optional<std::string> format;      // the requested data format
};

struct AuthResult {
  // {"user_id", "principals", "startup_log", "log", "log_context",
  // "session", "settings"}: what --json prints.
  Json report;
  // How many of the records in "log" authenticated_userid wrote; the rest
  // are effective_principals', which authenticates the request again.
  std::size_t first_call_records = 0;
  // Why the request was not authenticated, for a person.
  std::vector<std::string> hints;
};

// Authenticates one request built from the options. Errors escaping the
// policy are ConfigError naming their kind.
AuthResult auth_report(const AuthOptions& options);
std::string render_auth(const AuthResult& auth);

}  // namespace corvane::apps
