// Conversion of Python inputs into the engine's value types.
#include "python/molecule/conversion.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <variant>

#include "engine/storage/dtypes.hpp"

namespace molarium::python::molecule {

namespace {

namespace types = molarium::types;
using molarium::cat;

static_assert(sizeof(types::Vec3F32) == 3 * sizeof(float) && sizeof(types::Vec3F64) == 3 * sizeof(double),
              "xyz triples are copied as packed rows");

constexpr std::string_view kUnsupportedPropertyType =
    "Unsupported property type. Supported: None, float, int, str, and numeric ndarray with dtype float32, "
    "float64, int32, or int64";

inline constexpr std::uint64_t kMaxStoredDimension = std::numeric_limits<std::uint32_t>::max();

// Sets ValueError with the message; returns nothing for `return fail(...)`.
std::nullopt_t fail(std::string_view message) {
  binding::raise_value_error(message);
  return std::nullopt;
}

// After a scalar conversion failed: clears an ordinary exception (the next attempt runs) and
// returns true, or leaves MemoryError and exceptions outside Exception (KeyboardInterrupt,
// SystemExit) pending and returns false.
bool discard_ordinary_exception() {
  if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    return true;
  }
  return false;
}

template <class Row>
std::vector<Row> copy_rows(PyArrayObject* array) {
  std::vector<Row> rows(static_cast<std::size_t>(PyArray_DIM(array, 0)));
  copy_elements(array, rows.data());
  return rows;
}

// The xyz rows of a 2-D float array with three columns, in its width.
template <int N>
types::Vec3Data copy_vec3(const PyFloatArray<N>& array) {
  if (array.width() == FloatWidth::F32) return copy_rows<types::Vec3F32>(array.array());
  return copy_rows<types::Vec3F64>(array.array());
}

template <class Matrix>
Matrix copy_matrix(PyArrayObject* array) {
  Matrix matrix{};
  copy_elements(array, matrix.data());
  return matrix;
}

// The array's dimension sizes (never negative in a valid array).
std::vector<std::uint64_t> array_dims(PyArrayObject* array) {
  const int rank = PyArray_NDIM(array);
  std::vector<std::uint64_t> dims(static_cast<std::size_t>(rank));
  for (int axis = 0; axis < rank; ++axis) {
    dims[static_cast<std::size_t>(axis)] = static_cast<std::uint64_t>(PyArray_DIM(array, axis));
  }
  return dims;
}

template <class T>
std::expected<std::optional<types::TensorData>, Raised> tensor_of(PyArrayObject* array) {
  // The shape is checked before the values are copied: a refused tensor costs no copy.
  auto shape = tensor_shape(array_dims(array), static_cast<std::size_t>(PyArray_SIZE(array)));
  if (!shape) {
    binding::raise_error(shape.error());
    return std::unexpected(Raised{});
  }
  return types::TensorData(types::Tensor<T>{std::move(*shape), copy_elements_as<T>(array)});
}

// The 1-D array kinds of a property value, in the order they are tried.
std::optional<types::PropertyValue> one_dimensional_property(PyObject* object) {
  if (PyArrayObject* array = array_of(object, NPY_FLOAT32, 1)) {
    return types::PropertyValue(copy_elements_as<float>(array));
  }
  if (PyArrayObject* array = array_of(object, NPY_FLOAT64, 1)) {
    return types::PropertyValue(copy_elements_as<double>(array));
  }
  if (PyArrayObject* array = array_of(object, NPY_INT32, 1)) {
    return types::PropertyValue(copy_elements_as<std::int32_t>(array));
  }
  if (PyArrayObject* array = array_of(object, NPY_INT64, 1)) {
    return types::PropertyValue(copy_elements_as<std::int64_t>(array));
  }
  return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Array tests and element copies

PyArrayObject* array_of(PyObject* object, int type_num, int ndim) {
  if (!PyArray_Check(object)) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (ndim != kAnyRank && PyArray_NDIM(array) != ndim) return nullptr;
  // Built-in descriptors are singletons; this only takes a reference.
  PyArray_Descr* wanted = PyArray_DescrFromType(type_num);
  if (wanted == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  // Equivalence, not the type number: a byte-swapped array has the same number but other bytes.
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), wanted) != 0;
  Py_DECREF(wanted);
  return equivalent ? array : nullptr;
}

void copy_elements(PyArrayObject* array, void* out) {
  const npy_intp count = PyArray_SIZE(array);
  if (count == 0) return;
  const auto item = static_cast<std::size_t>(PyArray_ITEMSIZE(array));
  const char* data = PyArray_BYTES(array);
  auto* dest = static_cast<char*>(out);
  if (PyArray_IS_C_CONTIGUOUS(array)) {
    std::memcpy(dest, data, static_cast<std::size_t>(count) * item);
    return;
  }
  // A non-contiguous array has at least one dimension. Walk every row of the last axis with an
  // odometer over the others; memcpy keeps unaligned element addresses defined.
  const int rank = PyArray_NDIM(array);
  const npy_intp* dims = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  const npy_intp row_length = dims[rank - 1];
  const npy_intp row_stride = strides[rank - 1];
  std::vector<npy_intp> index(static_cast<std::size_t>(rank), 0);
  const char* row = data;
  for (;;) {
    if (row_stride == static_cast<npy_intp>(item)) {
      std::memcpy(dest, row, static_cast<std::size_t>(row_length) * item);
      dest += static_cast<std::size_t>(row_length) * item;
    } else {
      for (npy_intp j = 0; j < row_length; ++j, dest += item) std::memcpy(dest, row + j * row_stride, item);
    }
    int axis = rank - 2;
    for (; axis >= 0; --axis) {
      const auto a = static_cast<std::size_t>(axis);
      if (++index[a] < dims[axis]) {
        row += strides[axis];
        break;
      }
      row -= strides[axis] * (dims[axis] - 1);
      index[a] = 0;
    }
    if (axis < 0) return;
  }
}

// ---------------------------------------------------------------------------------------------
// Float arrays of a fixed number of dimensions

template <int N>
std::optional<PyFloatArray<N>> PyFloatArray<N>::from_any(PyObject* object) {
  if (!binding::ensure_numpy()) return std::nullopt;
  if (array_of(object, NPY_FLOAT32, N)) return PyFloatArray(binding::Ref::borrow(object), FloatWidth::F32);
  if (array_of(object, NPY_FLOAT64, N)) return PyFloatArray(binding::Ref::borrow(object), FloatWidth::F64);
  return std::nullopt;
}

template <int N>
std::optional<types::Vec3Data> PyFloatArray<N>::parse_vec3_data(std::string_view field_name,
                                                                 std::optional<std::size_t> expected_rows) const
  requires(N == 2)
{
  const npy_intp rows = dim(0);
  const bool rows_match = !expected_rows || static_cast<std::uint64_t>(rows) == *expected_rows;
  if (dim(1) != 3 || !rows_match) {
    const std::string expected = expected_rows ? std::to_string(*expected_rows) : std::string("n");
    return fail(cat(field_name, " must have shape (", expected, ", 3)"));
  }
  return copy_vec3(*this);
}

template class PyFloatArray<2>;
template class PyFloatArray<3>;

// ---------------------------------------------------------------------------------------------
// Built-in fields

std::optional<types::Vec3Data> parse_positions_field(PyObject* object) {
  auto array = PyFloatArray2::from_any(object);
  if (!array) {
    if (PyErr_Occurred()) return std::nullopt;
    return fail("positions must be a float32 or float64 ndarray with shape (n_atoms, 3)");
  }
  return array->parse_vec3_data("positions", std::nullopt);
}

std::optional<types::Vec3Data> parse_vec3_field(PyObject* object, std::string_view field_name, std::size_t atom_count) {
  auto array = PyFloatArray2::from_any(object);
  if (!array) {
    if (PyErr_Occurred()) return std::nullopt;
    return fail(cat(field_name, " must be a float32 or float64 ndarray with shape (", atom_count, ", 3)"));
  }
  return array->parse_vec3_data(field_name, atom_count);
}

std::optional<types::Mat3Data> parse_mat3_field(PyObject* object, std::string_view field_name) {
  auto array = PyFloatArray2::from_any(object);
  if (!array) {
    if (PyErr_Occurred()) return std::nullopt;
    return fail(cat(field_name, " must be a float32 or float64 ndarray with shape (3, 3)"));
  }
  if (array->dim(0) != 3 || array->dim(1) != 3) return fail(cat(field_name, " must have shape (3, 3)"));
  if (array->width() == FloatWidth::F32) return types::Mat3Data(copy_matrix<types::Mat3F32>(array->array()));
  return types::Mat3Data(copy_matrix<types::Mat3F64>(array->array()));
}

std::optional<types::FloatArrayData> parse_float_array_field(PyObject* object, std::string_view field_name,
                                                             std::size_t atom_count) {
  if (!binding::ensure_numpy()) return std::nullopt;
  PyArrayObject* f32 = array_of(object, NPY_FLOAT32, 1);
  PyArrayObject* array = f32 != nullptr ? f32 : array_of(object, NPY_FLOAT64, 1);
  if (array == nullptr) {
    return fail(cat(field_name, " must be a float32 or float64 ndarray with shape (", atom_count, ",)"));
  }
  const npy_intp length = PyArray_DIM(array, 0);
  if (static_cast<std::uint64_t>(length) != atom_count) {
    return fail(cat(field_name, " length (", length, ") doesn't match atom count (", atom_count, ")"));
  }
  if (f32 != nullptr) return types::FloatArrayData(copy_elements_as<float>(array));
  return types::FloatArrayData(copy_elements_as<double>(array));
}

// ---------------------------------------------------------------------------------------------
// Custom property values

std::optional<types::PropertyValue> parse_property_value(PyObject* object) {
  if (object == Py_None) return types::PropertyValue(types::Null{});
  if (!binding::ensure_numpy()) return std::nullopt;
  const bool is_array = PyArray_Check(object);

  // An array with dimensions would pass the scalar conversions when it has one element (NumPy's
  // deprecated array-to-scalar route) and silently lose its shape; 0-d arrays are scalars.
  if (!is_array || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) == 0) {
    const long long integer = PyLong_AsLongLong(object);
    if (integer != -1 || !PyErr_Occurred()) return types::PropertyValue(static_cast<std::int64_t>(integer));
    if (!discard_ordinary_exception()) return std::nullopt;

    if (PyFloat_CheckExact(object)) return types::PropertyValue(PyFloat_AS_DOUBLE(object));
    const double real = PyFloat_AsDouble(object);
    if (real != -1.0 || !PyErr_Occurred()) return types::PropertyValue(real);
    if (!discard_ordinary_exception()) return std::nullopt;

    if (PyUnicode_Check(object)) {
      Py_ssize_t length = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(object, &length);
      if (utf8 != nullptr) return types::PropertyValue(std::string(utf8, static_cast<std::size_t>(length)));
      // A str with lone surrogates has no UTF-8 form: unsupported, like any other value.
      if (!discard_ordinary_exception()) return std::nullopt;
    }
  }

