// The ASE payload of PyMolecule: every field at once as one 11-element tuple, with the custom
// properties sorted into an arrays dict (per-atom data) and an info dict (everything else).
#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "engine/storage/dtypes.hpp"
#include "python/molecule/molecule.hpp"
#include "python/molecule/properties.hpp"

namespace molarium::python::molecule {

namespace {

namespace types = molarium::types;
using molarium::atom::Molecule;
using molarium::storage::SectionKind;
using molarium::storage::TypeTag;
using molarium::storage::kind_byte;
using molarium::storage::tag_byte;
using records::BuiltinField;
using records::SoaMoleculeView;
using records::SoaSectionSlot;

constexpr auto kMoleculeKind = SectionKind::Molecule;
constexpr auto kAtomKind = SectionKind::Atom;

// ASE keeps these names for its own fields; a custom property under one of them never becomes an
// array.
constexpr std::array<std::string_view, 9> kReservedAseArrayKeys{
    "pbc", "cell", "energy", "forces", "stress", "numbers", "charges", "positions", "velocities"};

bool is_reserved_ase_array_key(std::string_view key) {
  return std::find(kReservedAseArrayKeys.begin(), kReservedAseArrayKeys.end(), key) != kReservedAseArrayKeys.end();
}

constexpr std::size_t kTupleLength = 11;

// The two dictionaries being filled and what the caller asked to copy.
struct AseDicts {
  PyObject* arrays;  // borrowed
  PyObject* info;    // borrowed
  bool copy_info;
  bool copy_arrays;

