#include "index/interfaces/index.h"

#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/interrupt_watch.h"
#include "index/core/indexable_object.h"
#include "index/core/python/binding.h"
#include "index/interfaces/arguments.h"
#include "index/interfaces/classes.h"
#include "index/interfaces/collection_calls.h"
#include "index/interfaces/collector.h"
#include "index/interfaces/conversions.h"
#include "index/interfaces/filtered_index.h"
#include "index/interfaces/heap_types.h"

namespace veldrake {
namespace {

// The C++ part of an Index object.
using Engine = std::shared_ptr<IndexAPI>;

IndexAPI& engine_of(PyObject* self) {
  const Engine& engine = native_of<Engine>(self);
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
  const Engine& engine = native_of<Engine>(self);
  if (!engine) return 0;
  if (int stop = visit_records(*engine->items, visit, arg)) return stop;
  return visit_reached(engine->reachable(), visit, arg);
}

int index_clear(PyObject* self) {
  native_of<Engine>(self).reset();
  return 0;
}

void index_dealloc(PyObject* self) {
  delete_native_object<Engine>(self);
}

// Runs `step(watch)` with the interpreter lock released until it returns true. A Ctrl-C stops a
// step; the interpreter then runs its signal handlers here, with the lock and no engine lock held:
// an exception they raise (KeyboardInterrupt) leaves, else the next step goes on.
template <class Step>
void interruptible(InterruptWatch::Start start, Step&& step) {
  InterruptWatch watch(start);
  for (;;) {
    bool done = false;
    {
      ReleasedGil released;
      done = step(watch);
    }
    if (done) return;
    if (PyErr_CheckSignals() != 0) throw PythonError();
    watch.rearm();
  }
}

PyObject* add_object(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    PyObject* py_ref = nullptr;
    parse_arguments(args, kwargs, "add_object", {"py_ref"}, &py_ref);
    StoredIndexable object = convert_argument("py_ref", py_ref, indexable_argument);
    IndexAPI& engine = engine_of(self);
    interruptible(InterruptWatch::Start::kAtFirstLook,
                  [&](const InterruptWatch& watch) { return engine.add_object(object, &watch); });
    return OwnedRef::new_reference(Py_None);
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
    IndexAPI& engine = engine_of(self);
    // Each step adds what the last one left (copies of handles; `objects` keeps the references).
    std::size_t added = 0;
    interruptible(InterruptWatch::Start::kNow, [&](const InterruptWatch& watch) {
      if (added == 0) {
        added = engine.add_objects(objects, &watch);
      } else {
        const std::vector<StoredIndexable> rest(objects.begin() + added, objects.end());
        added += engine.add_objects(rest, &watch);
      }
      return added == objects.size();
    });
    return OwnedRef::new_reference(Py_None);
  });
}

PyObject* get_by_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded_object([&] {
    const IndexAPI& engine = engine_of(self);
    if (std::optional<OwnedRef> answer = one_equality_answer(engine, args, nargs, kwnames))
      return std::move(*answer);
    HashQuery query = keyword_query(args, nargs, kwnames, "get_by_attribute");
    const AnswerStamp stamp = engine.answer_stamp();
    return list_of(*engine.items, engine.get_by_attribute(query), stamp);
  });
}

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&] {
    HashQuery query = keyword_query(args, nargs, kwnames, "reduce");
    {
      ReleasedGil released;
      engine_of(self).reduce(query);
    }
    return OwnedRef::new_reference(Py_None);
  });
}

PyObject* reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&] {
    HashQuery query = keyword_query(args, nargs, kwnames, "reduced");
    return wrap_view(engine_of(self).reduced(query), self);
  });
}

PyObject* reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded_object([&] {
    QueryExpr expr = query_argument(args, nargs, kwnames, "reduced_query");
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
    OwnedRef result = dict_sized_for(groups.size());
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
    return OwnedRef::new_reference(Py_None);
  });
}

PyObject* collect(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    no_arguments(args, kwargs, "collect");
    IndexAPI& engine = engine_of(self);
    const AnswerStamp stamp = engine.answer_stamp();
    return list_of(*engine.items, *engine.members(), stamp);
  });
}

