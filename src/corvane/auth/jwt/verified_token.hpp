// The claims of a token that a caller obtained itself (a browser sign-in's ID
// token, from the provider's token endpoint) rather than from a request's
// header, once the policy has verified it with a provider's keys.
#pragma once

#include <string>
#include <utility>

#include "corvane/util/json.hpp"

namespace corvane::auth::jwt {

class JWTAuthenticationPolicy;

class VerifiedToken {
 public:
  const std::string& idp_id() const { return idp_id_; }
  // The verified payload: always a JSON object.
  const Json& claims() const { return claims_; }

  // Adds the members of `more` (the provider's UserInfo answer, say) that
  // the token does not carry: the token's own claims win.
  void complete(const Json& more) {
    if (!more.is_object()) return;
    for (const auto& [name, value] : more.items()) {
      if (!claims_.contains(name)) claims_[name] = value;
    }
  }

 private:
  friend class JWTAuthenticationPolicy;  // only verification makes one
  VerifiedToken(std::string idp_id, Json claims) : idp_id_(std::move(idp_id)), claims_(std::move(claims)) {}

  std::string idp_id_;
  Json claims_;
};

}  // namespace corvane::auth::jwt
