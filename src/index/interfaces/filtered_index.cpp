#include "index/interfaces/filtered_index.h"

#include <new>
#include <optional>

#include "index/core/indexable_object.h"
#include "index/core/python/binding.h"
#include "index/interfaces/arguments.h"
#include "index/interfaces/classes.h"
#include "index/interfaces/collection_calls.h"
#include "index/interfaces/collector.h"
#include "index/interfaces/conversions.h"
#include "index/interfaces/heap_types.h"
#include "index/interfaces/index.h"

namespace veldrake {
namespace {

// The C++ part of a FilteredIndex object; both fields are empty once cleared by the collector.
struct ViewHandle {
  std::optional<FilteredIndex> view;
  OwnedRef source;  // the Index the view was cut from
};

PyObject* source_of(PyObject* self) {
  return native_of<ViewHandle>(self).source.get();
}

const FilteredIndex& view_of(PyObject* self) {
  const std::optional<FilteredIndex>& view = native_of<ViewHandle>(self).view;
  check(view.has_value(), "the view was cleared by the cycle collector");
  return *view;
}

int filtered_index_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(source_of(self));
  return 0;
}

int filtered_index_clear(PyObject* self) {
  ViewHandle& handle = native_of<ViewHandle>(self);
  handle.view.reset();
  handle.source = OwnedRef();  // the field is empty before the reference goes
  return 0;
}

void filtered_index_dealloc(PyObject* self) {
  delete_native_object<ViewHandle>(self);
}

PyObject* reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&] {
    HashQuery query = keyword_query(args, nargs, kwnames, "reduced");
    std::optional<FilteredIndex> narrowed;
    {
      ReleasedGil released;
      narrowed.emplace(view_of(self).reduced(query));
    }
    return wrap_view(std::move(*narrowed), source_of(self));
  });
}

PyObject* reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded_object([&] {
    QueryExpr expr = query_argument(args, nargs, kwnames, "reduced_query");
    return wrap_view(view_of(self).reduced_query(expr), source_of(self));
  });
}

PyObject* collect(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    no_arguments(args, kwargs, "collect");
    const FilteredIndex& view = view_of(self);
    return list_of(*view.items(), view.ids(), view.answer_stamp());
  });
}

PyObject* rebase(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    no_arguments(args, kwargs, "rebase");
    std::vector<StoredIndexable> objects = fresh_copies(view_of(self).stored_objects());
    std::shared_ptr<IndexAPI> engine = IndexAPI::create();
    {
      ReleasedGil released;
      engine->add_objects(objects);
    }
    return wrap_index(std::move(engine));
  });
}

PyObject* count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&] {
    CountRequest request = count_arguments(args, nargs, kwnames);
    const FilteredIndex& view = view_of(self);
    uint64_t size = 0;
    if (const auto* expr = std::get_if<QueryExpr>(&request)) {
      size = view.reduced_query(*expr).size();
    } else if (const auto* query = std::get_if<HashQuery>(&request)) {
      size = view.reduced(*query).size();
    } else {
      size = view.size();
    }
    return checked(PyLong_FromUnsignedLongLong(size));
  });
}

PyObject* group_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    std::string path = group_counts_argument(args, kwargs);
    std::vector<std::pair<PyValue, uint64_t>> counts;
    {
      ReleasedGil released;
      counts = view_of(self).group_counts(path);
    }
    return counts_dict(counts);
  });
}

PyObject* order_by(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    OrderRequest request = order_arguments(args, kwargs);
    const FilteredIndex& view = view_of(self);
    std::vector<uint32_t> ids;
    {
      ReleasedGil released;
      ids = view.order_by(request.attr, request.page);
    }
    return list_in_order(*view.items(), ids, view.cut());
  });
}

PyObject* refuse_pickling(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&]() -> OwnedRef {
    (void)self;
    (void)args;
    (void)kwargs;
    raise_type_error(
        "cannot pickle a FilteredIndex, a view of an index; pickle view.rebase(), an Index "
        "holding copies of its objects, instead");
  });
}

Py_ssize_t view_length(PyObject* self) {
  return length_slot([&] { return view_of(self).size(); });
}

int view_contains(PyObject* self, PyObject* object) {
  return contains_slot(object, [&](uint32_t id) { return view_of(self).contains(id); });
}

std::optional<StoredIndexable> next_member(PyObject* self, uint32_t from) {
  return view_of(self).member_from(from);
}

PyObject* view_iter(PyObject* self) {
  return guarded_object([&] { return member_iterator(self, next_member); });
}

PyObject* view_repr(PyObject* self) {
  return guarded_object([&] { return collection_repr("FilteredIndex", view_of(self).size()); });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"reduced", method_entry(reduced), kKeywordsCall, "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", method_entry(reduced_query), kKeywordsCall,
     "reduced_query($self, query)\n--\n\n"},
    {"collect", method_entry(collect), kKeywords, "collect($self)\n--\n\n"},
    {"rebase", method_entry(rebase), kKeywords, "rebase($self)\n--\n\n"},
    {"count", method_entry(count), kKeywordsCall,
     "count($self, query=None, /, **kwargs)\n--\n\n"
     "Number of objects of the view matching `query` (a PyQueryExpr) or the keywords, as\n"
     "reduced_query or reduced would hold them; with neither, the size of the view."},
    {"group_counts", method_entry(group_counts), kKeywords,
     "group_counts($self, attr)\n--\n\n"
     "Dict from each value of `attr` among the view's objects to the number holding it, with\n"
     "the keys the source index's group_by(attr) would give for these objects."},
    {"order_by", method_entry(order_by), kKeywords,
     "order_by($self, attr, /, *, descending=False, limit=None, offset=0)\n--\n\n"
     "The view's objects ordered as Index.order_by orders members."},
    {"__reduce_ex__", method_entry(refuse_pickling), kKeywords,
     "__reduce_ex__($self, protocol)\n--\n\nRefuses: a view cannot be pickled; see rebase()."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* filtered_index_type() {
  static ProcessObject type;
  return reinterpret_cast<PyTypeObject*>(type.get([] {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(filtered_index_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(filtered_index_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(filtered_index_clear)},
        {Py_tp_methods, methods},
        {Py_tp_iter, reinterpret_cast<void*>(view_iter)},
        {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
        {Py_sq_length, reinterpret_cast<void*>(view_length)},
        {Py_sq_contains, reinterpret_cast<void*>(view_contains)},
        {Py_tp_doc, const_cast<char*>("")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"Veldrake.FilteredIndex", sizeof(NativeObject<ViewHandle>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return OwnedRef::steal(reinterpret_cast<PyObject*>(create_type(spec, "FilteredIndex")));
  }));
}

OwnedRef wrap_view(FilteredIndex view, PyObject* source) {
  return new_native_object(filtered_index_type(),
                           ViewHandle{std::move(view), OwnedRef::new_reference(source)});
}

}  // namespace veldrake
