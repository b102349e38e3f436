// Batch ingestion from stacked arrays: the columns a batch is cut into (one section of every
// molecule), their validation, the schema sections they give, and the records built from them.
//
// Everything declared here runs on the calling thread with the interpreter lock held. A failure
// returns Raised with a Python exception set (ValueError with the texts below unless a comment
// says otherwise); the caller's arrays and dictionaries are only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/bytes.hpp"
#include "engine/pool.hpp"
#include "engine/records/record_builder.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/schema.hpp"
#include "python/binding/binding.hpp"
#include "python/molecule/conversion.hpp"

namespace molarium::python::database {

using molecule::Raised;
template <class T>
using PyResult = std::expected<T, Raised>;

// Sets ValueError with the message; for `return fail(...)`.
inline std::unexpected<Raised> fail(std::string_view message) {
  binding::raise_value_error(message);
  return std::unexpected(Raised{});
}

// A dimension of an array, as the unsigned size the checks compare with.
inline std::uint64_t dim(PyArrayObject* array, int axis) {
  return static_cast<std::uint64_t>(PyArray_DIM(array, axis));
}

// One section of every molecule of a batch, owning its data.
// Invariants: without var_payloads, bytes holds exactly batch * per_molecule_bytes bytes; with
// them (text columns, type tag 2) there is one text per molecule and bytes is empty.
struct BatchSectionColumn {
  std::string name;  // the custom key; empty for a built-in field, which its place in the batch names
  molarium::Bytes bytes;
  std::optional<std::vector<std::string>> var_payloads;
  std::uint64_t per_molecule_bytes = 0;
  molarium::storage::SectionKind kind = molarium::storage::SectionKind::Builtin;
  molarium::storage::TypeTag type_tag = molarium::storage::TypeTag::F64;
};

// A (batch, 3, 3) float32 or float64 cell or stress array, borrowed in place. Valid only while the
// caller holds the array and no Python code runs.
class FastMat3Slice {
 public:
  // Checks, in this order: shape (batch, 3, 3), else "{field} must have shape ({batch}, 3, 3)";
  // C-contiguity, else "{field} must be C-contiguous".
  // REQUIRES: `array` is a float32 (from_f32) or float64 (from_f64) array with 3 dimensions.
  static PyResult<FastMat3Slice> from_f32(PyArrayObject* array, std::size_t batch, std::string_view field);
  static PyResult<FastMat3Slice> from_f64(PyArrayObject* array, std::size_t batch, std::string_view field);

  // 12 (float32) or 10 (float64).
  molarium::storage::TypeTag type_tag() const;
  // 36 or 72: one matrix, row by row.
  std::size_t matrix_bytes() const;
  // Start of the array's element memory (9 * batch elements).
  const std::uint8_t* data() const;

