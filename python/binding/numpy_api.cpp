// Imports NumPy's C API into the module's one shared table and hands C++ buffers to NumPy.
#define MOLARIUM_DEFINES_NUMPY_API
#include "python/binding/numpy_api.hpp"

#include <stdexcept>
#include <string>

#include "engine/bytes.hpp"

namespace molarium::python::binding {

bool ensure_numpy() {
  if (PyArray_ImportNumPyAPI() == 0) return true;
  // A version check can fail after the table pointer was stored; clear it so that no later call
  // takes NumPy for imported, and the next one raises again.
  PyArray_API = nullptr;
  return false;
}

PyObject* array_over_holder(PyObject* holder, void* data, std::size_t byte_length, int type_num,
                            std::initializer_list<npy_intp> shape) {
  PyArray_Descr* descr = PyArray_DescrFromType(type_num);
  if (descr == nullptr) {
    Py_DECREF(holder);
    return nullptr;
  }
  std::uint64_t needed = static_cast<std::uint64_t>(PyDataType_ELSIZE(descr));
  for (npy_intp dim : shape) {
    if (dim < 0 || !molarium::checked_mul(needed, static_cast<std::uint64_t>(dim), needed)) {
      needed = UINT64_MAX;
      break;
    }
  }
  if (needed != byte_length) {
    Py_DECREF(descr);
    Py_DECREF(holder);
    throw std::logic_error("array shape does not match its buffer of " + std::to_string(byte_length) +
                           " bytes");
  }
  auto dims = const_cast<npy_intp*>(shape.begin());
  const int nd = static_cast<int>(shape.size());
  if (byte_length == 0) {
    // An empty vector may have no memory at all; NumPy allocates its own for an empty array.
    Py_DECREF(holder);
    return PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, nullptr, nullptr, 0, nullptr);
  }
  // PyArray_NewFromDescr steals the descriptor, also on failure.
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, nullptr, data, NPY_ARRAY_CARRAY, nullptr);
  if (array == nullptr) {
    Py_DECREF(holder);
    return nullptr;
  }
  // Steals the holder, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), holder) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

}  // namespace molarium::python::binding
