#include "index/interfaces/index.h"

#include <new>
#include <string>
#include <vector>

#include "index/indexable.h"
#include "index/interfaces/classes.h"
#include "index/interfaces/collector.h"
#include "index/interfaces/conversions.h"
#include "index/interfaces/filtered_index.h"
#include "module/binding.h"

namespace veldrake {
namespace {

struct IndexObject {
  PyObject_HEAD std::shared_ptr<IndexAPI> engine;
};

IndexAPI& engine_of(PyObject* self) {
  const std::shared_ptr<IndexAPI>& engine = reinterpret_cast<IndexObject*>(self)->engine;
  check(engine != nullptr, "the index was cleared by the cycle collector");
  return *engine;
}

StoredIndexable indexable_argument(PyObject* object) {
  if (!is_indexable(object)) {
    raise_type_error(std::string("'") + Py_TYPE(object)->tp_name +
                     "' object cannot be converted to 'Indexable'");
  }
  return StoredIndexable::from_object(object);
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    // CPython's __new__ wrapper refuses `Index.__new__(Indexable)`; PyPy's does not check.
    if (!PyType_IsSubtype(type, index_type()))
      raise_type_error(std::string("Index.__new__(") + type->tp_name + "): not a subtype of Index");
    no_arguments(args, kwargs, "Index");
    return wrap_index(IndexAPI::create());
  });
}

int index_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  // The engine is this object's alone; other threads share it only for the length of a call.
  const std::shared_ptr<IndexAPI>& engine = reinterpret_cast<IndexObject*>(self)->engine;
  return engine ? visit_records(*engine->items, visit, arg) : 0;
}

int index_clear(PyObject* self) {
  reinterpret_cast<IndexObject*>(self)->engine.reset();
  return 0;
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  reinterpret_cast<IndexObject*>(self)->engine.~shared_ptr();
  free_instance(self);
  Py_DECREF(type);
}

PyObject* add_object(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    PyObject* py_ref = nullptr;
    parse_arguments(args, kwargs, "add_object", {"py_ref"}, &py_ref);
    StoredIndexable object = convert_argument("py_ref", py_ref, indexable_argument);
    {
      ReleasedGil released;
      engine_of(self).add_object(object);
    }
    return OwnedRef::borrow(Py_None);
  });
}

std::vector<StoredIndexable> indexables_argument(PyObject* objs) {
  if (PyUnicode_Check(objs)) raise_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(objs)) {
    raise_type_error(std::string("'") + Py_TYPE(objs)->tp_name +
                     "' object cannot be converted to 'Sequence'");
  }
  Py_ssize_t length = PySequence_Size(objs);
  throw_if_failed(length >= 0);
  std::vector<StoredIndexable> objects;
  objects.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    OwnedRef item = checked(PySequence_GetItem(objs, i));
    objects.push_back(indexable_argument(item.get()));
  }
  return objects;
}

PyObject* add_object_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    PyObject* objs = nullptr;
    parse_arguments(args, kwargs, "add_object_many", {"objs"}, &objs);
    std::vector<StoredIndexable> objects = convert_argument("objs", objs, indexables_argument);
    {
      ReleasedGil released;
      engine_of(self).add_objects(objects);
    }
    return OwnedRef::borrow(Py_None);
  });
}

PyObject* get_by_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded_object([&] {
    HashQuery query = keyword_query(args, nargs, kwnames, "get_by_attribute");
    IndexAPI& engine = engine_of(self);
    return list_of(*engine.items, engine.get_by_attribute(query));
  });
}

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&] {
    HashQuery query = keyword_query(args, nargs, kwnames, "reduce");
    {
      ReleasedGil released;
      engine_of(self).reduce(query);
    }
    return OwnedRef::borrow(Py_None);
  });
}

PyObject* reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&] {
    HashQuery query = keyword_query(args, nargs, kwnames, "reduced");
    return wrap_view(engine_of(self).reduced(query), self);
  });
}

PyObject* reduced_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    QueryExpr expr = query_argument(args, kwargs, "reduced_query");
    return wrap_view(engine_of(self).reduced_query(expr), self);
  });
}

PyObject* group_by(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    PyObject* attr = nullptr;
    parse_arguments(args, kwargs, "group_by", {"attr"}, &attr);
    std::string path(convert_argument("attr", attr, text_argument));
    std::vector<std::pair<PyValue, FilteredIndex>> groups;
    {
      ReleasedGil released;
      groups = engine_of(self).group_by(path);
    }
    OwnedRef result = checked(PyDict_New());
    for (auto& [value, view] : groups) {
      OwnedRef key = value.to_object();
      OwnedRef group = wrap_view(std::move(view), self);
      throw_if_failed(PyDict_SetItem(result.get(), key.get(), group.get()) == 0);
    }
    return result;
  });
}

PyObject* union_with(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    PyObject* other = nullptr;
    parse_arguments(args, kwargs, "union_with", {"other"}, &other);
    convert_argument("other", other, [](PyObject* object) {
      if (Py_TYPE(object) != index_type()) {
        raise_type_error(std::string("'") + Py_TYPE(object)->tp_name +
                         "' object cannot be converted to 'Index'");
      }
      return 0;
    });
    IndexAPI& mine = engine_of(self);
    IndexAPI& theirs = engine_of(other);
    mine.report_merge(theirs);
    if (&theirs != &mine) {
      std::vector<StoredIndexable> incoming = fresh_copies(theirs.member_objects());
      ReleasedGil released;
      mine.add_objects(incoming);
    }
    return OwnedRef::borrow(Py_None);
  });
}

PyObject* collect(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    no_arguments(args, kwargs, "collect");
    IndexAPI& engine = engine_of(self);
    return list_of(*engine.items, engine.members());
  });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"add_object", method_entry(add_object), kKeywords, "add_object($self, py_ref)\n--\n\n"},
    {"add_object_many", method_entry(add_object_many), kKeywords,
     "add_object_many($self, objs)\n--\n\n"},
    {"get_by_attribute", method_entry(get_by_attribute), kKeywordsCall,
     "get_by_attribute($self, **kwargs)\n--\n\n"},
    {"reduce", method_entry(reduce), kKeywordsCall, "reduce($self, **kwargs)\n--\n\n"},
    {"reduced", method_entry(reduced), kKeywordsCall, "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", method_entry(reduced_query), kKeywords,
     "reduced_query($self, query)\n--\n\n"},
    {"group_by", method_entry(group_by), kKeywords, "group_by($self, attr)\n--\n\n"},
    {"union_with", method_entry(union_with), kKeywords, "union_with($self, other)\n--\n\n"},
    {"collect", method_entry(collect), kKeywords, "collect($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* index_type() {
  static ProcessObject type;
  return reinterpret_cast<PyTypeObject*>(type.get([] {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(index_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(index_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(index_clear)},
        {Py_tp_methods, methods},
        {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Veldrake.Index", sizeof(IndexObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return OwnedRef::steal(reinterpret_cast<PyObject*>(create_type(spec, "Index")));
  }));
}

OwnedRef wrap_index(std::shared_ptr<IndexAPI> engine) {
  PyTypeObject* type = index_type();
  if (!type) throw PythonError();
  OwnedRef object = allocate_instance(type);
  new (&reinterpret_cast<IndexObject*>(object.get())->engine)
      std::shared_ptr<IndexAPI>(std::move(engine));
  return object;
}

}  // namespace veldrake
