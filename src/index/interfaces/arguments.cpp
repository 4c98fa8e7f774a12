#include "index/interfaces/arguments.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace veldrake {
namespace {

// Most arguments any function of the module takes; parse_arguments checks it.
constexpr std::size_t kMaxArguments = 8;

}  // namespace

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

void parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     const char* function, std::initializer_list<const char*> names,
                     PyObject** out) {
  if ((!kwnames || PyTuple_GET_SIZE(kwnames) == 0) &&
      static_cast<std::size_t>(nargs) == names.size()) {
    std::copy_n(args, nargs, out);
    return;
  }
  // The arguments' objects outlive the call, so `out` may borrow them from the tuple and dict.
  OwnedRef positional = checked(PyTuple_New(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(positional.get(), i, args[i]);
  }
  OwnedRef keywords;
  if (kwnames) {
    keywords = checked(PyDict_New());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      throw_if_failed(
          PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) == 0);
    }
  }
  parse_arguments(positional.get(), keywords.get(), function, names, out);
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

}  // namespace veldrake
