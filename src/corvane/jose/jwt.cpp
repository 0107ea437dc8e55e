#include "corvane/jose/jwt.hpp"

#include <algorithm>

#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/utf8.hpp"

namespace corvane::jose {
namespace {

// Header members that name or carry keys; the key set alone is trusted, so
// they are never read.
Algorithm header_algorithm(const Json& header) {
  auto alg = header.find("alg");
  if (alg == header.end() || !alg->is_string()) throw InvalidJWSObject("JWS header has no \"alg\" text");
  const std::string& name = alg->get_ref<const std::string&>();
  auto algorithm = algorithm_from_name(name);
  if (!algorithm) throw InvalidJWAAlgorithm("Algorithm \"" + name + "\" is not allowed");
  return *algorithm;
}

void refuse_critical(const Json& header) {
  auto crit = header.find("crit");
  if (crit == header.end()) return;
  if (!crit->is_array() || crit->empty() ||
      !std::all_of(crit->begin(), crit->end(), [](const Json& name) { return name.is_string(); })) {
    throw InvalidJWSObject("JWS header \"crit\" must be a non-empty list of texts");
  }
  // No extension is understood, so every critical one is refused.
  throw InvalidJWSObject("Unknown critical header: \"" + crit->front().get<std::string>() + "\"");
}

std::string decode_part(std::string_view part, const char* what) {
  std::string bytes;
  if (!base64url_decode(part, bytes)) throw InvalidJWSObject(std::string("Invalid base64url in the JWS ") + what);
  return bytes;
}

double seconds_since_epoch(std::chrono::system_clock::time_point now) {
  return std::chrono::duration<double>(now.time_since_epoch()).count();
}

}  // namespace

void check_registered_claims(const Json& claims, double now) {
  if (!claims.is_object()) return;
  for (const char* name : {"iss", "sub", "jti", "typ"}) {
    auto it = claims.find(name);
    if (it != claims.end() && !it->is_string()) {
      throw JWTInvalidClaimFormat(std::string("Claim ") + name + " is not a string");
    }
  }
  if (auto aud = claims.find("aud"); aud != claims.end()) {
    bool texts = aud->is_array() && std::all_of(aud->begin(), aud->end(), [](const Json& a) { return a.is_string(); });
    if (!aud->is_string() && !texts) throw JWTInvalidClaimFormat("Claim aud is not a string or a list of strings");
  }
  for (const char* name : {"exp", "nbf", "iat"}) {
    auto it = claims.find(name);
    if (it != claims.end() && !it->is_number()) {
      throw JWTInvalidClaimFormat(std::string("Claim ") + name + " is not a number");
    }
  }
  if (auto exp = claims.find("exp"); exp != claims.end() && exp->get<double>() < now - JWT::kLeeway) {
    throw JWTExpired("Expired at " + dump(*exp) + ", time: " + std::to_string(static_cast<long long>(now)));
  }
  if (auto nbf = claims.find("nbf"); nbf != claims.end() && nbf->get<double>() > now + JWT::kLeeway) {
    throw JWTNotYetValid("Valid from " + dump(*nbf) + ", time: " + std::to_string(static_cast<long long>(now)));
  }
}

JWT::JWT(std::string_view jwt, const JWKSet& key) : JWT(jwt, key, std::chrono::system_clock::now()) {}

JWT::JWT(std::string_view jwt, const JWKSet& key, std::chrono::system_clock::time_point now) {
  if (jwt.size() > kMaxTokenSize) throw InvalidJWSObject("Token larger than " + std::to_string(kMaxTokenSize) + " bytes");
  const auto dots = std::count(jwt.begin(), jwt.end(), '.');
  if (dots == 4) throw InvalidJWEData("JWE tokens are not supported");
  if (dots != 2) throw ValueError("Token format unrecognized");
  const std::size_t first = jwt.find('.'), second = jwt.find('.', first + 1);

  const std::string header_bytes = decode_part(jwt.substr(0, first), "header");
  try {
    header_ = parse_json(header_bytes);
  } catch (const JSONDecodeError& error) {
    throw InvalidJWSObject(std::string("Invalid JWS header: ") + error.what());
  }
  if (!header_.is_object()) throw InvalidJWSObject("JWS header is not a JSON object");
  const Algorithm algorithm = header_algorithm(header_);
  refuse_critical(header_);
  const Json* kid = nullptr;
  if (auto it = header_.find("kid"); it != header_.end()) {
    if (!it->is_string()) throw InvalidJWSObject("JWS header \"kid\" is not text");
    kid = &*it;
  }
  std::string payload = decode_part(jwt.substr(first + 1, second - first - 1), "payload");
  const std::string signature = decode_part(jwt.substr(second + 1), "signature");
  const std::string_view signing_input = jwt.substr(0, second);

  bool verified = false;
  if (kid) {
    const std::string& wanted = kid->get_ref<const std::string&>();
    bool found = false;
    for (const JWK& candidate : key.keys()) {
      if (candidate.kid() != wanted) continue;
      found = true;
      if (candidate.verify(algorithm, signing_input, signature)) {
        verified = true;
        break;
      }
    }
    if (!found) throw JWTMissingKey("Key ID " + wanted + " not in key set");
    if (!verified) throw InvalidJWSSignature("Verification failed with the key of ID " + wanted);
  } else {
    for (const JWK& candidate : key.keys()) {
      if (candidate.verify(algorithm, signing_input, signature)) {
        verified = true;
        break;
      }
    }
    if (!verified) throw JWTMissingKey("No working key found in key set");
  }

  // Only verified bytes are looked at from here on.
  require_utf8(payload);
  payload_ = std::move(payload);
  try {
    claims_ = parse_json(payload_);
  } catch (const JSONDecodeError& error) {
    claims_error_ = error.what();
    return;
  }
  check_registered_claims(claims_, seconds_since_epoch(now));
}

const Json& JWT::claims() const& {
  if (!claims_error_.empty()) throw JSONDecodeError(claims_error_);
  return claims_;
}

Json JWT::claims() && {
  if (!claims_error_.empty()) throw JSONDecodeError(claims_error_);
  return std::move(claims_);
}

}  // namespace corvane::jose
