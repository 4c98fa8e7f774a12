#include "index/interfaces/filtered_index.h"

#include <new>
#include <optional>

#include "index/interfaces/classes.h"
#include "index/interfaces/conversions.h"
#include "index/interfaces/index.h"
#include "module/binding.h"

namespace veldrake {
namespace {

struct FilteredIndexObject {
  PyObject_HEAD FilteredIndex view;
};

const FilteredIndex& view_of(PyObject* self) {
  return reinterpret_cast<FilteredIndexObject*>(self)->view;
}

void filtered_index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<FilteredIndexObject*>(self)->view.~FilteredIndex();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    HashQuery query = keyword_query(args, kwargs, "reduced");
    std::optional<FilteredIndex> narrowed;
    {
      ReleasedGil released;
      narrowed.emplace(view_of(self).reduced(query));
    }
    return wrap_view(std::move(*narrowed));
  });
}

PyObject* reduced_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    QueryExpr expr = query_argument(args, kwargs, "reduced_query");
    return wrap_view(view_of(self).reduced_query(expr));
  });
}

PyObject* collect(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    no_arguments(args, kwargs, "collect");
    return list_of(view_of(self).collect());
  });
}

PyObject* rebase(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    no_arguments(args, kwargs, "rebase");
    std::shared_ptr<IndexAPI> engine;
    {
      ReleasedGil released;
      engine = view_of(self).rebase();
    }
    return wrap_index(std::move(engine));
  });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"reduced", method_entry(reduced), kKeywords, "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", method_entry(reduced_query), kKeywords,
     "reduced_query($self, query)\n--\n\n"},
    {"collect", method_entry(collect), kKeywords, "collect($self)\n--\n\n"},
    {"rebase", method_entry(rebase), kKeywords, "rebase($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* filtered_index_type() {
  static ProcessObject type;
  return reinterpret_cast<PyTypeObject*>(type.get([] {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(filtered_index_dealloc)},
        {Py_tp_methods, methods},
        {Py_tp_doc, const_cast<char*>("")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Veldrake.FilteredIndex", sizeof(FilteredIndexObject), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return OwnedRef::steal(reinterpret_cast<PyObject*>(create_type(spec, "FilteredIndex")));
  }));
}

OwnedRef wrap_view(FilteredIndex view) {
  PyTypeObject* type = filtered_index_type();
  if (!type) throw PythonError();
  OwnedRef object = checked(type->tp_alloc(type, 0));
  new (&reinterpret_cast<FilteredIndexObject*>(object.get())->view) FilteredIndex(std::move(view));
  return object;
}

}  // namespace veldrake