  if (is_array) {
    if (auto value = one_dimensional_property(object)) return value;
    if (auto rows = PyFloatArray2::from_any(object); rows && rows->dim(1) == 3) {
      return std::visit([](auto&& triples) { return types::PropertyValue(std::move(triples)); }, copy_vec3(*rows));
    }
    auto tensor = parse_tensor_property_value(object);
    if (!tensor) return std::nullopt;
    if (*tensor) return types::PropertyValue(std::move(**tensor));
  }
  return fail(kUnsupportedPropertyType);
}

std::expected<std::optional<types::TensorData>, Raised> parse_tensor_property_value(PyObject* object) {
  if (!binding::ensure_numpy()) return std::unexpected(Raised{});
  if (PyArrayObject* array = array_of(object, NPY_FLOAT32, kAnyRank)) return tensor_of<float>(array);
  if (PyArrayObject* array = array_of(object, NPY_FLOAT64, kAnyRank)) return tensor_of<double>(array);
  if (PyArrayObject* array = array_of(object, NPY_INT32, kAnyRank)) return tensor_of<std::int32_t>(array);
  if (PyArrayObject* array = array_of(object, NPY_INT64, kAnyRank)) return tensor_of<std::int64_t>(array);
  return std::optional<types::TensorData>();
}

Result<std::vector<std::uint64_t>> tensor_shape(std::span<const std::uint64_t> dims, std::size_t value_count) {
  auto product = molarium::storage::dtypes::tensor_value_count(dims);
  if (!product) return value_error(product.error().message());
  if (*product != value_count) {
    return value_error(cat("Tensor shape ", molarium::storage::dtypes::format_shape(dims), " expects ", *product, " values, got ", value_count));
  }
  if (dims.size() > molarium::storage::dtypes::kMaxTensorRank) {
    return value_error(
        cat("Tensor rank ", dims.size(), " exceeds maximum ", molarium::storage::dtypes::kMaxTensorRank));
  }
  for (std::uint64_t dim : dims) {
    if (dim > kMaxStoredDimension) return value_error("Tensor dimensions must fit in u32 for storage");
  }
  return std::vector<std::uint64_t>(dims.begin(), dims.end());
}

}  // namespace molarium::python::molecule
