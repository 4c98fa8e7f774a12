#include "index/interfaces/collector.h"

#include <new>

namespace veldrake {

namespace {

// Reports each object `for_each_object(use)` hands to `use`, taking whatever lock it needs. They
// are collected under the lock and reported after it: a visitor may allocate, and so run a
// collection that locks objects. The objects stay alive meanwhile: releases made without the
// interpreter lock wait for it. With no memory for the list they are reported under the lock:
// the collector's own visitors allocate nothing, and an object left out would let it free what
// the index still holds.
template <class ForEachObject>
int visit_each(ForEachObject&& for_each_object, visitproc visit, void* arg) {
  std::vector<PyObject*> objects;
  try {
    for_each_object([&](PyObject* object) { objects.push_back(object); });
  } catch (const std::bad_alloc&) {
    int stop = 0;
    for_each_object([&](PyObject* object) {
      if (!stop) stop = visit(object, arg);
    });
    return stop;
  }
  for (PyObject* object : objects) Py_VISIT(object);
  return 0;
}

}  // namespace

int visit_records(const RwLocked<Items>& items, visitproc visit, void* arg) {
  return visit_each(
      [&](auto&& use) {
        items.read_ignoring_poison()->for_each(
            [&](uint32_t, const StoredItem& item) { use(item.object.python_handle.get()); });
      },
      visit, arg);
}

int visit_reached(const ReachableObjects& reachable, visitproc visit, void* arg) {
  return visit_each([&](auto&& use) { reachable.for_each_counted_reference(use); }, visit, arg);
}

std::vector<StoredIndexable> fresh_copies(const std::vector<StoredIndexable>& objects) {
  std::vector<StoredIndexable> copies;
  copies.reserve(objects.size());
  for (const StoredIndexable& object : objects) copies.push_back(object.fresh());
  return copies;
}

}  // namespace veldrake