  // Where a molecule-scope property goes: arrays when it is a per-atom array under a free key,
  // else info; nullptr when that dictionary was not asked for.
  PyObject* molecule_scope_target(bool per_atom_array, std::string_view key) const {
    if (copy_arrays && per_atom_array && !is_reserved_ase_array_key(key)) return arrays;
    return copy_info ? info : nullptr;
  }
  // Where an atom-scope property goes.
  PyObject* atom_scope_target(std::string_view key) const {
    return copy_arrays && !is_reserved_ase_array_key(key) ? arrays : nullptr;
  }
};

// Stores `value` (a new reference, taken over; nullptr means its conversion failed) under key.
// False with an exception set.
bool put(PyObject* dict, std::string_view key, PyObject* value) {
  binding::Ref owned = binding::Ref::steal(value);
  if (!owned) return false;
  binding::Ref text = binding::Ref::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
  if (!text) return false;
  return PyDict_SetItem(dict, text.get(), owned.get()) == 0;
}

// A molecule-scope section is a per-atom array when it is one of the six array types (tags 3 to
// 8) and holds exactly one element (or triple) per atom.
bool is_per_atom_section(const SoaSectionSlot& slot, std::size_t atom_count) {
  if (slot.type_tag < TypeTag::F64Array || slot.type_tag > TypeTag::I32Array) return false;
  const auto width = molarium::storage::dtypes::element_bytes(slot.type_tag);
  std::uint64_t expected = 0;
  return width && molarium::checked_mul(atom_count, *width, expected) && slot.payload_length == expected;
}

bool append_view_ase_properties(const SoaMoleculeView& view, const AseDicts& dicts) {
  for (const SoaSectionSlot& slot : view.custom_slots()) {
    // Every custom section's key is decoded, whatever its kind, so a damaged key is never skipped.
    auto key = view.lazy_section_key(slot);
    if (!key) {
      binding::raise_error(key.error());
      return false;
    }
    PyObject* target = nullptr;
    if (slot.kind == kAtomKind) {
      target = dicts.atom_scope_target(*key);
    } else if (slot.kind == kMoleculeKind) {
      target = dicts.molecule_scope_target(is_per_atom_section(slot, view.atom_count()), *key);
    }
    if (target != nullptr && !put(target, *key, property_section_to_pyobject(view, slot))) return false;
  }
  return true;
}

// Atom scope first, then molecule scope, so a key in both ends with its molecule-scope value.
bool append_owned_ase_properties(const Molecule& molecule, const AseDicts& dicts) {
  for (const auto& [key, value] : molecule.atom_properties) {
    PyObject* target = dicts.atom_scope_target(key);
    if (target != nullptr && !put(target, key, property_value_to_pyobject(value))) return false;
  }
  const std::size_t n = molecule.atom_count();
  for (const auto& [key, value] : molecule.properties) {
    PyObject* target = dicts.molecule_scope_target(property_array_length(value) == n, key);
    if (target != nullptr && !put(target, key, property_value_to_pyobject(value))) return false;
  }
  return true;
}

bool has_custom_properties(const MoleculeValue& value) {
  if (const auto* view = std::get_if<SoaMoleculeView>(&value)) return !view->custom_slots().empty();
  const Molecule& molecule = std::get<Molecule>(value);
  return !molecule.properties.empty() || !molecule.atom_properties.empty();
}

// Fills the last two elements of the tuple: the arrays and the info dict, each None when it
// stays empty. False with an exception set.
bool set_property_dicts(PyObject* tuple, const MoleculeValue& value, bool copy_info, bool copy_arrays) {
  binding::Ref arrays;
  binding::Ref info;
  if ((copy_info || copy_arrays) && has_custom_properties(value)) {
    arrays = binding::Ref::steal(PyDict_New());
    if (!arrays) return false;
    info = binding::Ref::steal(PyDict_New());
    if (!info) return false;
    const AseDicts dicts{arrays.get(), info.get(), copy_info, copy_arrays};
    const auto* view = std::get_if<SoaMoleculeView>(&value);
    const bool filled = view != nullptr ? append_view_ase_properties(*view, dicts)
                                        : append_owned_ase_properties(std::get<Molecule>(value), dicts);
    if (!filled) return false;
  }
  auto dict_or_none = [](binding::Ref& dict) {
    if (dict && PyDict_GET_SIZE(dict.get()) > 0) return dict.release();
    return Py_NewRef(Py_None);
  };
  PyTuple_SET_ITEM(tuple, kTupleLength - 2, dict_or_none(arrays));  // steals the reference
  PyTuple_SET_ITEM(tuple, kTupleLength - 1, dict_or_none(info));
  return true;
}

// The built-in elements 1 to 9 of the tuple, each read as its attribute getter reads it.
using FieldReader = PyObject* (*)(const MoleculeValue&);
template <BuiltinField Field>
PyObject* builtin_array(const MoleculeValue& value) {
  return builtin_array_object(value, Field);
}
constexpr std::array<FieldReader, kTupleLength - 2> kBuiltinElements{
    &atomic_numbers_array,
    &positions_array,
    &builtin_array<BuiltinField::Cell>,
    &pbc_object,
    &builtin_array<BuiltinField::Velocities>,
    &energy_object,
    &builtin_array<BuiltinField::Forces>,
    &builtin_array<BuiltinField::Stress>,
    &builtin_array<BuiltinField::Charges>,
};

// The tuple for a call bound by `parameters` (the two method names bind the same parameters).
PyObject* ase_tuple(const binding::Parameters<2>& parameters, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  const auto bound = binding::bind_arguments(parameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  bool copy_info = true;
  bool copy_arrays = true;
  if (PyObject* given = (*bound)[0]) {
    const auto flag = binding::to_bool_or_numpy_bool(given, "copy_info");
    if (!flag) return nullptr;
    copy_info = *flag;
  }
  if (PyObject* given = (*bound)[1]) {
    const auto flag = binding::to_bool_or_numpy_bool(given, "copy_arrays");
    if (!flag) return nullptr;
    copy_arrays = *flag;
  }

  const auto value = SharedMolecule::take(self);
  if (!value) return nullptr;
  binding::Ref tuple = binding::Ref::steal(PyTuple_New(kTupleLength));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < kBuiltinElements.size(); ++i) {
    PyObject* element = kBuiltinElements[i](**value);
    if (element == nullptr) return nullptr;  // the tuple releases what it holds so far
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), element);  // steals the reference
  }
  if (!set_property_dicts(tuple.get(), **value, copy_info, copy_arrays)) return nullptr;
  return tuple.release();
}

}  // namespace

PyObject* ase_payload(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<2> kParameters{"_ase_payload", {"copy_info", "copy_arrays"}, 0, 0};
  return ase_tuple(kParameters, self, args, nargs, kwnames);
}

PyObject* ase_builtin_tuple_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<2> kParameters{"_ase_builtin_tuple_fast", {"copy_info", "copy_arrays"}, 0, 0};
  return ase_tuple(kParameters, self, args, nargs, kwnames);
}

}  // namespace molarium::python::molecule
