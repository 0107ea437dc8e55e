// A growing run of bytes addressed by offset, for stores that hold many small
// texts in one allocation.
#pragma once

#include <cstddef>
#include <string_view>

namespace corvane {

class ByteArena {
 public:
  ByteArena() = default;
  ByteArena(const ByteArena& other);
  ByteArena(ByteArena&& other) noexcept;
  ByteArena& operator=(ByteArena other) noexcept;
  ~ByteArena();

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::string_view view(std::size_t offset, std::size_t length) const { return {data_ + offset, length}; }

  // Appends `bytes` and returns the offset of the first of them.
  std::size_t append(std::string_view bytes);
  void push_back(unsigned char byte) {
    if (size_ == capacity_) reserve_more(1);
    data_[size_++] = static_cast<char>(byte);
  }
  // Returns the unused tail to the allocator.
  void shrink_to_fit();

 private:
  void reserve_more(std::size_t extra);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace corvane
