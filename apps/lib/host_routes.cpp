#include "host_routes.hpp"

namespace corvane::apps {
namespace {

// Longer than any path the host serves.
constexpr std::size_t kMaxPathLength = 256;
constexpr std::size_t kMaxResourceName = 64;

bool name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Removes an optional ".json" or ".html" ending; false for another ending.
bool strip_format(std::string_view& rest) {
  const auto dot = rest.find('.');
  if (dot == std::string_view::npos) return true;
  const std::string_view format = rest.substr(dot + 1);
  if (format != "json" && format != "html") return false;
  rest = rest.substr(0, dot);
  return true;
}

}  // namespace

Route match_route(std::string_view path) {
  if (path.size() > kMaxPathLength) return {};
  if (path == "/health") return {Route::Kind::health, {}};
  if (path == "/auth") return {Route::Kind::auth, {}};
  if (path == "/metrics") return {Route::Kind::metrics, {}};
  if (path == "/login") return {Route::Kind::login, {}};
  if (path == "/callback") return {Route::Kind::callback, {}};
  if (path == "/logout") return {Route::Kind::logout, {}};
  if (path == "/style.css") return {Route::Kind::stylesheet, {}};
  constexpr std::string_view whoami = "/whoami", resources = "/resources/";
  if (path.starts_with(whoami)) {
    std::string_view rest = path.substr(whoami.size());
    if (!rest.empty() && rest.front() != '.') return {};
    if (!strip_format(rest) || !rest.empty()) return {};
    return {Route::Kind::whoami, {}};
  }
  if (path.starts_with(resources)) {
    std::string_view name = path.substr(resources.size());
    if (!strip_format(name) || name.empty() || name.size() > kMaxResourceName) return {};
    for (char c : name) {
      if (!name_char(c)) return {};
    }
    return {Route::Kind::resource, std::string(name)};
  }
  return {};
}

}  // namespace corvane::apps
