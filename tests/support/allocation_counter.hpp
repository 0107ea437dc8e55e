// Counts the calling thread's heap allocations through operator new. It
// replaces the global operators, so include it in one file of a test program.
// Every form of new that may be paired with the plain delete goes through
// malloc (a library's nothrow new included), so a sanitizer sees matched pairs.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>

namespace corvane::testing {
inline thread_local std::uint64_t t_allocations = 0;

// The allocations `work` makes once the buffers it reuses have grown.
template <typename F>
std::uint64_t steady_allocations(F&& work) {
  work();
  const std::uint64_t start = t_allocations;
  work();
  return t_allocations - start;
}
}  // namespace corvane::testing

// GCC pairs the inlined free() with operator new and warns; these are a
// matching malloc/free pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++corvane::testing::t_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++corvane::testing::t_allocations;
  return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
