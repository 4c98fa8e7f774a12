/* The interpreter's entry point; the module itself is assembled in C++ (module.cpp). */
#include <Python.h>

PyObject* veldrake_create_module(void);

PyMODINIT_FUNC PyInit_Veldrake(void) { return veldrake_create_module(); }
