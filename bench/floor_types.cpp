// FloorRecord: a class with its own tp_getattro, tp_setattro and tp_init that do the least such a
// class can (a pointer comparison and one stored object), so the interpreter's specialised
// attribute paths for plain instances never apply to it, as they never apply to Indexable.
// bench/objects_bench.py times it as the floor of Indexable's reads, writes and creation. Built
// only with the benchmarks, never installed.
#include <Python.h>

#include <cstddef>
#include <iterator>

namespace {

// The benchmark's attributes, each in a field of its own.
constexpr const char* kNames[] = {"age", "score", "city", "active", "tags", "owner"};
constexpr Py_ssize_t kFieldCount = static_cast<Py_ssize_t>(std::size(kNames));

PyObject* g_names[kFieldCount];  // interned at import; never released

struct FloorRecord {
  PyObject ob_base;
  PyObject* fields[kFieldCount];
};

FloorRecord* as_record(PyObject* self) {
  return reinterpret_cast<FloorRecord*>(self);
}

// The field of `name`, or -1. The names in code objects are interned, so the address settles every
// access the benchmark makes; a name built at run time is compared by value.
Py_ssize_t field_of(PyObject* name) {
  for (Py_ssize_t i = 0; i < kFieldCount; ++i) {
    if (name == g_names[i]) return i;
  }
  if (!PyUnicode_Check(name)) return -1;
  for (Py_ssize_t i = 0; i < kFieldCount; ++i) {
    if (PyUnicode_Compare(name, g_names[i]) == 0) return i;
  }
  return -1;
}

PyObject* floor_getattro(PyObject* self, PyObject* name) {
  const Py_ssize_t field = field_of(name);
  PyObject* value = field < 0 ? nullptr : as_record(self)->fields[field];
  if (!value) return PyObject_GenericGetAttr(self, name);
  Py_INCREF(value);
  return value;
}

// Stores `value` (a new reference taken here; null deletes) in `field`.
void swap_field(PyObject* self, Py_ssize_t field, PyObject* value) {
  Py_XINCREF(value);
  PyObject* old = as_record(self)->fields[field];
  as_record(self)->fields[field] = value;
  Py_XDECREF(old);
}

int floor_setattro(PyObject* self, PyObject* name, PyObject* value) {
  const Py_ssize_t field = field_of(name);
  if (field < 0) return PyObject_GenericSetAttr(self, name, value);
  swap_field(self, field, value);
  return 0;
}

int floor_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0) {
    PyErr_SetString(PyExc_TypeError, "FloorRecord() takes keyword arguments only");
    return -1;
  }
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (kwargs && PyDict_Next(kwargs, &position, &key, &value)) {
    const Py_ssize_t field = field_of(key);
    if (field < 0) {
      PyErr_Format(PyExc_TypeError, "FloorRecord() got an unexpected keyword argument %R", key);
      return -1;
    }
    swap_field(self, field, value);
  }
  return 0;
}

int floor_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (PyObject* value : as_record(self)->fields) Py_VISIT(value);
  return 0;
}

int floor_clear(PyObject* self) {
  for (PyObject*& value : as_record(self)->fields) Py_CLEAR(value);
  return 0;
}

void floor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  floor_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("FloorRecord(**attributes): the benchmark's attributes")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(floor_init)},
    {Py_tp_getattro, reinterpret_cast<void*>(floor_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(floor_setattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(floor_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(floor_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(floor_dealloc)},
    {0, nullptr},
};

PyType_Spec g_spec = {"floor_types.FloorRecord", static_cast<int>(sizeof(FloorRecord)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, g_slots};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT,
                        "floor_types",
                        "The floor of attribute access for a class with its own type slots.",
                        -1,
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_floor_types(void) {
  for (Py_ssize_t i = 0; i < kFieldCount; ++i) {
    if (!g_names[i] && !(g_names[i] = PyUnicode_InternFromString(kNames[i]))) return nullptr;
  }
  PyObject* module = PyModule_Create(&g_module);
  PyObject* type = module ? PyType_FromSpec(&g_spec) : nullptr;
  if (!type || PyModule_AddObject(module, "FloorRecord", type) != 0) {
    Py_XDECREF(type);
    Py_XDECREF(module);
    return nullptr;
  }
  return module;
}
