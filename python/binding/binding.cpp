// The binding layer's out-of-line parts: error translation, argument binding and conversion, and
// lazily created classes.
#include "python/binding/binding.hpp"

#include <unistd.h>

#include <cerrno>
#include <exception>
#include <string>
#include <vector>

namespace molarium::python::binding {

// ---------------------------------------------------------------------------------------------
// The interpreter lock

void restore_thread(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // C code throws nothing else. Never leaves this handler, so the unwind is neither finished nor
    // swallowed; the interpreter lock is not held (CPython released it before ending the thread).
    for (;;) ::pause();
  }
}

// ---------------------------------------------------------------------------------------------
// Errors

std::nullptr_t set_error(PyObject* type, std::string_view message) {
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

std::nullptr_t raise_error(const molarium::Error& error) {
  switch (error.kind()) {
    case molarium::Error::Kind::Locked: {
      // OSError(errno, strerror) fills in .errno and .strerror, as the operating system's own do.
      const std::string text = error.display();
      Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
      if (!message) return nullptr;
      Ref arguments = Ref::steal(Py_BuildValue("(iO)", EAGAIN, message.get()));
      if (arguments) PyErr_SetObject(PyExc_BlockingIOError, arguments.get());
      return nullptr;
    }
    case molarium::Error::Kind::Stale:
      return set_error(PyExc_RuntimeError, error.display());
    default:
      return set_error(PyExc_ValueError, error.display());
  }
}

std::nullptr_t raise_value_error(std::string_view message) { return set_error(PyExc_ValueError, message); }

PyObject* internal_fault_type() {
  // Kept for the life of the process, like the classes.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("molarium._molarium_rs.PanicException", PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    if (PyObject* type = internal_fault_type()) set_error(type, fault.what());
  } catch (...) {
    if (PyObject* type = internal_fault_type()) set_error(type, "unknown C++ exception");
  }
}

std::nullptr_t raise_already_mutably_borrowed() { return set_error(PyExc_RuntimeError, "Already mutably borrowed"); }

std::nullptr_t raise_already_borrowed() { return set_error(PyExc_RuntimeError, "Already borrowed"); }

// ---------------------------------------------------------------------------------------------
// Classes

PyTypeObject* LazyClass::get() {
  if (type_ != nullptr) return type_;
  PyObject* created = PyType_FromSpec(&spec_);
  if (created == nullptr) return nullptr;
  // Creating a type can run the garbage collector and so, in theory, another thread that created
  // the same class meanwhile: keep the first one.
  if (type_ != nullptr) {
    Py_DECREF(created);
    return type_;
  }
  type_ = reinterpret_cast<PyTypeObject*>(created);
  return type_;
}

std::string_view bare_type_name(PyTypeObject* type) {
  std::string_view name = type->tp_name;
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

// ---------------------------------------------------------------------------------------------
// Argument binding

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c' (CPython's list of missing arguments).
std::string quoted_list(std::span<const char* const> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

class Binder {
 public:
  Binder(const ParameterList& parameters, std::span<PyObject*> out) : parameters_(parameters), out_(out) {
    for (PyObject*& slot : out_) slot = nullptr;
  }

  bool positional(PyObject* const* args, Py_ssize_t nargs) {
    const auto given = static_cast<std::size_t>(nargs);
    if (given > parameters_.positional) return too_many_positional(given);
    for (std::size_t i = 0; i < given; ++i) out_[i] = args[i];
    return true;
  }

  bool keyword(PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", parameters_.function);
      return false;
    }
    for (std::size_t i = 0; i < parameters_.names.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(name, parameters_.names[i]) != 0) continue;
      if (out_[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", parameters_.function,
                     parameters_.names[i]);
        return false;
      }
      out_[i] = value;
      return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", parameters_.function, name);
    return false;
  }

  bool finish() {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < parameters_.required; ++i) {
      if (out_[i] == nullptr) missing.push_back(parameters_.names[i]);
    }
    if (missing.empty()) return true;
    const char* noun = missing.size() == 1 ? "argument" : "arguments";
    set_error(PyExc_TypeError, std::string(parameters_.function) + "() missing " + std::to_string(missing.size()) +
                                   " required positional " + noun + ": " + quoted_list(missing));
    return false;
  }

 private:
  bool too_many_positional(std::size_t given) {
    const std::size_t most = parameters_.positional;
    std::string takes = most == parameters_.required
                            ? std::to_string(most)
                            : "from " + std::to_string(parameters_.required) + " to " + std::to_string(most);
    set_error(PyExc_TypeError, std::string(parameters_.function) + "() takes " + takes + " positional argument" +
                                   (most == 1 && most == parameters_.required ? "" : "s") + " but " +
                                   std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    return false;
  }

  const ParameterList& parameters_;
  std::span<PyObject*> out_;
};

}  // namespace

