// FlatBuffer: an output buffer of flat retrieval whose memory is allocated but not touched, so the
// worker that fills a slice is the first to touch (and fault in) its pages, and the buffer can be
// handed to NumPy as the array's memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/records/flat_memory.hpp"

namespace molarium::records {

// Owns `size` elements from acquire_flat_memory, uninitialised until written: every element must
// be written (or zeroed with zero_range) before it is read. Memory is aligned for any scalar type,
// so a byte buffer may be handed over as an array of wider elements.
template <class T>
  requires std::is_trivially_copyable_v<T>
class FlatBuffer {
 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  FlatBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had. REQUIRES: size * sizeof(T) does not
  // overflow.
  explicit FlatBuffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    data_ = static_cast<T*>(acquire_flat_memory(size * sizeof(T)));
    if (data_ == nullptr) throw std::bad_alloc();
  }
  FlatBuffer(FlatBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  FlatBuffer& operator=(FlatBuffer&& other) noexcept {
    if (this != &other) {
      release_flat_memory(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  FlatBuffer(const FlatBuffer&) = delete;
  FlatBuffer& operator=(const FlatBuffer&) = delete;
  ~FlatBuffer() { release_flat_memory(data_); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }

  // Zeroes elements [first, first + count). REQUIRES: the range lies within the buffer.
  void zero_range(std::size_t first, std::size_t count) { std::fill_n(data_ + first, count, T{}); }

  // Gives up the memory to the caller, who gives it back with release_flat_memory.
  T* release() {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

  friend bool operator==(const FlatBuffer& a, const FlatBuffer& b) { return std::ranges::equal(a, b); }
  friend bool operator==(const FlatBuffer& a, const std::vector<T>& b) { return std::ranges::equal(a, b); }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace molarium::records