PyObject* count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&] {
    CountRequest request = count_arguments(args, nargs, kwnames);
    IndexAPI& engine = engine_of(self);
    uint64_t size = 0;
    if (const auto* expr = std::get_if<QueryExpr>(&request)) {
      size = engine.count(*expr);
    } else if (const auto* query = std::get_if<HashQuery>(&request)) {
      size = engine.get_by_attribute(*query).cardinality();
    } else {
      size = engine.size();
    }
    return checked(PyLong_FromUnsignedLongLong(size));
  });
}

PyObject* group_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    std::string path = group_counts_argument(args, kwargs);
    std::vector<std::pair<PyValue, FilteredIndex>> groups;
    {
      ReleasedGil released;
      groups = engine_of(self).group_by(path);
    }
    std::vector<std::pair<PyValue, uint64_t>> counts;
    for (auto& [value, view] : groups) counts.emplace_back(std::move(value), view.size());
    return counts_dict(counts);
  });
}

PyObject* order_by(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    OrderRequest request = order_arguments(args, kwargs);
    IndexAPI& engine = engine_of(self);
    std::vector<uint32_t> ids;
    {
      ReleasedGil released;
      ids = engine.order_by(request.attr, request.page);
    }
    return list_in_order(*engine.items, ids, UINT64_MAX);
  });
}

// Removes each of `objects` that is a member; how many were. One object takes a few
// microseconds: giving up the interpreter lock for it, and taking it back, would cost a good part
// of that, so it is kept unless the removal has to wait for a lock.
std::size_t remove_members(PyObject* self, std::span<const StoredIndexable> objects) {
  IndexAPI& engine = engine_of(self);
  std::size_t removed = 0;
  std::optional<ReleasedGil> released;
  std::optional<GilUntilBlocking> engine_work;
  if (objects.size() == 1)
    engine_work.emplace();
  else
    released.emplace();
  for (const StoredIndexable& object : objects) removed += engine.remove_object(object) ? 1 : 0;
  return removed;
}

StoredIndexable single_object(PyObject* args, PyObject* kwargs, const char* method) {
  PyObject* obj = nullptr;
  parse_arguments(args, kwargs, method, {"obj"}, &obj);
  return convert_argument("obj", obj, indexable_argument);
}

PyObject* remove(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    const StoredIndexable object = single_object(args, kwargs, "remove");
    if (remove_members(self, {&object, 1}) == 0) {
      PyErr_SetObject(PyExc_KeyError, object.python_handle.get());
      throw PythonError();
    }
    return OwnedRef::new_reference(Py_None);
  });
}

PyObject* discard(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    const StoredIndexable object = single_object(args, kwargs, "discard");
    remove_members(self, {&object, 1});
    return OwnedRef::new_reference(Py_None);
  });
}

PyObject* remove_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    PyObject* objs = nullptr;
    parse_arguments(args, kwargs, "remove_many", {"objs"}, &objs);
    if (!PyList_Check(objs) && !PyTuple_Check(objs)) {
      raise_type_error(std::string("remove_many() argument 'objs' must be a list or tuple, not '") +
                       Py_TYPE(objs)->tp_name + "'");
    }
    std::vector<StoredIndexable> objects = convert_argument("objs", objs, indexables_argument);
    IndexAPI& engine = engine_of(self);
    for (const StoredIndexable& object : objects) {
      if (!engine.has_object_id(object.id())) {
        PyErr_SetObject(PyExc_KeyError, object.python_handle.get());
        throw PythonError();
      }
    }
    remove_members(self, objects);
    return OwnedRef::new_reference(Py_None);
  });
}

PyObject* clear(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    no_arguments(args, kwargs, "clear");
    IndexAPI& engine = engine_of(self);
    {
      ReleasedGil released;
      engine.clear();
    }
    return OwnedRef::new_reference(Py_None);
  });
}

// Pickled as its members, which the unpickled index adds again (see index_setstate).
PyObject* index_reduce(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    no_arguments(args, kwargs, "__reduce__");
    IndexAPI& engine = engine_of(self);
    const AnswerStamp stamp = engine.answer_stamp();
    OwnedRef members = list_of(*engine.items, *engine.members(), stamp);
    OwnedRef no_arguments_tuple = checked(PyTuple_New(0));
    return checked(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                no_arguments_tuple.get(), members.get()));
  });
}

