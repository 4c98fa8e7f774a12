#include "index/interfaces/collector.h"

namespace veldrake {

int visit_records(const RwLocked<Items>& items, visitproc visit, void* arg) {
  // Collected under the lock, reported after it: a visitor may allocate, and so run a collection
  // that locks objects. The objects stay alive meanwhile: releases made without the interpreter
  // lock wait for it.
  std::vector<PyObject*> objects;
  {
    items.read_ignoring_poison()->for_each([&](uint32_t, const StoredItem& item) {
      objects.push_back(item.object.python_handle.get());
    });
  }
  for (PyObject* object : objects) Py_VISIT(object);
  return 0;
}

int visit_reached(const ReachableObjects& reachable, visitproc visit, void* arg) {
  std::vector<PyObject*> objects;
  reachable.for_each_counted_reference([&](PyObject* object) { objects.push_back(object); });
  for (PyObject* object : objects) Py_VISIT(object);
  return 0;
}

std::vector<StoredIndexable> fresh_copies(const std::vector<StoredIndexable>& objects) {
  std::vector<StoredIndexable> copies;
  copies.reserve(objects.size());
  for (const StoredIndexable& object : objects) copies.push_back(object.fresh());
  return copies;
}

}  // namespace veldrake
