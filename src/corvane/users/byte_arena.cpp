#include "corvane/users/byte_arena.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace corvane {

// Grown with realloc rather than by copying into a new block: the C library
// moves a large block by remapping its pages, so the run is never held twice
// while it grows, which would double the peak memory of a large store.

ByteArena::ByteArena(const ByteArena& other) {
  if (other.size_ == 0) return;
  data_ = static_cast<char*>(std::malloc(other.size_));
  if (!data_) throw std::bad_alloc();
  std::memcpy(data_, other.data_, other.size_);
  size_ = capacity_ = other.size_;
}

ByteArena::ByteArena(ByteArena&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteArena& ByteArena::operator=(ByteArena other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
  return *this;
}

ByteArena::~ByteArena() { std::free(data_); }

std::size_t ByteArena::append(std::string_view bytes) {
  if (capacity_ - size_ < bytes.size()) reserve_more(bytes.size());
  const std::size_t offset = size_;
  if (!bytes.empty()) std::memcpy(data_ + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
  return offset;
}

void ByteArena::reserve_more(std::size_t extra) {
  std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_ + capacity_ / 2;
  if (capacity - size_ < extra) capacity = size_ + extra;
  char* data = static_cast<char*>(std::realloc(data_, capacity));
  if (!data) throw std::bad_alloc();
  data_ = data;
  capacity_ = capacity;
}

void ByteArena::shrink_to_fit() {
  if (size_ == capacity_) return;
  if (size_ == 0) {
    std::free(std::exchange(data_, nullptr));
    capacity_ = 0;
    return;
  }
  if (char* data = static_cast<char*>(std::realloc(data_, size_))) {
    data_ = data;
    capacity_ = size_;
  }
}

}  // namespace corvane