bool bind_fastcall(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> out) {
  Binder binder(parameters, out);
  // Vectorcall callers may set the "offset allowed" bit in nargs.
  nargs = PyVectorcall_NARGS(nargs);
  if (!binder.positional(args, nargs)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!binder.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
    }
  }
  return binder.finish();
}

bool bind_tuple_dict(const ParameterList& parameters, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  Binder binder(parameters, out);
  if (!binder.positional(PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args))) return false;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!binder.keyword(name, value)) return false;
    }
  }
  return binder.finish();
}

// ---------------------------------------------------------------------------------------------
// Argument conversion

namespace {

// The pending exception as one normalised object (a new reference), clearing it.
Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

void restore_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

std::nullptr_t overflow() { return set_error(PyExc_OverflowError, "out of range integral type conversion attempted"); }

// An int, or an object with __index__, in [low, high].
std::optional<long long> to_integer(PyObject* value, long long low, long long high, const char* argument) {
  int overflowed = 0;
  const long long result = PyLong_AsLongLongAndOverflow(value, &overflowed);
  if (overflowed != 0) {
    overflow();
    return std::nullopt;
  }
  if (result == -1 && PyErr_Occurred()) {
    prefix_argument_error(argument);
    return std::nullopt;
  }
  if (result < low || result > high) {
    overflow();
    return std::nullopt;
  }
  return result;
}

std::nullptr_t raise_not_converted(PyObject* value, std::string_view target, const char* argument) {
  set_error(PyExc_TypeError,
            std::string("'") + Py_TYPE(value)->tp_name + "' object cannot be converted to '" + std::string(target) + "'");
  prefix_argument_error(argument);
  return nullptr;
}

}  // namespace

bool raise_argument_type_error(const char* argument, std::string_view message) {
  set_error(PyExc_TypeError, std::string(message));
  prefix_argument_error(argument);
  return false;
}

void prefix_argument_error(const char* argument) {
  // Only TypeError itself: a subclass or any other exception tells the caller something else.
  if (PyErr_Occurred() != PyExc_TypeError) return;
  Ref original = fetch_exception();
  Ref cause = Ref::steal(PyException_GetCause(original.get()));
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", argument, original.get()));
  if (!message) return;
  PyErr_SetObject(PyExc_TypeError, message.get());
  if (cause) {
    Ref remapped = fetch_exception();
    PyException_SetCause(remapped.get(), cause.release());  // steals the cause
    restore_exception(std::move(remapped));
  }
}

std::optional<double> to_double(PyObject* value, const char* argument) {
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) {
    prefix_argument_error(argument);
    return std::nullopt;
  }
  return result;
}

std::optional<std::uint8_t> to_u8(PyObject* value, const char* argument) {
  auto result = to_integer(value, 0, UINT8_MAX, argument);
  if (!result) return std::nullopt;
  return static_cast<std::uint8_t>(*result);
}

std::optional<std::int32_t> to_i32(PyObject* value, const char* argument) {
  auto result = to_integer(value, INT32_MIN, INT32_MAX, argument);
  if (!result) return std::nullopt;
  return static_cast<std::int32_t>(*result);
}

std::optional<std::int64_t> to_i64(PyObject* value, const char* argument) {
  auto result = to_integer(value, INT64_MIN, INT64_MAX, argument);
  if (!result) return std::nullopt;
  return static_cast<std::int64_t>(*result);
}

std::optional<std::size_t> to_usize(PyObject* value, const char* argument) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) {
    prefix_argument_error(argument);
    return std::nullopt;
  }
  // OverflowError for a negative or too large value, as CPython words it.
  const std::size_t result = PyLong_AsSize_t(index.get());
  if (result == static_cast<std::size_t>(-1) && PyErr_Occurred()) return std::nullopt;
  return result;
}

std::optional<bool> to_bool(PyObject* value, const char* argument) {
  if (!PyBool_Check(value)) {
    raise_not_converted(value, "bool", argument);
    return std::nullopt;
  }
  return value == Py_True;
}

std::optional<bool> to_bool_or_numpy_bool(PyObject* value, const char* argument) {
  if (PyBool_Check(value)) return value == Py_True;
  if (!ensure_numpy()) return std::nullopt;
  if (!PyArray_IsScalar(value, Bool)) {
    raise_not_converted(value, "bool", argument);
    return std::nullopt;
  }
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return std::nullopt;
  return truth == 1;
}

std::optional<std::string> to_str(PyObject* value, const char* argument) {
  if (!PyUnicode_Check(value)) {
    raise_not_converted(value, "str", argument);
    return std::nullopt;
  }
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &length);
  if (utf8 == nullptr) return std::nullopt;
  return std::string(utf8, static_cast<std::size_t>(length));
}

PyObject* to_instance(PyObject* value, PyTypeObject* type, const char* argument) {
  if (!PyObject_TypeCheck(value, type)) return raise_not_converted(value, bare_type_name(type), argument);
  return value;
}

}  // namespace molarium::python::binding
