// Custom-property columns of a stacked batch: every entry of the two property dictionaries turned
// into one column, by the first form its value takes (texts, one value or one row per molecule,
// triples, stacked tensors).
#include <limits>
#include <set>
#include <utility>

#include "engine/storage/dtypes.hpp"
#include "python/database/batch.hpp"

namespace molarium::python::database {

namespace {

using molarium::Bytes;
using molarium::cat;
using molarium::checked_add;
using molarium::checked_mul;
using molarium::storage::TypeTag;
using molarium::storage::tag_byte;
using molecule::array_of;

constexpr std::string_view kReservedKey = "stress";
constexpr std::uint64_t kMaxStoredDimension = std::numeric_limits<std::uint32_t>::max();

// A column, "this form does not apply" (the next one is tried), or a failure with an exception set.
using Attempt = PyResult<std::optional<BatchSectionColumn>>;

// Which dictionary an entry comes from.
struct Scope {
  molarium::storage::SectionKind kind;
  const char* label;     // names the dictionary in the duplicate-key message
  const char* argument;  // names it in a key's TypeError
};
constexpr Scope kMoleculeScope{molarium::storage::SectionKind::Molecule, "property",
                               "properties"};
constexpr Scope kAtomScope{molarium::storage::SectionKind::Atom, "atom property",
                           "atom_properties"};

std::unexpected<Raised> internal_fault(std::string_view message) {
  if (PyObject* type = binding::internal_fault_type()) binding::set_error(type, message);
  return std::unexpected(Raised{});
}

BatchSectionColumn fixed_column(std::string_view key, const Scope& scope, molarium::storage::TypeTag type_tag,
                                std::uint64_t per_molecule_bytes, Bytes bytes) {
  BatchSectionColumn column;
  column.name = std::string(key);
  column.bytes = std::move(bytes);
  column.per_molecule_bytes = per_molecule_bytes;
  column.kind = scope.kind;
  column.type_tag = type_tag;
  return column;
}

std::string length_mismatch(std::string_view key, std::uint64_t length, std::size_t batch) {
  return cat("custom property '", key, "' length (", length, ") doesn't match batch size (", batch, ")");
}

// After an exception while probing a value's form: an ordinary one means "not this form" and is
// cleared (true); MemoryError and exceptions outside Exception (KeyboardInterrupt) stay (false).
bool discard_ordinary_exception() {
  if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    return true;
  }
  return false;
}

PyResult<std::optional<std::vector<std::string>>> not_texts() {
  if (!discard_ordinary_exception()) return std::unexpected(Raised{});
  return std::nullopt;
}

// The value as texts: a sequence, not a str, whose every item is a str. Iterating may run Python
// code; every item is held by a strong reference while it is read.
PyResult<std::optional<std::vector<std::string>>> texts_of(PyObject* value) {
  if (PyUnicode_Check(value) || !PySequence_Check(value)) return std::nullopt;
  binding::Ref iterator = binding::Ref::steal(PyObject_GetIter(value));
  if (!iterator) return not_texts();
  std::vector<std::string> texts;
  while (binding::Ref item = binding::Ref::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(item.get())) return std::nullopt;
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &length);
    if (utf8 == nullptr) return not_texts();  // lone surrogates: no UTF-8 form
    texts.emplace_back(utf8, static_cast<std::size_t>(length));
  }
  if (PyErr_Occurred()) return not_texts();
  return texts;
}

Attempt texts_column(PyObject* value, std::size_t batch, std::string_view key, const Scope& scope) {
  auto texts = texts_of(value);
  if (!texts) return std::unexpected(Raised{});
  if (!*texts) return std::nullopt;
  if ((*texts)->size() != batch) return fail(length_mismatch(key, (*texts)->size(), batch));
  BatchSectionColumn column;
  column.name = std::string(key);
  column.var_payloads = std::move(**texts);
  column.kind = scope.kind;
  column.type_tag = TypeTag::Str;
  return column;
}

PyResult<void> reject_list_or_tuple_tensor_column(PyObject* value, std::string_view key) {
  if (!PyList_Check(value) && !PyTuple_Check(value)) return {};
  return fail(cat("custom property '", key,
                  "' must be a stacked ndarray tensor for add_arrays_batch; list/tuple tensor inputs are not "
                  "supported. Ragged tensors should use per-molecule construction plus add_molecules(...) and "
                  "non-flat retrieval with get_molecule(s)."));
}

