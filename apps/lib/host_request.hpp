// host::Request over an httplib request, with the session in a signed cookie.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "corvane/host/request.hpp"
#include "session_cookie.hpp"

namespace httplib {
struct Request;
}

namespace corvane::apps {

// The session of one request: what the cookie carried, and whether the
// request changed it (the response then sets a new cookie).
class CookieSession : public host::Session {
 public:
  explicit CookieSession(std::optional<SessionData> from_cookie, bool had_cookie);
  void invalidate() override;
  void remember_user(const std::string& userid) override;
  void set_sso_user_id(const std::string& sso_user_id) override;

  const SessionData& data() const { return data_; }
  bool valid_cookie() const { return valid_cookie_; }
  bool had_cookie() const { return had_cookie_; }
  bool changed() const { return changed_; }

 private:
  SessionData data_;
  bool valid_cookie_;
  bool had_cookie_;
  bool changed_ = false;
};

// The format a path asks for: its last segment's extension, or none.
std::optional<std::string> path_extension(std::string_view path);

// Whether every "%" of a request target starts a valid escape.
bool valid_percent_encoding(std::string_view target);

class HostRequest : public host::Request {
 public:
  HostRequest(const httplib::Request& request, const SessionCodec& sessions);

  const host::TextMapping& headers() const override { return headers_; }
  const host::TextMapping& GET() const override { return query_; }
  CookieSession& session() override { return session_; }
  bool has_attribute(std::string_view name) const override { return has_key(attributes_, name); }
  void set_attribute(std::string_view name, Json value) override { attributes_[std::string(name)] = std::move(value); }
  std::vector<std::string> requested_data_format(const Json& default_extension) const override;

 private:
  host::TextMapping headers_{true};
  host::TextMapping query_{false};
  std::optional<std::string> extension_;
  CookieSession session_;
  Json attributes_ = Json::object();
};

}  // namespace corvane::apps
