// The Python class Indexable: an object whose attributes live in a native attribute map, so that
// indexes can read them without the interpreter lock and learn of every write.
#pragma once

#include <Python.h>

#include "index/indexable_record.h"
#include "index/interfaces/classes.h"

namespace veldrake {

struct IndexableObject {
  PyObject_HEAD IndexableRecord record;
  PyObject* weak_references;  // the interpreter's list of weak references to the object
};

// True for instances of Indexable and its subclasses. Interpreter lock held; never fails.
bool is_indexable(PyObject* object);

// The record of an object for which is_indexable holds.
inline const IndexableRecord& record_of(PyObject* indexable) {
  return reinterpret_cast<IndexableObject*>(indexable)->record;
}

}  // namespace veldrake
