// What the request path reads of a verified token, held in a buffer of the
// caller's own. Claims read in place point into buffers of the verifying
// thread, and host code the path calls (a host's users, its log context, its
// session) may verify another token on the same thread: the path copies what
// it reads before it calls any of it, so one authentication never sees
// another's claims.
#pragma once

#include <string>
#include <string_view>

#include "corvane/jose/claims.hpp"
#include "corvane/util/json_members.hpp"

namespace corvane::auth::jwt {

// A member as the request path reads it: its kind, and its value when text.
struct ClaimText {
  JsonKind kind = JsonKind::absent;
  std::string_view text;
};

struct RequestClaims {
  JsonKind kind = JsonKind::absent;  // the payload's: an object, or what the mapping refuses
  ClaimText claim;                   // the configured claim
  ClaimText sub;
  jose::TimeWindow window;  // "exp" and "nbf"

  // The members of `claims` (whose payload is JSON), their texts copied into
  // `buffer` (its capacity reused): the result views `buffer`.
  static RequestClaims copy(const jose::VerifiedClaims& claims, std::string& buffer);
};

}  // namespace corvane::auth::jwt
