// UTF-8 validation.
#pragma once

#include <cstddef>
#include <string_view>

namespace corvane {

// The offset of the first byte that is not part of well-formed UTF-8
// (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF), or
// npos when the whole text is well-formed.
std::size_t first_invalid_utf8(std::string_view text) noexcept;

inline bool is_valid_utf8(std::string_view text) noexcept {
  return first_invalid_utf8(text) == std::string_view::npos;
}

// Throws UnicodeDecodeError naming the offending byte and position.
void require_utf8(std::string_view text);

}  // namespace corvane
