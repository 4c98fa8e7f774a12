#include "index/core/python/python_ref.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "base/fork_safety.h"
#include "base/hot_thread_local.h"

namespace veldrake {
namespace {

// Set while this thread runs module code that must not touch reference counts directly.
VELDRAKE_HOT_THREAD_LOCAL bool g_without_gil = false;
// Set while this thread runs code the interpreter called with its lock held.
VELDRAKE_HOT_THREAD_LOCAL bool g_gil_held = false;

// References dropped on threads that had released the interpreter lock, and references taken
// there, each with a copy of a handle that keeps its object alive until it is counted.
struct DeferredReferences {
  std::mutex mutex;
  std::vector<PyObject*> released;
  std::vector<std::pair<PyHandle, PyHandle>> uncounted;
};

// Never destroyed: daemon threads may still queue references while the process exits.
DeferredReferences& deferred() {
  static DeferredReferences* const queue = new DeferredReferences;
  return *queue;
}

std::atomic<bool> g_has_deferred{false};

}  // namespace

NoGilScope::NoGilScope() : was_without_gil_(std::exchange(g_without_gil, true)) {}

NoGilScope::~NoGilScope() {
  g_without_gil = was_without_gil_;
}

bool mark_interpreter_lock_held(bool held) {
  return std::exchange(g_gil_held, held);
}

bool interpreter_lock_held_here() {
  // The flag also covers interpreters whose own check cannot tell (it answers yes for every
  // thread once a subinterpreter exists).
  return !g_without_gil && (g_gil_held || PyGILState_Check());
}

void release_reference(PyObject* object) {
  if (interpreter_lock_held_here()) {
    Py_DECREF(object);
    return;
  }
  DeferredReferences& queue = deferred();
  std::lock_guard lock(queue.mutex);
  queue.released.push_back(object);
  g_has_deferred.store(true, std::memory_order_release);
}

PyHandle PyHandle::deferred_reference(const PyHandle& alive) {
  PyHandle own(new Shared{alive.get(), {1}, false});
  DeferredReferences& queue = deferred();
  std::lock_guard lock(queue.mutex);
  queue.uncounted.emplace_back(own, alive);
  g_has_deferred.store(true, std::memory_order_release);
  return own;
}

void drain_deferred_releases() {
  if (!g_has_deferred.load(std::memory_order_acquire)) return;
  expect_interpreter_lock();
  std::vector<PyObject*> pending;
  std::vector<std::pair<PyHandle, PyHandle>> uncounted;
  {
    DeferredReferences& queue = deferred();
    std::lock_guard lock(queue.mutex);
    pending.swap(queue.released);
    uncounted.swap(queue.uncounted);
    g_has_deferred.store(false, std::memory_order_relaxed);
  }
  for (auto& [own, alive] : uncounted) {
    Py_INCREF(own.get());
    own.shared_->counted.store(true, std::memory_order_relaxed);
  }
  uncounted.clear();
  // Releasing may run finalizers that drop more handles; those land in the queue again only if
  // they run with the lock released, which they do not.
  for (PyObject* object : pending) Py_DECREF(object);
}

void park_thread_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

namespace {

// Takes the interpreter lock back after engine work. While the interpreter exits, CPython before
// 3.14 ends a thread that asks for the lock back with pthread_exit. Its unwinding would run into
// the caller, a destructor, which is noexcept (and so are the wrappers of every call from the
// interpreter): std::terminate, and the process aborts. Checking for finalization first cannot
// help, as it may begin while this thread waits for the lock. So the unwinding is stopped right
// here, where only C frames lie above: the thread never leaves the handler and sleeps until the
// process is gone, as CPython 3.14 does itself. It holds no lock of ours (the engine work is
// over) and runs no destructor without the lock.
void take_back_interpreter_lock(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    park_thread_forever();
  }
}

}  // namespace

ReleasedGil::ReleasedGil() : was_without_gil_(g_without_gil) {
  enter_engine_work();
  g_without_gil = true;
  state_ = PyEval_SaveThread();
}

ReleasedGil::~ReleasedGil() {
  leave_engine_work();
  take_back_interpreter_lock(state_);
  g_without_gil = was_without_gil_;
  if (!g_without_gil) drain_deferred_releases();
}

GilUntilBlocking::GilUntilBlocking() : was_without_gil_(g_without_gil) {
  // Inside engine work already, there is no interpreter lock to give up.
  if (!was_without_gil_) before_blocking_.emplace(&GilUntilBlocking::release, this);
  enter_engine_work();
  g_without_gil = true;
}

void GilUntilBlocking::release(void* self) {
  static_cast<GilUntilBlocking*>(self)->released_ = PyEval_SaveThread();
}

GilUntilBlocking::~GilUntilBlocking() {
  // A release drained below may run Python code that comes back into the module and waits for a
  // lock: by then this scope has nothing to give up.
  before_blocking_.reset();
  leave_engine_work();
  if (released_) take_back_interpreter_lock(released_);
  g_without_gil = was_without_gil_;
  if (!g_without_gil) drain_deferred_releases();
}

}  // namespace veldrake
