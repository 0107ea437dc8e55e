// The bearer token of an Authorization header: "Bearer", one blank and the
// standard base64 of the compact JWT.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "corvane/auth/jwt/policy.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::auth::jwt {
namespace {

void require_ascii(const std::string& bytes) {
  // Eight bytes at a time; only a text that fails is looked at byte by byte.
  std::size_t i = 0;
  for (std::uint64_t word; i + 8 <= bytes.size(); i += 8) {
    std::memcpy(&word, bytes.data() + i, sizeof word);
    if (word & 0x8080808080808080u) break;
  }
  for (; i < bytes.size(); ++i) {
    auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x80) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02x", byte);
      throw UnicodeDecodeError(std::string("'ascii' codec can't decode byte ") + hex + " in position " +
                               std::to_string(i) + ": ordinal not in range(128)");
    }
  }
}

constexpr std::array<bool, 256> kTokenCharacters = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
  }
  return table;
}();

// The "token" group of token_regex() written out: the pattern is anchored,
// and its "$" also matches before one final line feed. A regex match cost
// more than the rest of the header's handling, match data included.
std::optional<std::string_view> match_token(std::string_view header) {
  constexpr std::string_view kPrefix = "Bearer ";
  if (header.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  std::string_view token = header.substr(kPrefix.size());
  if (!token.empty() && token.back() == '\n') token.remove_suffix(1);
  const auto* t = reinterpret_cast<const unsigned char*>(token.data());
  std::size_t characters = 0;
  for (; characters + 4 <= token.size(); characters += 4) {
    if (!(kTokenCharacters[t[characters]] & kTokenCharacters[t[characters + 1]] &
          kTokenCharacters[t[characters + 2]] & kTokenCharacters[t[characters + 3]])) {
      break;
    }
  }
  while (characters < token.size() && kTokenCharacters[t[characters]]) ++characters;
  if (characters == 0) return std::nullopt;
  const std::size_t padding = token.size() - characters;
  if (padding > 3 || token.find_first_not_of('=', characters) != std::string_view::npos) return std::nullopt;
  return token;
}

}  // namespace

std::string JWTAuthenticationPolicy::get_token_from_header(std::string_view auth_header) const {
  auto token = match_token(auth_header);
  if (!token) throw ValueError("Invalid header for JWT.");
  try {
    std::string decoded = b64decode_padded(*token);
    require_ascii(decoded);
    return decoded;
  } catch (const Base64Error& error) {
    logging::debug(error.what());
  } catch (const UnicodeDecodeError& error) {
    logging::debug(error.what());
  }
  throw ValueError("Invalid JWT in header.");
}

}  // namespace corvane::auth::jwt
