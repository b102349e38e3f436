// TEMPORARY placeholder for the module member not built yet: _molecule_from_pickle_bytes. Delete
// this file when its real definition lands (it defines the same function, so the module will not
// link with both).
#include "python/registry.hpp"

namespace molarium_rs {
namespace {

PyObject* molecule_from_pickle_bytes(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::set_error(PyExc_NotImplementedError, "not implemented yet");
}

PyMethodDef unpickle_def = {"_molecule_from_pickle_bytes", py::method_cast(py::entry<molecule_from_pickle_bytes>),
                            METH_FASTCALL | METH_KEYWORDS, "_molecule_from_pickle_bytes(payload)\n--\n\n"};

}  // namespace

PyMethodDef* molecule_from_pickle_bytes_def() { return &unpickle_def; }

}  // namespace molarium_rs
