// The fast comparison agrees with the full comparison form on any input.
#include <cstdint>
#include <string>

#include "corvane/util/errors.hpp"
#include "corvane/util/unicode.hpp"
#include "corvane/util/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  // The first byte splits the input into a text and the text it is compared with.
  std::size_t split = size ? data[0] % (size) : 0;
  std::string text = input.substr(size ? 1 : 0, split), other = input.substr(split + (size ? 1 : 0));
  if (!corvane::is_valid_utf8(text) || !corvane::is_valid_utf8(other)) return 0;  // claims are valid UTF-8
  std::string form = corvane::comparison_form(other);
  if (corvane::comparison_form_equals(text, form) != (corvane::comparison_form(text) == form)) __builtin_trap();
  if (corvane::comparison_form(form) != form) __builtin_trap();  // the form is a fixed point
  return 0;
}
