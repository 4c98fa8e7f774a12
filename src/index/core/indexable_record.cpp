#include "index/core/indexable_record.h"

#include <atomic>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "base/compact_mutex.h"
#include "index/core/python/binding.h"

namespace veldrake {
namespace {

// Released ids, reused newest first: ids stay few and dense, which keeps the indexes' sets of ids
// small.
CompactMutex g_free_ids_mutex;  // taken for a few instructions, on every creation
std::vector<uint32_t> g_free_ids;
// The next id never handed out; it wraps to 0 once 2^32 - 1 has been handed out.
std::atomic<uint32_t> g_next_id{1};
// Never destroyed: objects may die while the process exits.
constinit IdTable<PyObject*> g_objects_by_id;

std::optional<uint32_t> reuse_id() {
  std::lock_guard lock(g_free_ids_mutex);
  if (g_free_ids.empty()) return std::nullopt;
  uint32_t id = g_free_ids.back();
  g_free_ids.pop_back();
  return id;
}

}  // namespace

uint32_t allocate_id() {
  if (auto id = reuse_id()) return *id;
  uint32_t next = g_next_id.load(std::memory_order_relaxed);
  do {
    if (next == 0) {
      PyErr_SetString(PyExc_OverflowError,
                      "no object id left: 4294967295 Indexable objects exist at once");
      throw PythonError();
    }
  } while (!g_next_id.compare_exchange_weak(next, next + 1, std::memory_order_relaxed));
  // Out of memory the id is lost rather than released: a released id is reused without a check.
  if (!g_objects_by_id.make_room(next)) {
    PyErr_NoMemory();
    throw PythonError();
  }
  return next;
}

void release_id(uint32_t id) {
  std::lock_guard lock(g_free_ids_mutex);
  // Called from a destructor, which cannot fail: out of memory the id is lost, not reused.
  try {
    g_free_ids.push_back(id);
  } catch (const std::bad_alloc&) {
  }
}

const IdTable<PyObject*>& objects_by_id() {
  return g_objects_by_id;
}

IndexableRecord::IndexableRecord(uint32_t id, PyObject* object) : id(id) {
  g_objects_by_id.set(id, object);
}

IndexableRecord::~IndexableRecord() {
  g_objects_by_id.set(id, nullptr);
  release_id(id);
}

void reset_ids_for_testing(uint32_t next) {
  std::lock_guard lock(g_free_ids_mutex);
  g_free_ids.clear();
  g_next_id.store(next);
}

}  // namespace veldrake
