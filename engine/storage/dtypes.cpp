// Element sizes of the type tags, payload encodings of custom property values, and the
// tensor payload's shape rules.
#include "engine/storage/dtypes.hpp"

#include <array>
#include <limits>
#include <string>

#include "engine/records/builtins.hpp"

namespace molarium::storage::dtypes {

namespace {

using types::PropertyValue;
using types::TensorData;

inline constexpr std::uint64_t kMaxTensorDimension = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::size_t kTensorRankSize = 1;
inline constexpr std::size_t kTensorDimensionSize = 4;

// Element bytes by tag, 0 for strings and null.
inline constexpr std::array<std::size_t, kMaxTypeTag + 1> kElementBytes = {
    8,   // 0 F64
    8,   // 1 I64
    0,   // 2 Str
    8,   // 3 F64Array
    12,  // 4 Vec3F32
    8,   // 5 I64Array
    4,   // 6 F32Array
    24,  // 7 Vec3F64
    4,   // 8 I32Array
    3,   // 9 Pbc
    72,  // 10 Mat3F64
    4,   // 11 F32
    36,  // 12 Mat3F32
    0,   // 13 Null
    4,   // 14 TensorF32
    8,   // 15 TensorF64
    4,   // 16 TensorI32
    8,   // 17 TensorI64
};

std::unexpected<Error> shape_count_mismatch(std::span<const std::uint64_t> shape, std::uint64_t expected,
                                            std::uint64_t actual) {
  return invalid_data(cat("Tensor shape ", format_shape(shape), " expects ", expected, " values, got ", actual));
}

template <class T>
std::size_t tensor_payload_length(const types::Tensor<T>& tensor) {
  return kTensorRankSize + kTensorDimensionSize * tensor.shape.size() + sizeof(T) * tensor.values.size();
}

template <class T>
void append_tensor_payload(Bytes& out, const types::Tensor<T>& tensor) {
  append_le<std::uint8_t>(out, static_cast<std::uint8_t>(tensor.shape.size()));
  for (std::uint64_t dim : tensor.shape) append_le<std::uint32_t>(out, static_cast<std::uint32_t>(dim));
  append_le_array<T>(out, tensor.values);
}

Result<void> validate_tensor(const TensorData& tensor) {
  return std::visit([](const auto& t) { return validate_tensor_data_shape(t.shape, t.values.size()); }, tensor);
}

}  // namespace

std::string format_shape(std::span<const std::uint64_t> shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(shape[i]);
  }
  out += "]";
  return out;
}


std::optional<std::size_t> element_bytes(TypeTag tag) {
  if (tag_byte(tag) > kMaxTypeTag) return std::nullopt;
  return kElementBytes[tag_byte(tag)];
}

TypeTag type_tag_of(const PropertyValue& value) {
  using namespace types::property_index;
  switch (value.index()) {
    case kNull: return TypeTag::Null;
    case kF64: return TypeTag::F64;
    case kI64: return TypeTag::I64;
    case kString: return TypeTag::Str;
    case kF64Array: return TypeTag::F64Array;
    case kVec3F32: return TypeTag::Vec3F32;
    case kI64Array: return TypeTag::I64Array;
    case kF32Array: return TypeTag::F32Array;
    case kVec3F64: return TypeTag::Vec3F64;
    case kI32Array: return TypeTag::I32Array;
    default:
      // The tensor tags follow the TensorData variant order F32, F64, I32, I64.
      return static_cast<TypeTag>(tag_byte(TypeTag::TensorF32) + std::get<kTensor>(value).index());
  }
}

Result<std::size_t> property_payload_length(const PropertyValue& value) {
  return std::visit(
      [](const auto& v) -> Result<std::size_t> {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, types::Null>) {
          return 0;
        } else if constexpr (std::is_same_v<V, double> || std::is_same_v<V, std::int64_t>) {
          return sizeof(V);
        } else if constexpr (std::is_same_v<V, std::string>) {
          return v.size();
        } else if constexpr (std::is_same_v<V, TensorData>) {
          MOLARIUM_TRY_VOID(validate_tensor(v));
          return std::visit([](const auto& t) { return tensor_payload_length(t); }, v);
        } else {
          return sizeof(typename V::value_type) * v.size();
        }
      },
      value);
}

