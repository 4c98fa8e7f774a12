#include "index/core/python/binding.h"

#include <array>
#include <cstring>
#include <string>

namespace veldrake {
namespace {

ProcessObject g_panic_exception;

// Most arguments any function of the module takes; parse_arguments checks it.
constexpr std::size_t kMaxArguments = 8;

// Removes the pending exception and returns it, normalised (an instance, with its traceback).
OwnedRef take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return OwnedRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return OwnedRef::steal(value);
#endif
}

// Sets `type(message)` as the pending exception, with `cause` (may be empty) as its __cause__.
void set_exception_with_cause(PyObject* type, PyObject* message, OwnedRef cause) {
  OwnedRef exception = checked(PyObject_CallFunctionObjArgs(type, message, nullptr));
  if (cause) PyException_SetCause(exception.get(), cause.release());
  PyErr_SetObject(type, exception.get());
}

void set_panic(const char* text) {
  PyObject* type = panic_exception_type();
  if (!type) return;  // the failure to make the type is the pending exception now
  OwnedRef message = OwnedRef::steal(PyUnicode_DecodeUTF8(text, std::strlen(text), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

}  // namespace

PyObject* panic_exception_type() {
  return g_panic_exception.get([] {
    return checked(PyErr_NewExceptionWithDoc(
        "ext_runtime.PanicException",
        "An internal check of the extension failed; the operation was abandoned.",
        PyExc_BaseException, nullptr));
  });
}

void raise_current_exception() {
  try {
    throw;
  } catch (const PythonError&) {
    // The exception is already set.
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_panic(error.what());
  } catch (...) {
    set_panic("unknown C++ exception");
  }
}

void parse_arguments(PyObject* args, PyObject* kwargs, const char* function,
                     std::initializer_list<const char*> names, PyObject** out) {
  check(names.size() <= kMaxArguments, "parse_arguments: too many argument names");
  std::string format(names.size(), 'O');
  format += ':';
  format += function;
  std::array<char*, kMaxArguments + 1> keywords{};
  std::size_t count = 0;
  for (const char* name : names) keywords[count++] = const_cast<char*>(name);
  // The format consumes exactly names.size() pointers; the rest are passed and left untouched.
  std::array<PyObject*, kMaxArguments> found{};
  throw_if_failed(PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(),
                                              &found[0], &found[1], &found[2], &found[3], &found[4],
                                              &found[5], &found[6], &found[7]));
  for (std::size_t i = 0; i < names.size(); ++i) out[i] = found[i];
}

void relabel_type_error(const char* name) {
  if (PyErr_Occurred() != PyExc_TypeError) return;
  OwnedRef original = take_pending_exception();
  OwnedRef message = checked(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
  set_exception_with_cause(PyExc_TypeError, message.get(),
                           OwnedRef::steal(PyException_GetCause(original.get())));
}

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonError();
}

std::string_view text_argument(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise_type_error(std::string("'") + Py_TYPE(object)->tp_name +
                     "' object is not an instance of 'str'");
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  throw_if_failed(text != nullptr);
  return std::string_view(text, static_cast<std::size_t>(size));
}

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
