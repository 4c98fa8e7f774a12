#include "index/core/indexable_object.h"

#include <atomic>

namespace veldrake {
namespace {

std::atomic<PyTypeObject*> g_indexable_type{nullptr};

}  // namespace

void register_indexable_type(PyTypeObject* type) {
  if (g_indexable_type.load(std::memory_order_relaxed) != type)
    g_indexable_type.store(type, std::memory_order_release);
}

bool is_indexable(PyObject* object) {
  PyTypeObject* type = g_indexable_type.load(std::memory_order_acquire);
  return type && PyObject_TypeCheck(object, type);
}

}  // namespace veldrake
