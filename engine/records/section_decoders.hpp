// The decoders of built-in and custom sections into owned values, worded for the record view
// (ValueError texts), all driven by the typed payload decoder.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/types.hpp"

namespace molarium::records {

// A custom property's value from its tag and payload (a copy); tags 9 to 12 and above 17 are
// refused with "Unsupported property type tag {}".
Result<types::PropertyValue> decode_property_value(storage::TypeTag type_tag, ByteView payload);
// Tag 4 float32 or 7 float64 triples; as many rows as the payload holds.
Result<types::Vec3Data> decode_vec3_data(ByteView payload, storage::TypeTag type_tag, std::string_view field_name);
// Tag 10 float64 or 12 float32, nine values row by row.
Result<types::Mat3Data> decode_mat3_data(ByteView payload, storage::TypeTag type_tag, std::string_view field_name);
// Tag 0 float64 or 11 float32, in its stored width.
Result<types::FloatScalarData> decode_energy(ByteView payload, storage::TypeTag type_tag);
// Three flags; any nonzero byte is true. The tag is not looked at.
Result<std::array<bool, 3>> decode_pbc(ByteView payload);
// Tag 3 float64 or 6 float32 values.
Result<types::FloatArrayData> decode_float_array(ByteView payload, storage::TypeTag type_tag,
                                                      std::string_view field_name);

}  // namespace molarium::records
