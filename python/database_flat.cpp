// PyAtomDatabase.get_molecules_flat: placeholder until its implementation lands in this file.
#include "python/database.hpp"

namespace molarium_rs::database {

PyObject* get_molecules_flat(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::set_error(PyExc_NotImplementedError, "get_molecules_flat is not implemented yet");
}

}  // namespace molarium_rs::database
