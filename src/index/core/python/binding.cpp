#include "index/core/python/binding.h"

#include <cstring>

namespace veldrake {
namespace {

ProcessObject g_panic_exception;

void set_panic(const char* text) {
  PyObject* type = panic_exception_type();
  if (!type) return;  // the failure to make the type is the pending exception now
  OwnedRef message = OwnedRef::steal(PyUnicode_DecodeUTF8(text, std::strlen(text), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

}  // namespace

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

void set_exception_with_cause(PyObject* type, PyObject* message, OwnedRef cause) {
  OwnedRef exception = checked(PyObject_CallFunctionObjArgs(type, message, nullptr));
  if (cause) PyException_SetCause(exception.get(), cause.release());
  PyErr_SetObject(type, exception.get());
}

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

}  // namespace veldrake
