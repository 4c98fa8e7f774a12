/* A Python for i386 made from Debian's libpython3.X:i386 (which installs beside the
 * x86-64 interpreter): the interpreter's own main, linked for 32 bits. */
#include <Python.h>

int main(int argc, char** argv) { return Py_BytesMain(argc, argv); }
