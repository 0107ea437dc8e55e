// Verifying a compact token: header, key choice, signature, then payload.
#include "corvane/jose/jwt.hpp"

#include <array>

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

// The general parser's limit; the thread's claims reader is scratch space
// reused from token to token.
JsonMemberReader& claims_reader() {
  thread_local JsonMemberReader reader(512);
  return reader;
}

}  // namespace

VerifiedClaims verify_claims(std::string_view token, const JWKSet& keys, std::optional<std::string_view> claim,
                             std::chrono::system_clock::time_point now, std::optional<LongStepRunner> run_long) {
  const detail::CompactJWS jws = detail::parse_compact(token);
  VerifiedClaims verified;
  // From the key choice on, the work reads only the token and the key set:
  // for a public key, whose check is long, all of it runs through the runner.
  const auto rest = [&] {
    verify_with_key_set(jws, keys);

    // Only now, with the signature verified, is the payload looked at.
    require_utf8(jws.payload);
    verified.header_ = jws.header;
    verified.payload_ = jws.payload;
    std::array<std::string_view, detail::kRegisteredClaims.size() + 1> names;
    std::copy(detail::kRegisteredClaims.begin(), detail::kRegisteredClaims.end(), names.begin());
    names.back() = claim.value_or(std::string_view());
    std::array<JsonMember, names.size()> members;
    try {
      verified.kind_ = claims_reader().read(
          jws.payload, std::span(names).first(claim ? names.size() : names.size() - 1), members);
    } catch (const JSONDecodeError& e) {
      verified.error_ = e.what();  // a non-JSON payload is still a valid JWS
      return;
    }
    if (verified.kind_ == JsonKind::object) {
      const auto registered = std::span(members).first<detail::kRegisteredClaims.size()>();
      detail::check_registered_claims(registered, now);
      verified.window_ = detail::time_window(registered);
      verified.sub_ = members[1];
      verified.claim_ = members.back();
    }
  };
  if (run_long && jws.algorithm->family != detail::Family::hmac) {
    (*run_long)(rest);
  } else {
    rest();
  }
  return verified;
}

JWT::JWT(std::string_view jwt, const JWKSet& keys) : JWT(jwt, keys, std::chrono::system_clock::now()) {}

JWT::JWT(std::string_view jwt, const JWKSet& keys, std::chrono::system_clock::time_point now) {
  const VerifiedClaims verified = verify_claims(jwt, keys, std::nullopt, now);
  header_ = parse_json(verified.header());
  payload_ = verified.payload();
  try {
    claims_ = verified.json();
  } catch (const JSONDecodeError& e) {
    claims_error_ = e.what();
  }
}

const Json& JWT::claims() const {
  if (!claims_) throw JSONDecodeError(claims_error_);
  return *claims_;
}

}  // namespace corvane::jose
