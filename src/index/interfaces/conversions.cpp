#include "index/interfaces/conversions.h"

#include <algorithm>
#include <array>
#include <span>
#include <string>

#include "index/core/python/binding.h"
#include "index/core/query/query_ops.h"
#include "index/interfaces/arguments.h"
#include "index/interfaces/attribute_names.h"
#include "index/interfaces/keyword_query.h"
#include "index/interfaces/query.h"

namespace veldrake {

namespace {

// Fills a list allocated beforehand with the objects of ids handed over in ascending blocks,
// under the records' lock: nothing there allocates or runs Python code.
//
// Members lie scattered in memory, and each costs two cache misses: its record, then its object.
// So the walk loads records a few ids ahead and their objects half as far ahead: the misses
// overlap instead of each waiting for the one before. The record holds the object pointer itself,
// so no third load stands between them. The slots of a block of ids are located first, in one
// tight pass that reads each page's address once, so the walk itself only follows pointers.
class ListFiller {
 public:
  ListFiller(PyObject* list, const Items& slots, uint64_t admitted_by)
      : list_(list), slots_(slots), admitted_by_(admitted_by) {}

  // At most Bitmap::kBlockSize ids.
  void add_block(std::span<const uint32_t> block) {
    slots_.slots_of(block, located_.data());
    // Nulls past the block's end: a prefetch of null is harmless.
    std::fill_n(located_.begin() + static_cast<std::ptrdiff_t>(block.size()), kAhead, nullptr);
    for (std::size_t i = 0; i < block.size(); ++i) {
      __builtin_prefetch(located_[i + kAhead]);
      if (const Items::Slot* ahead = located_[i + kAhead / 2]; ahead && *ahead)
        __builtin_prefetch((*ahead)->python_object, 1);
      const Items::Slot* slot = located_[i];
      if (slot && *slot && (*slot)->admitted <= admitted_by_) {
        PyObject* object = (*slot)->python_object;
        Py_INCREF(object);
        PyList_SET_ITEM(list_, filled_++, object);
      }
    }
  }

  Py_ssize_t filled() const { return filled_; }

 private:
  static constexpr std::size_t kAhead = 16;

  PyObject* list_;
  const Items& slots_;
  uint64_t admitted_by_;
  Py_ssize_t filled_ = 0;
  std::array<const Items::Slot*, Bitmap::kBlockSize + kAhead> located_;
};

// A list of `capacity` items, `fill` it under the records' lock, and cut to what it filled.
template <class Fill>
OwnedRef filled_list(const RwLocked<Items>& items, std::size_t capacity, uint64_t admitted_by,
                     Fill&& fill) {
  const auto size = static_cast<Py_ssize_t>(capacity);
  OwnedRef list = checked(PyList_New(size));
  if (size == 0) return list;
  Py_ssize_t filled = 0;
  {
    auto slots = items.read();
    ListFiller filler(list.get(), *slots, admitted_by);
    fill(filler);
    filled = filler.filled();
  }
  if (filled < size) throw_if_failed(PyList_SetSlice(list.get(), filled, size, nullptr) == 0);
  return list;
}

}  // namespace

OwnedRef list_of(const RwLocked<Items>& items, const Bitmap& ids, uint64_t admitted_by) {
  return filled_list(items, ids.cardinality(), admitted_by, [&](ListFiller& filler) {
    ids.for_each_block([&](std::span<const uint32_t> block) { filler.add_block(block); });
  });
}

OwnedRef list_of(const RwLocked<Items>& items, std::span<const uint32_t> ids) {
  check(ids.size() <= Bitmap::kBlockSize, "list_of: more ids than one block");
  return filled_list(items, ids.size(), UINT64_MAX,
                     [&](ListFiller& filler) { filler.add_block(ids); });
}

HashQuery keyword_query(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        const char* method) {
  if (nargs != 0) {
    raise_type_error(std::string(method) + "() takes 0 positional arguments but " +
                     std::to_string(nargs) + " were given");
  }
  return keywords_to_hash_query(kwnames, args);
}

std::optional<OwnedRef> one_equality_answer(const IndexAPI& engine, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 0 || !kwnames || PyTuple_GET_SIZE(kwnames) != 1 || !one_value_by_type(args[0]))
    return std::nullopt;
  std::optional<uint32_t> attr = known_attribute_id(PyTuple_GET_ITEM(kwnames, 0));
  if (!attr) return checked(PyList_New(0));
  const PyValue value = PyValue::for_operand(args[0]);
  std::array<uint32_t, Bitmap::kBlockSize> room;
  EqualIds ids = equal_ids(*engine.query_maps, *attr, value, room);
  return ids.many ? list_of(*engine.items, *ids.many) : list_of(*engine.items, ids.few);
}

QueryExpr query_argument(PyObject* args, PyObject* kwargs, const char* method) {
  PyObject* query = nullptr;
  parse_arguments(args, kwargs, method, {"query"}, &query);
  return evaluable_query(query);
}

QueryExpr evaluable_query(PyObject* query) {
  const QueryExpr& expr = convert_argument("query", query, to_query_expr);
  // Evaluation recurses once per level and visits every node: refused here, a tree too deep or
  // too large never reaches it.
  if (expr.depth() > QueryExpr::kMaxDepth) {
    PyErr_Format(PyExc_RecursionError, "the query nests %u levels deep; at most %u are evaluated",
                 static_cast<unsigned>(expr.depth()), static_cast<unsigned>(QueryExpr::kMaxDepth));
    throw PythonError();
  }
  if (expr.visits() > QueryExpr::kMaxVisits) {
    PyErr_Format(PyExc_ValueError,
                 "the query has more than %llu nodes (counting shared operands once per use)",
                 static_cast<unsigned long long>(QueryExpr::kMaxVisits));
    throw PythonError();
  }
  return expr;
}

void no_arguments(PyObject* args, PyObject* kwargs, const char* method) {
  // The usual call passes nothing, and the parser would cost a few hundred instructions for it.
  if (PyTuple_GET_SIZE(args) == 0 && (!kwargs || PyDict_Size(kwargs) == 0)) return;
  parse_arguments(args, kwargs, method, {}, nullptr);
}

}  // namespace veldrake
