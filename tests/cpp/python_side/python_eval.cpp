#include "python_eval.h"

#include <gtest/gtest.h>

#include "index/interfaces/classes.h"

namespace veldrake::testing {

OwnedRef evaluate(const char* statements, const char* expression) {
  OwnedRef globals = OwnedRef::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  PyDict_SetItemString(globals.get(), "Indexable", reinterpret_cast<PyObject*>(indexable_type()));
  PyDict_SetItemString(globals.get(), "Index", reinterpret_cast<PyObject*>(index_type()));
  PyDict_SetItemString(globals.get(), "Q", reinterpret_cast<PyObject*>(query_expr_type()));
  OwnedRef done =
      OwnedRef::steal(PyRun_String(statements, Py_file_input, globals.get(), globals.get()));
  OwnedRef result =
      done ? OwnedRef::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()))
           : OwnedRef();
  if (!result) {
    PyErr_Print();
    ADD_FAILURE() << "Python raised evaluating: " << statements << " / " << expression;
  }
  return result;
}

}  // namespace veldrake::testing
