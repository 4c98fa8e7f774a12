#include "index/interfaces/conversions.h"

#include <string>

#include "index/interfaces/query.h"
#include "module/binding.h"

namespace veldrake {

// The list is allocated before the records are locked and filled under the lock with plain
// reference increments: nothing there allocates or runs Python code.
OwnedRef list_of(const RwLocked<Items>& items, const Bitmap& ids) {
  const auto capacity = static_cast<Py_ssize_t>(ids.cardinality());
  OwnedRef list = checked(PyList_New(capacity));
  Py_ssize_t filled = 0;
  {
    auto slots = items.read();
    ids.for_each([&](uint32_t id) {
      if (const StoredItem* item = slots->find(id)) {
        PyObject* object = item->object.python_handle.get();
        Py_INCREF(object);
        PyList_SET_ITEM(list.get(), filled++, object);
      }
      return true;
    });
  }
  if (filled < capacity)
    throw_if_failed(PyList_SetSlice(list.get(), filled, capacity, nullptr) == 0);
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
