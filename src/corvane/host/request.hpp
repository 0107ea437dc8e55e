// The C++ reference host's request and session.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvane/host/seam.hpp"
#include "corvane/util/json.hpp"

namespace corvane::host {

// A mapping of texts with `get`: request headers (names compared without
// regard to letter case) or query-string parameters (exact names; of a
// parameter given more than once, the last value).
class TextMapping {
 public:
  using Entries = std::vector<std::pair<std::string, std::string>>;

  explicit TextMapping(bool case_insensitive) : case_insensitive_(case_insensitive) {}
  // A mapping over `entries`, kept where they are: they must outlive it (a
  // host's parsed request, say), and no copy is made per request.
  TextMapping(bool case_insensitive, const Entries& entries) : case_insensitive_(case_insensitive), view_(&entries) {}

  void add(std::string name, std::string value);
  std::optional<std::string_view> get(std::string_view name) const;
  std::string_view get(std::string_view name, std::string_view fallback) const {
    return get(name).value_or(fallback);
  }
  const Entries& entries() const { return view_ ? *view_ : own_; }

 private:
  bool case_insensitive_;
  Entries own_;
  const Entries* view_ = nullptr;
};

// The host's session of one request.
class Session {
 public:
  virtual ~Session() = default;
  // Discards the current session; what follows starts a fresh one.
  virtual void invalidate() = 0;
  // Logs `userid` in to this session (what the framework's remember() does).
  virtual void remember_user(std::string_view userid) = 0;
  // Stores the single sign-on user id (load_sso_user_to_session).
  virtual void set_sso_user_id(std::string_view sso_user_id) = 0;
};

// A request of a C++ host: headers and query string as text mappings, the
// session as an object, the log context of the thread as a JSON mapping
// (current_thread_log_context()). Hosts implement the rest.
class Request : public PolicyRequest {
 public:
  virtual const TextMapping& headers() const = 0;
  virtual const TextMapping& GET() const = 0;
  virtual Session& session() = 0;

  std::optional<std::string_view> header(std::string_view name,
                                         std::optional<std::string_view> fallback = std::nullopt) const override;
  std::optional<std::string_view> query_parameter(std::string_view name) const override;
  // Updates the entry in place, so a steady run of requests reuses its text.
  void set_log_context(std::string_view key, std::string_view value) override;
  void invalidate_session() override { session().invalidate(); }
  void remember(std::string_view userid) override { session().remember_user(userid); }
  void load_sso_user_to_session(std::string_view sso_user_id) override { session().set_sso_user_id(sso_user_id); }
};

// The response format of a request that names `format` (a path extension,
// say), or else the default extension, which must be text.
std::string_view format_or_default(const std::optional<std::string>& format, const Json& default_extension);

}  // namespace corvane::host
