// NumPy output builders of owned fields and record payloads, and owned molecules from arrays.
#include "python/binding/arrays.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <variant>

#include "engine/storage/dtypes.hpp"
#include "python/molecule/conversion.hpp"

namespace molarium::python::binding {

namespace {

namespace types = molarium::types;
using molarium::ByteView;
using molarium::cat;
using molarium::storage::TypeTag;
using molarium::storage::tag_byte;

// NumPy 1.x arrays have at most 32 dimensions, NumPy 2 arrays 64.
inline constexpr int kMaxRankNumPy1 = 32;
inline constexpr int kMaxRankNumPy2 = 64;

// Returns a new reference to an uninitialised (n,) array in NumPy's own memory, or nullptr with an
// exception set. REQUIRES: ensure_numpy() has succeeded.
template <class T>
PyObject* new_array_1d(std::size_t n) {
  if (n > static_cast<std::size_t>(NPY_MAX_INTP)) return binding::raise_value_error("Array length is too large for NumPy");
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  return PyArray_SimpleNew(1, dims, numpy_type_num<T>());
}

template <class T>
T* array_data(PyObject* array) {
  return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

// Returns a new reference to an (n,) array holding a copy of the payload's elements.
template <class T>
PyObject* copied_array_1d(ByteView bytes) {
  PyObject* array = new_array_1d<T>(bytes.size() / sizeof(T));
  if (array != nullptr) decode_le_elements<T>(bytes, array_data<T>(array));
  return array;
}

// Hands a buffer over as an (n,) array.
template <class T>
PyObject* handed_over_1d(std::vector<T>&& values) {
  if (values.size() > static_cast<std::size_t>(NPY_MAX_INTP)) {
    return binding::raise_value_error("Array length is too large for NumPy");
  }
  const auto n = static_cast<npy_intp>(values.size());
  return binding::array_from_buffer(std::move(values), numpy_type_num<T>(), {n});
}

PyObject* reshape_2d(binding::Ref flat, std::size_t rows, std::size_t cols) {
  const std::uint64_t shape[2] = {rows, cols};
  return reshape_c_order(std::move(flat), shape, ReshapeRefusal::AsValueError);
}

// Replaces the pending exception with ValueError "<type name>: <message>".
void reraise_as_value_error() {
#if PY_VERSION_HEX >= 0x030C0000
  binding::Ref exception = binding::Ref::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  binding::Ref exception = binding::Ref::steal(value);
#endif
  if (!exception) return;
  std::string text(binding::bare_type_name(Py_TYPE(exception.get())));
  text += ": ";
  binding::Ref message = binding::Ref::steal(PyObject_Str(exception.get()));
  Py_ssize_t length = 0;
  const char* utf8 = message ? PyUnicode_AsUTF8AndSize(message.get(), &length) : nullptr;
  if (utf8 != nullptr) {
    text.append(utf8, static_cast<std::size_t>(length));
  } else {
    PyErr_Clear();
    text += "<message unavailable>";
  }
  binding::raise_value_error(text);
}

std::nullptr_t invalid_section(std::string_view label) {
  return binding::raise_value_error(cat("Invalid ", label, " section"));
}

// count * element_size, or nothing when it overflows.
std::optional<std::uint64_t> payload_length_for(std::size_t count, std::uint64_t element_size) {
  std::uint64_t length = 0;
  if (!molarium::checked_mul(count, element_size, length)) return std::nullopt;
  return length;
}

bool slot_has_length(const records::SoaBuiltinSlot& slot, std::size_t count, std::uint64_t element_size) {
  const auto expected = payload_length_for(count, element_size);
  return expected && slot.payload_length == *expected;
}

template <class T>
PyObject* payload_array_1d(ByteView payload) {
  auto elements = cast_or_decode<T>(payload);
  if (!elements) return binding::raise_error(elements.error());
  return pyarray1_from_cow(std::move(*elements));
}

template <class T>
PyObject* payload_array_2d(ByteView payload, std::size_t rows, std::size_t cols) {
  auto elements = cast_or_decode<T>(payload);
  if (!elements) return binding::raise_error(elements.error());
  return pyarray2_from_cow(std::move(*elements), rows, cols);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Arrays from sequences and buffers

template <class T>
PyObject* pyarray1_from_cow(CowElements<T>&& elements) {
  if (!binding::ensure_numpy()) return nullptr;
  if (elements.is_owned()) return handed_over_1d(elements.take_owned());
  return copied_array_1d<T>(elements.borrowed_bytes());
}

template <class T>
PyObject* pyarray2_from_flat(std::vector<T>&& flat, std::size_t rows, std::size_t cols) {
  if (!binding::ensure_numpy()) return nullptr;
  binding::Ref array = binding::Ref::steal(handed_over_1d(std::move(flat)));
  if (!array) return nullptr;
  return reshape_2d(std::move(array), rows, cols);
}

template <class T>
PyObject* pyarray2_from_cow(CowElements<T>&& elements, std::size_t rows, std::size_t cols) {
  if (elements.is_owned()) return pyarray2_from_flat(elements.take_owned(), rows, cols);
  if (!binding::ensure_numpy()) return nullptr;
  binding::Ref array = binding::Ref::steal(copied_array_1d<T>(elements.borrowed_bytes()));
  if (!array) return nullptr;
  return reshape_2d(std::move(array), rows, cols);
}

int max_array_rank() {
  return PyArray_RUNTIME_VERSION >= NPY_2_0_API_VERSION ? kMaxRankNumPy2 : kMaxRankNumPy1;
}

PyObject* reshape_c_order(binding::Ref flat, std::span<const std::uint64_t> shape, ReshapeRefusal refusal) {
  if (!binding::ensure_numpy()) return nullptr;
  // NumPy sizes some internal arrays by its maximum rank; a stored tensor may have up to 255
  // dimensions, so the rank is checked here rather than left to NumPy.
  const int max_rank = max_array_rank();
  if (shape.size() > static_cast<std::size_t>(max_rank)) {
    return binding::raise_value_error(
        cat("Array rank ", shape.size(), " exceeds NumPy's maximum of ", max_rank, " dimensions"));
  }
  std::vector<npy_intp> dims;
  dims.reserve(shape.size());
  std::uint64_t product = 1;
  bool fits = true;
  for (std::uint64_t dim : shape) {
    fits = fits && dim <= static_cast<std::uint64_t>(NPY_MAX_INTP) && molarium::checked_mul(product, dim, product);
    dims.push_back(static_cast<npy_intp>(dim));
  }
  if (!fits || product > static_cast<std::uint64_t>(NPY_MAX_INTP)) {
    return binding::raise_value_error(cat("Array shape ", molarium::storage::dtypes::format_shape(shape), " is too large for NumPy"));
  }
  PyArray_Dims new_shape{dims.data(), static_cast<int>(dims.size())};
  PyObject* reshaped = PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat.get()), &new_shape, NPY_CORDER);
  if (reshaped == nullptr && refusal == ReshapeRefusal::AsValueError) reraise_as_value_error();
  return reshaped;
}

template <class T>
PyObject* pyarray_from_flat_shape(std::vector<T>&& values, std::span<const std::uint64_t> shape) {
  if (!binding::ensure_numpy()) return nullptr;
  binding::Ref array = binding::Ref::steal(handed_over_1d(std::move(values)));
  if (!array) return nullptr;
  return reshape_c_order(std::move(array), shape, ReshapeRefusal::PassOn);
}

#define MOLARIUM_INSTANTIATE_BUILDERS(T)                                                          \
  template PyObject* pyarray1_from_cow<T>(CowElements<T>&&);                                      \
  template PyObject* pyarray2_from_flat<T>(std::vector<T>&&, std::size_t, std::size_t);            \
  template PyObject* pyarray2_from_cow<T>(CowElements<T>&&, std::size_t, std::size_t);             \
  template PyObject* pyarray_from_flat_shape<T>(std::vector<T>&&, std::span<const std::uint64_t>);
MOLARIUM_INSTANTIATE_BUILDERS(float)
MOLARIUM_INSTANTIATE_BUILDERS(double)
MOLARIUM_INSTANTIATE_BUILDERS(std::int32_t)
MOLARIUM_INSTANTIATE_BUILDERS(std::int64_t)
#undef MOLARIUM_INSTANTIATE_BUILDERS

// ---------------------------------------------------------------------------------------------
// Owned fields

template <class T>
PyObject* xyz_rows_array(std::span<const std::array<T, 3>> rows) {
  static_assert(sizeof(std::array<T, 3>) == 3 * sizeof(T), "triples must be packed");
  std::vector<T> flat(rows.size() * 3);
  if (!rows.empty()) std::memcpy(flat.data(), rows.data(), flat.size() * sizeof(T));
  return pyarray2_from_flat(std::move(flat), rows.size(), 3);
}
template PyObject* xyz_rows_array<float>(std::span<const std::array<float, 3>>);
template PyObject* xyz_rows_array<double>(std::span<const std::array<double, 3>>);

PyObject* owned_vec3_array(const types::Vec3Data& data) {
  return std::visit(
      [](const auto& rows) {
        using T = typename std::decay_t<decltype(rows)>::value_type::value_type;
        return xyz_rows_array<T>(rows);
      },
      data);
}

PyObject* owned_mat3x3_array(const types::Mat3Data& data) {
  return std::visit(
      [](const auto& matrix) {
        using T = typename std::decay_t<decltype(matrix)>::value_type;
        return pyarray2_from_flat(std::vector<T>(matrix.begin(), matrix.end()), 3, 3);
      },
      data);
}

PyObject* owned_float_array(const types::FloatArrayData& data) {
  if (!binding::ensure_numpy()) return nullptr;
  return std::visit(
      [](const auto& values) -> PyObject* {
        using T = typename std::decay_t<decltype(values)>::value_type;
        PyObject* array = new_array_1d<T>(values.size());
        if (array != nullptr && !values.empty()) {
          std::memcpy(array_data<T>(array), values.data(), values.size() * sizeof(T));
        }
        return array;
      },
      data);
}

PyObject* tensor_array(const types::TensorData& tensor) {
  return std::visit(
      [](const auto& t) {
        using T = typename std::decay_t<decltype(t.values)>::value_type;
        return pyarray_from_flat_shape(std::vector<T>(t.values), std::span<const std::uint64_t>(t.shape));
      },
      tensor);
}

// ---------------------------------------------------------------------------------------------
// Record payloads of a view

PyObject* view_vec3_payload_py(ByteView payload, TypeTag type_tag, std::size_t rows, std::string_view label) {
  if (type_tag == TypeTag::Vec3F32) return payload_array_2d<float>(payload, rows, 3);
  if (type_tag == TypeTag::Vec3F64) return payload_array_2d<double>(payload, rows, 3);
  return invalid_section(label);
}

PyObject* view_builtin_vec3_slot_py(const records::SoaMoleculeView& view, const records::SoaBuiltinSlot& slot,
                                    std::string_view label) {
  const std::size_t n = view.atom_count();
  const bool valid = (slot.type_tag == TypeTag::Vec3F32 && slot_has_length(slot, n, 3 * sizeof(float))) ||
                     (slot.type_tag == TypeTag::Vec3F64 && slot_has_length(slot, n, 3 * sizeof(double)));
  if (!valid) return invalid_section(label);
  return view_vec3_payload_py(view.builtin_payload(slot), slot.type_tag, n, label);
}

PyObject* view_builtin_mat3_slot_py(const records::SoaMoleculeView& view, const records::SoaBuiltinSlot& slot,
                                    std::string_view label) {
  if (slot.type_tag == TypeTag::Mat3F64 && slot_has_length(slot, 9, sizeof(double))) {
    return payload_array_2d<double>(view.builtin_payload(slot), 3, 3);
  }
  if (slot.type_tag == TypeTag::Mat3F32 && slot_has_length(slot, 9, sizeof(float))) {
    return payload_array_2d<float>(view.builtin_payload(slot), 3, 3);
  }
  return invalid_section(label);
}

PyObject* view_builtin_float_array_slot_py(const records::SoaMoleculeView& view, const records::SoaBuiltinSlot& slot,
                                           std::string_view label) {
  const std::size_t n = view.atom_count();
  if (slot.type_tag == TypeTag::F64Array && slot_has_length(slot, n, sizeof(double))) {
    return payload_array_1d<double>(view.builtin_payload(slot));
  }
  if (slot.type_tag == TypeTag::F32Array && slot_has_length(slot, n, sizeof(float))) {
    return payload_array_1d<float>(view.builtin_payload(slot));
  }
  return invalid_section(label);
}

// ---------------------------------------------------------------------------------------------
// Molecules from arrays

std::optional<molarium::atom::Molecule> molecule_from_numpy_arrays(PyObject* positions, PyArrayObject* atomic_numbers) {
  // Copying a wider dtype into a byte per element would write past the buffer.
  if (PyArray_NDIM(atomic_numbers) != 1 || PyArray_ITEMSIZE(atomic_numbers) != 1) {
    throw std::logic_error("molecule_from_numpy_arrays needs a one-dimensional uint8 array");
  }
  std::vector<std::uint8_t> numbers = molecule::copy_elements_as<std::uint8_t>(atomic_numbers);
  auto parsed = molecule::parse_positions_field(positions);
  if (!parsed) return std::nullopt;
  using molarium::atom::Molecule;
  auto molecule = parsed->index() == types::kF64
                      ? Molecule::create_f64(std::get<types::kF64>(std::move(*parsed)), std::move(numbers))
                      : Molecule::create(std::get<types::kF32>(std::move(*parsed)), std::move(numbers));
  if (!molecule) {
    binding::raise_error(molecule.error());
    return std::nullopt;
  }
  return std::move(*molecule);
}

}  // namespace molarium::python::binding
