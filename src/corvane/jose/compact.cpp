#include "corvane/jose/compact.hpp"

#include <array>
#include <cstring>
#include <string>

#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/json_members.hpp"
#include "corvane/util/log_text.hpp"

// Token values that error texts quote are capped: hosts write these texts to
// their logs, and the token comes from anyone.
namespace corvane::jose::detail {
namespace {

// Headers are small; a deep one is hostile.
constexpr std::size_t kMaxHeaderDepth = 16;

// What the header is read for; the other members are never used.
constexpr std::array<std::string_view, 3> kHeaderNames = {"alg", "kid", "crit"};
enum HeaderMember { alg, kid, crit };

// The thread's decoding buffers and header reader: scratch space reused from
// token to token, never state.
struct Scratch {
  std::string header, payload, signature;
  JsonMemberReader reader{kMaxHeaderDepth};
};

Scratch& scratch() {
  thread_local Scratch buffers;
  return buffers;
}

// `refusal` is the whole message: a refused token costs the exception only.
std::string_view decode_part(std::string_view text, std::string& out, const char* refusal) {
  if (!base64url_decode(text, out)) throw InvalidJWSObject(refusal);
  return out;
}

// No extension is understood, so any critical one is refused (RFC 7515 4.1.11).
void refuse_critical(const JsonMember& crit) {
  if (crit.kind == JsonKind::absent) return;
  if (crit.kind != JsonKind::array || crit.size == 0 || !crit.all_strings) {
    throw InvalidJWSObject("JWS header 'crit' must be a non-empty list of strings");
  }
  throw InvalidJWSObject("Unsupported critical JWS header parameter '" + logging::capped(crit.first_text) + "'");
}

}  // namespace

CompactJWS parse_compact(std::string_view token) {
  if (token.size() > kMaxTokenSize) throw InvalidJWSObject("Token larger than 1 MiB");
  // Counting stops at five dots: only two and four have a meaning.
  std::array<std::size_t, 4> dots{};
  std::size_t count = 0;
  const char* const end = token.data() + token.size();
  for (const char* at = token.data(); at != end && count <= dots.size(); ++at, ++count) {
    at = static_cast<const char*>(std::memchr(at, '.', static_cast<std::size_t>(end - at)));
    if (at == nullptr) break;
    if (count < dots.size()) dots[count] = static_cast<std::size_t>(at - token.data());
  }
  if (count == 4) throw InvalidJWEData("JWE tokens are not supported");
  if (count != 2) throw ValueError("Token format unrecognized");

  Scratch& buffers = scratch();
  CompactJWS jws;
  jws.signing_input = token.substr(0, dots[1]);
  jws.header = decode_part(token.substr(0, dots[0]), buffers.header, "Invalid base64url in JWS header");
  std::array<JsonMember, kHeaderNames.size()> header;
  JsonKind kind;
  try {
    kind = buffers.reader.read(jws.header, kHeaderNames, header);
  } catch (const JSONDecodeError& e) {
    throw InvalidJWSObject("Invalid JWS header: " + logging::capped(e.what()));
  }
  if (kind != JsonKind::object) throw InvalidJWSObject("JWS header is not a JSON object");
  jws.payload = decode_part(token.substr(dots[0] + 1, dots[1] - dots[0] - 1), buffers.payload,
                            "Invalid base64url in JWS payload");
  jws.signature = decode_part(token.substr(dots[1] + 1), buffers.signature, "Invalid base64url in JWS signature");

  if (header[alg].kind != JsonKind::string) throw InvalidJWSObject("JWS header has no 'alg' string");
  jws.algorithm = find_algorithm(header[alg].text);
  if (jws.algorithm == nullptr) {
    throw InvalidJWAAlgorithm("Algorithm '" + logging::capped(header[alg].text) + "' is not allowed");
  }
  refuse_critical(header[crit]);
  if (header[kid].kind != JsonKind::absent) {
    if (header[kid].kind != JsonKind::string) throw InvalidJWSObject("JWS header 'kid' must be a string");
    jws.kid = header[kid].text;
  }
  return jws;
}

}  // namespace corvane::jose::detail
