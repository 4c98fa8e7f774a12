#include "index/core/values/types.h"

#include "index/core/indexable_object.h"
#include "index/core/python/binding.h"
#include "index/core/values/time_value.h"

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
NumpyType g_numpy_integer("integer");  // the base of every integer width
NumpyType g_numpy_floating("floating");
NumpyType g_numpy_longdouble("longdouble");
NumpyType g_numpy_datetime64("datetime64");
NumpyType g_numpy_timedelta64("timedelta64");
NumpyType g_numpy_str("str_");
// numpy.bool on numpy 2; numpy 1 has only this name (reading numpy.bool there warns, then fails).
NumpyType g_numpy_bool("bool_");

bool is_numpy_subtype(PyTypeObject* type, NumpyType& base) {
  PyTypeObject* found = base.get();
  return found && PyType_IsSubtype(type, found);
}

// The classes of the less common types, after the usual ones.
ValueClass classify_rest(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (is_python_time(object)) return ValueClass::Time;
  if (type == &PyBytes_Type) return ValueClass::Bytes;
  // timedelta64 derives from numpy's signed integers, so it is looked for first.
  if (is_numpy_subtype(type, g_numpy_datetime64)) return ValueClass::NumpyDateTime;
  if (is_numpy_subtype(type, g_numpy_timedelta64)) return ValueClass::NumpyTimeDelta;
  if (is_numpy_subtype(type, g_numpy_integer)) return ValueClass::Int;
  if (is_numpy_subtype(type, g_numpy_floating) && !is_numpy_subtype(type, g_numpy_longdouble))
    return ValueClass::Float;
  return ValueClass::Unknown;
}

}  // namespace

ValueClass classify(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  // The built-in types first: looking up a numpy type costs more than all these comparisons.
  if (type == &PyLong_Type) return ValueClass::Int;
  if (type == &PyUnicode_Type) return ValueClass::Str;
  if (type == &PyFloat_Type) return ValueClass::Float;
  if (type == &PyBool_Type) return ValueClass::Bool;
  if (type == &PyList_Type) return ValueClass::List;
  if (type == &PyTuple_Type) return ValueClass::Tuple;
  if (type == &PyDict_Type) return ValueClass::Dict;
  if (type == &PySet_Type) return ValueClass::Set;
  if (is_indexable(object)) return ValueClass::Ind;
  if (type == g_numpy_int64.get()) return ValueClass::Int;
  if (type == g_numpy_float64.get()) return ValueClass::Float;
  if (type == g_numpy_str.get()) return ValueClass::Str;
  if (type == g_numpy_bool.get()) return ValueClass::Bool;
  return classify_rest(object);
}

}  // namespace veldrake
