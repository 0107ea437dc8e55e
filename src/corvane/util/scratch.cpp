#include "corvane/util/scratch.hpp"

#include <array>
#include <cstddef>

namespace corvane {
namespace {

// An authentication holds three buffers (the token, its claims, a
// comparison form) and a record two more while it is written; a second
// authentication nested in it (from host code) fits too.
constexpr std::size_t kLevels = 8;
// A buffer that grew past this (one huge token) is given back when returned,
// so a thread does not hold it for its whole life.
constexpr std::size_t kKeptCapacity = 64 * 1024;

struct Pool {
  std::array<std::string, kLevels> buffers;
  std::size_t depth = 0;
};

Pool& pool() noexcept {
  thread_local Pool instance;
  return instance;
}

}  // namespace

ScratchText::ScratchText() noexcept : text_(&own_) {
  Pool& p = pool();
  if (p.depth < kLevels) {
    text_ = &p.buffers[p.depth];
    text_->clear();
  }
  ++p.depth;
}

ScratchText::~ScratchText() {
  Pool& p = pool();
  --p.depth;
  if (text_ != &own_ && text_->capacity() > kKeptCapacity) std::string().swap(*text_);
}

}  // namespace corvane
