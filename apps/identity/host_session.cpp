#include "identity/host_session.hpp"

#include <strings.h>

namespace corvane::apps {

CookieSession open_session(const HttpRequest& request, const SessionCodec& sessions, const Users& users) {
  // Of several Cookie headers, or several cookies of our name, the first counts.
  for (const auto& [name, value] : request.headers) {
    if (strcasecmp(name.c_str(), "Cookie") != 0) continue;
    const std::optional<std::string_view> cookie = find_cookie(value, kSessionCookieName);
    if (!cookie) return {};
    std::optional<SessionData> data = sessions.decode(*cookie);
    if (!data || !data->user_id || !users.find(*data->user_id)) data.reset();
    return CookieSession(std::move(data), true);
  }
  return {};
}

std::optional<std::string> session_cookie(const CookieSession& session, const SessionCodec& sessions, bool secure) {
  if (!session.logged_in() || !session.data().user_id) return std::nullopt;
  std::string cookie = std::string(kSessionCookieName) + "=" + sessions.encode(session.data()) +
                       "; Path=/; Max-Age=" + std::to_string(sessions.lifetime().count()) + "; HttpOnly; SameSite=Lax";
  if (secure) cookie += "; Secure";
  return cookie;
}

}  // namespace corvane::apps
