#include "corvane/util/log_text.hpp"

#include <charconv>

#include "corvane/util/utf8.hpp"

namespace corvane::logging {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_byte_escape(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0xf];
}

void append_code_point_escape(std::string& out, char32_t code_point) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code_point >> shift) & 0xf];
}

// The length of the UTF-8 sequence that `lead` starts, or 1 for a byte that
// starts none.
std::size_t sequence_length(unsigned char lead) noexcept {
  if (lead >= 0xf0 && lead <= 0xf4) return 4;
  if (lead >= 0xe0) return lead <= 0xef ? 3 : 1;
  if (lead >= 0xc2) return 2;
  return 1;
}

char32_t decode(std::string_view sequence) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(sequence[i])); };
  switch (sequence.size()) {
    case 2: return ((byte(0) & 0x1f) << 6) | (byte(1) & 0x3f);
    case 3: return ((byte(0) & 0x0f) << 12) | ((byte(1) & 0x3f) << 6) | (byte(2) & 0x3f);
    default: return 0x10000;  // beyond the controls and separators looked for
  }
}

bool is_control(char32_t code_point) noexcept {
  return (code_point >= 0x80 && code_point <= 0x9f) || code_point == 0x2028 || code_point == 0x2029;
}

}  // namespace

bool is_plain(std::string_view text) noexcept {
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7f) return false;
  }
  return true;
}

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  append_escaped(out, text);
  return out;
}

void append_escaped(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c < 0x80) {
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: append_byte_escape(out, c);
      }
      ++i;
      continue;
    }
    const std::size_t length = sequence_length(c);
    const std::string_view sequence = text.substr(i, length);
    if (length == 1 || sequence.size() < length || !is_valid_utf8(sequence)) {
      append_byte_escape(out, c);
      ++i;
      continue;
    }
    if (const char32_t code_point = decode(sequence); is_control(code_point)) {
      append_code_point_escape(out, code_point);
    } else {
      out += sequence;
    }
    i += length;
  }
}

std::string capped(std::string_view value, std::size_t limit) {
  std::string out;
  append_capped(out, value, limit);
  return out;
}

void append_capped(std::string& out, std::string_view value, std::size_t limit) {
  if (value.size() <= limit) {
    out += value;
    return;
  }
  std::size_t cut = limit;
  // Back to the start of a UTF-8 sequence, so the kept part stays readable.
  for (int steps = 0; steps < 3 && cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xc0) == 0x80; ++steps) --cut;
  out += value.substr(0, cut);
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value.size() - cut).ptr;
  out += "...[+";
  out.append(digits, end);
  out += " bytes]";
}

}  // namespace corvane::logging
