#include "index/core/object_graph_lock.h"

#include "base/before_blocking.h"

namespace veldrake {
namespace {

std::mutex g_graph_mutex;
thread_local bool g_held_here = false;

}  // namespace

ObjectGraphLock::ObjectGraphLock() : owns_(!g_held_here) {
  if (!owns_) return;
  // A short call may come here holding the interpreter lock: it gives it up before it waits.
  if (!g_graph_mutex.try_lock()) {
    BeforeBlocking::now();
    g_graph_mutex.lock();
  }
  g_held_here = true;
}

ObjectGraphLock::~ObjectGraphLock() {
  if (!owns_) return;
  g_held_here = false;
  g_graph_mutex.unlock();
}

bool ObjectGraphLock::held_here() {
  return g_held_here;
}

}  // namespace veldrake
