// The typed payload decoder and the owned values of custom property payloads.
#include "engine/records/payload.hpp"

#include <array>
#include <utility>
#include <vector>

#include "engine/utf8.hpp"

namespace molarium::records {

namespace {

using storage::TypeTag;
using storage::tag_byte;
using namespace molarium::types;

// Indexed by tag: what the values are, and the name a length refusal gives the type.
struct TagInfo {
  TagValues values;
  std::string_view name;
};
constexpr std::array<TagInfo, storage::kMaxTypeTag + 1> kTags = {{
    {{ValueType::F64, 1}, "f64"},            // 0 F64
    {{ValueType::I64, 1}, "i64"},            // 1 I64
    {{ValueType::Text, 1}, ""},              // 2 Str
    {{ValueType::F64, 1}, "f64 array"},      // 3 F64Array
    {{ValueType::F32, 3}, "vec3<f32>"},      // 4 Vec3F32
    {{ValueType::I64, 1}, "i64 array"},      // 5 I64Array
    {{ValueType::F32, 1}, "f32 array"},      // 6 F32Array
    {{ValueType::F64, 3}, "vec3<f64>"},      // 7 Vec3F64
    {{ValueType::I32, 1}, "i32 array"},      // 8 I32Array
    {{ValueType::Flags, 3}, "pbc"},          // 9 Pbc
    {{ValueType::F64, 9}, "mat3x3<f64>"},    // 10 Mat3F64
    {{ValueType::F32, 1}, "f32"},            // 11 F32
    {{ValueType::F32, 9}, "mat3x3<f32>"},    // 12 Mat3F32
    {{ValueType::Null, 1}, ""},              // 13 Null
    {{ValueType::F32, 1}, ""},               // 14 TensorF32
    {{ValueType::F64, 1}, ""},               // 15 TensorF64
    {{ValueType::I32, 1}, ""},               // 16 TensorI32
    {{ValueType::I64, 1}, ""},               // 17 TensorI64
}};

// Tags whose payload is exactly one element.
bool is_single_element(TypeTag tag) {
  return tag == TypeTag::F64 || tag == TypeTag::I64 || (tag >= TypeTag::Pbc && tag <= TypeTag::Mat3F32);
}

template <class T>
PropertyValue tensor_value(const TypedPayload& payload) {
  return PropertyValue(std::in_place_index<property_index::kTensor>,
                       TensorData(std::in_place_type<Tensor<T>>,
                                  Tensor<T>{payload.tensor.shape, load_le_values<T>(payload.values)}));
}

}  // namespace

TagValues tag_values(storage::TypeTag tag) {
  if (tag_byte(tag) > storage::kMaxTypeTag) return {};
  return kTags[tag_byte(tag)].values;
}

std::expected<TypedPayload, PayloadError> decode_payload(storage::TypeTag tag, ByteView payload) {
  const auto fail = [](PayloadFault fault) { return std::unexpected(PayloadError{fault, std::nullopt}); };
  const auto elem = storage::dtypes::element_bytes(tag);
  if (!elem) return fail(PayloadFault::UnsupportedTag);
  if (storage::dtypes::is_tensor_tag(tag)) {
    auto layout = storage::dtypes::tensor_shape_from_payload(tag, payload);
    if (!layout) return std::unexpected(PayloadError{PayloadFault::Tensor, std::move(layout).error()});
    const ByteView values = payload.subspan(layout->values_offset);
    return TypedPayload{tag, values, std::move(*layout)};
  }
  if (tag == TypeTag::Str) {
    if (!is_valid_utf8(payload)) return fail(PayloadFault::InvalidUtf8);
  } else if (tag == TypeTag::Null) {
    if (!payload.empty()) return fail(PayloadFault::NullNotEmpty);
  } else if (is_single_element(tag)) {
    if (payload.size() != *elem) return fail(PayloadFault::WrongLength);
  } else if (payload.size() % *elem != 0) {
    return fail(PayloadFault::NotWholeValues);
  }
  return TypedPayload{tag, payload, {}};
}

std::string payload_error_text(storage::TypeTag tag, const PayloadError& error) {
  switch (error.fault) {
    case PayloadFault::WrongLength:
    case PayloadFault::NotWholeValues: return cat("Invalid ", kTags[tag_byte(tag)].name, " payload length");
    case PayloadFault::InvalidUtf8: return "Invalid UTF-8 in string property";
    case PayloadFault::NullNotEmpty: return "Null property payload must be empty";
    case PayloadFault::Tensor: return error.tensor_error->display();
    case PayloadFault::UnsupportedTag: break;
  }
  return cat("Unsupported property type tag ", unsigned{tag_byte(tag)});
}

PropertyValue property_value(const TypedPayload& payload) {
  namespace index = property_index;
  const ByteView v = payload.values;
  switch (payload.tag) {
    case TypeTag::F64: return PropertyValue(std::in_place_index<index::kF64>, load_le<double>(v.data()));
    case TypeTag::I64: return PropertyValue(std::in_place_index<index::kI64>, load_le<std::int64_t>(v.data()));
    case TypeTag::Str: return PropertyValue(std::in_place_index<index::kString>, std::string(as_text(v)));
    case TypeTag::F64Array: return PropertyValue(std::in_place_index<index::kF64Array>, load_le_values<double>(v));
    case TypeTag::Vec3F32: return PropertyValue(std::in_place_index<index::kVec3F32>, load_le_triples<float>(v));
    case TypeTag::I64Array:
      return PropertyValue(std::in_place_index<index::kI64Array>, load_le_values<std::int64_t>(v));
    case TypeTag::F32Array: return PropertyValue(std::in_place_index<index::kF32Array>, load_le_values<float>(v));
    case TypeTag::Vec3F64: return PropertyValue(std::in_place_index<index::kVec3F64>, load_le_triples<double>(v));
    case TypeTag::I32Array:
      return PropertyValue(std::in_place_index<index::kI32Array>, load_le_values<std::int32_t>(v));
    case TypeTag::TensorF32: return tensor_value<float>(payload);
    case TypeTag::TensorF64: return tensor_value<double>(payload);
    case TypeTag::TensorI32: return tensor_value<std::int32_t>(payload);
    case TypeTag::TensorI64: return tensor_value<std::int64_t>(payload);
    default: return PropertyValue(std::in_place_index<index::kNull>);
  }
}

}  // namespace molarium::records
