// One line of the host's access log, as text or as a JSON object (for log
// shippers); both forms carry the same fields.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::apps {

struct AccessEntry {
  std::string_view method;  // empty when the request head never arrived
  std::string_view target;  // the query is left out of the line
  int status = 0;
  std::optional<double> milliseconds;  // none for a request the HTTP layer refused
  std::optional<std::string> sso_user_id;
};

// "GET /path 200 1.2ms sso_user_id=..." (the logger adds time, name and level).
std::string access_text(const AccessEntry& entry);

// {"time", "logger", "level", "method", "path", "status", "duration_ms",
// "sso_user_id"}; absent values are null.
std::string access_json(const AccessEntry& entry, std::chrono::system_clock::time_point now);

}  // namespace corvane::apps
