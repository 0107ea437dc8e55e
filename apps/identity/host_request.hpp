// host::Request over one request of the HTTP layer, with the session it
// carried in a signed cookie.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "corvane/host/request.hpp"
#include "http/http_listener.hpp"
#include "identity/session_cookie.hpp"

namespace corvane::apps {

// The session of one request: the one its cookie carried when the host
// accepted it, else empty (a rejected cookie's data is never reused), and
// whether the request logged a user in (the answer then sets a new cookie).
class CookieSession : public host::Session {
 public:
  CookieSession() = default;
  // `accepted`: the cookie's data when the host accepts it.
  CookieSession(std::optional<SessionData> accepted, bool had_cookie);
  void invalidate() override;
  void remember_user(std::string_view userid) override;
  void set_sso_user_id(std::string_view sso_user_id) override;

  const SessionData& data() const { return data_; }
  bool accepted() const { return accepted_; }
  bool had_cookie() const { return had_cookie_; }
  bool logged_in() const { return logged_in_; }

 private:
  SessionData data_;
  bool accepted_ = false;
  bool had_cookie_ = false;
  bool logged_in_ = false;
};

// The format a path asks for: its last segment's extension, or none.
std::optional<std::string> path_extension(std::string_view path);

// Whether every "%" of a request target starts a valid escape.
bool valid_percent_encoding(std::string_view target);

class HostRequest : public host::Request {
 public:
  // `request` must outlive this object: its headers and query are read where
  // they are.
  HostRequest(const HttpRequest& request, CookieSession session);

  const host::TextMapping& headers() const override { return headers_; }
  const host::TextMapping& GET() const override { return query_; }
  CookieSession& session() override { return session_; }
  bool has_attribute(std::string_view name) const override { return has_key(attributes_, name); }
  void set_attribute(std::string_view name, Json value) override { attributes_[std::string(name)] = std::move(value); }
  std::optional<std::string_view> first_data_format(const Json& default_extension) const override;

 private:
  host::TextMapping headers_;
  host::TextMapping query_;
  std::optional<std::string> extension_;
  CookieSession session_;
  Json attributes_;  // null until the first one is set: most requests set none
};

}  // namespace corvane::apps
