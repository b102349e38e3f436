// The members of the module _molarium_rs, each built in its own file and added by the module entry.
#pragma once

#include "engine/atom.hpp"
#include "python/binding/binding.hpp"

namespace molarium::python {

// Each returns a borrowed reference to the class object, created on first use and kept for the
// life of the process, or nullptr with an exception set.
PyTypeObject* atom_type();      // PyAtom
PyTypeObject* molecule_type();  // PyMolecule
PyTypeObject* database_type();  // PyAtomDatabase

// The definition of the module function _molecule_from_pickle_bytes(payload); the module entry
// binds it to the module. The definition lives as long as the process.
PyMethodDef* molecule_from_pickle_bytes_def();

// Returns a new reference to a new PyAtom holding a copy of `atom`, or nullptr with an exception set.
PyObject* new_py_atom(const molarium::atom::Atom& atom);

}  // namespace molarium::python
