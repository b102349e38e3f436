// PyMolecule's value: an owned molecule or a view of one stored record, and the one-way passage
// from the view to the owned state.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <variant>

#include "engine/atom.hpp"
#include "python/binding/binding.hpp"
#include "engine/records/record_view.hpp"

namespace molarium::python::molecule {

// One slot holds either state; replacing the view by the owned molecule happens in place, so every
// Python reference to the object sees the change.
using MoleculeValue = std::variant<molarium::atom::Molecule, records::SoaMoleculeView>;

inline bool is_view(const MoleculeValue& value) { return std::holds_alternative<records::SoaMoleculeView>(value); }

// Owned: the number of positions. View-backed: the record's atom count.
std::size_t atom_count(const MoleculeValue& value);

// The owned molecule, ready to be changed. A view is materialised and replaced by the result in
// the same slot, releasing the record bytes (and its share of the file mapping). If
// materialisation fails its message is returned and the value stays view-backed and unchanged.
// REQUIRES: exclusive access to the value.
Result<molarium::atom::Molecule*> ensure_owned(MoleculeValue& value);

// A new owned molecule that shares nothing with the value, which is not changed: the view
// materialised, or a deep copy of the owned molecule (both property maps included).
// REQUIRES: shared access to the value.
Result<molarium::atom::Molecule> clone_as_owned(const MoleculeValue& value);

// The result of read(const Molecule&) on the owned molecule itself, or on a materialised copy of
// a view (for readers that need the whole molecule: an owned one is not copied first). The value is
// not changed; a failed materialisation returns its message. REQUIRES: shared access to the value.
template <class Read>
auto read_as_owned(const MoleculeValue& value, Read&& read)
    -> Result<std::invoke_result_t<Read, const molarium::atom::Molecule&>> {
  if (const auto* owned = std::get_if<molarium::atom::Molecule>(&value)) return read(*owned);
  MOLARIUM_ASSIGN_OR_RETURN(auto copy, std::get<records::SoaMoleculeView>(value).materialize());
  return read(copy);
}

// Returns a new reference to a new PyMolecule holding the value, or nullptr with an exception set.
PyObject* new_py_molecule(MoleculeValue&& value);

// The value of a PyMolecule: borrowed access for readers, exclusive for writers (binding.hpp).
using SharedMolecule = binding::Shared<MoleculeValue>;
using ExclusiveMolecule = binding::Exclusive<MoleculeValue>;

// ---------------------------------------------------------------------------------------------
// Field readers, shared by the attribute getters and the ASE export. Each returns a new reference
// to a new object decoded afresh (a view is read in place, never materialised), or nullptr with
// an exception set. REQUIRES: shared access to the value.

// (n, 3) array, float32 or float64 as stored.
PyObject* positions_array(const MoleculeValue& value);
// (n,) uint8 array, a copy of the atomic numbers.
PyObject* atomic_numbers_array(const MoleculeValue& value);
// A Python float (a float32 energy widened exactly), or None.
PyObject* energy_object(const MoleculeValue& value);
// A tuple of three bools, or None.
PyObject* pbc_object(const MoleculeValue& value);
// The array of forces, velocities, charges, cell or stress, or None when the molecule lacks it.
// REQUIRES: field is one of those five.
PyObject* builtin_array_object(const MoleculeValue& value, records::BuiltinField field);

// ---------------------------------------------------------------------------------------------
// Methods defined in their own files (`self` is a PyMolecule). Each returns a new reference, or
// nullptr with an exception set.

// Custom properties (molecule_properties.cpp).
PyObject* get_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* set_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* property_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* has_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* delete_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Indexing by a str key (`key` borrowed, a str): the property's value, looked up as get_property
// looks it up. REQUIRES: shared access to the value.
PyObject* property_item(const MoleculeValue& value, PyObject* key);

// Pickling (molecule_pickle.cpp): (_molecule_from_pickle_bytes, (payload,)).
PyObject* molecule_reduce(PyObject* self, PyObject* unused);

// The ASE payload tuple (molecule_ase.cpp): _ase_payload and _ase_builtin_tuple_fast, which behave
// identically.
PyObject* ase_payload(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ase_builtin_tuple_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace molarium::python::molecule
