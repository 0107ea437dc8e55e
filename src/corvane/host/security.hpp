// The framework's principal constants and remember().
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "corvane/host/request.hpp"
#include "corvane/host/seam.hpp"  // Everyone, Authenticated, Headers

namespace corvane::host {

// Logs `userid` in to the request's session; the session cookie of the
// response carries it. The headers returned are none: the host's session
// machinery sets the cookie.
Headers remember(Request& request, const std::string& userid);

}  // namespace corvane::host
