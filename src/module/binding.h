// The boundary between the interpreter and C++.
//
// Every function the interpreter calls runs its body through `guarded`, which turns whatever the
// body throws into a Python exception and a null/-1 result, in one place:
// - `PythonError`: a Python exception is already set; it passes through unchanged.
// - `InternalError` (and any other std::exception): raised as ext_runtime.PanicException(text).
// - std::bad_alloc: MemoryError.
// No C++ exception ever crosses into the interpreter.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <atomic>
#include <exception>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "module/internal_error.h"
#include "module/python_ref.h"

namespace veldrake {

// Thrown after a C API call failed and left its exception set.
class PythonError : public std::exception {
 public:
  const char* what() const noexcept override { return "Python exception set"; }
};

// Throws PythonError when `ok` is false (the failed call has set the exception).
inline void throw_if_failed(bool ok) {
  if (!ok) throw PythonError();
}
// Checks a new-reference result of the C API and adopts it.
inline OwnedRef checked(PyObject* result) {
  if (!result) throw PythonError();
  return OwnedRef::steal(result);
}

// ext_runtime.PanicException: derived from BaseException, created once.
PyObject* panic_exception_type();

// Sets the Python exception for the C++ exception currently being handled.
void raise_current_exception();

// Runs `body` and converts its outcome for the interpreter. `body` returns OwnedRef (for a
// function result) or int (for a slot that returns 0/-1).
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(std::declval<Body>()()) {
  using Result = decltype(body());
  try {
    drain_deferred_releases();
    return body();
  } catch (const abi::__forced_unwind&) {
    // The interpreter ends this thread while it exits (see ReleasedGil): unwinding further would
    // reach this noexcept frame, so the thread sleeps until the process is gone.
    park_thread_forever();
  } catch (...) {
    raise_current_exception();
    if constexpr (std::is_same_v<Result, int>) {
      return -1;
    } else {
      return Result{};
    }
  }
}

// Converts an object-returning body for a C API slot: a null pointer on failure.
template <class Body>
PyObject* guarded_object(Body&& body) noexcept {
  return guarded([&]() -> OwnedRef { return body(); }).release();
}

// Matches positional-or-keyword arguments against `names` with the interpreter's own rules and
// wording (missing, surplus, duplicate, unknown arguments raise TypeError naming `function`).
// Writes borrowed references into `out`, one per name; throws PythonError on failure.
void parse_arguments(PyObject* args, PyObject* kwargs, const char* function,
                     std::initializer_list<const char*> names, PyObject** out);

// Re-raises a pending TypeError (exactly that type) as "argument '<name>': <message>", keeping
// the original's cause; leaves any other pending exception as it is.
void relabel_type_error(const char* name);

// Runs `convert(object)`; a TypeError it raises becomes "argument '<name>': <message>" keeping
// the original's cause. Any other exception passes through unchanged.
template <class Convert>
auto convert_argument(const char* name, PyObject* object, Convert&& convert)
    -> decltype(convert(object)) {
  try {
    return convert(object);
  } catch (const PythonError&) {
    relabel_type_error(name);
    throw;
  }
}

// Sets TypeError(message) and throws PythonError.
[[noreturn]] void raise_type_error(const std::string& message);

// A str argument as UTF-8 text (TypeError for other types).
std::string_view text_argument(PyObject* object);

// A function as the entry of a PyMethodDef, which stores every calling convention as PyCFunction.
template <class Function>
PyCFunction method_entry(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
// A function as the value of a PyType_Slot.
template <class Function>
void* slot_entry(Function* function) {
  return reinterpret_cast<void*>(function);
}

// Creates a heap type from `type_spec` and returns a new reference to it. On failure sets
// RuntimeError("failed to create type object for <name>: <reason>"), caused by the original
// error, and throws PythonError.
PyTypeObject* create_type(PyType_Spec& type_spec, const char* name);

// A Python object made on first use and kept for the rest of the process (type objects, the
// exception type, optional imports). `make` returns an OwnedRef and may throw; it runs with the
// interpreter lock held, which it may let go for a moment (any allocation can run Python code),
// so two threads can both make the object: the first one stored is kept, the other dropped.
// A failed make stores nothing, so a later call tries again.
class ProcessObject {
 public:
  // The object (borrowed), or nullptr with the Python exception set.
  template <class Make>
  PyObject* get(Make&& make) noexcept {
    PyObject* current = object_.load(std::memory_order_acquire);
    if (current) return current;
    OwnedRef made = guarded([&]() -> OwnedRef { return make(); });
    if (!made) return nullptr;
    if (object_.compare_exchange_strong(current, made.get(), std::memory_order_acq_rel)) {
      return made.release();
    }
    return current;
  }

 private:
  std::atomic<PyObject*> object_{nullptr};
};

// A new, zero-filled instance of `type` from its own allocator (read through PyType_GetSlot,
// which every C-API layer provides).
inline OwnedRef allocate_instance(PyTypeObject* type) {
  return checked(reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0));
}

// Returns the memory of `self` to its type's allocator.
inline void free_instance(PyObject* self) {
  reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free))(self);
}

// The slot that refuses construction: "No constructor defined for <name>".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace veldrake
