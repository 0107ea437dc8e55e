#include "corvane/util/unicode.hpp"

#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "corvane/util/errors.hpp"

namespace corvane {
namespace {

constexpr bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d); }
constexpr char ascii_lower(unsigned char c) {
  return static_cast<char>((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c);
}

// The text without leading and trailing code points of the Unicode
// White_Space property. Ill-formed bytes are kept, never treated as space.
std::string_view trim_unicode_space(std::string_view text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(s, begin, previous, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = previous;
  }
  return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

// Full lower-case mapping of the root locale into `out`.
void full_lower(std::string_view text, std::string& out) {
  UErrorCode status = U_ZERO_ERROR;
  // Lower-casing can grow a text (U+0130 becomes two code points); one pass
  // reports the size needed.
  out.resize(text.size() + 16);
  int32_t needed = icu::CaseMap::utf8ToLower("", 0, text.data(), static_cast<int32_t>(text.size()),
                                             out.data(), static_cast<int32_t>(out.size()), nullptr,
                                             status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    status = U_ZERO_ERROR;
    out.resize(static_cast<std::size_t>(needed));
    needed = icu::CaseMap::utf8ToLower("", 0, text.data(), static_cast<int32_t>(text.size()),
                                       out.data(), needed, nullptr, status);
  }
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) {
    throw UnicodeDecodeError(std::string("lower-case mapping failed: ") + u_errorName(status));
  }
  out.resize(static_cast<std::size_t>(needed));
}

bool is_ascii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string full_comparison_form(std::string_view text) {
  std::string out;
  full_lower(trim_unicode_space(text), out);
  return out;
}

}  // namespace

std::string comparison_form(std::string_view text) {
  std::string out;
  comparison_form(text, out);
  return out;
}

std::string_view comparison_form(std::string_view text, std::string& buffer) {
  if (!is_ascii(text)) {
    full_lower(trim_unicode_space(text), buffer);
    return buffer;
  }
  std::size_t begin = 0, end = text.size();
  while (begin < end && is_ascii_space(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && is_ascii_space(static_cast<unsigned char>(text[end - 1]))) --end;
  buffer.assign(text.substr(begin, end - begin));
  for (char& c : buffer) c = ascii_lower(static_cast<unsigned char>(c));
  return buffer;
}

bool comparison_form_equals(std::string_view text, std::string_view form) {
  // Compares while normalising. Lower-casing ASCII is context-free and stays
  // ASCII, so an ASCII prefix fixes the same prefix of the comparison form;
  // the first non-ASCII byte hands over to the full mapping.
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0, j = 0;
  while (i < n && is_ascii_space(s[i])) ++i;
  while (i < n) {
    unsigned char c = s[i];
    if (c >= 0x80) return full_comparison_form(text) == form;
    if (j < form.size() && form[j] == ascii_lower(c)) {
      ++i, ++j;
      continue;
    }
    if (!is_ascii_space(c)) return false;
    // A mismatch on white space is fine only if the rest is trailing space.
    std::size_t k = i;
    while (k < n && is_ascii_space(s[k])) ++k;
    if (k == n) return j == form.size();
    if (s[k] >= 0x80) return full_comparison_form(text) == form;
    return false;
  }
  return j == form.size();
}

}  // namespace corvane
