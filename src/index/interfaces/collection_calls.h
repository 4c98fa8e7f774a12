// Argument and result conversions of the collection methods that Index and FilteredIndex share:
// count, group_counts, order_by, iteration and repr.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "index/core/index_api.h"
#include "index/core/indexable_object.h"
#include "index/core/python/binding.h"
#include "index/core/python/python_ref.h"
#include "index/core/query/query_expr.h"
#include "index/core/query/ranking.h"
#include "index/interfaces/keyword_query.h"

namespace veldrake {

// What `count(query=None, /, **kwargs)` asks for: every member, an expression or keywords.
using CountRequest = std::variant<std::monostate, QueryExpr, HashQuery>;
CountRequest count_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The arguments of `order_by(attr, /, *, descending=False, limit=None, offset=0)`.
struct OrderRequest {
  std::string attr;
  PageRequest page;
};
OrderRequest order_arguments(PyObject* args, PyObject* kwargs);

// The one-segment attribute name `attr` of group_counts.
std::string group_counts_argument(PyObject* args, PyObject* kwargs);

// A new, empty dict with room for `entries` keys: filled without regrowing (a group_by over a
// thousand values would otherwise rebuild its table eight times).
OwnedRef dict_sized_for(std::size_t entries);

// A new dict from each group value to its size.
OwnedRef counts_dict(const std::vector<std::pair<PyValue, uint64_t>>& counts);

// A new list of the objects of `ids` in that order, skipping ids without a record in `items`
// and records newer than `admitted_by`.
OwnedRef list_in_order(const RwLocked<Items>& items, const std::vector<uint32_t>& ids,
                       uint64_t admitted_by);

// The sq_length slot of a collection whose size `size()` gives.
template <class Size>
Py_ssize_t length_slot(Size&& size) {
  Py_ssize_t length = -1;
  guarded([&] {
    length = static_cast<Py_ssize_t>(size());
    return 0;
  });
  return length;
}

// The sq_contains slot: whether `object` is an Indexable whose id `holds(id)` accepts.
template <class Holds>
int contains_slot(PyObject* object, Holds&& holds) {
  return guarded([&] {
    if (!is_indexable(object)) return 0;
    return holds(StoredIndexable::from_object(object).id()) ? 1 : 0;
  });
}

// "<`name` with `size` objects>".
OwnedRef collection_repr(const char* name, uint64_t size);

// The next member of a collection: the member with the smallest id at or above `from`.
using NextMember = std::optional<StoredIndexable> (*)(PyObject* collection, uint32_t from);
// A new iterator yielding the members of `collection` in ascending id order, each found when it
// is asked for, so members that leave meanwhile are never yielded.
OwnedRef member_iterator(PyObject* collection, NextMember next);

}  // namespace veldrake
