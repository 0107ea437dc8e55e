#include "signin/logout.hpp"

#include <strings.h>

#include <string_view>

#include "http/render.hpp"

namespace corvane::apps {
namespace {

constexpr std::string_view kLogoutPath = "/logout";

std::optional<std::string_view> header(const HttpRequest& request, std::string_view name) {
  for (const auto& [key, value] : request.headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> cross_site(const HttpRequest& request) {
  if (const auto site = header(request, "Sec-Fetch-Site")) {
    if (*site == "same-origin") return std::nullopt;
    return "Sec-Fetch-Site is \"" + printable(*site) + "\"";
  }
  if (const auto origin = header(request, "Origin")) {
    const std::string host(header(request, "Host").value_or(""));
    if (!host.empty() && (*origin == "http://" + host || *origin == "https://" + host)) return std::nullopt;
    return "Origin \"" + printable(*origin) + "\" is not this host's (\"" + printable(host) + "\")";
  }
  return std::nullopt;
}

SignInAnswer sign_out(const HttpRequest& request, bool secure) {
  if (request.method != "POST") {
    SignInAnswer page{{200, "html", "Sign out", {{"message", "Sign out of this site?"}}}, {}, std::nullopt};
    page.reply.buttons = {{"Sign out", std::string(kLogoutPath)}};
    page.headers.emplace_back("Cache-Control", "no-store");
    return page;
  }
  if (cross_site(request)) {
    SignInAnswer refused{error_reply(403, "html", "Sign-out refused",
                                     "The sign-out did not come from this site's own page; use the button below."),
                         {}, std::nullopt};
    refused.reply.buttons = {{"Sign out", std::string(kLogoutPath)}};
    refused.headers.emplace_back("Cache-Control", "no-store");
    return refused;
  }
  return SignIn::logout(secure);
}

}  // namespace corvane::apps