 private:
  // The array's element memory (9 * batch elements); set by the constructors.
  struct Elements {
    const std::uint8_t* data;
  };
  struct F32 : Elements {};
  struct F64 : Elements {};
  explicit FastMat3Slice(std::variant<F32, F64> elements) : elements_(elements) {}
  std::variant<F32, F64> elements_;
};

// ---------------------------------------------------------------------------------------------
// Built-in columns (kind 0).

// The shape and memory-order checks every stacked built-in array passes, in this order:
// (batch, rows), or (batch, rows, 3) with `triples`, else "{field} must have shape ({batch},
// {rows})" or "{field} must have shape ({batch}, {rows}, 3)"; C-contiguous, else "{field} must be
// C-contiguous". REQUIRES: the array has 2 dimensions, or 3 with `triples`.
PyResult<void> check_builtin_layout(PyArrayObject* array, std::size_t batch, std::uint64_t rows, bool triples,
                                    std::string_view field);

// Built-in columns. `object` is nullptr for an absent field (None counts as absent and
// the caller maps it to nullptr). Each float field keeps its width.

// "forces" or "velocities": (batch, n_atoms, 3), tag 4 or 7. Messages, in check order:
// "{field} must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)",
// "{field} must have shape ({batch}, {n_atoms}, 3)", "{field} must be C-contiguous".
PyResult<std::optional<BatchSectionColumn>> extract_optional_builtin_vec3_column(PyObject* object, std::size_t batch,
                                                                                 std::size_t n_atoms,
                                                                                 std::string_view field);
// "charges": (batch, n_atoms), tag 6 or 3; messages as above with shape (batch, n_atoms).
PyResult<std::optional<BatchSectionColumn>> extract_optional_builtin_float_array_column(PyObject* object,
                                                                                        std::size_t batch,
                                                                                        std::size_t n_atoms);
// "cell" or "stress": (batch, 3, 3), tag 12 or 10; messages as above with shape (batch, 3, 3).
PyResult<std::optional<BatchSectionColumn>> extract_optional_builtin_mat3_column(PyObject* object, std::size_t batch,
                                                                                 std::string_view field);
// pbc: shape (batch, 3), else "pbc must have shape ({batch}, 3)"; copied in logical order (any
// strides), each flag stored as 0 or 1. REQUIRES: `pbc` is a bool array with 2 dimensions.
PyResult<BatchSectionColumn> extract_builtin_pbc_column(PyArrayObject* pbc, std::size_t batch);
// name: the texts become the column's payloads; "name length ({}) doesn't match batch size ({})".
PyResult<std::optional<BatchSectionColumn>> extract_builtin_name_column(std::optional<std::vector<std::string>> names,
                                                                        std::size_t batch);

// ---------------------------------------------------------------------------------------------
// Custom columns

// One column per entry of `properties` (molecule scope, kind 2), then one per entry of
// `atom_properties` (atom scope, kind 1), each dictionary in its own order. Either may be nullptr.
// A key that is not a str raises TypeError. Python code that a value runs (iterating a sequence)
// may change a dictionary: that ends the call with the internal-fault exception, "dictionary
// changed size during iteration" or "dictionary keys changed during iteration".
// REQUIRES: both are dicts (or dict subclasses) when given.
PyResult<std::vector<BatchSectionColumn>> extract_custom_columns(PyObject* properties, PyObject* atom_properties,
                                                                 std::size_t batch, std::size_t n_atoms);

// ---------------------------------------------------------------------------------------------
// Schema sections

// The schema section of one section of every molecule, by the per-section rule: slot bytes 0 for
// texts, null and tensors, the element bytes for per-atom sections, otherwise the bytes per molecule.
molarium::storage::DatabaseSchemaSection schema_section_for_payloads(molarium::storage::SectionKind kind,
                                                                     std::string_view key,
                                                                     molarium::storage::TypeTag type_tag,
                                                                     std::uint64_t per_molecule_bytes);
molarium::storage::DatabaseSchemaSection schema_section_from_column(const BatchSectionColumn& column);

// ---------------------------------------------------------------------------------------------
// Records and the store

// The two sizes every array of a batch is checked against.
struct BatchShape {
  std::size_t batch = 0;    // molecules
  std::size_t n_atoms = 0;  // atoms per molecule
  bool operator==(const BatchShape&) const = default;
};

// One section of every molecule laid out back to back, as the engine's record builder reads it.
using records::StackedPayloads;

// A column as the record builder reads it (its texts or its bytes); nothing for an absent one.
std::optional<StackedPayloads> stacked_payloads(const std::optional<BatchSectionColumn>& column);

// Everything one batch's records are cut from, borrowed: the caller's arrays on the fast path,
// copied columns on the general path. Holds no Python object, so pool workers read it.
struct BatchSource {
  BatchShape shape;
  std::uint8_t positions_type_tag = 4;  // 4 float32, 7 float64
  StackedPayloads positions;
  StackedPayloads atomic_numbers;
  std::optional<StackedPayloads> energy;
  std::optional<StackedPayloads> forces;
  std::optional<StackedPayloads> charges;
  std::optional<StackedPayloads> velocities;
  std::optional<StackedPayloads> cell;
  std::optional<StackedPayloads> stress;
  std::optional<StackedPayloads> pbc;
  const std::vector<std::string>* names = nullptr;  // one per molecule, or none
  std::span<const BatchSectionColumn> custom;       // in column order
};

// The refusal of a batch whose input arrays another thread (or Python code the call ran) changed
// under it: resized, given new memory, or no longer of the dtype and layout that were checked.
inline constexpr std::string_view kArraysChanged = "input arrays of add_arrays_batch were changed while it ran";

// Tells, with the interpreter lock held, whether the memory a BatchSource borrows from the caller's
// arrays is still the memory it was made from; raises nothing.
using SourceCheck = molarium::pool::FunctionRef<bool()>;

// Checks one record per molecule (the lowest failing one is reported) and stores them with the
// batch's schema. The records are built block by block with the interpreter lock held, each block
// after `unchanged` passed (else ValueError kArraysChanged, nothing stored), and compressed and
// written with it released. A builder failure is ValueError with its text; a store failure
// ValueError with the engine error's display text.
// REQUIRES: exclusive access to the database; the interpreter lock held; the source's memory
// alive while `unchanged` holds.
PyResult<void> build_and_store(molarium::storage::AtomDatabase& database, const BatchSource& source,
                               SourceCheck unchanged);

// ---------------------------------------------------------------------------------------------
// Copies

// The element bytes of a C-contiguous array, little-endian (the record's byte order).
// REQUIRES: C-contiguous, native byte order, item size 1, 2, 4 or 8.
molarium::Bytes copy_contiguous_le(PyArrayObject* array);

// Appends `size` bytes of native-order elements of `item_size` bytes each as little-endian.
void append_native_as_le(molarium::Bytes& out, const std::uint8_t* data, std::size_t size, std::size_t item_size);

}  // namespace molarium::python::database
