// Ownership of Python references and of the interpreter lock.
//
// Rules of use:
// - `OwnedRef` is one strong reference, used only while the interpreter lock is held.
//   `OwnedRef::steal` adopts a new reference (a C API result); `OwnedRef::new_reference` takes a
//   new one to an object the caller borrows.
// - `PyHandle` is a shared, thread-safe handle to one strong reference. Copies share that one
//   reference through an atomic count and need no interpreter lock, so engine code that runs with
//   the lock released can copy and drop values freely. When the last copy goes on a thread that
//   does not hold the lock, the reference is queued and released by the next thread of this module
//   that takes the lock back (`drain_deferred_releases`).
// - `ReleasedGil` releases the interpreter lock for a scope; `GilUntilBlocking` keeps it for short
//   engine work unless that work has to wait for a lock. Engine code never takes the interpreter
//   lock while it holds a lock of its own.
// - Threads the module starts run their body under a `NoGilScope`.
#pragma once

#include <Python.h>

#include <atomic>
#include <cassert>
#include <cstddef>
#include <optional>
#include <utility>

#include "base/before_blocking.h"

namespace veldrake {

// Marks the calling thread as running module code without the interpreter lock for the scope:
// the references it drops meanwhile are queued.
class NoGilScope {
 public:
  NoGilScope();
  ~NoGilScope();
  NoGilScope(const NoGilScope&) = delete;
  NoGilScope& operator=(const NoGilScope&) = delete;

 private:
  bool was_without_gil_;
};

// Marks the calling thread as holding the interpreter lock (or no longer) for code the interpreter
// runs with it, such as a type's dealloc: the references dropped meanwhile are released without
// asking the interpreter, which costs more than the release. Module code that lets the lock go
// meanwhile does so in a ReleasedGil, GilUntilBlocking or NoGilScope, which count over this mark.
// Returns the mark it replaces, for the caller to put back.
bool mark_interpreter_lock_held(bool held);

// True when this thread holds the interpreter lock: never inside a NoGilScope, else as the
// interpreter tells (any thread may drop a handle, and a thread ended by the interpreter at exit
// drops its handles while unwinding, without the lock).
bool interpreter_lock_held_here();

// Debug builds stop at a reference count change made without the interpreter lock.
inline void expect_interpreter_lock() {
  assert(PyGILState_Check() && "Python reference changed without the interpreter lock");
}

// Releases every reference queued by threads that dropped handles without the interpreter lock.
// Call with the lock held and no engine lock held (a release may run arbitrary Python code).
void drain_deferred_releases();

// Releases `object` now if this thread holds the interpreter lock, else queues it.
void release_reference(PyObject* object);

class OwnedRef {
 public:
  OwnedRef() = default;
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  static OwnedRef new_reference(PyObject* object) {
    if (object) expect_interpreter_lock();
    Py_XINCREF(object);
    return OwnedRef(object);
  }
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() {
    if (!object_) return;
    expect_interpreter_lock();
    Py_DECREF(object_);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (for returning it to the interpreter).
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

class PyHandle {
 public:
  PyHandle() = default;
  // Takes a new strong reference to `object`; interpreter lock held.
  static PyHandle new_reference(PyObject* object) {
    expect_interpreter_lock();
    Py_INCREF(object);
    return PyHandle(new Shared{object, {1}});
  }
  // Adopts the strong reference held by `ref`; interpreter lock held.
  static PyHandle adopt(OwnedRef ref) { return PyHandle(new Shared{ref.release(), {1}}); }
  // A strong reference of its own to the object `alive` holds, taken without the interpreter
  // lock: it is counted by the next thread of this module that takes the lock back
  // (`drain_deferred_releases`), and until then a copy of `alive` keeps the object.
  static PyHandle deferred_reference(const PyHandle& alive);

  PyHandle(const PyHandle& other) noexcept : shared_(other.shared_) {
    if (shared_) shared_->count.fetch_add(1, std::memory_order_relaxed);
  }
  PyHandle(PyHandle&& other) noexcept : shared_(std::exchange(other.shared_, nullptr)) {}
  PyHandle& operator=(PyHandle other) noexcept {
    std::swap(shared_, other.shared_);
    return *this;
  }
  ~PyHandle() { reset(); }

  void reset() {
    Shared* shared = std::exchange(shared_, nullptr);
    if (shared && shared->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      release_reference(shared->object);
      delete shared;
    }
  }

  // The object, borrowed: valid while this handle lives.
  PyObject* get() const { return shared_ ? shared_->object : nullptr; }
  explicit operator bool() const { return shared_ != nullptr; }
  // A new strong reference; interpreter lock held.
  OwnedRef new_ref() const { return OwnedRef::new_reference(get()); }
  // The handle as one opaque word, for holders that pack it tighter than a pointer's alignment,
  // and the handle back from that word; the word owns what the handle owned.
  void* into_word() && { return std::exchange(shared_, nullptr); }
  static PyHandle from_word(void* word) { return PyHandle(static_cast<Shared*>(word)); }
  // Whether the reference is counted yet (see deferred_reference): only then may the one that
  // owns it report it to the cycle collector. Interpreter lock held.
  bool is_counted() const { return shared_ && shared_->counted.load(std::memory_order_relaxed); }

 private:
  friend void drain_deferred_releases();

  struct Shared {
    PyObject* object;
    std::atomic<std::size_t> count;
    std::atomic<bool> counted{true};
  };
  explicit PyHandle(Shared* shared) : shared_(shared) {}
  // One pointer: values, which hold a handle each, are stored by the million.
  Shared* shared_ = nullptr;
};

// Releases the interpreter lock for the scope; on exit takes it back and drains queued releases.
// The scope counts as module work in progress for os.fork() (see fork_safety.h).
class ReleasedGil {
 public:
  ReleasedGil();
  ~ReleasedGil();
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
  bool was_without_gil_;
};

// Engine work that keeps the interpreter lock for the scope unless it comes to wait for an engine
// lock: it then releases the interpreter lock, for the rest of the scope, before it waits. For
// short calls, where releasing the lock and taking it back would cost more than the call, and
// taking it back could wait for a switch interval. As in ReleasedGil, no reference count is
// changed directly meanwhile (so no Python code runs, and the lock is never given away in the
// middle); on exit the lock is taken back if it was released, and queued releases are drained.
// The scope counts as module work in progress for os.fork() from its start.
class GilUntilBlocking {
 public:
  GilUntilBlocking();
  ~GilUntilBlocking();
  GilUntilBlocking(const GilUntilBlocking&) = delete;
  GilUntilBlocking& operator=(const GilUntilBlocking&) = delete;

 private:
  static void release(void* self);

  bool was_without_gil_;
  PyThreadState* released_ = nullptr;
  std::optional<BeforeBlocking> before_blocking_;  // ends before the queued releases run
};

// Ends the calling thread's part in the process: it sleeps until the process exits. For a thread
// the interpreter ends while it exits (see ReleasedGil's destructor).
[[noreturn]] void park_thread_forever();

}  // namespace veldrake
