// Conversion of Python inputs into the engine's value types: xyz arrays, 3x3 matrices, per-atom
// float arrays, custom property values and tensors. The one place where the dtype and shape of
// Python input are tested.
//
// "An array of dtype X with N dimensions" means everywhere: an ndarray (or subclass) with exactly
// N dimensions whose dtype NumPy considers equivalent to X (PyArray_EquivTypes, so a byte-swapped
// '>f4' array is not float32). Nothing is converted: no list, tuple or scalar is taken for an array,
// and float16, int8, uint8, bool, complex and every other dtype are refused. Any strides are
// accepted (negative, unaligned, non-contiguous); elements are copied in logical row-major order.
//
// Every function runs with the interpreter lock held and only reads its input. Unless a comment says
// otherwise a failure returns nothing with a Python exception set: ValueError with the texts below,
// or an exception that a conversion raised and that is not the caller's to swallow (MemoryError,
// KeyboardInterrupt, an ImportError of NumPy itself).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/types.hpp"
#include "python/binding/binding.hpp"
#include "engine/records/record_view.hpp"

namespace molarium::python::molecule {

// ---------------------------------------------------------------------------------------------
// Array tests and element copies (also used by the batch path)

// The `ndim` argument of array_of that accepts any number of dimensions (0 included).
inline constexpr int kAnyRank = -1;

// The object as an array of NumPy type `type_num` (NPY_FLOAT32, NPY_INT64, ...) with `ndim`
// dimensions (kAnyRank: any), borrowed from `object`; nullptr when it is not one (no exception).
// REQUIRES: ensure_numpy() has succeeded.
PyArrayObject* array_of(PyObject* object, int type_num, int ndim);

// Copies every element of `array` in logical row-major order (the last index varying fastest) to
// `out`, which must hold PyArray_NBYTES(array) bytes. A C-contiguous array is copied as one block,
// other layouts row by row or element by element through the strides.
void copy_elements(PyArrayObject* array, void* out);

// The elements of `array` in logical row-major order. REQUIRES: the dtype's item size is sizeof(T)
// and its byte order native (true of every array that array_of accepted for T's type).
template <class T>
std::vector<T> copy_elements_as(PyArrayObject* array) {
  std::vector<T> values(static_cast<std::size_t>(PyArray_SIZE(array)));
  copy_elements(array, values.data());
  return values;
}

// ---------------------------------------------------------------------------------------------
// Float arrays of a fixed number of dimensions

enum class FloatWidth { F32, F64 };

// A float32 or float64 array with N dimensions taken from Python. Holds its own new reference to the
// array object, released when the value goes (with the interpreter lock held). Making one checks
// only dtype and number of dimensions, not the shape.
template <int N>
class PyFloatArray {
 public:
  // F32 when the object is an array of dtype float32 with N dimensions, else F64 when it is one of
  // dtype float64, else nothing. Nothing is also returned, with ImportError set, when NumPy's C
  // API cannot be loaded; no other exception is ever set.
  static std::optional<PyFloatArray> from_any(PyObject* object);

  FloatWidth width() const { return width_; }
  // Borrowed; valid while this value lives.
  PyArrayObject* array() const { return reinterpret_cast<PyArrayObject*>(array_.get()); }
  npy_intp dim(int axis) const { return PyArray_DIM(array(), axis); }

  // The rows as xyz triples of the array's width. ValueError "{name} must have shape ({rows}, 3)"
  // when the second dimension is not 3, or when expected_rows is given and differs from the first
  // dimension; without expected_rows the message reads "{name} must have shape (n, 3)".
  std::optional<molarium::types::Vec3Data> parse_vec3_data(std::string_view field_name,
                                                           std::optional<std::size_t> expected_rows) const
    requires(N == 2);

 private:
  PyFloatArray(binding::Ref array, FloatWidth width) : array_(std::move(array)), width_(width) {}
  binding::Ref array_;
  FloatWidth width_;
};

using PyFloatArray2 = PyFloatArray<2>;
using PyFloatArray3 = PyFloatArray<3>;

// ---------------------------------------------------------------------------------------------
// Built-in fields. None is never accepted: callers treat None as an absent field first.

// Positions of any row count (0 included). ValueError
// "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)", or
// "positions must have shape (n, 3)".
std::optional<molarium::types::Vec3Data> parse_positions_field(PyObject* object);

// Forces or velocities of exactly atom_count rows. ValueError
// "{name} must be a float32 or float64 ndarray with shape ({atom_count}, 3)", or
// "{name} must have shape ({atom_count}, 3)".
std::optional<molarium::types::Vec3Data> parse_vec3_field(PyObject* object, std::string_view field_name,
                                                          std::size_t atom_count);

// Cell or stress, row by row. ValueError "{name} must be a float32 or float64 ndarray with shape
// (3, 3)", or "{name} must have shape (3, 3)".
std::optional<molarium::types::Mat3Data> parse_mat3_field(PyObject* object, std::string_view field_name);

// Charges. ValueError "{name} must be a float32 or float64 ndarray with shape ({atom_count},)", or
// "{name} length ({length}) doesn't match atom count ({atom_count})".
std::optional<molarium::types::FloatArrayData> parse_float_array_field(PyObject* object, std::string_view field_name,
                                                                       std::size_t atom_count);

// ---------------------------------------------------------------------------------------------
// Custom property values

// The value of a custom property, tried in this order: None; an int that fits 64 bits (bool and
// objects with __index__ included); a float or anything the float protocol takes (so a larger
// int becomes a float); a str; a 1-D float32, float64, int32 or int64 array; a 2-D float array
// with 3 columns (xyz triples); a tensor (parse_tensor_property_value). The scalar attempts are
// skipped for arrays with one or more dimensions (a one-element array is not a scalar);
// a 0-dimensional array goes through them. A scalar attempt that raises an ordinary exception
// (a subclass of Exception other than MemoryError) just moves on; MemoryError and non-Exception
// exceptions (KeyboardInterrupt, SystemExit) propagate. Otherwise ValueError
// "Unsupported property type. Supported: None, float, int, str, and numeric ndarray with dtype
// float32, float64, int32, or int64", or the tensor's ValueError.
std::optional<molarium::types::PropertyValue> parse_property_value(PyObject* object);

// A failure with a Python exception set, for results that can also be "nothing".
struct Raised {};

// An array of any number of dimensions (0 included) of dtype float32, float64, int32 or int64, as a
// tensor of the same element type with the array's shape; nothing (no exception) for any other
// object; Raised with tensor_shape's ValueError set when the shape cannot be stored.
std::expected<std::optional<molarium::types::TensorData>, Raised> parse_tensor_property_value(PyObject* object);

// The shape of a tensor with `value_count` values, checked in this order: the product of the sizes
// overflows 64 bits ("Tensor shape overflows usize"), differs from value_count ("Tensor shape [2, 3]
// expects 6 values, got 5"), the rank exceeds 255 ("Tensor rank {} exceeds maximum 255"), a size
// exceeds u32 ("Tensor dimensions must fit in u32 for storage"). Rank 0 with one value is a scalar.
// Pure C++; the text is to be raised as ValueError.
Result<std::vector<std::uint64_t>> tensor_shape(std::span<const std::uint64_t> dims, std::size_t value_count);

}  // namespace molarium::python::molecule
