#include "host/routes.hpp"

#include <array>
#include <utility>

namespace corvane::apps {
namespace {

// Longer than any path the host serves.
constexpr std::size_t kMaxPathLength = 256;
constexpr std::size_t kMaxResourceName = 64;

// The addresses served at one path only.
constexpr std::array<std::pair<std::string_view, Route::Kind>, 7> kExactPaths{{
    {"/health", Route::Kind::health},
    {"/auth", Route::Kind::auth},
    {"/metrics", Route::Kind::metrics},
    {"/login", Route::Kind::login},
    {"/callback", Route::Kind::callback},
    {"/logout", Route::Kind::logout},
    {"/style.css", Route::Kind::stylesheet},
}};

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
  for (const auto& [exact, kind] : kExactPaths) {
    if (path == exact) return {kind, {}};
  }
  constexpr std::string_view whoami = "/whoami", resources = "/resources/", callbacks = "/callback/";
  // Each provider's own callback path; the sign-in checks that it is the
  // one of the provider the sign-in started with.
  if (path.starts_with(callbacks)) {
    const std::string_view name = path.substr(callbacks.size());
    if (name.empty() || name.size() > kMaxResourceName) return {};
    for (char c : name) {
      if (!name_char(c) && c != '.') return {};
    }
    return {Route::Kind::callback, {}};
  }
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
