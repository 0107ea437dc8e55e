#include "corvane/jose/compact.hpp"

#include <algorithm>
#include <array>

#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/log_text.hpp"

// Token values that error texts quote are capped: hosts write these texts to
// their logs, and the token comes from anyone.
namespace corvane::jose::detail {
namespace {

// Headers are small; a deep one is hostile.
constexpr std::size_t kMaxHeaderDepth = 16;

std::string decode_part(std::string_view text, const char* part) {
  std::string out;
  if (!base64url_decode(text, out)) throw InvalidJWSObject(std::string("Invalid base64url in JWS ") + part);
  return out;
}

Json parse_header(const std::string& text) {
  Json header;
  try {
    header = parse_json(text, kMaxHeaderDepth);
  } catch (const JSONDecodeError& e) {
    throw InvalidJWSObject("Invalid JWS header: " + logging::capped(e.what()));
  }
  if (!header.is_object()) throw InvalidJWSObject("JWS header is not a JSON object");
  return header;
}

// No extension is understood, so any critical one is refused (RFC 7515 4.1.11).
void refuse_critical(const Json& header) {
  auto crit = header.find("crit");
  if (crit == header.end()) return;
  if (!crit->is_array() || crit->empty() ||
      !std::all_of(crit->begin(), crit->end(), [](const Json& name) { return name.is_string(); })) {
    throw InvalidJWSObject("JWS header 'crit' must be a non-empty list of strings");
  }
  throw InvalidJWSObject("Unsupported critical JWS header parameter '" +
                         logging::capped(crit->front().get_ref<const std::string&>()) + "'");
}

}  // namespace

CompactJWS parse_compact(std::string_view token) {
  if (token.size() > kMaxTokenSize) throw InvalidJWSObject("Token larger than 1 MiB");
  std::array<std::size_t, 4> dots{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < token.size(); ++i) {
    if (token[i] != '.') continue;
    if (count < dots.size()) dots[count] = i;
    ++count;
  }
  if (count == 4) throw InvalidJWEData("JWE tokens are not supported");
  if (count != 2) throw ValueError("Token format unrecognized");

  CompactJWS jws;
  jws.signing_input = token.substr(0, dots[1]);
  jws.header = parse_header(decode_part(token.substr(0, dots[0]), "header"));
  jws.payload = decode_part(token.substr(dots[0] + 1, dots[1] - dots[0] - 1), "payload");
  jws.signature = decode_part(token.substr(dots[1] + 1), "signature");

  auto alg = jws.header.find("alg");
  if (alg == jws.header.end() || !alg->is_string()) throw InvalidJWSObject("JWS header has no 'alg' string");
  const std::string& name = alg->get_ref<const std::string&>();
  jws.algorithm = find_algorithm(name);
  if (jws.algorithm == nullptr) throw InvalidJWAAlgorithm("Algorithm '" + logging::capped(name) + "' is not allowed");
  refuse_critical(jws.header);
  if (auto kid = jws.header.find("kid"); kid != jws.header.end()) {
    if (!kid->is_string()) throw InvalidJWSObject("JWS header 'kid' must be a string");
    jws.kid = kid->get<std::string>();
  }
  return jws;
}

}  // namespace corvane::jose::detail
