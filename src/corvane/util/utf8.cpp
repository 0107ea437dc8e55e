#include "corvane/util/utf8.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "corvane/util/errors.hpp"

namespace corvane {

std::size_t first_invalid_utf8(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII, the bulk of any token, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, sizeof word);
      if (word & 0x8080808080808080u) break;
      i += 8;
    }
    if (i >= n) break;
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      if (c == 0xe0) lo = 0xa0;
      if (c == 0xed) hi = 0x9f;  // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;  // nothing above U+10FFFF
    } else {
      return i;
    }
    if (i + len > n) return i;
    if (s[i + 1] < lo || s[i + 1] > hi) return i;
    for (std::size_t k = 2; k < len; ++k) {
      if (s[i + k] < 0x80 || s[i + k] > 0xbf) return i;
    }
    i += len;
  }
  return std::string_view::npos;
}

void require_utf8(std::string_view text) {
  std::size_t at = first_invalid_utf8(text);
  if (at == std::string_view::npos) return;
  char byte[8];
  std::snprintf(byte, sizeof byte, "0x%02x", static_cast<unsigned char>(text[at]));
  throw UnicodeDecodeError("'utf-8' codec can't decode byte " + std::string(byte) + " in position " +
                           std::to_string(at) + ": invalid utf-8");
}

}  // namespace corvane
