#include "index/interfaces/collection_calls.h"

#include <new>
#include <utility>

#include "index/core/python/binding.h"
#include "index/interfaces/conversions.h"
#include "index/interfaces/heap_types.h"
#include "index/interfaces/query.h"

namespace veldrake {
namespace {

void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw PythonError();
}

// A count argument of order_by: a non-negative int.
uint64_t page_bound(const char* name, PyObject* value) {
  if (!PyLong_Check(value)) {
    raise_type_error(std::string("order_by() argument '") + name + "' must be an int, not '" +
                     Py_TYPE(value)->tp_name + "'");
  }
  int overflow = 0;
  long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (number == -1 && PyErr_Occurred()) throw PythonError();
  if (overflow > 0) return UINT64_MAX;
  if (overflow < 0 || number < 0)
    raise_value_error(std::string("order_by() argument '") + name + "' must not be negative");
  return static_cast<uint64_t>(number);
}

}  // namespace

CountRequest count_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 1) {
    raise_type_error("count() takes at most 1 positional argument (" + std::to_string(nargs) +
                     " given)");
  }
  const bool has_keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
  if (nargs == 1 && args[0] != Py_None) {
    if (has_keywords) raise_type_error("count() takes a query or keywords, not both");
    return evaluable_query(args[0]);
  }
  if (has_keywords) return keywords_to_hash_query(kwnames, args + nargs);
  return std::monostate{};
}

OrderRequest order_arguments(PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs != 1) {
    raise_type_error("order_by() takes exactly 1 positional argument (" + std::to_string(nargs) +
                     " given)");
  }
  OrderRequest request;
  request.attr = std::string(convert_argument("attr", PyTuple_GET_ITEM(args, 0), text_argument));
  if (request.attr.find('.') != std::string::npos)
    raise_value_error("order_by() takes one attribute name, not a dotted path: " + request.attr);
  if (!kwargs) return request;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    std::string_view name = text_argument(key);
    if (name == "descending") {
      int truth = PyObject_IsTrue(value);
      throw_if_failed(truth >= 0);
      request.page.descending = truth == 1;
    } else if (name == "limit") {
      request.page.limit = value == Py_None ? UINT64_MAX : page_bound("limit", value);
    } else if (name == "offset") {
      request.page.offset = page_bound("offset", value);
    } else {
      raise_type_error("order_by() got an unexpected keyword argument '" + std::string(name) + "'");
    }
  }
  return request;
}

std::string group_counts_argument(PyObject* args, PyObject* kwargs) {
  PyObject* attr = nullptr;
  parse_arguments(args, kwargs, "group_counts", {"attr"}, &attr);
  return std::string(convert_argument("attr", attr, text_argument));
}

OwnedRef dict_sized_for(std::size_t entries) {
#ifdef PYPY_VERSION
  (void)entries;
  return checked(PyDict_New());
#else
  return checked(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries)));
#endif
}

OwnedRef counts_dict(const std::vector<std::pair<PyValue, uint64_t>>& counts) {
  OwnedRef result = dict_sized_for(counts.size());
  for (const auto& [value, size] : counts) {
    OwnedRef key = value.to_object();
    OwnedRef number = checked(PyLong_FromUnsignedLongLong(size));
    throw_if_failed(PyDict_SetItem(result.get(), key.get(), number.get()) == 0);
  }
  return result;
}

OwnedRef list_in_order(const RwLocked<Items>& items, const std::vector<uint32_t>& ids,
                       uint64_t admitted_by) {
  OwnedRef list = checked(PyList_New(0));
  std::vector<OwnedRef> objects;
  objects.reserve(ids.size());
  {
    auto slots = items.read();
    for (uint32_t id : ids) {
      const StoredItem* item = slots->find(id);
      if (item && item->admitted <= admitted_by)
        objects.push_back(OwnedRef::new_reference(item->python_object));
    }
  }
  for (const OwnedRef& object : objects)
    throw_if_failed(PyList_Append(list.get(), object.get()) == 0);
  return list;
}

OwnedRef collection_repr(const char* name, uint64_t size) {
  return checked(
      PyUnicode_FromFormat("<%s with %llu objects>", name, static_cast<unsigned long long>(size)));
}

namespace {

// The C++ part of a MemberIterator.
struct MemberIterator {
  OwnedRef collection;  // null once exhausted or cleared
  NextMember next;
  uint64_t from;  // the smallest id not yet passed
};

int member_iterator_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(native_of<MemberIterator>(self).collection.get());
  return 0;
}

int member_iterator_clear(PyObject* self) {
  // Moved out first, so that the field is empty before the reference goes.
  OwnedRef collection = std::move(native_of<MemberIterator>(self).collection);
  return 0;
}

void member_iterator_dealloc(PyObject* self) {
  delete_native_object<MemberIterator>(self);
}

PyObject* member_iterator_next(PyObject* self) {
  return guarded_object([&]() -> OwnedRef {
    MemberIterator& iterator = native_of<MemberIterator>(self);
    if (!iterator.collection || iterator.from > UINT32_MAX) return OwnedRef();
    std::optional<StoredIndexable> member =
        iterator.next(iterator.collection.get(), static_cast<uint32_t>(iterator.from));
    if (!member) {
      OwnedRef exhausted = std::move(iterator.collection);
      return OwnedRef();
    }
    iterator.from = uint64_t{member->id()} + 1;
    return OwnedRef::new_reference(member->python_handle.get());
  });
}

PyTypeObject* member_iterator_type() {
  static ProcessObject type;
  return reinterpret_cast<PyTypeObject*>(type.get([] {
    static PyType_Slot slots[] = {
        {Py_tp_new, slot_entry(no_constructor)},
        {Py_tp_dealloc, slot_entry(member_iterator_dealloc)},
        {Py_tp_traverse, slot_entry(member_iterator_traverse)},
        {Py_tp_clear, slot_entry(member_iterator_clear)},
        {Py_tp_iter, slot_entry(PyObject_SelfIter)},
        {Py_tp_iternext, slot_entry(member_iterator_next)},
        {Py_tp_doc, const_cast<char*>("Iterator over the members of an Index or FilteredIndex.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Veldrake.MemberIterator",
                               static_cast<int>(sizeof(NativeObject<MemberIterator>)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return OwnedRef::steal(reinterpret_cast<PyObject*>(create_type(spec, "MemberIterator")));
  }));
}

}  // namespace

OwnedRef member_iterator(PyObject* collection, NextMember next) {
  return new_native_object(member_iterator_type(),
                           MemberIterator{OwnedRef::new_reference(collection), next, 0});
}

}  // namespace veldrake
