// Arguments of the module's functions and methods: matching them to parameters and converting
// them, with the interpreter's own wording for the errors.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "index/core/python/binding.h"

namespace veldrake {

// Matches positional-or-keyword arguments against `names` with the interpreter's own rules and
// wording (missing, surplus, duplicate, unknown arguments raise TypeError naming `function`).
// Writes borrowed references into `out`, one per name; throws PythonError on failure.
void parse_arguments(PyObject* args, PyObject* kwargs, const char* function,
                     std::initializer_list<const char*> names, PyObject** out);
// The same for a METH_FASTCALL | METH_KEYWORDS function. The usual call, every argument by
// position, takes them as they come; any other is parsed as above, from a tuple and a dict.
void parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     const char* function, std::initializer_list<const char*> names,
                     PyObject** out);

// Re-raises a pending TypeError (exactly that type) as "argument '<name>': <message>", keeping
// the original's cause; leaves any other pending exception as it is.
void relabel_type_error(const char* name);

// Runs `convert(object)`; a TypeError it raises becomes "argument '<name>': <message>" keeping
// the original's cause. Any other exception passes through unchanged.
template <class Convert>
auto convert_argument(const char* name, PyObject* object, Convert&& convert)
    -> decltype(convert(object)) {
  try {
    return convert(object);
  } catch (const PythonError&) {
    relabel_type_error(name);
    throw;
  }
}

// Sets TypeError(message) and throws PythonError.
[[noreturn]] void raise_type_error(const std::string& message);

// A str argument as UTF-8 text (TypeError for other types).
std::string_view text_argument(PyObject* object);

}  // namespace veldrake
