// The module object: its one function and its classes.
#include <Python.h>

#include <cstdint>
#include <string>

#include "base/fork_safety.h"
#include "index/core/python/binding.h"
#include "index/interfaces/arguments.h"
#include "index/interfaces/classes.h"
#include "index/interfaces/heap_types.h"

namespace veldrake {
namespace {

// A Python int in 0..2^32-1. The interpreter raises OverflowError for negative values; larger
// ones get the interpreter's wording for the same failure.
uint32_t to_u32(PyObject* object) {
  if (!PyLong_Check(object)) {
    raise_type_error(std::string("'") + Py_TYPE(object)->tp_name +
                     "' object cannot be interpreted as an integer");
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(object);
  throw_if_failed(!PyErr_Occurred());
  if (value > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    throw PythonError();
  }
  return static_cast<uint32_t>(value);
}

PyObject* sum_as_string(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    PyObject* arguments[2];
    parse_arguments(args, kwargs, "sum_as_string", {"a", "b"}, arguments);
    uint32_t a = convert_argument("a", arguments[0], to_u32);
    uint32_t b = convert_argument("b", arguments[1], to_u32);
    std::string sum = std::to_string(static_cast<uint32_t>(a + b));
    return checked(PyUnicode_FromStringAndSize(sum.data(), static_cast<Py_ssize_t>(sum.size())));
  });
}

PyMethodDef g_functions[] = {
    {"sum_as_string", method_entry(sum_as_string), METH_VARARGS | METH_KEYWORDS,
     "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "Veldrake",
    "In-memory indexes over Python objects, queried by attribute values.",
    -1,
    g_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Stores `object` (a new reference, null when making it failed) as the module attribute `name`.
void add_attribute(PyObject* module, const char* name, PyObject* object) {
  throw_if_failed(object != nullptr);
  if (PyModule_AddObject(module, name, object) < 0) {
    Py_DECREF(object);
    throw PythonError();
  }
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  PyObject* object = reinterpret_cast<PyObject*>(type);
  Py_XINCREF(object);
  add_attribute(module, name, object);
}

}  // namespace
}  // namespace veldrake

extern "C" PyObject* veldrake_create_module() {
  using namespace veldrake;
  return guarded_object([] {
    install_fork_handlers();
    // The function comes with the module object, ahead of the classes.
    OwnedRef module = checked(PyModule_Create(&g_module));
    add_class(module.get(), "Index", index_type());
    add_class(module.get(), "Indexable", indexable_type());
    add_class(module.get(), "FilteredIndex", filtered_index_type());
    add_class(module.get(), "PyQueryExpr", query_expr_type());
    add_attribute(module.get(), "__version__", PyUnicode_FromString(VELDRAKE_VERSION));
    return module;
  });
}
