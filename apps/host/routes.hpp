// The reference host's addresses: /health, /whoami[.fmt] and
// /resources/NAME[.fmt], where fmt is json or html; /auth for a proxy's
// authentication subrequests and /metrics for a metrics scraper; the browser
// sign-in's /login, /callback and /callback/NAME (each provider's own) and
// /logout, and the pages' /style.css.
#pragma once

#include <string>
#include <string_view>

namespace corvane::apps {

struct Route {
  enum class Kind { health, whoami, resource, auth, metrics, login, callback, logout, stylesheet, not_found };
  Kind kind = Kind::not_found;
  std::string resource;  // the NAME of /resources/NAME
};

// Matches the whole (unescaped) path; anything else is not_found.
Route match_route(std::string_view path);

}  // namespace corvane::apps
