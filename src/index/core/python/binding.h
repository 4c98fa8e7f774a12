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
#include <new>
#include <type_traits>
#include <utility>

#include "base/internal_error.h"
#include "index/core/python/python_ref.h"

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

// Removes the pending exception and returns it, normalised (an instance, with its traceback).
OwnedRef take_pending_exception();

// Sets `type(message)` as the pending exception, with `cause` (may be empty) as its __cause__.
void set_exception_with_cause(PyObject* type, PyObject* message, OwnedRef cause);

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

}  // namespace veldrake
