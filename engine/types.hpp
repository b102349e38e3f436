// Value types of a molecule's fields: xyz arrays, 3x3 matrices, float arrays and scalars,
// tensors, and the custom property value with its eleven kinds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

namespace molarium::types {

using Vec3F32 = std::array<float, 3>;
using Vec3F64 = std::array<double, 3>;
// Row by row: row 0 columns 0, 1, 2, then row 1, then row 2.
using Mat3F32 = std::array<float, 9>;
using Mat3F64 = std::array<double, 9>;

// Variant order is part of the pickle payload: F32 first, F64 second.
using Vec3Data = std::variant<std::vector<Vec3F32>, std::vector<Vec3F64>>;
using Mat3Data = std::variant<Mat3F32, Mat3F64>;
using FloatArrayData = std::variant<std::vector<float>, std::vector<double>>;
using FloatScalarData = std::variant<float, double>;

inline constexpr std::size_t kF32 = 0;
inline constexpr std::size_t kF64 = 1;

// Number of triples (Vec3Data) or values (FloatArrayData).
inline std::size_t length(const Vec3Data& data) {
  return std::visit([](const auto& v) { return v.size(); }, data);
}
inline std::size_t length(const FloatArrayData& data) {
  return std::visit([](const auto& v) { return v.size(); }, data);
}

// A tensor's shape (outermost first) and its values in row-major order. The model does not
// force the shape's product to equal the value count; encoding a record checks it.
template <class T>
struct Tensor {
  std::vector<std::uint64_t> shape;
  std::vector<T> values;
  bool operator==(const Tensor&) const = default;
};

// Variant order F32, F64, I32, I64 is part of the pickle payload and of the record's type tag.
using TensorData = std::variant<Tensor<float>, Tensor<double>, Tensor<std::int32_t>, Tensor<std::int64_t>>;

using Null = std::monostate;

// A custom property's value. The variant index is the pickle payload's variant number and
// selects the record's type tag; every alternative type is distinct so the index is unambiguous.
using PropertyValue = std::variant<Null,                       // 0
                                   double,                     // 1 F64
                                   std::int64_t,               // 2 I64
                                   std::string,                // 3 String
                                   std::vector<double>,        // 4 F64Array
                                   std::vector<Vec3F32>,       // 5 Vec3F32
                                   std::vector<std::int64_t>,  // 6 I64Array
                                   std::vector<float>,         // 7 F32Array
                                   std::vector<Vec3F64>,       // 8 Vec3F64
                                   std::vector<std::int32_t>,  // 9 I32Array
                                   TensorData>;                // 10 Tensor

namespace property_index {
inline constexpr std::size_t kNull = 0;
inline constexpr std::size_t kF64 = 1;
inline constexpr std::size_t kI64 = 2;
inline constexpr std::size_t kString = 3;
inline constexpr std::size_t kF64Array = 4;
inline constexpr std::size_t kVec3F32 = 5;
inline constexpr std::size_t kI64Array = 6;
inline constexpr std::size_t kF32Array = 7;
inline constexpr std::size_t kVec3F64 = 8;
inline constexpr std::size_t kI32Array = 9;
inline constexpr std::size_t kTensor = 10;
inline constexpr std::size_t kCount = 11;
}  // namespace property_index

// Iteration order is unspecified; everything that must be stable sorts the keys itself.
using PropertyMap = std::unordered_map<std::string, PropertyValue>;

}  // namespace molarium::types