// One value per molecule, widened to the 8-byte type Stored (float64 or int64), in logical order.
template <class Source, class Stored>
Attempt widened_column(PyArrayObject* array, std::size_t batch, std::string_view key, const Scope& scope,
                       molarium::storage::TypeTag type_tag) {
  if (dim(array, 0) != batch) return fail(length_mismatch(key, dim(array, 0), batch));
  const std::vector<Source> values = molecule::copy_elements_as<Source>(array);
  Bytes bytes(values.size() * sizeof(Stored));
  for (std::size_t i = 0; i < values.size(); ++i) {
    molarium::store_le<Stored>(bytes.data() + i * sizeof(Stored), static_cast<Stored>(values[i]));
  }
  return fixed_column(key, scope, type_tag, sizeof(Stored), std::move(bytes));
}

Attempt one_value_per_molecule(PyObject* value, std::size_t batch, std::string_view key, const Scope& scope) {
  if (PyArrayObject* array = array_of(value, NPY_FLOAT32, 1)) {
    return widened_column<float, double>(array, batch, key, scope, TypeTag::F64);
  }
  if (PyArrayObject* array = array_of(value, NPY_FLOAT64, 1)) {
    return widened_column<double, double>(array, batch, key, scope, TypeTag::F64);
  }
  if (PyArrayObject* array = array_of(value, NPY_INT32, 1)) {
    return widened_column<std::int32_t, std::int64_t>(array, batch, key, scope, TypeTag::I64);
  }
  if (PyArrayObject* array = array_of(value, NPY_INT64, 1)) {
    return widened_column<std::int64_t, std::int64_t>(array, batch, key, scope, TypeTag::I64);
  }
  return std::nullopt;
}

// A (batch, k) array, one row of k values per molecule, values kept in their width. With an atom
// count (atom scope) k must equal it; that check comes after the others.
Attempt extract_matrix_column(PyArrayObject* array, std::size_t batch, std::string_view key, const Scope& scope,
                              molarium::storage::TypeTag type_tag, std::optional<std::size_t> atom_count) {
  if (dim(array, 0) != batch) return fail(cat("custom property '", key, "' must have shape (", batch, ", k)"));
  if (!PyArray_IS_C_CONTIGUOUS(array)) return fail(cat("custom property '", key, "' must be C-contiguous"));
  if (atom_count && dim(array, 1) != *atom_count) {
    return fail(cat("atom property '", key, "' must have shape (", batch, ", ", *atom_count, ")"));
  }
  std::uint64_t per_molecule = 0;
  if (!checked_mul(dim(array, 1), static_cast<std::uint64_t>(PyArray_ITEMSIZE(array)), per_molecule)) {
    return fail(cat("custom property '", key, "' byte length overflow"));
  }
  return fixed_column(key, scope, type_tag, per_molecule, copy_contiguous_le(array));
}

Attempt one_row_per_molecule(PyObject* value, std::size_t batch, std::string_view key, const Scope& scope,
                             std::optional<std::size_t> atom_count) {
  struct Form {
    int type_num;
    TypeTag tag;
  };
  static constexpr Form kForms[] = {{NPY_FLOAT32, TypeTag::F32Array},
                                    {NPY_FLOAT64, TypeTag::F64Array},
                                    {NPY_INT64, TypeTag::I64Array},
                                    {NPY_INT32, TypeTag::I32Array}};
  for (const Form& form : kForms) {
    if (PyArrayObject* array = array_of(value, form.type_num, 2)) {
      return extract_matrix_column(array, batch, key, scope, form.tag, atom_count);
    }
  }
  return std::nullopt;
}

// A (batch, k, 3) float array: k triples per molecule. With an atom count k must equal it. Any
// other 3-D shape does not apply (it may still be a tensor).
Attempt extract_vec3_column(PyObject* value, std::size_t batch, std::string_view key, const Scope& scope,
                            std::optional<std::size_t> atom_count) {
  auto triples = molecule::PyFloatArray3::from_any(value);
  if (!triples) {
    if (PyErr_Occurred()) return std::unexpected(Raised{});
    return std::nullopt;
  }
  PyArrayObject* array = triples->array();
  if (dim(array, 0) != batch || dim(array, 2) != 3) return std::nullopt;
  if (atom_count && dim(array, 1) != *atom_count) return std::nullopt;
  if (!PyArray_IS_C_CONTIGUOUS(array)) return fail(cat("custom property '", key, "' must be C-contiguous"));
  const bool f32 = triples->width() == molecule::FloatWidth::F32;
  std::uint64_t per_molecule = 0;
  if (!checked_mul(dim(array, 1), f32 ? 12 : 24, per_molecule)) {
    return fail(cat("custom property '", key, "' byte length overflow"));
  }
  return fixed_column(key, scope, f32 ? TypeTag::Vec3F32 : TypeTag::Vec3F64, per_molecule,
                      copy_contiguous_le(array));
}

