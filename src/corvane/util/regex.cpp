#define PCRE2_CODE_UNIT_WIDTH 8
#include "corvane/util/regex.hpp"

#include <pcre2.h>

#include "corvane/util/errors.hpp"

namespace corvane {

struct Regex::Compiled {
  pcre2_code* code = nullptr;
  bool jit = false;
  ~Compiled() { pcre2_code_free(code); }
};

Regex::Regex(std::string_view pattern) : pattern_(pattern), compiled_(std::make_unique<Compiled>()) {
  std::unique_ptr<pcre2_compile_context, decltype(&pcre2_compile_context_free)> context(
      pcre2_compile_context_create(nullptr), pcre2_compile_context_free);
  // "$" also matches before one final line feed: the line feed, and only it,
  // ends a line.
  pcre2_set_newline(context.get(), PCRE2_NEWLINE_LF);
  int error = 0;
  PCRE2_SIZE offset = 0;
  compiled_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern_.data()), pattern_.size(), 0, &error,
                                  &offset, context.get());
  if (!compiled_->code) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(error, message, sizeof message);
    throw ValueError("invalid pattern at " + std::to_string(offset) + ": " +
                     reinterpret_cast<const char*>(message));
  }
  compiled_->jit = pcre2_jit_compile(compiled_->code, PCRE2_JIT_COMPLETE) == 0;
}

Regex::~Regex() = default;

std::optional<std::string_view> Regex::match_group(std::string_view subject, const char* group) const {
  std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> data(
      pcre2_match_data_create_from_pattern(compiled_->code, nullptr), pcre2_match_data_free);
  if (!data) throw std::bad_alloc();
  auto* text = reinterpret_cast<PCRE2_SPTR>(subject.data());
  int rc = compiled_->jit ? pcre2_jit_match(compiled_->code, text, subject.size(), 0, PCRE2_ANCHORED, data.get(), nullptr)
                          : pcre2_match(compiled_->code, text, subject.size(), 0, PCRE2_ANCHORED, data.get(), nullptr);
  if (rc < 0) return std::nullopt;
  int number = pcre2_substring_number_from_name(compiled_->code, reinterpret_cast<PCRE2_SPTR>(group));
  if (number < 0) return std::nullopt;
  PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
  PCRE2_SIZE start = ovector[2 * number], end = ovector[2 * number + 1];
  if (start == PCRE2_UNSET) return std::nullopt;
  return subject.substr(start, end - start);
}

}  // namespace corvane
