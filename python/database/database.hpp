// PyAtomDatabase: the Python class over one AtomDatabase, and the pieces of it that the batch and
// flat paths share (index lists, the positions context).
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "engine/storage/database.hpp"
#include "python/binding/binding.hpp"
#include "engine/records/record_view.hpp"

namespace molarium::python::database {

// What a PyAtomDatabase instance holds: exactly one open database, for the object's whole life.
using molarium::storage::AtomDatabase;

// A sequence of non-negative ints (objects with __index__ too), not a str. Returns nothing with
// TypeError "argument '<argument>': ..." set for a str, a non-sequence or an item that is no
// integer, and OverflowError set for a negative item.
// REQUIRES: the interpreter lock is held. Item conversion may run Python code, so call it before
// taking access to the database.
std::optional<std::vector<std::size_t>> to_index_list(PyObject* value, const char* argument);

// How this database's records lay out positions, or nothing with ValueError set (the engine
// error's display text). Rebuilt by every read.
std::optional<records::SoaContext> positions_context(const AtomDatabase& database);

// The methods built in their own files (fast calls with keywords, `self` a PyAtomDatabase).
// Each returns a new reference, or nullptr with an exception set.
PyObject* add_arrays_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_molecules_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace molarium::python::database
