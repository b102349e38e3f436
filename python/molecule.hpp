// PyMolecule's value: an owned molecule or a view of one stored record, and the one-way passage
// from the view to the owned state.
#pragma once

#include <cstddef>
#include <variant>

#include "engine/atom.hpp"
#include "python/binding.hpp"
#include "python/soa.hpp"

namespace molarium_rs::molecule {

// One slot holds either state; replacing the view by the owned molecule happens in place, so every
// Python reference to the object sees the change.
using MoleculeValue = std::variant<molarium::atom::Molecule, soa::SoaMoleculeView>;

inline bool is_view(const MoleculeValue& value) { return std::holds_alternative<soa::SoaMoleculeView>(value); }

// Owned: the number of positions. View-backed: the record's atom count.
std::size_t atom_count(const MoleculeValue& value);

// The owned molecule, ready to be changed. A view is materialised and replaced by the result in
// the same slot, releasing the record bytes (and its share of the file mapping). If
// materialisation fails its message is returned and the value stays view-backed and unchanged.
// REQUIRES: exclusive access to the value.
ValueResult<molarium::atom::Molecule*> ensure_owned(MoleculeValue& value);

// A new owned molecule that shares nothing with the value, which is not changed: the view
// materialised, or a deep copy of the owned molecule (both property maps included).
// REQUIRES: shared access to the value.
ValueResult<molarium::atom::Molecule> clone_as_owned(const MoleculeValue& value);

// Returns a new reference to a new PyMolecule holding the value, or nullptr with an exception set.
PyObject* new_py_molecule(MoleculeValue&& value);

// The value of a PyMolecule: borrowed access for readers, exclusive for writers (binding.hpp).
using SharedMolecule = py::Shared<MoleculeValue>;
using ExclusiveMolecule = py::Exclusive<MoleculeValue>;

}  // namespace molarium_rs::molecule
