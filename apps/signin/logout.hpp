// Signing out. GET /logout shows a page with one button that POSTs to
// /logout; only a POST from this site's own pages clears the session
// cookie, so another site cannot sign a person out behind their back.
#pragma once

#include <optional>
#include <string>

#include "http/http_listener.hpp"
#include "signin/sign_in.hpp"

namespace corvane::apps {

// Why a POST did not come from this site's own pages, or nothing when it
// did. The browser's `Sec-Fetch-Site`, when sent, must be "same-origin";
// else its `Origin`, when sent, must be http:// or https:// followed by the
// request's `Host`. A request with neither (a client that is not a
// browser, which no other site can make a browser send) passes.
std::optional<std::string> cross_site(const HttpRequest& request);

// GET, HEAD or POST /logout: the button page, the signed-out page (the
// session cookie cleared), or 403 for a POST from another site.
SignInAnswer sign_out(const HttpRequest& request, bool secure);

}  // namespace corvane::apps
