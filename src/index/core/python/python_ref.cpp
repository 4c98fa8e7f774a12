#include "index/core/python/python_ref.h"

#include <mutex>
#include <vector>

namespace veldrake {
namespace {

thread_local bool g_gil_released = false;

// References dropped on threads that had released the interpreter lock.
std::mutex g_deferred_mutex;
std::vector<PyObject*> g_deferred;
std::atomic<bool> g_has_deferred{false};

}  // namespace

void release_reference(PyObject* object) {
  if (!g_gil_released) {
    Py_DECREF(object);
    return;
  }
  std::lock_guard lock(g_deferred_mutex);
  g_deferred.push_back(object);
  g_has_deferred.store(true, std::memory_order_release);
}

void drain_deferred_releases() {
  if (!g_has_deferred.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> pending;
  {
    std::lock_guard lock(g_deferred_mutex);
    pending.swap(g_deferred);
    g_has_deferred.store(false, std::memory_order_relaxed);
  }
  // Releasing may run finalizers that drop more handles; those land in the queue again only if
  // they run with the lock released, which they do not.
  for (PyObject* object : pending) Py_DECREF(object);
}

ReleasedGil::ReleasedGil() : was_released_(g_gil_released) {
  g_gil_released = true;
  state_ = PyEval_SaveThread();
}

ReleasedGil::~ReleasedGil() {
  PyEval_RestoreThread(state_);
  g_gil_released = was_released_;
  if (!g_gil_released) drain_deferred_releases();
}

AcquiredGil::AcquiredGil() : state_(PyGILState_Ensure()), was_released_(g_gil_released) {
  g_gil_released = false;
}

AcquiredGil::~AcquiredGil() {
  g_gil_released = was_released_;
  PyGILState_Release(state_);
}

}  // namespace veldrake
