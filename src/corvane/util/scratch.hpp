// Text buffers lent to one scope of the calling thread: a buffer keeps its
// capacity from one use to the next, so work repeated per request (a decoded
// token, a log record) allocates only until the buffer has grown to size.
#pragma once

#include <string>

namespace corvane {

class ScratchText {
 public:
  // Lends an empty buffer of the calling thread. A scope nested in another
  // on the same thread (host code that re-enters the policy, say) gets a
  // buffer of its own; past a few levels, a fresh string.
  ScratchText() noexcept;
  ~ScratchText();
  ScratchText(const ScratchText&) = delete;
  ScratchText& operator=(const ScratchText&) = delete;

  std::string& text() noexcept { return *text_; }

 private:
  std::string* text_;
  std::string own_;
};

}  // namespace corvane
