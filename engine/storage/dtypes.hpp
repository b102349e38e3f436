// Section kinds, the one-byte type tags of section payloads, and the byte encodings of
// custom property values and tensor payloads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/types.hpp"

namespace molarium::storage {

// The kind byte of a record section.
enum class SectionKind : std::uint8_t {
  Builtin = 0,   // a built-in field of the molecule
  Atom = 1,      // atom-scope custom property (atom_properties)
  Molecule = 2,  // molecule-scope custom property (properties)
};

// The type of a section payload. Tags 9 to 12 occur only in built-in sections.
enum class TypeTag : std::uint8_t {
  F64 = 0,
  I64 = 1,
  Str = 2,
  F64Array = 3,
  Vec3F32 = 4,
  I64Array = 5,
  F32Array = 6,
  Vec3F64 = 7,
  I32Array = 8,
  Pbc = 9,
  Mat3F64 = 10,
  F32 = 11,
  Mat3F32 = 12,
  Null = 13,
  TensorF32 = 14,
  TensorF64 = 15,
  TensorI32 = 16,
  TensorI64 = 17,
};

inline constexpr std::uint8_t kMaxTypeTag = 17;
inline constexpr std::uint8_t tag_byte(TypeTag tag) { return static_cast<std::uint8_t>(tag); }
inline constexpr std::uint8_t kind_byte(SectionKind kind) { return static_cast<std::uint8_t>(kind); }

}  // namespace molarium::storage

namespace molarium::storage::dtypes {

inline constexpr std::size_t kMaxTensorRank = 255;

// Bytes of one element of a tag (0 for strings and null); nothing for a tag above 17.
std::optional<std::size_t> element_bytes(TypeTag tag);

inline constexpr bool is_tensor_tag(TypeTag tag) { return tag >= TypeTag::TensorF32 && tag <= TypeTag::TensorI64; }
// 4 for tags 14 and 16, 8 for 15 and 17. REQUIRES: is_tensor_tag(tag).
inline constexpr std::size_t tensor_element_size(TypeTag tag) {
  return (tag == TypeTag::TensorF32 || tag == TypeTag::TensorI32) ? 4 : 8;
}

// Appends rows of N values (xyz triples) as their values, little-endian, row after row.
template <class T, std::size_t N>
void append_le_rows(Bytes& out, std::span<const std::array<T, N>> rows) {
  static_assert(sizeof(std::array<T, N>) == N * sizeof(T), "rows must be packed");
  append_le_array<T>(out, std::span<const T>(reinterpret_cast<const T*>(rows.data()), rows.size() * N));
}

// The type tag a custom property value is written with.
TypeTag type_tag_of(const types::PropertyValue& value);

// Length of the payload property_value_to_bytes would produce; fails only for a tensor whose
// shape cannot be stored.
Result<std::size_t> property_payload_length(const types::PropertyValue& value);

// The payload bytes of a custom property value (the tag is chosen by the caller).
Result<Bytes> property_value_to_bytes(const types::PropertyValue& value);

// Appends the payload of a value to out; the record writer uses this to write in place.
Result<void> append_property_payload(Bytes& out, const types::PropertyValue& value);

// Succeeds when a tensor's shape may be stored and its product equals value_count.
Result<void> validate_tensor_data_shape(std::span<const std::uint64_t> shape, std::size_t value_count);

// A shape in list form, as messages write it: "[2, 3]", or "[]" for rank 0.
std::string format_shape(std::span<const std::uint64_t> shape);

// The product of the dimensions (1 for rank 0), failing with "Tensor shape overflows usize".
Result<std::uint64_t> tensor_value_count(std::span<const std::uint64_t> shape);

struct TensorPayloadLayout {
  std::vector<std::uint64_t> shape;
  std::size_t values_offset = 0;  // 1 + 4 * rank
};

// Parses the rank and dims of a tensor payload and checks the value bytes against them.
Result<TensorPayloadLayout> tensor_shape_from_payload(TypeTag tag, ByteView payload);

// Format 3 accepts every tag; format 2 fixes the tags of six built-in keys.
Result<void> validate_builtin_type_tag_for_record_format(std::uint32_t record_format, std::string_view key,
                                                         TypeTag tag);

}  // namespace molarium::storage::dtypes
