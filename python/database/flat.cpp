// PyAtomDatabase.get_molecules_flat: a selection of molecules as one dictionary of contiguous
// NumPy arrays, tensor properties concatenated across molecules.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/storage/dtypes.hpp"
#include "python/database/database.hpp"
#include "engine/records/flat_extraction.hpp"
#include "engine/records/payload.hpp"
#include "python/binding/arrays.hpp"

namespace molarium::python::database {

namespace {

namespace dtypes = molarium::storage::dtypes;
using records::extract_flat;
using records::FlatBuffer;
using records::FlatExtraction;
using records::FlatPositions;
using records::StringColumn;
using records::TensorColumn;
using binding::ReshapeRefusal;
using molarium::Bytes;
using molarium::ByteView;
using molarium::cat;
using molarium::storage::tag_byte;
using molarium::storage::TypeTag;
using molarium::storage::DatabaseSchemaSection;

// The tail of every refusal to concatenate; a message starts it with "it" or, after a full
// stop, with "It".
constexpr std::string_view kCannotConcatenate =
    "cannot be flat-batched/concatenated. Retrieve molecules individually with get_molecule(s) instead.";

using ByteBuffer = FlatBuffer<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// Buffers handed over to NumPy

// The capsule name of the objects that own a buffer given up by a FlatBuffer.
constexpr const char* kFlatBufferHolderName = "molarium._molarium_rs.flat_buffer";

void free_flat_buffer(PyObject* holder) {
  records::release_flat_memory(PyCapsule_GetPointer(holder, kFlatBufferHolderName));
}

// Returns a new reference to an uninitialised array of NumPy's own memory, or nullptr with an
// exception set. REQUIRES: ensure_numpy() has succeeded.
PyObject* new_array(int type_num, std::initializer_list<npy_intp> shape) {
  return PyArray_SimpleNew(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.begin()), type_num);
}

// Returns a new reference to an array of `shape` and NumPy type `type_num` whose memory is the
// buffer's own, taken over without a copy (the buffer is left empty, and its memory is freed with
// the array), or nullptr with an exception set. REQUIRES: ensure_numpy() has succeeded; the
// buffer holds exactly the bytes that the shape needs, in the host's byte order.
template <class U>
PyObject* array_over_flat_buffer(FlatBuffer<U>&& buffer, int type_num, std::initializer_list<npy_intp> shape) {
  const std::size_t byte_length = buffer.size() * sizeof(U);
  if (byte_length == 0) return new_array(type_num, shape);
  void* data = buffer.data();
  PyObject* holder = PyCapsule_New(data, kFlatBufferHolderName, &free_flat_buffer);
  if (holder == nullptr) return nullptr;  // the buffer still owns its memory
  buffer.release();
  return binding::array_over_holder(holder, data, byte_length, type_num, shape);
}

// Turns the buffer's little-endian elements of type T into the host's order, in place.
template <class T>
void to_host_order(ByteBuffer& buffer) {
  if constexpr (std::endian::native != std::endian::little) {
    for (std::size_t at = 0; at + sizeof(T) <= buffer.size(); at += sizeof(T)) {
      const T value = molarium::load_le<T>(buffer.data() + at);
      std::memcpy(buffer.data() + at, &value, sizeof(T));
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Dictionary entries

// Stores the value (reference taken over) under the UTF-8 key. Returns false with an exception
// set, also when the value is empty because making it failed.
bool set_item(PyObject* dict, std::string_view key, binding::Ref value) {
  if (!value) return false;
  binding::Ref name = binding::Ref::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
  return name && PyDict_SetItem(dict, name.get(), value.get()) == 0;
}

// Returns a new reference to the (n,) uint32 array of the atom counts, or nullptr.
PyObject* atom_counts_array(const std::vector<std::uint32_t>& counts) {
  PyObject* array = new_array(NPY_UINT32, {static_cast<npy_intp>(counts.size())});
  if (array != nullptr && !counts.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), counts.data(), counts.size() * sizeof(std::uint32_t));
  }
  return array;
}

// Returns a new reference to the (T, 3) positions array, its buffer handed over, or nullptr.
// The extraction sized the buffer for exactly T rows.
PyObject* positions_array(FlatPositions&& positions, std::uint64_t total_atoms) {
  const npy_intp shape[2] = {static_cast<npy_intp>(total_atoms), 3};
  if (auto* values = std::get_if<FlatBuffer<float>>(&positions)) {
    return array_over_flat_buffer(std::move(*values), NPY_FLOAT32, {shape[0], shape[1]});
  }
  ByteBuffer& bytes = std::get<ByteBuffer>(positions);
  to_host_order<double>(bytes);
  return array_over_flat_buffer(std::move(bytes), NPY_FLOAT64, {shape[0], shape[1]});
}

// Returns a new reference to the three-key dictionary of an empty selection, or nullptr.
PyObject* empty_selection_dictionary() {
  binding::Ref result = binding::Ref::steal(PyDict_New());
  if (!result) return nullptr;
  const bool built = set_item(result.get(), "n_atoms", binding::Ref::steal(new_array(NPY_UINT32, {0}))) &&
                     set_item(result.get(), "positions", binding::Ref::steal(new_array(NPY_FLOAT32, {0, 3}))) &&
                     set_item(result.get(), "atomic_numbers", binding::Ref::steal(new_array(NPY_UINT8, {0})));
  return built ? result.release() : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Fixed-size sections

// Returns a new reference to the buffer's elements as an (E,) array, or nullptr.
template <class T>
PyObject* elements_array(ByteView buffer) {
  auto elements = records::cast_or_decode<T>(buffer);
  if (!elements) return binding::raise_error(elements.error());
  return binding::pyarray1_from_cow(std::move(*elements));
}

// Returns a new reference to the buffer's xyz triples as an (E / 3, 3) array, or nullptr.
template <class T>
PyObject* triples_array(ByteView buffer) {
  auto elements = records::cast_or_decode<T>(buffer);
  if (!elements) return binding::raise_error(elements.error());
  const std::size_t rows = elements->size() / 3;
  return binding::pyarray2_from_cow(std::move(*elements), rows, 3);
}

// Returns a new reference to the buffer's 3 by 3 matrices as an (E / 9, 3, 3) array, or nullptr.
template <class T>
PyObject* matrices_array(ByteView buffer) {
  binding::Ref flat = binding::Ref::steal(elements_array<T>(buffer));
  if (!flat) return nullptr;
  const std::uint64_t shape[3] = {buffer.size() / sizeof(T) / 9, 3, 3};
  return binding::reshape_c_order(std::move(flat), shape, ReshapeRefusal::AsValueError);
}

// Returns a new reference to the buffer's flags, three per molecule, as an (E / 3, 3) bool array
// (a byte is true when nonzero), or nullptr.
PyObject* flags_array(ByteView buffer) {
  std::vector<npy_bool> flags(buffer.size());
  std::transform(buffer.begin(), buffer.end(), flags.begin(), [](std::uint8_t b) { return npy_bool(b != 0); });
  const auto count = static_cast<npy_intp>(flags.size());
  binding::Ref flat = binding::Ref::steal(binding::array_from_buffer(std::move(flags), NPY_BOOL, {count}));
  if (!flat) return nullptr;
  const std::uint64_t shape[2] = {buffer.size() / 3, 3};
  return binding::reshape_c_order(std::move(flat), shape, ReshapeRefusal::AsValueError);
}

// Returns a new reference to the buffer's elements of type T in rows of `row` elements: shape
// (E,) for rows of 1, (E / 3, 3) for 3, (E / 9, 3, 3) for 9; or nullptr with an exception set.
// A buffer that holds whole rows is handed over; any other goes through the copying builders,
// which report the refused shape.
template <class T>
PyObject* section_array(ByteBuffer&& buffer, std::size_t row) {
  if (buffer.size() % (sizeof(T) * row) != 0) {
    const ByteView bytes(buffer.data(), buffer.size());
    return row == 1 ? elements_array<T>(bytes) : row == 3 ? triples_array<T>(bytes) : matrices_array<T>(bytes);
  }
  to_host_order<T>(buffer);
  const auto rows = static_cast<npy_intp>(buffer.size() / (sizeof(T) * row));
  const int type_num = binding::numpy_type_num<T>();
  if (row == 1) return array_over_flat_buffer(std::move(buffer), type_num, {rows});
  if (row == 3) return array_over_flat_buffer(std::move(buffer), type_num, {rows, 3});
  return array_over_flat_buffer(std::move(buffer), type_num, {rows, 3, 3});
}

// Returns a new reference to the buffer's flags as an (E / 3, 3) bool array, the buffer handed
// over with every nonzero byte made 1 (true), or nullptr.
PyObject* flags_section_array(ByteBuffer&& buffer) {
  if (buffer.size() % 3 != 0) return flags_array(ByteView(buffer.data(), buffer.size()));
  for (std::uint8_t& flag : buffer) flag = flag != 0 ? 1 : 0;
  const auto rows = static_cast<npy_intp>(buffer.size() / 3);
  return array_over_flat_buffer(std::move(buffer), NPY_BOOL, {rows, 3});
}

// Returns a new reference to the array of a fixed-size section of tag 0 to 12 (not 2), an empty
// Ref for another tag, or nullptr with an exception set. The buffer is taken over.
std::optional<binding::Ref> fixed_section_value(molarium::storage::TypeTag tag, ByteBuffer&& buffer) {
  // The engine's table says what a tag's elements are made of: the value type and the values per
  // element (three for xyz rows, nine for a matrix).
  const records::TagValues values = records::tag_values(tag);
  PyObject* value = nullptr;
  switch (values.type) {
    case records::ValueType::F64: value = section_array<double>(std::move(buffer), values.per_element); break;
    case records::ValueType::I64: value = section_array<std::int64_t>(std::move(buffer), values.per_element); break;
    case records::ValueType::F32: value = section_array<float>(std::move(buffer), values.per_element); break;
    case records::ValueType::I32: value = section_array<std::int32_t>(std::move(buffer), values.per_element); break;
    case records::ValueType::Flags: value = flags_section_array(std::move(buffer)); break;
    default: return binding::Ref();
  }
  if (value == nullptr) return std::nullopt;
  return binding::Ref::steal(value);
}

// Returns a new reference to a list of n texts, None where a molecule has none, or nullptr.
PyObject* texts_list(const StringColumn& column) {
  binding::Ref list = binding::Ref::steal(PyList_New(static_cast<Py_ssize_t>(column.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < column.size(); ++i) {
    PyObject* item = Py_None;
    if (column[i]) {
      item = PyUnicode_FromStringAndSize(column[i]->data(), static_cast<Py_ssize_t>(column[i]->size()));
      if (item == nullptr) return nullptr;
    } else {
      Py_INCREF(item);
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals the reference
  }
  return list.release();
}

// ---------------------------------------------------------------------------------------------
// Tensor sections

// Set ValueError and return nullptr.
std::nullptr_t missing_tensor_error(std::string_view key, std::size_t i) {
  return binding::raise_value_error(
      cat("Tensor property '", key, "' is missing for selected molecule ", i, "; it ", kCannotConcatenate));
}

std::nullptr_t invalid_atom_tensor_shape_error(std::string_view key, std::span<const std::uint64_t> shape,
                                               std::optional<std::uint64_t> first_dimension, std::uint32_t atom_count) {
  const std::string first = first_dimension ? std::to_string(*first_dimension) : "None";
  return binding::raise_value_error(cat("Atom tensor property '", key, "' has shape ", dtypes::format_shape(shape),
                                   "; first dimension ", first, " does not match atom count ", atom_count, ". It ",
                                   kCannotConcatenate));
}

template <class T>
PyObject* typed_tensor_array(const Bytes& values, std::span<const std::uint64_t> shape) {
  binding::Ref flat = binding::Ref::steal(elements_array<T>(values));
  if (!flat) return nullptr;
  return binding::reshape_c_order(std::move(flat), shape, ReshapeRefusal::PassOn);
}

// Returns a new reference to an array of the tag's dtype and `shape` over the concatenated
// values (the buffer is released on return in every case), or nullptr with an exception set.
PyObject* tensor_array_from_bytes(molarium::storage::TypeTag tag, Bytes values, std::span<const std::uint64_t> shape) {
  switch (static_cast<TypeTag>(tag)) {
    case TypeTag::TensorF32: return typed_tensor_array<float>(values, shape);
    case TypeTag::TensorF64: return typed_tensor_array<double>(values, shape);
    case TypeTag::TensorI32: return typed_tensor_array<std::int32_t>(values, shape);
    case TypeTag::TensorI64: return typed_tensor_array<std::int64_t>(values, shape);
    default: return binding::raise_value_error(cat("Unsupported tensor type tag ", static_cast<unsigned>(tag)));
  }
}

// Returns a new reference to one section's tensors joined along a new first axis (molecule-level:
// shape (n, shape...)) or along the atoms (per-atom: shape (T, suffix...)), or nullptr with an
// exception set. Every molecule must have the tensor, with one common shape (or suffix).
PyObject* concatenated_tensor(const DatabaseSchemaSection& entry, const TensorColumn& column,
                              std::span<const std::uint32_t> atom_counts, std::uint64_t total_atoms) {
  const auto tag = entry.type_tag;
  std::vector<std::uint64_t> common;  // molecule 0's shape, or its suffix for per-atom tensors
  std::vector<std::size_t> values_offsets(column.size());
  std::size_t total_bytes = 0;
  for (std::size_t i = 0; i < column.size(); ++i) {
    if (!column[i]) return missing_tensor_error(entry.key, i);
    auto layout = dtypes::tensor_shape_from_payload(tag, *column[i]);
    if (!layout) return binding::raise_error(layout.error());
    std::span<const std::uint64_t> shape = layout->shape;
    if (entry.per_atom) {
      if (shape.empty()) return invalid_atom_tensor_shape_error(entry.key, shape, std::nullopt, atom_counts[i]);
      if (shape[0] != atom_counts[i]) return invalid_atom_tensor_shape_error(entry.key, shape, shape[0], atom_counts[i]);
      shape = shape.subspan(1);
    }
    if (i == 0) {
      common.assign(shape.begin(), shape.end());
    } else if (!std::ranges::equal(shape, common)) {
      return binding::raise_value_error(
          entry.per_atom ? cat("Atom tensor property '", entry.key, "' has incompatible per-atom tensor suffix shapes ",
                               dtypes::format_shape(common), " and ", dtypes::format_shape(shape), "; it ", kCannotConcatenate)
                         : cat("Tensor property '", entry.key, "' has incompatible shapes ", dtypes::format_shape(common),
                               " and ", dtypes::format_shape(shape), "; it ", kCannotConcatenate));
    }
    values_offsets[i] = layout->values_offset;
    total_bytes += column[i]->size() - layout->values_offset;  // every payload is in memory: no overflow
  }
  Bytes values;
  values.reserve(total_bytes);
  for (std::size_t i = 0; i < column.size(); ++i) {
    values.insert(values.end(), column[i]->begin() + static_cast<std::ptrdiff_t>(values_offsets[i]), column[i]->end());
  }
  std::vector<std::uint64_t> shape;
  shape.reserve(common.size() + 1);
  shape.push_back(entry.per_atom ? total_atoms : column.size());
  shape.insert(shape.end(), common.begin(), common.end());
  return tensor_array_from_bytes(tag, std::move(values), shape);
}

// ---------------------------------------------------------------------------------------------
// The dictionary

// The value of layout section j: a new reference, an empty Ref when the section gives none, or
// nothing with an exception set. Frees the section's buffer once its values are copied.
std::optional<binding::Ref> section_value(FlatExtraction& flat, std::size_t j) {
  const DatabaseSchemaSection& entry = flat.layout[j];
  if (dtypes::is_tensor_tag(entry.type_tag)) {
    if (!flat.tensor_columns[j]) return binding::Ref();
    binding::Ref value = binding::Ref::steal(concatenated_tensor(entry, *flat.tensor_columns[j], flat.atom_counts, flat.total_atoms));
    flat.tensor_columns[j].reset();
    if (!value) return std::nullopt;
    return value;
  }
  if (entry.slot_bytes == 0) {
    if (!flat.string_columns[j]) return binding::Ref();
    binding::Ref value = binding::Ref::steal(texts_list(*flat.string_columns[j]));
    flat.string_columns[j].reset();
    if (!value) return std::nullopt;
    return value;
  }
  if (entry.type_tag > TypeTag::Mat3F32 || entry.type_tag == TypeTag::Str) return binding::Ref();
  auto value = fixed_section_value(entry.type_tag, std::move(flat.fixed_buffers[j]));
  flat.fixed_buffers[j] = ByteBuffer();
  return value;
}

// Returns a new reference to the result dictionary, or nullptr with an exception set.
PyObject* flat_dictionary(FlatExtraction&& flat) {
  binding::Ref result = binding::Ref::steal(PyDict_New());
  if (!result) return nullptr;
  const auto total_atoms = static_cast<npy_intp>(flat.total_atoms);  // its bytes are allocated: it fits
  if (!set_item(result.get(), "n_atoms", binding::Ref::steal(atom_counts_array(flat.atom_counts))) ||
      !set_item(result.get(), "positions", binding::Ref::steal(positions_array(std::move(flat.positions), flat.total_atoms))) ||
      !set_item(result.get(), "atomic_numbers",
                binding::Ref::steal(array_over_flat_buffer(std::move(flat.atomic_numbers), NPY_UINT8, {total_atoms})))) {
    return nullptr;
  }
  binding::Ref atom_properties = binding::Ref::steal(PyDict_New());
  binding::Ref properties = binding::Ref::steal(PyDict_New());
  if (!atom_properties || !properties) return nullptr;

  for (std::size_t j = 0; j < flat.layout.size(); ++j) {
    auto value = section_value(flat, j);
    if (!value) return nullptr;
    if (!*value) continue;
    const auto kind = flat.layout[j].kind;
    PyObject* target = kind == molarium::storage::SectionKind::Atom ? atom_properties.get()
                       : kind == molarium::storage::SectionKind::Molecule
                           ? properties.get()
                           : result.get();
    if (!set_item(target, flat.layout[j].key, std::move(*value))) return nullptr;
  }
  if (PyDict_GET_SIZE(atom_properties.get()) > 0 &&
      !set_item(result.get(), "atom_properties", std::move(atom_properties))) {
    return nullptr;
  }
  if (PyDict_GET_SIZE(properties.get()) > 0 && !set_item(result.get(), "properties", std::move(properties))) {
    return nullptr;
  }
  return result.release();
}

// Returns a new reference to the dictionary of the selection, or nullptr with an exception set.
// The extraction runs with the interpreter lock released; the arrays are made with it held.
// REQUIRES: shared access to the database, held by the caller until this returns.
PyObject* get_molecules_flat_soa_impl(const AtomDatabase& database, std::span<const std::size_t> indices) {
  if (!binding::ensure_numpy()) return nullptr;
  auto extraction = binding::without_gil([&] { return extract_flat(database, indices); });
  if (!extraction) return binding::raise_error(extraction.error());
  if (!*extraction) return empty_selection_dictionary();
  return flat_dictionary(std::move(**extraction));
}

}  // namespace

}  // namespace molarium::python::database

namespace molarium::python::database {

PyObject* get_molecules_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<1> kParameters{"get_molecules_flat", {"indices"}};
  auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  // Access is taken before the indices are converted: Python code that an item's __index__ runs
  // can then not append to or flush this database during the call.
  const auto database = binding::Shared<AtomDatabase>::take(self);
  if (!database) return nullptr;
  const auto indices = to_index_list((*bound)[0], "indices");
  if (!indices) return nullptr;
  return get_molecules_flat_soa_impl(**database, *indices);
}

}  // namespace molarium::python::database
