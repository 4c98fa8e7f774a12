#include "index/core/values/types.h"

#include "index/core/python/binding.h"
#include "index/core/indexable_object.h"

namespace veldrake {
namespace {

// A numpy scalar type, looked up once; absent when numpy or the name is missing.
class NumpyType {
 public:
  constexpr explicit NumpyType(const char* name) : name_(name) {}

  PyTypeObject* get() {
    PyObject* found = cell_.get([this] {
      OwnedRef numpy = OwnedRef::steal(PyImport_ImportModule("numpy"));
      OwnedRef type =
          numpy ? OwnedRef::steal(PyObject_GetAttrString(numpy.get(), name_)) : OwnedRef();
      PyErr_Clear();
      // None marks the absence, so that a missing numpy is not looked for again.
      if (!type || !PyType_Check(type.get())) return OwnedRef::new_reference(Py_None);
      return type;
    });
    if (!found) PyErr_Clear();
    return found == Py_None ? nullptr : reinterpret_cast<PyTypeObject*>(found);
  }

 private:
  const char* name_;
  ProcessObject cell_;
};

NumpyType g_numpy_int64("int64");
NumpyType g_numpy_float64("float64");
NumpyType g_numpy_str("str_");
// numpy.bool on numpy 2; numpy 1 has only this name (reading numpy.bool there warns, then fails).
NumpyType g_numpy_bool("bool_");

}  // namespace

ValueClass classify(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyLong_Type || type == g_numpy_int64.get()) return ValueClass::Int;
  if (type == &PyFloat_Type || type == g_numpy_float64.get()) return ValueClass::Float;
  if (type == &PyUnicode_Type || type == g_numpy_str.get()) return ValueClass::Str;
  if (type == &PyBool_Type || type == g_numpy_bool.get()) return ValueClass::Bool;
  if (is_indexable(object)) return ValueClass::Ind;
  if (type == &PyList_Type) return ValueClass::List;
  if (type == &PyTuple_Type) return ValueClass::Tuple;
  if (type == &PyDict_Type) return ValueClass::Dict;
  if (type == &PySet_Type) return ValueClass::Set;
  return ValueClass::Unknown;
}

}  // namespace veldrake
