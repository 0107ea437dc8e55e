// Verifying a compact token: header, key choice, signature, then payload.
#include "corvane/jose/jwt.hpp"

#include "corvane/jose/claims.hpp"
#include "corvane/jose/compact.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/log_text.hpp"
#include "corvane/util/utf8.hpp"

namespace corvane::jose {
namespace {

// Tries the keys a token may use, in set order, until one verifies.
void verify_with_key_set(const detail::CompactJWS& jws, const JWKSet& keys) {
  const std::string_view alg = jws.algorithm->name;
  bool kid_found = false;
  for (const JWK& key : keys.keys()) {
    if (jws.kid) {
      if (key.kid() != jws.kid) continue;
      kid_found = true;
    }
    if (key.verify(alg, jws.signing_input, jws.signature)) return;
  }
  if (!jws.kid) throw JWTMissingKey("No working key found in key set");
  // Token values in error texts are capped: hosts write these texts to logs.
  if (!kid_found) throw JWTMissingKey("Key ID " + logging::capped(*jws.kid) + " not in key set");
  throw InvalidJWSSignature("Verification failed for all signatures");
}

}  // namespace

JWT::JWT(std::string_view jwt, const JWKSet& keys) : JWT(jwt, keys, std::chrono::system_clock::now()) {}

JWT::JWT(std::string_view jwt, const JWKSet& keys, std::chrono::system_clock::time_point now) {
  detail::CompactJWS jws = detail::parse_compact(jwt);
  verify_with_key_set(jws, keys);

  // Only now, with the signature verified, is the payload looked at.
  require_utf8(jws.payload);
  try {
    claims_ = parse_json(jws.payload);
  } catch (const JSONDecodeError& e) {
    claims_error_ = e.what();  // kept for claims(); a non-JSON payload is still a valid JWS
  }
  if (claims_ && claims_->is_object()) detail::check_registered_claims(*claims_, now);
  header_ = std::move(jws.header);
  payload_ = std::move(jws.payload);
}

const Json& JWT::claims() const {
  if (!claims_) throw JSONDecodeError(claims_error_);
  return *claims_;
}

}  // namespace corvane::jose
