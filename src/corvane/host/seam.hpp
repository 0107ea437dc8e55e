// The host seam: everything the policy asks of the application that hosts it.
//
// The policy reaches its host only through these interfaces, so a second host
// (the Python binding) replaces the C++ one without a change to the policy:
//   - PolicyRequest: the request, its session and the per-request host calls;
//   - UserDirectory: the users configuration, matched by attribute;
//   - Host: the calls that belong to no request (integer settings, principal
//     constants, the host's own errors, and where host code must not run).
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvane/util/function_ref.hpp"
#include "corvane/util/json.hpp"

namespace corvane::host {

using Headers = std::vector<std::pair<std::string, std::string>>;

// The principal constants of C++ hosts.
inline const std::string Everyone = "system.Everyone";
inline const std::string Authenticated = "system.Authenticated";

// One HTTP request as the policy sees it, with the host calls made for it.
class PolicyRequest {
 public:
  virtual ~PolicyRequest() = default;

  // A request header (names compared without regard to letter case), or
  // `fallback` when absent; a query-string parameter, or nullopt. The texts
  // stay valid as long as the request object.
  virtual std::optional<std::string_view> header(std::string_view name,
                                                 std::optional<std::string_view> fallback = std::nullopt) const = 0;
  virtual std::optional<std::string_view> query_parameter(std::string_view name) const = 0;

  // Request attributes: tested and set by name.
  virtual bool has_attribute(std::string_view name) const = 0;
  virtual void set_attribute(std::string_view name, Json value) = 0;

  // The first of the data formats the request asks for (requested_data_format
  // with the default extension): the response format, "html" for an HTML
  // page; nullopt when the host gives no format at all, and an empty text
  // for a first item that is not text. The text stays valid as long as the
  // request object.
  virtual std::optional<std::string_view> first_data_format(const Json& default_extension) const = 0;

  // Stores `value` under `key` in the log context of the calling thread.
  virtual void set_log_context(std::string_view key, std::string_view value) = 0;
  // Discards the request's session: what follows starts a fresh one.
  virtual void invalidate_session() = 0;
  // The framework's remember(request, userid): logs the user in to the session.
  virtual void remember(std::string_view userid) = 0;
  // The host's load_sso_user_to_session(request, sso_user_id).
  virtual void load_sso_user_to_session(std::string_view sso_user_id) = 0;
};

// The result of matching the users against one comparison form.
struct UserMatch {
  std::size_t count = 0;  // 0, 1, or 2 for "two or more"
  std::string user_id;    // the first match, when count > 0
};

// The users configuration: user ids with records whose attributes are read
// by name.
class UserDirectory {
 public:
  virtual ~UserDirectory() = default;

  // The users whose attribute `name` has the comparison form `form`, over
  // every record in the configuration's order. The first record (in that
  // order) that lacks the attribute or holds a value that is not text ends
  // the walk with its error (AttributeError); a `name` that is not text is a
  // TypeError unless there are no users at all.
  virtual UserMatch match(const Json& name, std::string_view form) const = 0;
};

// How a host error that is not one of the system's kinds is treated.
enum class ErrorFamily {
  ordinary,         // the Exception family: what construction skips a provider for
  request_failure,  // ValueError, NotImplementedError, JWException: a failed authentication
};

class Host {
 public:
  virtual ~Host() = default;

  // The host's asint(value, default, key): an integer setting.
  virtual long asint(const Json& value, long fallback, std::string_view key) const;

  // The time tokens are judged at.
  virtual std::chrono::system_clock::time_point now() const { return std::chrono::system_clock::now(); }

  // The framework's principal constants.
  virtual std::string everyone() const { return Everyone; }
  virtual std::string authenticated() const { return Authenticated; }

  // Runs `work`, a long step of a request (a public key's signature check on
  // a token not seen before, and the payload's reading) that calls no host
  // code at all; a host with an interpreter lock releases it meanwhile.
  // Everything shorter than handing that lock over (an HMAC check, a
  // remembered token, the users walk, the request's host calls) runs with it
  // held, outside this.
  virtual void detached(function_ref<void()> work) const { work(); }

  // Whether `error`, an error of the host's own (not a corvane::Exception),
  // belongs to `family`; if so `text` receives its message text.
  virtual bool belongs_to(const std::exception& /*error*/, ErrorFamily /*family*/, std::string& /*text*/) const {
    return false;
  }

  // The host of C++ applications: everything above as written here.
  static const Host& basic();
};

// An integer setting: a number as it is, a text parsed as a decimal integer
// (blanks around it allowed), null gives `fallback`. Anything else is a
// ValueError naming `key`.
long asint(const Json& value, long fallback, std::string_view key);

}  // namespace corvane::host
