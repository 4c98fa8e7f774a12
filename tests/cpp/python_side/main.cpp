// Runs the tests of the parts that hold Python objects inside an embedded interpreter. Tests run
// on the main thread with the interpreter lock held, as module code does when called from Python.
#include <Python.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  int result = RUN_ALL_TESTS();
  if (Py_FinalizeEx() < 0) result = 1;
  return result;
}
