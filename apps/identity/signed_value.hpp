// A JSON object that the browser carries for the host, signed so that only a
// host holding the secret could have written it: the session cookie and the
// state of a started sign-in.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/util/json.hpp"

namespace corvane::apps {

class SignedValue {
 public:
  using Clock = std::chrono::system_clock;

  // The first secret signs and each verifies, so a rotation keeps what was
  // signed before it. `purpose` is signed with the content: a value signed
  // for one purpose never passes for another. Longer values are refused
  // unread.
  SignedValue(std::vector<std::string> secrets, std::string purpose, std::size_t max_value_bytes);

  // base64url(content) "." base64url(HMAC-SHA256(purpose + that)); the
  // content holds its expiry as "exp", seconds since the epoch.
  std::string seal(const Json& content) const;

  // The content of a value that one of the secrets signed, that is a JSON
  // object and that has not expired at `now`; nullopt for anything else.
  std::optional<Json> open(std::string_view value, Clock::time_point now) const;

  // HMAC-SHA256 of `purpose` + `input` with the signing secret.
  std::string mac(std::string_view input) const { return mac(secrets_.front(), input); }

  static long long seconds(Clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
  }

 private:
  std::string mac(const std::string& secret, std::string_view input) const;
  std::vector<std::string> secrets_;
  std::string purpose_;
  std::size_t max_value_bytes_;
};

}  // namespace corvane::apps
