#define PCRE2_CODE_UNIT_WIDTH 8
#include "corvane/util/regex.hpp"

#include <pcre2.h>

#include <cstdint>
#include <new>

#include "corvane/util/errors.hpp"

namespace corvane {

struct Regex::Compiled {
  pcre2_code* code = nullptr;
  bool jit = false;
  std::uint32_t pairs = 1;  // the whole match and each capture group
  ~Compiled() { pcre2_code_free(code); }
};

namespace {

// Match data of the calling thread, shared by every pattern (it is not tied
// to one) and grown to the largest one met, so a match allocates nothing.
pcre2_match_data* thread_match_data(std::uint32_t pairs) {
  struct Holder {
    pcre2_match_data* data = nullptr;
    ~Holder() { pcre2_match_data_free(data); }
  };
  thread_local Holder holder;
  if (!holder.data || pcre2_get_ovector_count(holder.data) < pairs) {
    pcre2_match_data* grown = pcre2_match_data_create(pairs, nullptr);
    if (!grown) throw std::bad_alloc();
    pcre2_match_data_free(holder.data);
    holder.data = grown;
  }
  return holder.data;
}

}  // namespace

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
  std::uint32_t groups = 0;
  pcre2_pattern_info(compiled_->code, PCRE2_INFO_CAPTURECOUNT, &groups);
  compiled_->pairs = groups + 1;
}

Regex::~Regex() = default;

std::optional<std::string_view> Regex::match_group(std::string_view subject, const char* group) const {
  pcre2_match_data* data = thread_match_data(compiled_->pairs);
  auto* text = reinterpret_cast<PCRE2_SPTR>(subject.data());
  int rc = compiled_->jit ? pcre2_jit_match(compiled_->code, text, subject.size(), 0, PCRE2_ANCHORED, data, nullptr)
                          : pcre2_match(compiled_->code, text, subject.size(), 0, PCRE2_ANCHORED, data, nullptr);
  if (rc < 0) return std::nullopt;
  int number = pcre2_substring_number_from_name(compiled_->code, reinterpret_cast<PCRE2_SPTR>(group));
  if (number < 0) return std::nullopt;
  PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
  PCRE2_SIZE start = ovector[2 * number], end = ovector[2 * number + 1];
  if (start == PCRE2_UNSET) return std::nullopt;
  return subject.substr(start, end - start);
}

}  // namespace corvane
