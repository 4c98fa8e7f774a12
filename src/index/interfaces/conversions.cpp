#include "index/interfaces/conversions.h"

#include <string>

#include "index/interfaces/query.h"
#include "module/binding.h"

namespace veldrake {

OwnedRef list_of(const std::vector<PyHandle>& objects) {
  OwnedRef list = checked(PyList_New(static_cast<Py_ssize_t>(objects.size())));
  for (std::size_t i = 0; i < objects.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), objects[i].new_ref().release());
  }
  return list;
}

HashQuery keyword_query(PyObject* args, PyObject* kwargs, const char* method) {
  if (PyTuple_GET_SIZE(args) != 0) {
    raise_type_error(std::string(method) + "() takes 0 positional arguments but " +
                     std::to_string(PyTuple_GET_SIZE(args)) + " were given");
  }
  return kwargs_to_hash_query(kwargs);
}

QueryExpr query_argument(PyObject* args, PyObject* kwargs, const char* method) {
  PyObject* query = nullptr;
  parse_arguments(args, kwargs, method, {"query"}, &query);
  return convert_argument("query", query, to_query_expr);
}

void no_arguments(PyObject* args, PyObject* kwargs, const char* method) {
  parse_arguments(args, kwargs, method, {}, nullptr);
}

}  // namespace veldrake
