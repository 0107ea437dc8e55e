// The state of a started browser sign-in, kept in a signed cookie until the
// provider sends the browser back.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "identity/signed_value.hpp"

namespace corvane::apps {

inline constexpr std::string_view kLoginCookieName = "corvane_login";

// What a started sign-in keeps in the browser, signed with the session
// secret, for the callback to check.
struct LoginState {
  std::string idp_id;
  std::string state;
  std::string nonce;
  std::string next;
  long long expires = 0;  // seconds since the epoch
};

class LoginStateCodec {
 public:
  using Clock = std::chrono::system_clock;
  // Long enough to sign in at the provider, short enough to bound replays.
  static constexpr std::chrono::seconds kLifetime{600};

  // The first secret signs, each verifies (as for sessions).
  explicit LoginStateCodec(std::vector<std::string> secrets);
  std::string encode(const LoginState& state) const;
  // A tampered, expired or malformed value is no state.
  std::optional<LoginState> decode(std::string_view value, Clock::time_point now = Clock::now()) const;
  // The sign-in's PKCE verifier, derived from its state with the signing
  // secret: it never needs to leave the host.
  std::string code_verifier(std::string_view state) const;

 private:
  SignedValue signed_;
};

}  // namespace corvane::apps
