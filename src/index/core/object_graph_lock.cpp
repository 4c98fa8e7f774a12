#include "index/core/object_graph_lock.h"

namespace veldrake {
namespace {

std::mutex g_graph_mutex;
thread_local bool g_held_here = false;

}  // namespace

ObjectGraphLock::ObjectGraphLock() : owns_(!g_held_here) {
  if (!owns_) return;
  g_graph_mutex.lock();
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
