// The module entry: PyInit__molarium_rs builds the module _molarium_rs once and registers its members.
#include <atomic>
#include <cstdint>

#include "python/binding/registry.hpp"

namespace molarium::python {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_molarium_rs",
    "Native core of molarium: molecules, and databases of molecules stored in one append-only file.",
    0,  // no per-module state; a size of 0 (not -1) makes a second import call the entry again
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module; the module and its classes belong to it.
std::atomic<std::int64_t> owner_interpreter{-1};
// The module built by the first successful import, kept for the life of the process.
PyObject* cached_module = nullptr;

// False with ImportError set when called from an interpreter other than the first importer.
bool check_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return false;
  std::int64_t expected = -1;
  if (owner_interpreter.compare_exchange_strong(expected, id) || expected == id) return true;
  PyErr_SetString(PyExc_ImportError,
                  "molarium._molarium_rs does not support sub-interpreters: import it from the first "
                  "interpreter only");
  return false;
}

// Adds a new reference to `member` under `name`. False with the member's exception set.
bool add_member(PyObject* module, const char* name, PyObject* member) {
  if (member == nullptr) return false;
  return PyModule_AddObjectRef(module, name, member) == 0;
}

// Returns a new reference to the module with its four members, or nullptr with an exception set.
// A failure keeps the members added before it.
PyObject* build_module() {
  // Created before anything can fail inside an entry point, so raising an internal fault later
  // never has to create a class.
  if (binding::internal_fault_type() == nullptr) return nullptr;
  binding::Ref module = binding::Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (!add_member(module.get(), "PyAtom", reinterpret_cast<PyObject*>(atom_type()))) return nullptr;
  if (!add_member(module.get(), "PyMolecule", reinterpret_cast<PyObject*>(molecule_type()))) return nullptr;
  if (!add_member(module.get(), "PyAtomDatabase", reinterpret_cast<PyObject*>(database_type()))) return nullptr;

  PyMethodDef* unpickle = molecule_from_pickle_bytes_def();
  // The module's __name__ is the full "molarium._molarium_rs" during import, so pickle finds the
  // function again by its __module__.
  binding::Ref module_name = binding::Ref::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  binding::Ref function = binding::Ref::steal(PyCFunction_NewEx(unpickle, module.get(), module_name.get()));
  if (!add_member(module.get(), unpickle->ml_name, function.get())) return nullptr;
  return module.release();
}

PyObject* init_module() {
  if (!check_interpreter()) return nullptr;
  if (cached_module == nullptr) {
    PyObject* module = build_module();
    if (module == nullptr) return nullptr;
    cached_module = module;  // the cache keeps this reference for good
  }
  return Py_NewRef(cached_module);
}

}  // namespace
}  // namespace molarium::python

PyMODINIT_FUNC PyInit__molarium_rs() { return molarium::python::binding::entry<molarium::python::init_module>(); }
