#include "host/access_log.hpp"

#include <cstdio>
#include <ctime>

#include "corvane/util/json.hpp"
#include "http/render.hpp"

namespace corvane::apps {
namespace {

std::string_view path_of(std::string_view target) { return target.substr(0, target.find('?')); }

std::string utc_time(std::chrono::system_clock::time_point now) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(millis));
  return text;
}

std::string duration_text(double milliseconds) {
  const auto tenths = static_cast<long long>(milliseconds * 10);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

}  // namespace

std::string access_text(const AccessEntry& entry) {
  const std::string_view path = path_of(entry.target);
  // Appended piece by piece: GCC 12 at -O3 misreads " " + std::string as an
  // overlapping copy (-Wrestrict).
  std::string line = entry.method.empty() ? std::string("-") : printable(entry.method, 16);
  line += ' ';
  line += path.empty() ? std::string("-") : printable(path);
  line += ' ';
  line += std::to_string(entry.status);
  line += ' ';
  line += entry.milliseconds ? duration_text(*entry.milliseconds) + "ms" : std::string("-");
  line += " sso_user_id=";
  line += entry.sso_user_id ? printable(*entry.sso_user_id, 100) : std::string("-");
  return line;
}

std::string access_json(const AccessEntry& entry, std::chrono::system_clock::time_point now) {
  const std::string_view path = path_of(entry.target);
  // Request data is capped as in the text form; JSON escapes the rest.
  Json line = {{"time", utc_time(now)},
               {"logger", "corvane.host.access"},
               {"level", "info"},
               {"method", entry.method.empty() ? Json() : Json(std::string(entry.method.substr(0, 16)))},
               {"path", path.empty() ? Json() : Json(std::string(path.substr(0, 200)))},
               {"status", entry.status},
               {"duration_ms", entry.milliseconds ? Json(std::stod(duration_text(*entry.milliseconds))) : Json()},
               {"sso_user_id", entry.sso_user_id ? Json(entry.sso_user_id->substr(0, 100)) : Json()}};
  // Bytes that are not UTF-8 become U+FFFD instead of failing the line.
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace corvane::apps
