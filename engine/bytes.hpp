// Byte strings and the little-endian loads and stores every on-disk format goes through.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

namespace molarium {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// memcpy keeps unaligned offsets defined; the byte swap keeps big-endian hosts correct.
template <class T>
T load_le(const std::uint8_t* p) {
  static_assert(std::is_trivially_copyable_v<T>);
  T value;
  std::memcpy(&value, p, sizeof(T));
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    auto raw = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
    std::reverse(raw.begin(), raw.end());
    value = std::bit_cast<T>(raw);
  }
  return value;
}

template <class T>
void store_le(std::uint8_t* p, T value) {
  static_assert(std::is_trivially_copyable_v<T>);
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    auto raw = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
    std::reverse(raw.begin(), raw.end());
    value = std::bit_cast<T>(raw);
  }
  std::memcpy(p, &value, sizeof(T));
}

template <class T>
void append_le(Bytes& out, T value) {
  const std::size_t at = out.size();
  out.resize(at + sizeof(T));
  store_le<T>(out.data() + at, value);
}

inline void append_bytes(Bytes& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// Appends the values of a trivially copyable array little-endian, in one copy on little-endian hosts.
template <class T>
void append_le_array(Bytes& out, std::span<const T> values) {
  const std::size_t at = out.size();
  out.resize(at + values.size_bytes());
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(out.data() + at, values.data(), values.size_bytes());
  } else {
    for (std::size_t i = 0; i < values.size(); ++i) store_le<T>(out.data() + at + i * sizeof(T), values[i]);
  }
}

// Overflow-checked arithmetic on sizes and offsets read from untrusted bytes.
inline bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
  return !__builtin_add_overflow(a, b, &out);
}
inline bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
  return !__builtin_mul_overflow(a, b, &out);
}

// True when [offset, offset + length) lies inside [0, size).
inline bool range_within(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  std::uint64_t end;
  return checked_add(offset, length, end) && end <= size;
}

}  // namespace molarium
