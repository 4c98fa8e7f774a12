#include "index/interfaces/heap_types.h"

#include <cstring>
#include <string>
#include <utility>

#include "index/interfaces/arguments.h"

namespace veldrake {

PyTypeObject* create_type(PyType_Spec& type_spec, const char* name) {
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type) return reinterpret_cast<PyTypeObject*>(type);
  OwnedRef original = take_pending_exception();
  OwnedRef message = checked(
      PyUnicode_FromFormat("failed to create type object for %s: %S", name, original.get()));
  set_exception_with_cause(PyExc_RuntimeError, message.get(), std::move(original));
  throw PythonError();
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded_object([&]() -> OwnedRef {
    const char* name = type->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    raise_type_error(std::string("No constructor defined for ") + name);
  });
}

}  // namespace veldrake
