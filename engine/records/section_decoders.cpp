// Section decoders into owned values, over the typed payload decoder.
#include "engine/records/section_decoders.hpp"

#include <array>
#include <string>
#include <utility>

#include "engine/records/builtins.hpp"
#include "engine/records/payload.hpp"
#include "engine/storage/dtypes.hpp"

namespace molarium::records {

namespace {

using storage::TypeTag;
using storage::tag_byte;
using namespace molarium::types;

std::unexpected<Error> unsupported_field_tag(std::string_view field_name, TypeTag tag) {
  return value_error(cat("Unsupported ", field_name, " type tag ", unsigned{tag_byte(tag)}));
}

// The payload's values, checked against its tag; the error worded for the view.
Result<ByteView> checked_values(TypeTag tag, ByteView payload) {
  auto typed = decode_payload(tag, payload);
  if (!typed) return value_error(payload_error_text(tag, typed.error()));
  return typed->values;
}

template <class T>
std::array<T, 9> load_matrix(ByteView values) {
  std::array<T, 9> matrix;
  for (std::size_t i = 0; i < 9; ++i) matrix[i] = load_le<T>(values.data() + i * sizeof(T));
  return matrix;
}

}  // namespace

Result<PropertyValue> decode_property_value(TypeTag type_tag, ByteView payload) {
  if (!is_property_tag(type_tag)) {
    return value_error(cat("Unsupported property type tag ", unsigned{tag_byte(type_tag)}));
  }
  auto typed = decode_payload(type_tag, payload);
  if (!typed) return value_error(payload_error_text(type_tag, typed.error()));
  return property_value(*typed);
}

Result<Vec3Data> decode_vec3_data(ByteView payload, TypeTag type_tag, std::string_view field_name) {
  const bool f32 = type_tag == TypeTag::Vec3F32;
  if (!f32 && type_tag != TypeTag::Vec3F64) return unsupported_field_tag(field_name, type_tag);
  MOLARIUM_ASSIGN_OR_RETURN(auto values, checked_values(type_tag, payload));
  if (f32) return Vec3Data(load_le_triples<float>(values));
  return Vec3Data(load_le_triples<double>(values));
}

Result<Mat3Data> decode_mat3_data(ByteView payload, TypeTag type_tag, std::string_view field_name) {
  const bool f64 = type_tag == TypeTag::Mat3F64;
  if (!f64 && type_tag != TypeTag::Mat3F32) return unsupported_field_tag(field_name, type_tag);
  MOLARIUM_ASSIGN_OR_RETURN(auto values, checked_values(type_tag, payload));
  if (f64) return Mat3Data(std::in_place_type<Mat3F64>, load_matrix<double>(values));
  return Mat3Data(std::in_place_type<Mat3F32>, load_matrix<float>(values));
}

Result<FloatScalarData> decode_energy(ByteView payload, TypeTag type_tag) {
  const bool f64 = type_tag == TypeTag::F64;
  if (!f64 && type_tag != TypeTag::F32) return unsupported_field_tag(builtin::kEnergy, type_tag);
  MOLARIUM_ASSIGN_OR_RETURN(auto values, checked_values(type_tag, payload));
  if (f64) return FloatScalarData(std::in_place_type<double>, load_le<double>(values.data()));
  return FloatScalarData(std::in_place_type<float>, load_le<float>(values.data()));
}

Result<std::array<bool, 3>> decode_pbc(ByteView payload) {
  MOLARIUM_ASSIGN_OR_RETURN(auto values, checked_values(TypeTag::Pbc, payload));
  return std::array<bool, 3>{values[0] != 0, values[1] != 0, values[2] != 0};
}

Result<FloatArrayData> decode_float_array(ByteView payload, TypeTag type_tag, std::string_view field_name) {
  const bool f64 = type_tag == TypeTag::F64Array;
  if (!f64 && type_tag != TypeTag::F32Array) return unsupported_field_tag(field_name, type_tag);
  MOLARIUM_ASSIGN_OR_RETURN(auto values, checked_values(type_tag, payload));
  if (f64) return FloatArrayData(load_le_values<double>(values));
  return FloatArrayData(load_le_values<float>(values));
}

}  // namespace molarium::records
