// NumPy's C API in this module: one shared function table imported on first use, and arrays that
// adopt a C++ buffer without copying it.
//
// Every source file reaches NumPy through this header (binding.hpp includes it), so all of them use
// the one table that numpy_api.cpp defines and fills; a file that included NumPy's headers on its
// own would get an empty private table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL molarium_rs_numpy_api
#ifndef MOLARIUM_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_API_VERSION
// The oldest NumPy the package runs with: built against NumPy 2 headers, the module must not use
// calls that NumPy 1.25 lacks.
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace molarium::python::binding {

// Imports NumPy's C API on the first call; later calls only check. Returns false with an exception
// set when NumPy cannot be imported. REQUIRES: the interpreter lock is held. Call it before the
// first NumPy call of every entry point that may be the first to use arrays.
bool ensure_numpy();

// The capsule name of the objects that own an adopted buffer.
inline constexpr const char* kBufferHolderName = "molarium._molarium_rs.buffer";

template <class T>
void free_buffer_holder(PyObject* holder) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(holder, kBufferHolderName));
}

// Returns a new reference to a writable, C-contiguous array of `shape` and NumPy type `type_num`
// over the holder's buffer, with the holder set as the array's base (it frees the buffer when the
// array goes); nullptr with an exception set. The holder reference is stolen in every case.
// Throws std::logic_error (an internal fault) when the buffer's byte length is not what the shape
// and the element type need.
PyObject* array_over_holder(PyObject* holder, void* data, std::size_t byte_length, int type_num,
                            std::initializer_list<npy_intp> shape);

// Returns a new reference to an array of `shape` and NumPy type `type_num` whose memory is the
// buffer's own, moved out of `buffer` (no copy), or nullptr with an exception set; the buffer is
// freed with the array. The array is writable and C-contiguous; element (i, j) of a 2-D shape is
// flat element i * shape[1] + j. An empty buffer gives an empty array in NumPy's own memory.
template <class T>
PyObject* array_from_buffer(std::vector<T>&& buffer, int type_num, std::initializer_list<npy_intp> shape) {
  if (!ensure_numpy()) return nullptr;
  auto* owned = new std::vector<T>(std::move(buffer));
  PyObject* holder = PyCapsule_New(owned, kBufferHolderName, &free_buffer_holder<T>);
  if (holder == nullptr) {
    delete owned;
    return nullptr;
  }
  return array_over_holder(holder, owned->data(), owned->size() * sizeof(T), type_num, shape);
}

}  // namespace molarium::python::binding
