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

// The position of the first byte of 128 or above, or npos.
std::size_t first_non_ascii(std::string_view bytes) {
  // Eight bytes at a time; only a text that fails is looked at byte by byte.
  std::size_t i = 0;
  for (std::uint64_t word; i + 8 <= bytes.size(); i += 8) {
    std::memcpy(&word, bytes.data() + i, sizeof word);
    if (word & 0x8080808080808080u) break;
  }
  for (; i < bytes.size(); ++i) {
    if (static_cast<unsigned char>(bytes[i]) >= 0x80) return i;
  }
  return std::string_view::npos;
}

std::string ascii_error(std::string_view bytes, std::size_t position) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(bytes[position]));
  return std::string("'ascii' codec can't decode byte ") + hex + " in position " + std::to_string(position) +
         ": ordinal not in range(128)";
}

// Bytes, not bools, so that four of them combine with a bitwise and.
constexpr std::array<std::uint8_t, 256> kTokenCharacters = [] {
  std::array<std::uint8_t, 256> table{};
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
  std::string token;
  get_token_from_header(auth_header, token);
  return token;
}

std::string_view JWTAuthenticationPolicy::get_token_from_header(std::string_view auth_header,
                                                                std::string& buffer) const {
  if (!match_token(auth_header)) throw ValueError("Invalid header for JWT.");
  if (auto token = read_token(auth_header, buffer)) return *token;
  throw ValueError("Invalid JWT in header.");
}

std::optional<std::string_view> JWTAuthenticationPolicy::read_token(std::string_view auth_header,
                                                                    std::string& buffer) const {
  auto token = match_token(auth_header);
  if (!token) return std::nullopt;
  // The decoding failures are records at debug level, their texts made only
  // when that level is on.
  if (!b64decode_padded(*token, buffer)) {
    if (logging::enabled(spdlog::level::debug)) {
      std::string error;
      b64decode_padded(*token, buffer, &error);
      logging::debug(error);
    }
    return std::nullopt;
  }
  if (const std::size_t position = first_non_ascii(buffer); position != std::string_view::npos) {
    if (logging::enabled(spdlog::level::debug)) logging::debug(ascii_error(buffer, position));
    return std::nullopt;
  }
  return std::string_view(buffer);
}

}  // namespace corvane::auth::jwt
