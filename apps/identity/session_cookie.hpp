// The host's session, carried in a signed cookie: any host process holding
// the same secret accepts the sessions of the others, and no server-side
// store is needed.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "identity/signed_value.hpp"

namespace corvane::apps {

inline constexpr std::string_view kSessionCookieName = "corvane_session";

struct SessionData {
  std::optional<std::string> user_id;
  std::optional<std::string> sso_user_id;
  bool operator==(const SessionData&) const = default;
};

class SessionCodec {
 public:
  using Clock = std::chrono::system_clock;

  // The secret signs, it and each previous secret verify (a rotation keeps
  // the sessions signed before it); each must be at least 16 bytes (a
  // ConfigError otherwise).
  SessionCodec(std::string secret, std::chrono::seconds lifetime, std::vector<std::string> previous_secrets = {});

  // The cookie value: base64url(content) "." base64url(HMAC-SHA256).
  std::string encode(const SessionData& data, Clock::time_point now = Clock::now()) const;

  // The session of a cookie value; a tampered, expired or malformed value is
  // no session.
  std::optional<SessionData> decode(std::string_view value, Clock::time_point now = Clock::now()) const;

  std::chrono::seconds lifetime() const { return lifetime_; }

 private:
  SignedValue signed_;
  std::chrono::seconds lifetime_;
};

// The value of cookie `name` in a Cookie header, if present.
std::optional<std::string_view> find_cookie(std::string_view header, std::string_view name);

}  // namespace corvane::apps