// The tensor payload header of one molecule: u8 rank, then each dimension as u32.
PyResult<Bytes> tensor_payload_header(std::span<const std::uint64_t> dims, std::string_view key) {
  if (dims.size() > molarium::storage::dtypes::kMaxTensorRank) {
    return fail(cat("custom property '", key, "' tensor rank ", dims.size(), " exceeds maximum ",
                    molarium::storage::dtypes::kMaxTensorRank));
  }
  for (std::uint64_t size : dims) {
    if (size > kMaxStoredDimension) {
      return fail(cat("custom property '", key, "' tensor dimensions must fit in u32 for storage"));
    }
  }
  Bytes header;
  header.reserve(1 + 4 * dims.size());
  header.push_back(static_cast<std::uint8_t>(dims.size()));
  for (std::uint64_t size : dims) molarium::append_le<std::uint32_t>(header, static_cast<std::uint32_t>(size));
  return header;
}

// A stacked tensor: an array of dtype float32, float64, int32 or int64 with at least 3 dimensions
// whose first is the batch (and second the atom count, in atom scope). Each molecule's payload is
// the tensor payload of its slab. Does not apply to any other dtype.
Attempt extract_stacked_tensor_column(PyObject* value, std::size_t batch, std::optional<std::size_t> atom_count,
                                      std::string_view key, const Scope& scope) {
  struct Form {
    int type_num;
    TypeTag tag;
  };
  static constexpr Form kForms[] = {{NPY_FLOAT32, TypeTag::TensorF32},
                                    {NPY_FLOAT64, TypeTag::TensorF64},
                                    {NPY_INT32, TypeTag::TensorI32},
                                    {NPY_INT64, TypeTag::TensorI64}};
  PyArrayObject* array = nullptr;
  TypeTag type_tag = TypeTag::TensorF32;
  for (const Form& form : kForms) {
    if ((array = array_of(value, form.type_num, molecule::kAnyRank)) != nullptr) {
      type_tag = form.tag;
      break;
    }
  }
  if (array == nullptr) return std::nullopt;
  const std::size_t element_size = molarium::storage::dtypes::tensor_element_size(type_tag);

  const int rank = PyArray_NDIM(array);
  if (rank < 3 || dim(array, 0) != batch) {
    return fail(cat("custom property '", key, "' must have stacked tensor shape (", batch, ", ...)"));
  }
  if (atom_count && dim(array, 1) != *atom_count) {
    return fail(cat("atom property '", key, "' must have stacked tensor shape (", batch, ", ", *atom_count, ", ...)"));
  }

  std::vector<std::uint64_t> shape;
  for (int axis = 1; axis < rank; ++axis) shape.push_back(dim(array, axis));
  std::uint64_t element_count = 1;
  for (std::uint64_t size : shape) {
    if (!checked_mul(element_count, size, element_count)) return fail("Tensor shape overflows usize");
  }
  std::uint64_t value_bytes = 0;
  if (!checked_mul(element_count, element_size, value_bytes)) return fail("Tensor byte length overflow");
  auto header = tensor_payload_header(shape, key);
  if (!header) return std::unexpected(Raised{});
  std::uint64_t payload_bytes = 0;
  if (!checked_add(header->size(), value_bytes, payload_bytes)) return fail("Tensor payload length overflow");
  if (!PyArray_IS_C_CONTIGUOUS(array)) return fail(cat("custom property '", key, "' must be C-contiguous"));
  std::uint64_t column_bytes = 0;
  if (!checked_mul(batch, payload_bytes, column_bytes) || column_bytes > std::numeric_limits<std::size_t>::max()) {
    return fail("Tensor batch payload length overflow");
  }

  Bytes bytes;
  bytes.reserve(static_cast<std::size_t>(column_bytes));
  const auto* values = reinterpret_cast<const std::uint8_t*>(PyArray_BYTES(array));
  for (std::size_t i = 0; i < batch; ++i) {
    molarium::append_bytes(bytes, *header);
    append_native_as_le(bytes, values + i * value_bytes, static_cast<std::size_t>(value_bytes), element_size);
  }
  return fixed_column(key, scope, type_tag, payload_bytes, std::move(bytes));
}

// The first form in `attempts` that applies decides; a value of none of them is `unsupported`.
template <class... Attempts>
Attempt first_form(std::string_view unsupported, Attempts&&... attempts) {
  Attempt result = std::optional<BatchSectionColumn>();
  // Each attempt runs only while the previous ones neither applied nor failed.
  const bool decided = ((result = attempts(), !result || result->has_value()) || ...);
  if (!decided) return fail(unsupported);
  return result;
}

