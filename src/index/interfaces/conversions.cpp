#include "index/interfaces/conversions.h"

#include <algorithm>
#include <array>
#include <memory>
#include <span>
#include <string>

#include "index/core/indexable_record.h"
#include "index/core/python/binding.h"
#include "index/core/query/query_ops.h"
#include "index/interfaces/arguments.h"
#include "index/interfaces/attribute_names.h"
#include "index/interfaces/keyword_query.h"
#include "index/interfaces/query.h"

namespace veldrake {

namespace {

// How far ahead a walk over scattered objects prefetches.
constexpr std::size_t kAhead = 16;
// How many ids a walk looks up before it reads their objects.
constexpr std::size_t kBlockSize = 256;

// Calls `visit(block)` for consecutive blocks of at most kBlockSize of `ids`.
template <class Visit>
void for_each_block(std::span<const uint32_t> ids, Visit&& visit) {
  for (std::size_t start = 0; start < ids.size(); start += kBlockSize)
    visit(ids.subspan(start, std::min(kBlockSize, ids.size() - start)));
}

// Fills `list` with the objects of `ids`, read from the table of objects by id; returns how many.
// The table is read in one tight pass per block, ascending, and each object is prefetched a few
// steps before its reference count is incremented: the objects' cache misses overlap.
Py_ssize_t fill_from_table(PyObject* list, std::span<const uint32_t> ids) {
  const IdTable<PyObject*>& objects = objects_by_id();
  Py_ssize_t filled = 0;
  // Filled per block, with nulls past its end.
  std::array<PyObject*, kBlockSize + kAhead> located;
  for_each_block(ids, [&](std::span<const uint32_t> block) {
    for (std::size_t i = 0; i < block.size(); ++i) located[i] = objects.get(block[i]);
    std::fill_n(located.begin() + static_cast<std::ptrdiff_t>(block.size()), kAhead, nullptr);
    for (std::size_t i = 0; i < block.size(); ++i) {
      if (PyObject* ahead = located[i + kAhead]) __builtin_prefetch(ahead, 1);
      if (PyObject* object = located[i]) {
        Py_INCREF(object);
        PyList_SET_ITEM(list, filled++, object);
      }
    }
  });
  return filled;
}

// Fills `list` with the objects of `ids` whose record in `items` was admitted by `admitted_by`;
// returns how many. Each costs two cache misses, its record then its object, so the walk loads
// records a few ids ahead and their objects half as far ahead. The slots of a block of ids are
// located first, in one pass that reads each page's address once.
Py_ssize_t fill_from_records(PyObject* list, const RwLocked<Items>& items,
                             std::span<const uint32_t> ids, uint64_t admitted_by) {
  Py_ssize_t filled = 0;
  auto slots = items.read();
  // Filled per block, with nulls past its end: a prefetch of null is harmless.
  std::array<const Items::Slot*, kBlockSize + kAhead> located;
  for_each_block(ids, [&](std::span<const uint32_t> block) {
    slots->slots_of(block, located.data());
    std::fill_n(located.begin() + static_cast<std::ptrdiff_t>(block.size()), kAhead, nullptr);
    for (std::size_t i = 0; i < block.size(); ++i) {
      __builtin_prefetch(located[i + kAhead]);
      if (const Items::Slot* ahead = located[i + kAhead / 2]; ahead && *ahead)
        __builtin_prefetch((*ahead)->python_object, 1);
      const Items::Slot* slot = located[i];
      if (slot && *slot && (*slot)->admitted <= admitted_by) {
        PyObject* object = (*slot)->python_object;
        Py_INCREF(object);
        PyList_SET_ITEM(list, filled++, object);
      }
    }
  });
  return filled;
}

}  // namespace

// The list is allocated first, then filled with plain reference increments: nothing there
// allocates or runs Python code. The stamp is checked after the allocation, which may run the cycle
// collector and with it code that removes members. A member removed on another thread while the
// list fills keeps its object alive until this thread lets go of the interpreter lock.
OwnedRef list_of(const RwLocked<Items>& items, std::span<const uint32_t> ids,
                 const AnswerStamp& stamp) {
  const auto capacity = static_cast<Py_ssize_t>(ids.size());
  OwnedRef list = checked(PyList_New(capacity));
  if (capacity == 0) return list;
  const Py_ssize_t filled = stamp.unchanged()
                                ? fill_from_table(list.get(), ids)
                                : fill_from_records(list.get(), items, ids, stamp.admitted_by);
  if (filled < capacity)
    throw_if_failed(PyList_SetSlice(list.get(), filled, capacity, nullptr) == 0);
  return list;
}

// The ids are read out of the bitmap in one bulk pass, several times cheaper per id than its
// iterator. Small answers (a group of group_by, most selective queries) use the stack: the heap
// buffer's allocation would cost as much as the copy.
OwnedRef list_of(const RwLocked<Items>& items, const Bitmap& ids, const AnswerStamp& stamp) {
  const std::size_t count = ids.cardinality();
  std::array<uint32_t, kBlockSize> on_stack;  // not zeroed: every id is written over
  std::unique_ptr<uint32_t[]> on_heap;
  uint32_t* buffer = on_stack.data();
  if (count > on_stack.size()) {
    on_heap.reset(new uint32_t[count]);
    buffer = on_heap.get();
  }
  ids.copy_to(buffer);
  return list_of(items, std::span<const uint32_t>(buffer, count), stamp);
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
  const AnswerStamp stamp = engine.answer_stamp();
  std::array<uint32_t, Bitmap::kBlockSize> room;
  EqualIds ids = equal_ids(engine.value_index(*attr), value, room);
  return ids.many ? list_of(*engine.items, *ids.many, stamp)
                  : list_of(*engine.items, ids.few, stamp);
}

QueryExpr query_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         const char* method) {
  PyObject* query = nullptr;
  parse_arguments(args, nargs, kwnames, method, {"query"}, &query);
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