Result<void> append_property_payload(Bytes& out, const PropertyValue& value) {
  return std::visit(
      [&out](const auto& v) -> Result<void> {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, types::Null>) {
          // An empty payload.
        } else if constexpr (std::is_same_v<V, double> || std::is_same_v<V, std::int64_t>) {
          append_le<V>(out, v);
        } else if constexpr (std::is_same_v<V, std::string>) {
          out.insert(out.end(), v.begin(), v.end());
        } else if constexpr (std::is_same_v<V, TensorData>) {
          MOLARIUM_TRY_VOID(validate_tensor(v));
          std::visit([&out](const auto& t) { append_tensor_payload(out, t); }, v);
        } else if constexpr (std::is_same_v<V, std::vector<types::Vec3F32>> ||
                             std::is_same_v<V, std::vector<types::Vec3F64>>) {
          append_le_rows(out, std::span(v));
        } else {
          append_le_array<typename V::value_type>(out, v);
        }
        return {};
      },
      value);
}

Result<Bytes> property_value_to_bytes(const PropertyValue& value) {
  MOLARIUM_ASSIGN_OR_RETURN(auto length, property_payload_length(value));
  Bytes out;
  out.reserve(length);
  MOLARIUM_TRY_VOID(append_property_payload(out, value));
  return out;
}

Result<std::uint64_t> tensor_value_count(std::span<const std::uint64_t> shape) {
  std::uint64_t count = 1;
  for (std::uint64_t dim : shape) {
    if (!checked_mul(count, dim, count)) return invalid_data("Tensor shape overflows usize");
  }
  return count;
}

Result<void> validate_tensor_data_shape(std::span<const std::uint64_t> shape, std::size_t value_count) {
  if (shape.size() > kMaxTensorRank) {
    return invalid_data(cat("Tensor rank ", shape.size(), " exceeds maximum ", kMaxTensorRank));
  }
  for (std::uint64_t dim : shape) {
    if (dim > kMaxTensorDimension) return invalid_data("Tensor dimensions must fit in u32 for storage");
  }
  MOLARIUM_ASSIGN_OR_RETURN(auto count, tensor_value_count(shape));
  if (count != value_count) return shape_count_mismatch(shape, count, value_count);
  return {};
}

Result<TensorPayloadLayout> tensor_shape_from_payload(TypeTag tag, ByteView payload) {
  if (!is_tensor_tag(tag)) return invalid_data(cat("Type tag ", unsigned{tag_byte(tag)}, " is not a tensor"));
  if (payload.empty()) return invalid_data("Tensor payload missing rank");
  const std::size_t rank = payload[0];
  // rank is at most 255, so the dims' length cannot overflow.
  const std::size_t values_offset = kTensorRankSize + kTensorDimensionSize * rank;
  if (payload.size() < values_offset) return invalid_data("Tensor payload truncated at shape");

  TensorPayloadLayout layout;
  layout.shape.reserve(rank);
  for (std::size_t i = 0; i < rank; ++i) {
    layout.shape.push_back(load_le<std::uint32_t>(payload.data() + kTensorRankSize + kTensorDimensionSize * i));
  }
  layout.values_offset = values_offset;

  const std::size_t value_bytes = payload.size() - values_offset;
  const std::size_t element_size = tensor_element_size(tag);
  if (value_bytes % element_size != 0) {
    return invalid_data(
        cat("Tensor payload length ", value_bytes, " is not divisible by element size ", element_size));
  }
  MOLARIUM_ASSIGN_OR_RETURN(auto count, tensor_value_count(layout.shape));
  const std::uint64_t values = value_bytes / element_size;
  if (count != values) return shape_count_mismatch(layout.shape, count, values);
  return layout;
}

Result<void> validate_builtin_type_tag_for_record_format(std::uint32_t record_format, std::string_view key,
                                                         TypeTag tag) {
  if (record_format == 3) return {};
  if (record_format != 2) return invalid_data(cat("Unsupported record format ", record_format));

  // Format 2 stores these six built-ins in one width only.
  struct FixedBuiltin {
    std::string_view key;
    TypeTag tag;
    std::string_view refusal;
  };
  static constexpr std::array<FixedBuiltin, 6> kFormat2Builtins = {{
      {records::builtin::kCell, TypeTag::Mat3F64, "record format 2 does not support float32 cell"},
      {records::builtin::kEnergy, TypeTag::F64, "record format 2 does not support float32 energy"},
      {records::builtin::kForces, TypeTag::Vec3F32, "record format 2 does not support float64 forces"},
      {records::builtin::kStress, TypeTag::Mat3F64, "record format 2 does not support float32 stress"},
      {records::builtin::kCharges, TypeTag::F64Array, "record format 2 does not support float32 charges"},
      {records::builtin::kVelocities, TypeTag::Vec3F32, "record format 2 does not support float64 velocities"},
  }};
  for (const auto& fixed : kFormat2Builtins) {
    if (fixed.key == key) {
      if (tag != fixed.tag) return invalid_data(std::string(fixed.refusal));
      return {};
    }
  }
  return {};
}

}  // namespace molarium::storage::dtypes
