// PyAtomDatabase.add_arrays_batch: a whole batch of molecules from stacked arrays, checked, cut
// into one SOA record per molecule (straight from the caller's arrays on the fast path, from
// copied columns otherwise) and stored with one schema for the batch.
#include <bit>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/records/record_view.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"
#include "python/database/database.hpp"
#include "python/database/batch.hpp"

namespace molarium::python::database {

namespace {

namespace builtin = molarium::records::builtin;
using molarium::Bytes;
using molarium::ByteView;
using molarium::cat;
using molarium::storage::TypeTag;
using molarium::storage::tag_byte;
using molecule::array_of;

constexpr auto kBuiltinKind = molarium::storage::SectionKind::Builtin;
constexpr std::uint8_t kPositionsF32 = tag_byte(TypeTag::Vec3F32);
constexpr std::uint8_t kPositionsF64 = tag_byte(TypeTag::Vec3F64);

const std::uint8_t* bytes_of(PyArrayObject* array) {
  return reinterpret_cast<const std::uint8_t*>(PyArray_BYTES(array));
}

// ---------------------------------------------------------------------------------------------
// Arguments

// The arguments of one call after conversion. Every object is borrowed from the call, which holds
// it until the call returns; nullptr stands for an argument left out or given as None.
struct BatchArguments {
  PyObject* positions = nullptr;  // never nullptr
  PyArrayObject* atomic_numbers = nullptr;  // uint8, 2 dimensions when converted; never nullptr
  PyObject* energy = nullptr;
  PyObject* forces = nullptr;
  PyObject* charges = nullptr;
  PyObject* velocities = nullptr;
  PyObject* cell = nullptr;
  PyObject* stress = nullptr;
  PyArrayObject* pbc = nullptr;  // bool, 2 dimensions when converted
  std::optional<std::vector<std::string>> name;
  PyObject* properties = nullptr;       // dict
  PyObject* atom_properties = nullptr;  // dict
};

// Sets TypeError "argument '<argument>': <message>".
std::unexpected<Raised> argument_error(const char* argument, const std::string& message) {
  binding::set_error(PyExc_TypeError, message);
  binding::prefix_argument_error(argument);
  return std::unexpected(Raised{});
}

std::string not_converted(PyObject* value, std::string_view target) {
  return cat("'", binding::bare_type_name(Py_TYPE(value)), "' object cannot be converted to '", target, "'");
}

PyObject* given(PyObject* value) { return value == Py_None ? nullptr : value; }

PyResult<PyArrayObject*> to_array(PyObject* value, int type_num, const char* argument) {
  if (PyArrayObject* array = array_of(value, type_num, 2)) return array;
  return argument_error(argument, not_converted(value, "PyArray<T, D>"));
}

PyResult<PyObject*> to_dict(PyObject* value, const char* argument) {
  if (PyDict_Check(value)) return value;
  return argument_error(argument, not_converted(value, "PyDict"));
}

// A sequence of str, not a str itself.
PyResult<std::vector<std::string>> to_text_list(PyObject* value, const char* argument) {
  std::vector<std::string> texts;
  const bool converted = binding::for_each_sequence_item(value, argument, [&](PyObject* item) {
    auto text = binding::to_str(item, argument);
    if (!text) return false;
    texts.push_back(std::move(*text));
    return true;
  });
  if (!converted) return std::unexpected(Raised{});
  return texts;
}

// Converts in the order atomic_numbers, pbc, name, properties, atom_properties.
PyResult<BatchArguments> convert_arguments(const binding::Arguments<12>& bound) {
  const auto& [positions, atomic_numbers, energy, forces, charges, velocities, cell, stress, pbc, name, properties,
               atom_properties] = bound;
  if (!binding::ensure_numpy()) return std::unexpected(Raised{});
  BatchArguments arguments;
  arguments.positions = positions;
  auto numbers = to_array(atomic_numbers, NPY_UINT8, "atomic_numbers");
  if (!numbers) return std::unexpected(Raised{});
  arguments.atomic_numbers = *numbers;
  arguments.energy = given(energy);
  arguments.forces = given(forces);
  arguments.charges = given(charges);
  arguments.velocities = given(velocities);
  arguments.cell = given(cell);
  arguments.stress = given(stress);
  if (given(pbc) != nullptr) {
    auto flags = to_array(pbc, NPY_BOOL, "pbc");
    if (!flags) return std::unexpected(Raised{});
    arguments.pbc = *flags;
  }
  if (given(name) != nullptr) {
    auto names = to_text_list(name, "name");
    if (!names) return std::unexpected(Raised{});
    arguments.name = std::move(*names);
  }
  if (given(properties) != nullptr) {
    auto dict = to_dict(properties, "properties");
    if (!dict) return std::unexpected(Raised{});
    arguments.properties = *dict;
  }
  if (given(atom_properties) != nullptr) {
    auto dict = to_dict(atom_properties, "atom_properties");
    if (!dict) return std::unexpected(Raised{});
    arguments.atom_properties = *dict;
  }
  return arguments;
}

// ---------------------------------------------------------------------------------------------
// Checks both roads make with the same words

// Positions, once their dtype is known: (batch, n_atoms, 3) and C-contiguous.
PyResult<BatchShape> positions_shape(PyArrayObject* positions) {
  if (dim(positions, 2) != 3) return fail("positions must have shape (batch, n_atoms, 3)");
  if (!PyArray_IS_C_CONTIGUOUS(positions)) return fail("positions must be C-contiguous");
  return BatchShape{static_cast<std::size_t>(dim(positions, 0)), static_cast<std::size_t>(dim(positions, 1))};
}

// atomic_numbers and pbc are converted before the name list is iterated, and the call runs more
// Python code (custom values) and lets other threads run (between blocks): any of these may have
// changed their dtype or shape since, down to no dimensions to read. Checked again before their
// dimensions are read.
PyResult<void> check_converted_arrays(const BatchArguments& arguments) {
  auto as_converted = [](PyArrayObject* array, int type_num) {
    return array_of(reinterpret_cast<PyObject*>(array), type_num, 2) != nullptr;
  };
  if (!as_converted(arguments.atomic_numbers, NPY_UINT8) ||
      (arguments.pbc != nullptr && !as_converted(arguments.pbc, NPY_BOOL))) {
    return fail(kArraysChanged);
  }
  return {};
}

PyResult<void> check_atomic_numbers(PyArrayObject* atomic_numbers, const BatchShape& shape) {
  if (dim(atomic_numbers, 0) != shape.batch || dim(atomic_numbers, 1) != shape.n_atoms) {
    return fail(cat("atomic_numbers must have shape (", shape.batch, ", ", shape.n_atoms, ")"));
  }
  if (!PyArray_IS_C_CONTIGUOUS(atomic_numbers)) return fail("atomic_numbers must be C-contiguous");
  return {};
}

// Energy, once its dtype is known: one value per molecule, contiguous.
PyResult<void> check_energy(PyArrayObject* energy, std::size_t batch) {
  if (dim(energy, 0) != batch) {
    return fail(cat(builtin::kEnergy, " length (", dim(energy, 0), ") doesn't match batch size (", batch, ")"));
  }
  if (!PyArray_IS_C_CONTIGUOUS(energy)) return fail(cat(builtin::kEnergy, " must be C-contiguous"));
  return {};
}

// Bytes of one molecule's positions: n_atoms times the bytes of one triple.
PyResult<std::uint64_t> positions_bytes_per_molecule(std::size_t n_atoms, std::uint8_t positions_type_tag) {
  std::uint64_t bytes = 0;
  const auto positions_tag = static_cast<molarium::storage::TypeTag>(positions_type_tag);
  if (!molarium::checked_mul(n_atoms, records::type_tag_elem_bytes(positions_tag).value_or(0), bytes)) {
    return fail("positions byte length overflow");
  }
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// Fast path

enum class FastOutcome { NotApplicable, Stored, Failed };

// The built-in fields of the fast path, read in place from the caller's arrays.
struct FastFields {
  BatchShape shape;
  StackedPayloads positions;
  StackedPayloads atomic_numbers;
  std::optional<StackedPayloads> energy, forces, charges, velocities, cell, stress, pbc;

  // Two takes read the same memory with the same layout.
  bool operator==(const FastFields&) const = default;
};

// `object` as an array of dtype `type_num` with `ndim` dimensions; nullptr when it is not one.
// An absent field passes (`*passes` true with nullptr).
PyArrayObject* optional_array(PyObject* object, int type_num, int ndim, bool* passes) {
  if (object == nullptr) {
    *passes = true;
    return nullptr;
  }
  PyArrayObject* array = array_of(object, type_num, ndim);
  *passes = array != nullptr;
  return array;
}

// A (batch, n_atoms[, 3]) field of the fast path, in place.
PyResult<std::optional<StackedPayloads>> fast_per_atom_field(PyArrayObject* array, const BatchShape& shape,
                                                             bool triples, std::string_view field,
                                                             molarium::storage::TypeTag type_tag) {
  if (array == nullptr) return std::nullopt;
  if (!check_builtin_layout(array, shape.batch, shape.n_atoms, triples, field)) return std::unexpected(Raised{});
  std::uint64_t per_molecule = 0;
  const std::uint64_t row_bytes = static_cast<std::uint64_t>(PyArray_ITEMSIZE(array)) * (triples ? 3 : 1);
  if (!molarium::checked_mul(shape.n_atoms, row_bytes, per_molecule)) return fail(cat(field, " byte length overflow"));
  return StackedPayloads{bytes_of(array), per_molecule, type_tag};
}

// A cell or stress of the fast path: nothing that applies when the object is no float array with
// 3 dimensions (`*applies` false).
PyResult<std::optional<StackedPayloads>> fast_mat3_field(PyObject* object, std::size_t batch, std::string_view field,
                                                         bool* applies) {
  *applies = true;
  if (object == nullptr) return std::nullopt;
  auto array = molecule::PyFloatArray3::from_any(object);
  if (!array) {
    if (PyErr_Occurred()) return std::unexpected(Raised{});
    *applies = false;
    return std::nullopt;
  }
  auto slice = array->width() == molecule::FloatWidth::F32 ? FastMat3Slice::from_f32(array->array(), batch, field)
                                                            : FastMat3Slice::from_f64(array->array(), batch, field);
  if (!slice) return std::unexpected(Raised{});
  return StackedPayloads{slice->data(), slice->matrix_bytes(), slice->type_tag()};
}

// Tests a to g and checks 1 to 10 of the fast path: nothing (no exception) when it does not
// apply to these arguments, the fields in place when every check passes.
PyResult<std::optional<FastFields>> fast_fields(const BatchArguments& arguments) {
  // The fields are read in place as little-endian values: on another host only the general path,
  // which converts while it copies, stores the record's byte order.
  if constexpr (std::endian::native != std::endian::little) return std::nullopt;

  bool passes = false;
  PyArrayObject* positions = optional_array(arguments.positions, NPY_FLOAT32, 3, &passes);
  if (positions == nullptr) return std::nullopt;
  PyArrayObject* energy = optional_array(arguments.energy, NPY_FLOAT64, 1, &passes);
  if (!passes) return std::nullopt;
  PyArrayObject* forces = optional_array(arguments.forces, NPY_FLOAT32, 3, &passes);
  if (!passes) return std::nullopt;
  PyArrayObject* charges = optional_array(arguments.charges, NPY_FLOAT64, 2, &passes);
  if (!passes) return std::nullopt;
  PyArrayObject* velocities = optional_array(arguments.velocities, NPY_FLOAT32, 3, &passes);
  if (!passes) return std::nullopt;

  FastFields fields;
  auto shape = positions_shape(positions);
  if (!shape) return std::unexpected(Raised{});
  fields.shape = *shape;
  const std::size_t batch = shape->batch;
  auto positions_bytes = positions_bytes_per_molecule(shape->n_atoms, kPositionsF32);
  if (!positions_bytes) return std::unexpected(Raised{});
  fields.positions = {bytes_of(positions), *positions_bytes, static_cast<TypeTag>(kPositionsF32)};
  if (!check_converted_arrays(arguments)) return std::unexpected(Raised{});
  if (!check_atomic_numbers(arguments.atomic_numbers, *shape)) return std::unexpected(Raised{});
  fields.atomic_numbers = {bytes_of(arguments.atomic_numbers), shape->n_atoms, TypeTag{}};
  if (energy != nullptr) {
    if (!check_energy(energy, batch)) return std::unexpected(Raised{});
    fields.energy = StackedPayloads{bytes_of(energy), sizeof(double), TypeTag::F64};
  }

  auto forces_field = fast_per_atom_field(forces, *shape, true, builtin::kForces, TypeTag::Vec3F32);
  if (!forces_field) return std::unexpected(Raised{});
  fields.forces = *forces_field;
  auto charges_field = fast_per_atom_field(charges, *shape, false, builtin::kCharges, TypeTag::F64Array);
  if (!charges_field) return std::unexpected(Raised{});
  fields.charges = *charges_field;
  auto velocities_field =
      fast_per_atom_field(velocities, *shape, true, builtin::kVelocities, TypeTag::Vec3F32);
  if (!velocities_field) return std::unexpected(Raised{});
  fields.velocities = *velocities_field;

  bool applies = true;
  auto cell = fast_mat3_field(arguments.cell, batch, builtin::kCell, &applies);
  if (!cell) return std::unexpected(Raised{});
  if (!applies) return std::nullopt;
  fields.cell = *cell;
  auto stress = fast_mat3_field(arguments.stress, batch, builtin::kStress, &applies);
  if (!stress) return std::unexpected(Raised{});
  if (!applies) return std::nullopt;
  fields.stress = *stress;

  if (arguments.pbc != nullptr) {
    if (!check_builtin_layout(arguments.pbc, batch, 3, false, builtin::kPbc)) return std::unexpected(Raised{});
    fields.pbc = StackedPayloads{bytes_of(arguments.pbc), 3, TypeTag::Pbc};
  }
  if (arguments.name && arguments.name->size() != batch) {
    return fail(cat("name length (", arguments.name->size(), ") doesn't match batch size (", batch, ")"));
  }
  return fields;
}

FastOutcome try_add_arrays_batch_fast_canonical(AtomDatabase& database, const BatchArguments& arguments) {
  auto fields = fast_fields(arguments);
  if (!fields) return FastOutcome::Failed;
  if (!*fields) return FastOutcome::NotApplicable;

  auto custom = extract_custom_columns(arguments.properties, arguments.atom_properties, (*fields)->shape.batch,
                                       (*fields)->shape.n_atoms);
  if (!custom) return FastOutcome::Failed;

  // Reading the custom values may have run Python code, which can reshape an input array or even
  // give it new memory (ndarray.resize with refcheck=False): take the fields in place again, after
  // the last Python code of the call, and refuse a batch whose arrays changed under it.
  const BatchShape checked_shape = (*fields)->shape;
  fields = fast_fields(arguments);
  if (!fields || !*fields || (*fields)->shape != checked_shape) {
    // The same checks passed before the Python code ran: whatever fails now was changed by it.
    PyErr_Clear();
    fail(kArraysChanged);
    return FastOutcome::Failed;
  }

  const FastFields& in_place = **fields;
  BatchSource source;
  source.shape = in_place.shape;
  source.positions_type_tag = kPositionsF32;
  source.positions = in_place.positions;
  source.atomic_numbers = in_place.atomic_numbers;
  source.energy = in_place.energy;
  source.forces = in_place.forces;
  source.charges = in_place.charges;
  source.velocities = in_place.velocities;
  source.cell = in_place.cell;
  source.stress = in_place.stress;
  source.pbc = in_place.pbc;
  source.names = arguments.name ? &*arguments.name : nullptr;
  source.custom = *custom;
  // Another thread may run between the blocks of the store: each block is built only from the
  // arrays as they were checked.
  auto unchanged = [&] {
    auto now = fast_fields(arguments);
    if (!now) PyErr_Clear();
    return now && *now && **now == in_place;
  };
  return build_and_store(database, source, unchanged) ? FastOutcome::Stored : FastOutcome::Failed;
}

// ---------------------------------------------------------------------------------------------
// General path

PyResult<std::optional<BatchSectionColumn>> energy_column(PyObject* object, std::size_t batch) {
  if (object == nullptr) return std::nullopt;
  TypeTag type_tag = TypeTag::F32;
  PyArrayObject* energy = array_of(object, NPY_FLOAT32, 1);
  if (energy == nullptr) {
    type_tag = TypeTag::F64;
    energy = array_of(object, NPY_FLOAT64, 1);
  }
  if (energy == nullptr) return fail(cat(builtin::kEnergy, " must be a float32 or float64 ndarray with shape (batch,)"));
  if (!check_energy(energy, batch)) return std::unexpected(Raised{});
  BatchSectionColumn column;
  column.bytes = copy_contiguous_le(energy);
  column.per_molecule_bytes = static_cast<std::uint64_t>(PyArray_ITEMSIZE(energy));
  column.kind = kBuiltinKind;
  column.type_tag = type_tag;
  return column;
}

PyResult<void> add_arrays_batch_general(AtomDatabase& database, const BatchArguments& arguments) {
  std::uint8_t positions_type_tag = kPositionsF32;
  PyArrayObject* positions = array_of(arguments.positions, NPY_FLOAT32, 3);
  if (positions == nullptr) {
    positions_type_tag = kPositionsF64;
    positions = array_of(arguments.positions, NPY_FLOAT64, 3);
  }
  if (positions == nullptr) return fail("positions must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)");
  auto shape = positions_shape(positions);
  if (!shape) return std::unexpected(Raised{});
  const std::size_t batch = shape->batch;
  const std::size_t n_atoms = shape->n_atoms;
  const Bytes positions_bytes = copy_contiguous_le(positions);
  if (!check_converted_arrays(arguments)) return std::unexpected(Raised{});
  if (!check_atomic_numbers(arguments.atomic_numbers, *shape)) return std::unexpected(Raised{});
  const Bytes atomic_numbers = copy_contiguous_le(arguments.atomic_numbers);

  auto energy = energy_column(arguments.energy, batch);
  if (!energy) return std::unexpected(Raised{});
  auto forces = extract_optional_builtin_vec3_column(arguments.forces, batch, n_atoms, builtin::kForces);
  if (!forces) return std::unexpected(Raised{});
  auto charges = extract_optional_builtin_float_array_column(arguments.charges, batch, n_atoms);
  if (!charges) return std::unexpected(Raised{});
  auto velocities = extract_optional_builtin_vec3_column(arguments.velocities, batch, n_atoms, builtin::kVelocities);
  if (!velocities) return std::unexpected(Raised{});
  auto cell = extract_optional_builtin_mat3_column(arguments.cell, batch, builtin::kCell);
  if (!cell) return std::unexpected(Raised{});
  auto stress = extract_optional_builtin_mat3_column(arguments.stress, batch, builtin::kStress);
  if (!stress) return std::unexpected(Raised{});
  std::optional<BatchSectionColumn> pbc;
  if (arguments.pbc != nullptr) {
    auto column = extract_builtin_pbc_column(arguments.pbc, batch);
    if (!column) return std::unexpected(Raised{});
    pbc = std::move(*column);
  }
  auto name = extract_builtin_name_column(arguments.name, batch);
  if (!name) return std::unexpected(Raised{});
  auto custom = extract_custom_columns(arguments.properties, arguments.atom_properties, batch, n_atoms);
  if (!custom) return std::unexpected(Raised{});
  auto positions_per_molecule = positions_bytes_per_molecule(n_atoms, positions_type_tag);
  if (!positions_per_molecule) return std::unexpected(Raised{});

  // Everything below reads the copies only, so Python code run by the custom values cannot
  // change what is stored.
  BatchSource source;
  source.shape = *shape;
  source.positions_type_tag = positions_type_tag;
  source.positions = {positions_bytes.data(), *positions_per_molecule, static_cast<TypeTag>(positions_type_tag)};
  source.atomic_numbers = {atomic_numbers.data(), n_atoms, TypeTag{}};
  source.energy = stacked_payloads(*energy);
  source.forces = stacked_payloads(*forces);
  source.charges = stacked_payloads(*charges);
  source.velocities = stacked_payloads(*velocities);
  source.cell = stacked_payloads(*cell);
  source.stress = stacked_payloads(*stress);
  source.pbc = stacked_payloads(pbc);
  source.names = *name ? &*(*name)->var_payloads : nullptr;
  source.custom = *custom;
  return build_and_store(database, source, [] { return true; });
}

// The body of add_arrays_batch once the arguments are converted: the fast path when it applies,
// otherwise the general path with the same arguments.
PyResult<void> add_arrays_batch_impl(AtomDatabase& database, const BatchArguments& arguments) {
  switch (try_add_arrays_batch_fast_canonical(database, arguments)) {
    case FastOutcome::Stored:
      return {};
    case FastOutcome::Failed:
      return std::unexpected(Raised{});
    case FastOutcome::NotApplicable:
      break;
  }
  return add_arrays_batch_general(database, arguments);
}

}  // namespace

PyObject* add_arrays_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<12> kParameters{
      "add_arrays_batch",
      {"positions", "atomic_numbers", "energy", "forces", "charges", "velocities", "cell", "stress", "pbc", "name",
       "properties", "atom_properties"},
      2,
      2};
  auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  auto database = binding::Exclusive<AtomDatabase>::take(self);
  if (!database) return nullptr;
  auto arguments = convert_arguments(*bound);
  if (!arguments) return nullptr;
  if (!add_arrays_batch_impl(**database, *arguments)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace molarium::python::database
