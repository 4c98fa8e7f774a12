// The memory of an instance of one of the module's classes: the object header, then one C++
// value (an Index's engine, an Indexable's record, ...). The Python classes make and free these
// objects (interfaces/heap_types.h); the engine reads the C++ part of objects it holds.
#pragma once

#include <Python.h>

namespace veldrake {

template <class Native>
struct NativeObject {
  PyObject_HEAD Native native;
};

// The C++ part of `object`, an instance whose memory is a NativeObject<Native>.
template <class Native>
Native& native_of(PyObject* object) {
  return reinterpret_cast<NativeObject<Native>*>(object)->native;
}

}  // namespace veldrake
