#include "corvane/auth/jwt/request_claims.hpp"

namespace corvane::auth::jwt {

RequestClaims RequestClaims::copy(const jose::VerifiedClaims& claims, std::string& buffer) {
  const JsonMember& claim = claims.claim();
  const JsonMember& sub = claims.sub();
  buffer.assign(claim.text);
  buffer.append(sub.text);
  const std::string_view texts = buffer;
  RequestClaims out;
  out.kind = claims.kind();
  out.claim = {claim.kind, texts.substr(0, claim.text.size())};
  out.sub = {sub.kind, texts.substr(claim.text.size())};
  out.window = claims.window();
  return out;
}

}  // namespace corvane::auth::jwt
