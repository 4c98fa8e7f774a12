// The memory layout of an Indexable instance: a Python object with its native record inline, so
// that the engine reaches the record of any Indexable it holds. The class itself (its type slots)
// is made by the Python classes layer, which registers the type here.
#pragma once

#include <Python.h>

#include <atomic>

#include "index/core/indexable_record.h"
#include "index/core/python/native_object.h"

namespace veldrake {

// The record inline, then the interpreter's list of weak references to the object (the place the
// class's __weaklistoffset__ names).
struct IndexableObject {
  NativeObject<IndexableRecord> object;
  PyObject* weak_references;
};

// The list of weak references of an Indexable (null while it has none).
inline PyObject*& weak_references_of(PyObject* indexable) {
  return reinterpret_cast<IndexableObject*>(indexable)->weak_references;
}

namespace indexable_object_detail {
extern std::atomic<PyTypeObject*> g_indexable_type;
}  // namespace indexable_object_detail

// Makes `type` the Indexable class that is_indexable checks for. Interpreter lock held.
void register_indexable_type(PyTypeObject* type);

// The registered Indexable class, or null before it is registered. Inline, as every attribute
// write and every creation tells the class from its subclasses.
inline PyTypeObject* registered_indexable_type() {
  return indexable_object_detail::g_indexable_type.load(std::memory_order_acquire);
}

// True for instances of Indexable and its subclasses (none exist before the class is registered).
// Interpreter lock held; never fails.
inline bool is_indexable(PyObject* object) {
  PyTypeObject* type = registered_indexable_type();
  return type && PyObject_TypeCheck(object, type);
}

// The record of an object for which is_indexable holds.
inline const IndexableRecord& record_of(PyObject* indexable) {
  return native_of<IndexableRecord>(indexable);
}

}  // namespace veldrake
