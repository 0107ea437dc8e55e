// How text from outside becomes part of a log record: one line, no terminal
// control sequences, and a bounded share of the record.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane::logging {

// The most bytes of one outside value (a provider id, a key id, an algorithm
// name) that a record embeds; far above any real one.
inline constexpr std::size_t kMaxValueBytes = 256;

// Whether `text` is printable ASCII only, and so written as it is.
bool is_plain(std::string_view text) noexcept;

// `text` with every character that could end a line or drive a terminal
// written as an escape: \n, \r, \t, \xNN for other C0 controls, DEL and bytes
// that are not well-formed UTF-8, \uNNNN for C1 controls and the Unicode line
// and paragraph separators. Printable characters, other UTF-8 and the
// backslash stay as they are, so plain text and JSON dumps are unchanged.
std::string escape_controls(std::string_view text);
// escape_controls(text) appended to `out`.
void append_escaped(std::string& out, std::string_view text);

// `value` cut to `limit` bytes (never inside a UTF-8 sequence) with a visible
// mark of what was left out, "...[+N bytes]"; a shorter value is unchanged.
std::string capped(std::string_view value, std::size_t limit = kMaxValueBytes);
// capped(value, limit) appended to `out`.
void append_capped(std::string& out, std::string_view value, std::size_t limit = kMaxValueBytes);

}  // namespace corvane::logging
