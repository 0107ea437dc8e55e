// Reading and writing the host's session cookie.
#pragma once

#include <optional>
#include <string>

#include "corvane/users/users.hpp"
#include "identity/host_request.hpp"

namespace corvane::apps {

// The session a request's cookie carries, accepted only when it verifies,
// has not expired and names a user of `users`; otherwise an empty session.
CookieSession open_session(const HttpRequest& request, const SessionCodec& sessions, const Users& users);

// The Set-Cookie value for the answer, only when the request logged a user
// in: a session's expiry is set at login, and an answer authenticated by
// its token or by an existing session writes no cookie.
std::optional<std::string> session_cookie(const CookieSession& session, const SessionCodec& sessions, bool secure);

}  // namespace corvane::apps
