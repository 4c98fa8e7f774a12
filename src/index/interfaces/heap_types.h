// Defining the module's classes as heap types, and making and freeing their instances.
#pragma once

#include <Python.h>

#include "index/core/python/binding.h"

namespace veldrake {

// A function as the entry of a PyMethodDef, which stores every calling convention as PyCFunction.
template <class Function>
PyCFunction method_entry(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
// A function as the value of a PyType_Slot.
template <class Function>
void* slot_entry(Function* function) {
  return reinterpret_cast<void*>(function);
}

// Creates a heap type from `type_spec` and returns a new reference to it. On failure sets
// RuntimeError("failed to create type object for <name>: <reason>"), caused by the original
// error, and throws PythonError.
PyTypeObject* create_type(PyType_Spec& type_spec, const char* name);

// A new, zero-filled instance of `type` from its own allocator (read through PyType_GetSlot,
// which every C-API layer provides).
inline OwnedRef allocate_instance(PyTypeObject* type) {
  return checked(reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0));
}

// Returns the memory of `self` to its type's allocator.
inline void free_instance(PyObject* self) {
  reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free))(self);
}

// The slot that refuses construction: "No constructor defined for <name>".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace veldrake
