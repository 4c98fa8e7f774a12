// Defining the module's classes as heap types, and making and freeing their instances: every
// class makes and frees its instances through new_native_object and delete_native_object.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

#include "index/core/python/binding.h"
#include "index/core/python/native_object.h"

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

// A new instance of `type` (null: the class could not be made, PythonError), whose memory is a
// NativeObject<Native>, holding `native`. The allocator tracks the zero-filled object for the
// cycle collector at once; the C++ part is moved in before any Python code can run.
template <class Native>
OwnedRef new_native_object(PyTypeObject* type, Native native) {
  static_assert(std::is_nothrow_move_constructible_v<Native>);
  throw_if_failed(type != nullptr);
  OwnedRef object = allocate_instance(type);
  new (&native_of<Native>(object.get())) Native(std::move(native));
  return object;
}

// The tp_dealloc of an instance made by new_native_object: untracks it, destroys its C++ part,
// hands its memory to `release` (by default the type's allocator) and drops its type, which
// every instance of a heap type holds.
template <class Native>
void delete_native_object(PyObject* self, void (*release)(PyObject*) = free_instance) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  // The values dropped here release their references directly.
  const bool was_marked = mark_interpreter_lock_held(true);
  native_of<Native>(self).~Native();
  mark_interpreter_lock_held(was_marked);
  release(self);
  Py_DECREF(type);
}

// The slot that refuses construction: "No constructor defined for <name>".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace veldrake
