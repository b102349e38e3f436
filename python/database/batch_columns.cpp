// Built-in columns of a stacked batch, the borrowed cell and stress slices of the fast path, and
// the schema section of a column.
#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"
#include "python/database/batch.hpp"
#include "engine/records/section_rule.hpp"
#include "engine/records/record_view.hpp"

namespace molarium::python::database {

namespace {

namespace builtin = molarium::records::builtin;
using molarium::Bytes;
using molarium::cat;
using molarium::storage::TypeTag;
using molarium::storage::tag_byte;
using molecule::array_of;

constexpr auto kBuiltinKind = molarium::storage::SectionKind::Builtin;

// One float field's accepted widths: the float32 tag and the float64 tag.
struct FloatTags {
  TypeTag f32;
  TypeTag f64;
};

// The float array with `ndim` dimensions a built-in field accepts (float32 first), with the tag of
// its width; nullptr when it is neither.
std::pair<PyArrayObject*, TypeTag> float_array(PyObject* object, int ndim, FloatTags tags) {
  if (PyArrayObject* array = array_of(object, NPY_FLOAT32, ndim)) return {array, tags.f32};
  if (PyArrayObject* array = array_of(object, NPY_FLOAT64, ndim)) return {array, tags.f64};
  return {nullptr, TypeTag{}};
}

// The layout a built-in float field must have: dimensions (batch, rows[, 3]).
struct BuiltinShape {
  int ndim;
  std::uint64_t rows;  // second dimension
  bool triples;        // a third dimension of 3
  const char* dtype_shape_text;  // how the dtype message writes the shape
};

// A built-in float field copied into a column of kind 0, checked in this order: dtype and number
// of dimensions, shape, C-contiguity.
PyResult<std::optional<BatchSectionColumn>> builtin_float_column(PyObject* object, std::size_t batch,
                                                                 std::string_view field, const BuiltinShape& shape,
                                                                 FloatTags tags) {
  if (object == nullptr) return std::nullopt;
  if (!binding::ensure_numpy()) return std::unexpected(Raised{});
  const auto [array, tag] = float_array(object, shape.ndim, tags);
  if (array == nullptr) {
    return fail(cat(field, " must be a float32 or float64 ndarray with shape ", shape.dtype_shape_text));
  }
  if (!check_builtin_layout(array, batch, shape.rows, shape.triples, field)) return std::unexpected(Raised{});

  // The array exists, so its byte size (batch times this) fits; checked all the same.
  std::uint64_t per_molecule = 0;
  if (!molarium::checked_mul(shape.rows, shape.triples ? 3 : 1, per_molecule) ||
      !molarium::checked_mul(per_molecule, static_cast<std::uint64_t>(PyArray_ITEMSIZE(array)), per_molecule)) {
    return fail(cat(field, " byte length overflow"));
  }
  BatchSectionColumn column;
  column.bytes = copy_contiguous_le(array);
  column.per_molecule_bytes = per_molecule;
  column.kind = kBuiltinKind;
  column.type_tag = tag;
  return column;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Columns

PyResult<void> check_builtin_layout(PyArrayObject* array, std::size_t batch, std::uint64_t rows, bool triples,
                                    std::string_view field) {
  const bool shape_matches = dim(array, 0) == batch && dim(array, 1) == rows && (!triples || dim(array, 2) == 3);
  if (!shape_matches) return fail(cat(field, " must have shape (", batch, ", ", rows, triples ? ", 3)" : ")"));
  if (!PyArray_IS_C_CONTIGUOUS(array)) return fail(cat(field, " must be C-contiguous"));
  return {};
}

PyResult<std::optional<BatchSectionColumn>> extract_optional_builtin_vec3_column(PyObject* object, std::size_t batch,
                                                                                 std::size_t n_atoms,
                                                                                 std::string_view field) {
  return builtin_float_column(object, batch, field, {3, n_atoms, true, "(batch, n_atoms, 3)"},
                              {TypeTag::Vec3F32, TypeTag::Vec3F64});
}

PyResult<std::optional<BatchSectionColumn>> extract_optional_builtin_float_array_column(PyObject* object,
                                                                                        std::size_t batch,
                                                                                        std::size_t n_atoms) {
  return builtin_float_column(object, batch, builtin::kCharges, {2, n_atoms, false, "(batch, n_atoms)"},
                              {TypeTag::F32Array, TypeTag::F64Array});
}

PyResult<std::optional<BatchSectionColumn>> extract_optional_builtin_mat3_column(PyObject* object, std::size_t batch,
                                                                                 std::string_view field) {
  return builtin_float_column(object, batch, field, {3, 3, true, "(batch, 3, 3)"},
                              {TypeTag::Mat3F32, TypeTag::Mat3F64});
}

PyResult<BatchSectionColumn> extract_builtin_pbc_column(PyArrayObject* pbc, std::size_t batch) {
  if (dim(pbc, 0) != batch || dim(pbc, 1) != 3) return fail(cat("pbc must have shape (", batch, ", 3)"));
  BatchSectionColumn column;
  column.bytes = molecule::copy_elements_as<std::uint8_t>(pbc);
  // NumPy keeps a bool in one byte without promising 0 or 1 in it (a view of raw bytes can hold
  // any value); the record stores exactly 0 or 1.
  for (std::uint8_t& flag : column.bytes) flag = flag != 0 ? 1 : 0;
  column.per_molecule_bytes = 3;
  column.kind = kBuiltinKind;
  column.type_tag = TypeTag::Pbc;
  return column;
}

PyResult<std::optional<BatchSectionColumn>> extract_builtin_name_column(std::optional<std::vector<std::string>> names,
                                                                        std::size_t batch) {
  if (!names) return std::nullopt;
  if (names->size() != batch) {
    return fail(cat("name length (", names->size(), ") doesn't match batch size (", batch, ")"));
  }
  BatchSectionColumn column;
  column.var_payloads = std::move(names);
  column.kind = kBuiltinKind;
  column.type_tag = TypeTag::Str;
  return column;
}

// ---------------------------------------------------------------------------------------------
// Borrowed cell and stress

namespace {

// The checks of a borrowed (batch, 3, 3) array; the elements when they pass.
template <class Width>
PyResult<Width> mat3_elements(PyArrayObject* array, std::size_t batch, std::string_view field) {
  if (!check_builtin_layout(array, batch, 3, true, field)) return std::unexpected(Raised{});
  Width elements;
  elements.data = reinterpret_cast<const std::uint8_t*>(PyArray_BYTES(array));
  return elements;
}

}  // namespace

PyResult<FastMat3Slice> FastMat3Slice::from_f32(PyArrayObject* array, std::size_t batch, std::string_view field) {
  auto elements = mat3_elements<F32>(array, batch, field);
  if (!elements) return std::unexpected(Raised{});
  return FastMat3Slice(*elements);
}

PyResult<FastMat3Slice> FastMat3Slice::from_f64(PyArrayObject* array, std::size_t batch, std::string_view field) {
  auto elements = mat3_elements<F64>(array, batch, field);
  if (!elements) return std::unexpected(Raised{});
  return FastMat3Slice(*elements);
}

TypeTag FastMat3Slice::type_tag() const {
  return std::holds_alternative<F32>(elements_) ? TypeTag::Mat3F32 : TypeTag::Mat3F64;
}

std::size_t FastMat3Slice::matrix_bytes() const {
  return std::holds_alternative<F32>(elements_) ? 9 * sizeof(float) : 9 * sizeof(double);
}

const std::uint8_t* FastMat3Slice::data() const {
  return std::visit([](const Elements& elements) { return elements.data; }, elements_);
}

// ---------------------------------------------------------------------------------------------
// Schema sections

molarium::storage::DatabaseSchemaSection schema_section_for_payloads(molarium::storage::SectionKind kind,
                                                                     std::string_view key,
                                                                     molarium::storage::TypeTag type_tag,
                                                                     std::uint64_t per_molecule_bytes) {
  // The columns carry tags 0 to 17 only; one above would be described with no element and no slot.
  const auto rule = records::section_rule(kind, key, type_tag)
                        .value_or(records::SectionRule{records::is_per_atom(kind, key), 0, true});
  return records::describe_section(kind, key, type_tag, rule, rule.slot_bytes(per_molecule_bytes));
}

molarium::storage::DatabaseSchemaSection schema_section_from_column(const BatchSectionColumn& column) {
  return schema_section_for_payloads(column.kind, column.name, column.type_tag, column.per_molecule_bytes);
}

// ---------------------------------------------------------------------------------------------
// Copies

void append_native_as_le(Bytes& out, const std::uint8_t* data, std::size_t size, std::size_t item_size) {
  const std::size_t at = out.size();
  out.resize(at + size);
  if (size == 0) return;
  std::memcpy(out.data() + at, data, size);
  if constexpr (std::endian::native == std::endian::big) {
    if (item_size > 1) {
      for (std::size_t offset = at; offset < out.size(); offset += item_size) {
        std::reverse(out.begin() + static_cast<std::ptrdiff_t>(offset),
                     out.begin() + static_cast<std::ptrdiff_t>(offset + item_size));
      }
    }
  } else {
    (void)item_size;
  }
}

Bytes copy_contiguous_le(PyArrayObject* array) {
  Bytes out;
  out.reserve(static_cast<std::size_t>(PyArray_NBYTES(array)));
  append_native_as_le(out, reinterpret_cast<const std::uint8_t*>(PyArray_BYTES(array)),
                      static_cast<std::size_t>(PyArray_NBYTES(array)), static_cast<std::size_t>(PyArray_ITEMSIZE(array)));
  return out;
}

}  // namespace molarium::python::database
