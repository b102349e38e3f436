// Typed elements cut out of a record payload: borrowed in place when aligned, else copied. Touches no
// Python object; the NumPy builders of python/binding/arrays.hpp turn the result into arrays.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <variant>
#include <vector>

#include "engine/bytes.hpp"
#include "engine/error.hpp"

namespace molarium::records {

// Copies the little-endian elements of `bytes` (bytes.size() / sizeof(T) of them) into `dest`, which
// may have any alignment the type needs; `bytes` may have none.
template <class T>
void decode_le_elements(ByteView bytes, T* dest) {
  if constexpr (std::endian::native == std::endian::little) {
    if (!bytes.empty()) std::memcpy(dest, bytes.data(), bytes.size());
  } else {
    for (std::size_t i = 0; i < bytes.size() / sizeof(T); ++i) {
      dest[i] = load_le<T>(bytes.data() + i * sizeof(T));
    }
  }
}

// Little-endian elements of type T cut out of a payload: borrowed in place from the payload when its
// start address is a multiple of sizeof(T), else owned (a byte copy in an aligned buffer).
// A borrowed sequence is valid while the payload's bytes are; its elements are read with
// decode_le_elements, never through a T pointer.
template <class T>
class CowElements {
 public:
  static CowElements borrowed(ByteView bytes) { return CowElements(bytes); }
  static CowElements owned(std::vector<T> values) { return CowElements(std::move(values)); }

  bool is_owned() const { return std::holds_alternative<std::vector<T>>(storage_); }
  std::size_t size() const {
    return is_owned() ? std::get<std::vector<T>>(storage_).size()
                      : std::get<ByteView>(storage_).size() / sizeof(T);
  }
  // REQUIRES: !is_owned().
  ByteView borrowed_bytes() const { return std::get<ByteView>(storage_); }
  // REQUIRES: is_owned(). Leaves the sequence empty.
  std::vector<T> take_owned() { return std::move(std::get<std::vector<T>>(storage_)); }

 private:
  explicit CowElements(ByteView bytes) : storage_(bytes) {}
  explicit CowElements(std::vector<T> values) : storage_(std::move(values)) {}
  std::variant<ByteView, std::vector<T>> storage_;
};

// The payload as elements of T (float or int32 for 4-byte, double or int64 for 8-byte payloads).
// "Byte length {} is not a multiple of element size {}", tested before alignment.
template <class T>
Result<CowElements<T>> cast_or_decode(ByteView payload) {
  if (payload.size() % sizeof(T) != 0) {
    return value_error(cat("Byte length ", payload.size(), " is not a multiple of element size ", sizeof(T)));
  }
  if (reinterpret_cast<std::uintptr_t>(payload.data()) % sizeof(T) == 0) return CowElements<T>::borrowed(payload);
  std::vector<T> values(payload.size() / sizeof(T));
  decode_le_elements<T>(payload, values.data());
  return CowElements<T>::owned(std::move(values));
}

inline Result<CowElements<float>> cast_or_decode_f32(ByteView payload) {
  return cast_or_decode<float>(payload);
}
inline Result<CowElements<double>> cast_or_decode_f64(ByteView payload) {
  return cast_or_decode<double>(payload);
}

}  // namespace molarium::records
