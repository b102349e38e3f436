// The thin layer between CPython and the module's C++ code: references, the interpreter lock,
// borrow flags, argument binding, error translation and heap classes.
//
// Reference conventions (NumPy's habit): a raw PyObject* parameter is borrowed unless the comment
// says otherwise; every function returning PyObject* says whether the reference is new or
// borrowed; owned references live in `Ref`. Include this header (never Python.h or NumPy's headers
// directly) so every source file sees the same configuration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "engine/error.hpp"
#include "python/binding/numpy_api.hpp"

namespace molarium::python::binding {

// ---------------------------------------------------------------------------------------------
// Owned references

// One owned (strong) reference, released when the Ref goes. Empty when it holds nullptr.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference; nullptr gives an empty Ref (so a failed call can be checked after).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference to a borrowed one.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  // REQUIRES: the interpreter lock is held (unless the Ref is empty).
  ~Ref() { reset(); }

  // Borrowed reference, valid while this Ref holds it.
  PyObject* get() const noexcept { return object_; }
  // Hands the reference over: the caller owns the returned new reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_CLEAR(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// The interpreter lock

// Takes the interpreter lock back for the thread whose state PyEval_SaveThread returned.
// Before CPython 3.14, a thread other than the finalizing one that does this while the interpreter
// finalizes is ended by a forced unwind (pthread_exit). That unwind must not cross a noexcept frame
// (std::terminate ends the process) nor run this module's destructors without the lock (they
// release Python references), so the thread is parked here instead, as CPython 3.14 parks it: the
// process exits around it with its own status. Returns only with the lock held.
void restore_thread(PyThreadState* state) noexcept;

// Releases the interpreter lock for its lifetime; other Python threads run meanwhile.
// Nothing inside the scope may touch a Python object (Ref included) or raise a Python exception,
// except between hold() and release().
class AllowThreads {
 public:
  AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
  // Also runs while a C++ exception unwinds, so the lock is held again when it reaches an entry
  // point's handler.
  ~AllowThreads() { restore_thread(state_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

  // Takes the lock back inside the scope, until release().
  // REQUIRES: the lock is released (the scope's start, or after release()).
  void hold() noexcept { restore_thread(state_); }
  // REQUIRES: after hold().
  void release() noexcept { state_ = PyEval_SaveThread(); }

 private:
  PyThreadState* state_;
};

// Runs work() with the interpreter lock released and returns its result.
template <class F>
decltype(auto) without_gil(F&& work) {
  AllowThreads released;
  return std::forward<F>(work)();
}

// ---------------------------------------------------------------------------------------------
// Errors

// Sets an exception of `type` whose message is the UTF-8 text (invalid bytes replaced, so a damaged
// key in a message cannot turn into a UnicodeDecodeError). Returns nullptr for `return set_error(..)`.
std::nullptr_t set_error(PyObject* type, std::string_view message);

// The one place where an engine error becomes a Python exception, with its display text: a
// refusal because another handle holds the file's write lock becomes BlockingIOError with errno
// EAGAIN (what fcntl.flock raises for a lock it would wait for); a handle that may no longer
// write (stale, or inherited across fork) RuntimeError; every other error ValueError
// ("Invalid data: ...", or a Value error's message as it is).
std::nullptr_t raise_error(const molarium::Error& error);
// A refusal found in the binding itself: ValueError with the message as it is.
std::nullptr_t raise_value_error(std::string_view message);

// For results without a value: false with an exception set as above on failure.
inline bool succeeded_or_raise(const molarium::Result<void>& result) {
  if (result) return true;
  raise_error(result.error());
  return false;
}

// The exception class of internal faults (a C++ exception that reached an entry point), derived
// directly from BaseException so that `except Exception` does not swallow it. Created once; not a
// member of the module. Returns a borrowed reference, or nullptr with an exception set.
PyObject* internal_fault_type();

// Turns the C++ exception being handled into a Python exception: std::bad_alloc becomes
// MemoryError, anything else the internal-fault exception with the C++ message.
// REQUIRES: called from a catch block, with the interpreter lock held.
void raise_current_exception() noexcept;

// Every function that CPython calls is written as a plain C++ function and registered as
// entry<function>: a wrapper that catches any C++ exception at the boundary, raises it as above
// and returns the failure value of the C API (nullptr, or -1 for int and Py_ssize_t results).
// The one thing it lets through is the forced unwind that ends a thread (pthread_exit, as CPython
// before 3.14 ends a daemon thread that runs Python code while the interpreter finalizes): it must
// go on to the thread's start, or the C library aborts the process.
template <auto Body>
struct EntryPoint;

template <class R, class... Args, R (*Body)(Args...)>
struct EntryPoint<Body> {
  static R call(Args... args) {
    try {
      return Body(args...);
    } catch (...) {
      // Only C++ exceptions have an exception_ptr; the forced unwind is a foreign one.
      if (!std::current_exception()) throw;
      raise_current_exception();
      if constexpr (std::is_pointer_v<R>) {
        return nullptr;
      } else {
        static_assert(std::is_integral_v<R>, "entry points return a pointer or an integer");
        return static_cast<R>(-1);
      }
    }
  }
};

template <auto Body>
inline constexpr auto entry = &EntryPoint<Body>::call;

// A method table wants every function as a PyCFunction; the flags tell CPython the real signature.
template <class F>
PyCFunction method_cast(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
// A type slot wants every function as void*.
template <class F>
void* slot_cast(F* function) {
  return reinterpret_cast<void*>(function);
}

// ---------------------------------------------------------------------------------------------
// Borrow flags

// Shared access (any number of readers) or exclusive access (one writer) to an object's value.
// A conflicting request is refused at once, never awaited: calls that release the interpreter lock
// can overlap with calls from other threads. Only touched with the interpreter lock held, which is
// what makes a plain integer enough.
class BorrowFlag {
 public:
  bool try_shared() noexcept {
    if (state_ == kExclusive) return false;
    ++state_;
    return true;
  }
  bool try_exclusive() noexcept {
    if (state_ != 0) return false;
    state_ = kExclusive;
    return true;
  }
  void release_shared() noexcept { --state_; }
  void release_exclusive() noexcept { state_ = 0; }

 private:
  static constexpr std::intptr_t kExclusive = -1;
  std::intptr_t state_ = 0;  // 0 free, n > 0 shared by n, kExclusive held by one writer
};

// The instance layout of every class of the module: the object header, the borrow flag and one
// value of the system's own type.
template <class T>
struct Instance {
  PyObject_HEAD
  BorrowFlag borrow;
  T value;
};

// REQUIRES: `object` is an instance of a class whose instances hold a T.
template <class T>
Instance<T>* instance_of(PyObject* object) noexcept {
  return reinterpret_cast<Instance<T>*>(object);
}

// RuntimeError "Already mutably borrowed" / "Already borrowed"; return nullptr.
std::nullptr_t raise_already_mutably_borrowed();
std::nullptr_t raise_already_borrowed();

// Shared access to an instance's value for the guard's lifetime. The guard holds a strong reference
// to the object, so the value outlives it. REQUIRES: created and destroyed with the lock held.
template <class T>
class Shared {
 public:
  // Returns nothing with RuntimeError "Already mutably borrowed" set when a writer holds the object.
  // REQUIRES: `object` holds a T.
  static std::optional<Shared> take(PyObject* object) {
    if (!instance_of<T>(object)->borrow.try_shared()) {
      raise_already_mutably_borrowed();
      return std::nullopt;
    }
    return Shared(object);
  }
  Shared(Shared&&) noexcept = default;
  Shared& operator=(Shared&&) = delete;
  ~Shared() {
    if (object_) instance_of<T>(object_.get())->borrow.release_shared();
  }

  const T& operator*() const noexcept { return instance_of<T>(object_.get())->value; }
  const T* operator->() const noexcept { return &**this; }
  // Borrowed reference to the object.
  PyObject* object() const noexcept { return object_.get(); }

 private:
  explicit Shared(PyObject* object) noexcept : object_(Ref::borrow(object)) {}
  Ref object_;
};

// Exclusive access to an instance's value for the guard's lifetime; as Shared otherwise.
template <class T>
class Exclusive {
 public:
  // Returns nothing with RuntimeError "Already borrowed" set when any access is held.
  static std::optional<Exclusive> take(PyObject* object) {
    if (!instance_of<T>(object)->borrow.try_exclusive()) {
      raise_already_borrowed();
      return std::nullopt;
    }
    return Exclusive(object);
  }
  Exclusive(Exclusive&&) noexcept = default;
  Exclusive& operator=(Exclusive&&) = delete;
  ~Exclusive() {
    if (object_) instance_of<T>(object_.get())->borrow.release_exclusive();
  }

  T& operator*() const noexcept { return instance_of<T>(object_.get())->value; }
  T* operator->() const noexcept { return &**this; }
  PyObject* object() const noexcept { return object_.get(); }

 private:
  explicit Exclusive(PyObject* object) noexcept : object_(Ref::borrow(object)) {}
  Ref object_;
};

// ---------------------------------------------------------------------------------------------
// Heap classes

// Returns a new reference to a new instance of `type` whose value is T(args...), or nullptr with an
// exception set. A C++ exception from T's constructor frees the half-built object and propagates.
// REQUIRES: `type`'s instances are Instance<T> and it deallocates them with dealloc_instance<T>.
template <class T, class... Args>
PyObject* new_instance(PyTypeObject* type, Args&&... args) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  Instance<T>* self = instance_of<T>(object);
  new (&self->borrow) BorrowFlag();
  try {
    new (&self->value) T(std::forward<Args>(args)...);
  } catch (...) {
    type->tp_free(object);
    Py_DECREF(type);  // the reference tp_alloc took for the instance
    throw;
  }
  return object;
}

// tp_dealloc of every class of the module.
template <class T>
void dealloc_instance(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  instance_of<T>(object)->value.~T();
  type->tp_free(object);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// The PyType_Spec of a module class whose instances hold a T: its name must be
// "molarium._molarium_rs.<Name>", so that __name__ and __qualname__ are the bare name and
// __module__ the module (a name without a module draws a DeprecationWarning on CPython 3.12+).
// The class derives from object, cannot be subclassed, and has no __dict__ and no weak references.
// `slots` must list Py_tp_dealloc with dealloc_instance<T> and end with {0, nullptr}.
template <class T>
constexpr PyType_Spec class_spec(const char* qualified_name, PyType_Slot* slots) {
  return PyType_Spec{qualified_name, static_cast<int>(sizeof(Instance<T>)), 0, Py_TPFLAGS_DEFAULT, slots};
}

// A class object created from its PyType_Spec on first use and then kept for the life of the process
// (the module refuses a second interpreter, so one object serves every caller).
class LazyClass {
 public:
  explicit constexpr LazyClass(PyType_Spec& spec) : spec_(spec) {}
  // Returns a borrowed reference, or nullptr with an exception set.
  PyTypeObject* get();

 private:
  PyType_Spec& spec_;
  PyTypeObject* type_ = nullptr;
};

// The name of a type as Python users read it: its __name__, without the module.
std::string_view bare_type_name(PyTypeObject* type);

// ---------------------------------------------------------------------------------------------
// Argument binding

// The parameters of one callable: `names` in order; the first `positional` may be given by
// position (the rest are keyword-only), and the first `required` must be given (REQUIRES:
// required <= positional <= N: keyword-only parameters are optional). Messages name the
// callable as "<function>()".
template <std::size_t N>
struct Parameters {
  const char* function;
  std::array<const char*, N> names;
  std::size_t positional = N;
  std::size_t required = N;
};

// One borrowed reference per parameter, nullptr where the caller gave none.
template <std::size_t N>
using Arguments = std::array<PyObject*, N>;

// The untyped form the binder works on.
struct ParameterList {
  const char* function;
  std::span<const char* const> names;
  std::size_t positional;
  std::size_t required;
};

// Bind the arguments of a METH_FASTCALL | METH_KEYWORDS call, or of tp_new (args tuple, kwargs
// dict or nullptr). Return false with TypeError set on a missing required argument, too many
// positional arguments, an unexpected keyword argument or an argument given twice, worded as
// CPython words them. `out` has one slot per parameter.
bool bind_fastcall(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> out);
bool bind_tuple_dict(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> out);

template <std::size_t N>
ParameterList parameter_list(const Parameters<N>& parameters) {
  return {parameters.function, parameters.names, parameters.positional, parameters.required};
}

template <std::size_t N>
std::optional<Arguments<N>> bind_arguments(const Parameters<N>& parameters, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<N> out{};
  if (!bind_fastcall(parameter_list(parameters), args, nargs, kwnames, out)) return std::nullopt;
  return out;
}

template <std::size_t N>
std::optional<Arguments<N>> bind_arguments(const Parameters<N>& parameters, PyObject* args,
                                           PyObject* kwargs) {
  Arguments<N> out{};
  if (!bind_tuple_dict(parameter_list(parameters), args, kwargs, out)) return std::nullopt;
  return out;
}

// ---------------------------------------------------------------------------------------------
// Argument conversion
//
// Each returns the converted value, or nothing with an exception set. A TypeError raised while
// converting becomes TypeError "argument '<argument>': <message>"; other exceptions pass unchanged.

// Re-raises a pending TypeError as TypeError "argument '<argument>': <message>"; leaves any other
// pending exception as it is. For conversions written outside this header.
void prefix_argument_error(const char* argument);

// Sets TypeError "argument '<argument>': <message>" and returns false.
bool raise_argument_type_error(const char* argument, std::string_view message);

// Walks a sequence argument (not a str) item by item, handing each item (borrowed) to convert,
// which returns false with an exception set to stop. Returns false with an exception set: the
// TypeError "argument '<argument>': ..." for a str or a non-sequence. Iterating takes a new
// reference to every item, so Python code run by a conversion cannot free the item under it,
// even if it changes the sequence.
template <class Convert>
bool for_each_sequence_item(PyObject* value, const char* argument, Convert&& convert) {
  if (PyUnicode_Check(value)) return raise_argument_type_error(argument, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(value)) {
    std::string message = "'";
    message += bare_type_name(Py_TYPE(value));
    message += "' object cannot be converted to 'Sequence'";
    return raise_argument_type_error(argument, message);
  }
  Ref iterator = Ref::steal(PyObject_GetIter(value));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!convert(item.get())) return false;
  }
  return PyErr_Occurred() == nullptr;
}

// Python's float protocol: float, int, objects with __float__ or __index__.
std::optional<double> to_double(PyObject* value, const char* argument);
// An int (or an object with __index__) in the target's range; outside it OverflowError
// "out of range integral type conversion attempted".
std::optional<std::uint8_t> to_u8(PyObject* value, const char* argument);
std::optional<std::int32_t> to_i32(PyObject* value, const char* argument);
std::optional<std::int64_t> to_i64(PyObject* value, const char* argument);
// A non-negative int (or an object with __index__); a negative one raises OverflowError.
std::optional<std::size_t> to_usize(PyObject* value, const char* argument);
// Exactly a Python bool.
std::optional<bool> to_bool(PyObject* value, const char* argument);
// A Python bool or a NumPy bool scalar.
std::optional<bool> to_bool_or_numpy_bool(PyObject* value, const char* argument);
// A Python str, as UTF-8 (a str that cannot be encoded raises UnicodeEncodeError).
std::optional<std::string> to_str(PyObject* value, const char* argument);
// An instance of `type` (the module's classes cannot be subclassed, so exactly that type).
// Returns the object, borrowed, or nullptr with TypeError set.
PyObject* to_instance(PyObject* value, PyTypeObject* type, const char* argument);

}  // namespace molarium::python::binding