PyObject* index_setstate(PyObject* self, PyObject* members) {
  return guarded_object([&] {
    std::vector<StoredIndexable> objects = convert_argument("state", members, indexables_argument);
    {
      ReleasedGil released;
      engine_of(self).add_objects(objects);
    }
    return OwnedRef::new_reference(Py_None);
  });
}

Py_ssize_t index_length(PyObject* self) {
  return length_slot([&] { return engine_of(self).size(); });
}

int index_contains(PyObject* self, PyObject* object) {
  return contains_slot(object, [&](uint32_t id) { return engine_of(self).has_object_id(id); });
}

std::optional<StoredIndexable> next_member(PyObject* self, uint32_t from) {
  return engine_of(self).member_from(from);
}

PyObject* index_iter(PyObject* self) {
  return guarded_object([&] { return member_iterator(self, next_member); });
}

PyObject* index_repr(PyObject* self) {
  return guarded_object([&] { return collection_repr("Index", engine_of(self).size()); });
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
    {"reduced_query", method_entry(reduced_query), kKeywordsCall,
     "reduced_query($self, query)\n--\n\n"},
    {"group_by", method_entry(group_by), kKeywords, "group_by($self, attr)\n--\n\n"},
    {"union_with", method_entry(union_with), kKeywords, "union_with($self, other)\n--\n\n"},
    {"collect", method_entry(collect), kKeywords, "collect($self)\n--\n\n"},
    {"count", method_entry(count), kKeywordsCall,
     "count($self, query=None, /, **kwargs)\n--\n\n"
     "Number of members matching `query` (a PyQueryExpr) or the keywords, as reduced_query or\n"
     "get_by_attribute would return them; with neither, the number of members. Builds no list."},
    {"group_counts", method_entry(group_counts), kKeywords,
     "group_counts($self, attr)\n--\n\n"
     "Dict from each value group_by(attr) would return to the size of its group."},
    {"order_by", method_entry(order_by), kKeywords,
     "order_by($self, attr, /, *, descending=False, limit=None, offset=0)\n--\n\n"
     "Members ordered by the value in attribute `attr`: numbers first, then each kind of date\n"
     "or time (date, naive datetime, aware datetime, timedelta, numpy datetime64, numpy\n"
     "timedelta64), each kind ascending or descending, equal values by ascending id; then the\n"
     "members holding no ordered value in it, by ascending id. A list ranks in the first kind it\n"
     "holds, at its smallest value (largest when descending). `offset` members are skipped and\n"
     "at most `limit` returned; only that page is built."},
    {"remove", method_entry(remove), kKeywords,
     "remove($self, obj)\n--\n\n"
     "Takes `obj` out of the index; KeyError(obj) if it is not a member."},
    {"discard", method_entry(discard), kKeywords,
     "discard($self, obj)\n--\n\nTakes `obj` out of the index if it is a member."},
    {"remove_many", method_entry(remove_many), kKeywords,
     "remove_many($self, objs)\n--\n\n"
     "Takes every object of the list or tuple `objs` out of the index. If one is not a member,\n"
     "raises KeyError(that object) and removes none."},
    {"clear", method_entry(clear), kKeywords,
     "clear($self)\n--\n\nTakes every member out of the index."},
    {"__reduce__", method_entry(index_reduce), kKeywords,
     "__reduce__($self)\n--\n\nPickles the index as its members."},
    {"__setstate__", method_entry(index_setstate), METH_O,
     "__setstate__($self, members, /)\n--\n\nAdds the unpickled members."},
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
        {Py_tp_iter, reinterpret_cast<void*>(index_iter)},
        {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
        {Py_sq_length, reinterpret_cast<void*>(index_length)},
        {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
        {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Veldrake.Index", sizeof(NativeObject<Engine>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return OwnedRef::steal(reinterpret_cast<PyObject*>(create_type(spec, "Index")));
  }));
}

OwnedRef wrap_index(std::shared_ptr<IndexAPI> engine) {
  return new_native_object(index_type(), std::move(engine));
}

}  // namespace veldrake
