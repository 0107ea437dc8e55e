// A compiled PCRE2 pattern (JIT where available), immutable and shared by
// threads; matches use match data kept per thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

class Regex {
 public:
  // Throws ValueError for a pattern that does not compile.
  explicit Regex(std::string_view pattern);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  const std::string& pattern() const { return pattern_; }

  // Matches from the subject's first character; on success, the text of the
  // named group.
  std::optional<std::string_view> match_group(std::string_view subject, const char* group) const;

 private:
  std::string pattern_;
  struct Compiled;
  std::unique_ptr<Compiled> compiled_;
};

}  // namespace corvane
