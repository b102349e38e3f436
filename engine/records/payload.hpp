// The typed payload decoder: a section's type tag and payload checked against each other once,
// for every reader (record view, molecule materialisation, the extension's property getters).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/types.hpp"

namespace molarium::records {

// What a payload's values are made of: the element type and how many values one element holds
// (3 for an xyz row, 9 for a 3x3 matrix, 3 flags for pbc).
enum class ValueType : std::uint8_t { F32, F64, I32, I64, Flags, Text, Null, Unknown };
struct TagValues {
  ValueType type = ValueType::Unknown;
  std::size_t per_element = 1;
};

// The values of a tag; a tensor tag gives its value type (its shape is in the payload).
TagValues tag_values(storage::TypeTag tag);

enum class PayloadFault : std::uint8_t {
  WrongLength,     // a scalar, pbc or matrix payload of another length than one element
  NotWholeValues,  // an array or xyz payload that is not a whole number of elements
  InvalidUtf8,
  NullNotEmpty,
  Tensor,          // see tensor_error
  UnsupportedTag,  // a tag above 17
};

struct PayloadError {
  PayloadFault fault;
  std::optional<Error> tensor_error;  // the tensor header's own error, for PayloadFault::Tensor
};

// A payload that fits its tag, borrowed from the record.
struct TypedPayload {
  storage::TypeTag tag = storage::TypeTag::F64;
  ByteView values;  // the element bytes (for tensors: after the shape); the text of a string
  storage::dtypes::TensorPayloadLayout tensor;  // tensors only
};

// Checks a payload against its tag: one element for a scalar, pbc and a matrix, whole elements
// for an array or xyz rows, UTF-8 for text, nothing for null, a consistent header for a tensor.
std::expected<TypedPayload, PayloadError> decode_payload(storage::TypeTag tag, ByteView payload);

// The reader's text of a payload error: "Invalid f64 payload length", "Invalid f64 array payload
// length", "Invalid vec3<f32> payload length", "Invalid mat3x3<f64> payload length", "Invalid pbc
// payload length", "Invalid UTF-8 in string property", "Null property payload must be empty", the
// tensor error's display text, "Unsupported property type tag {}".
std::string payload_error_text(storage::TypeTag tag, const PayloadError& error);

// True for the tags a custom property may carry: 0 to 8 and 13 to 17.
inline constexpr bool is_property_tag(storage::TypeTag tag) {
  using storage::TypeTag;
  return tag <= TypeTag::I32Array || (tag >= TypeTag::Null && tag <= TypeTag::TensorI64);
}

// The owned value of a decoded custom property. REQUIRES: is_property_tag(payload.tag).
types::PropertyValue property_value(const TypedPayload& payload);

// Little-endian values of T, as many as the bytes hold whole.
template <class T>
std::vector<T> load_le_values(ByteView bytes) {
  std::vector<T> values(bytes.size() / sizeof(T));
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = load_le<T>(bytes.data() + i * sizeof(T));
  return values;
}

// Little-endian xyz rows of T, as many as the bytes hold whole.
template <class T>
std::vector<std::array<T, 3>> load_le_triples(ByteView bytes) {
  constexpr std::size_t kTriple = 3 * sizeof(T);
  std::vector<std::array<T, 3>> triples(bytes.size() / kTriple);
  for (std::size_t i = 0; i < triples.size(); ++i) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      triples[i][axis] = load_le<T>(bytes.data() + i * kTriple + axis * sizeof(T));
    }
  }
  return triples;
}

}  // namespace molarium::records
