// GilUntilBlocking keeps the interpreter lock through engine work until a lock would wait.
#include <gtest/gtest.h>

#include "base/before_blocking.h"
#include "index/core/python/python_ref.h"
#include "python_eval.h"

namespace veldrake {
namespace {

// A reference dropped inside a GilUntilBlocking scope is released as the scope ends, and may run
// Python code that comes back into the module and waits for a lock: the ending scope must not
// give up the interpreter lock behind that code's back.
TEST(GilUntilBlocking, CodeRunByItsQueuedReleasesKeepsTheInterpreterLock) {
  static bool held_after_wait = false;
  static PyMethodDef wait = {
      "wait_for_lock",
      [](PyObject*, PyObject*) -> PyObject* {
        BeforeBlocking::now();  // what a contended engine lock does before it waits
        held_after_wait = PyGILState_Check() != 0;
        Py_RETURN_NONE;
      },
      METH_NOARGS, nullptr};
  OwnedRef function = OwnedRef::steal(PyCFunction_New(&wait, nullptr));
  ASSERT_EQ(PyDict_SetItemString(PyEval_GetBuiltins(), "wait_for_lock", function.get()), 0);
  OwnedRef object = testing::evaluate(
      "class Finalized:\n    def __del__(self):\n        wait_for_lock()\n", "Finalized()");
  ASSERT_TRUE(object);
  {
    GilUntilBlocking scope;
    release_reference(object.release());  // the last reference: queued
  }
  EXPECT_TRUE(held_after_wait);
  EXPECT_TRUE(PyGILState_Check());
}

}  // namespace
}  // namespace veldrake