Attempt molecule_scope_column(PyObject* value, std::size_t batch, std::string_view key) {
  const Scope& scope = kMoleculeScope;
  return first_form(
      cat("Unsupported batched property '", key,
          "' type. Supported: list[str], 1D numeric arrays, 2D numeric arrays, 3D float arrays with trailing "
          "dimension 3, or stacked tensor ndarrays with dtype float32, float64, int32, or int64"),
      [&] { return texts_column(value, batch, key, scope); },
      [&]() -> Attempt {
        if (!reject_list_or_tuple_tensor_column(value, key)) return std::unexpected(Raised{});
        return std::nullopt;
      },
      [&] { return one_value_per_molecule(value, batch, key, scope); },
      [&] { return one_row_per_molecule(value, batch, key, scope, std::nullopt); },
      [&] { return extract_vec3_column(value, batch, key, scope, std::nullopt); },
      [&] { return extract_stacked_tensor_column(value, batch, std::nullopt, key, scope); });
}

Attempt atom_scope_column(PyObject* value, std::size_t batch, std::size_t n_atoms, std::string_view key) {
  const Scope& scope = kAtomScope;
  return first_form(
      cat("Unsupported batched atom property '", key,
          "' type. Supported: 2D numeric arrays with shape (batch, n_atoms), 3D float arrays with shape (batch, "
          "n_atoms, 3), or stacked tensor ndarrays with dtype float32, float64, int32, or int64"),
      [&]() -> Attempt {
        if (!reject_list_or_tuple_tensor_column(value, key)) return std::unexpected(Raised{});
        return std::nullopt;
      },
      [&] { return one_row_per_molecule(value, batch, key, scope, n_atoms); },
      [&] { return extract_vec3_column(value, batch, key, scope, n_atoms); },
      [&] { return extract_stacked_tensor_column(value, batch, n_atoms, key, scope); });
}

PyResult<void> push_unique_key(std::set<std::string>& seen, const std::string& key, const Scope& scope) {
  if (seen.insert(key).second) return {};
  return fail(cat("Duplicate custom key '", key, "' across batched ", scope.label, " inputs"));
}

// Calls visit(key, value) for every entry of a dict in its order, each held by a strong reference
// for the visit: a visit runs Python code that may change the dictionary, even drop the entry
// being visited. A change of size, or more entries than the dictionary had, ends the walk with
// the internal-fault exception.
template <class Visit>
PyResult<void> for_each_entry(PyObject* dict, Visit&& visit) {
  const Py_ssize_t size = PyDict_Size(dict);
  Py_ssize_t remaining = size;
  Py_ssize_t position = 0;
  for (;;) {
    if (PyDict_Size(dict) != size) return internal_fault("dictionary changed size during iteration");
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    if (!PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) return {};
    if (--remaining < 0) return internal_fault("dictionary keys changed during iteration");
    const binding::Ref key = binding::Ref::borrow(borrowed_key);
    const binding::Ref value = binding::Ref::borrow(borrowed_value);
    if (!visit(key.get(), value.get())) return std::unexpected(Raised{});
  }
}

// Appends one column per entry of `dict` to `columns`.
template <class MakeColumn>
PyResult<void> scope_columns(PyObject* dict, const Scope& scope, std::set<std::string>& seen,
                             std::vector<BatchSectionColumn>& columns, MakeColumn&& make_column) {
  if (dict == nullptr) return {};
  return for_each_entry(dict, [&](PyObject* key_object, PyObject* value) -> bool {
    const auto key = binding::to_str(key_object, scope.argument);
    if (!key) return false;
    if (*key == kReservedKey) {
      binding::raise_value_error(std::string_view("'stress' is a reserved field; use the builtin stress argument instead"));
      return false;
    }
    if (!push_unique_key(seen, *key, scope)) return false;
    auto column = make_column(value, *key);
    if (!column) return false;
    columns.push_back(std::move(**column));
    return true;
  });
}

}  // namespace

PyResult<std::vector<BatchSectionColumn>> extract_custom_columns(PyObject* properties, PyObject* atom_properties,
                                                                 std::size_t batch, std::size_t n_atoms) {
  if (!binding::ensure_numpy()) return std::unexpected(Raised{});
  std::vector<BatchSectionColumn> columns;
  std::set<std::string> seen;
  auto molecule_scope = scope_columns(properties, kMoleculeScope, seen, columns, [&](PyObject* value, const std::string& key) {
    return molecule_scope_column(value, batch, key);
  });
  if (!molecule_scope) return std::unexpected(Raised{});
  auto atom_scope = scope_columns(atom_properties, kAtomScope, seen, columns, [&](PyObject* value, const std::string& key) {
    return atom_scope_column(value, batch, n_atoms, key);
  });
  if (!atom_scope) return std::unexpected(Raised{});
  return columns;
}

}  // namespace molarium::python::database
