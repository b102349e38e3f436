// PyAtomDatabase.add_arrays_batch: placeholder until its implementation lands in this file.
#include "python/database.hpp"

namespace molarium_rs::database {

PyObject* add_arrays_batch(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::set_error(PyExc_NotImplementedError, "add_arrays_batch is not implemented yet");
}

}  // namespace molarium_rs::database
