// The framework's principal constants and remember().
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "corvane/host/request.hpp"

namespace corvane::host {

inline const std::string Everyone = "system.Everyone";
inline const std::string Authenticated = "system.Authenticated";

using Headers = std::vector<std::pair<std::string, std::string>>;

// Logs `userid` in to the request's session; the session cookie of the
// response carries it. The headers returned are none: the host's session
// machinery sets the cookie.
Headers remember(Request& request, const std::string& userid);

}  // namespace corvane::host
