// The engine driven from several native threads at once, the way Python threads drive it: writers
// hold the interpreter lock and call write_attribute, which lets it go when it has to wait;
// adders and readers take the interpreter lock once (so that handles they drop are queued, not
// released without it) and then work with it released. Afterwards every answer is recomputed
// from the objects' stored attributes. Run under ThreadSanitizer by `make test-tsan`.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/structures/string_interner/interner.h"
#include "index/core/attribute_write.h"
#include "index/core/filtered_index.h"
#include "index/core/index_api.h"
#include "index/core/indexable_object.h"
#include "index/core/python/binding.h"
#include "python_eval.h"

namespace veldrake {
namespace {

using Ids = std::set<uint32_t>;

constexpr int kHolders = 120;
constexpr int kOwners = 4;

Ids ids_of(const Bitmap& bitmap) {
  std::vector<uint32_t> ids = bitmap.to_vector();
  return Ids(ids.begin(), ids.end());
}

// The value stored in `attr` of `object`, read under the object's lock.
std::optional<PyValue> stored(PyObject* object, const char* attr) {
  const IndexableRecord& record = record_of(object);
  auto guard = record.state->lock.lock();
  const PyValue* value = record.state->attributes.get(interner().intern(attr));
  return value ? std::optional<PyValue>(*value) : std::nullopt;
}

// True when `value` or one of its elements equals `wanted` as the value index compares them:
// numbers by value whatever their kind (the pool's numbers are all exact as doubles), other
// values by equality (text by content, Indexables and None by identity).
bool holds(const PyValue& value, const PyValue& wanted) {
  const auto number = [](const PyValue& v) -> std::optional<double> {
    if (v.kind() == ValueKind::Int) return static_cast<double>(std::get<int64_t>(v.primitive()));
    if (v.kind() == ValueKind::Float) return std::get<double>(v.primitive());
    return std::nullopt;
  };
  const auto matches = [&](const PyValue& leaf) {
    if (number(leaf) || number(wanted)) return number(leaf) == number(wanted);
    return leaf == wanted;
  };
  if (value.kind() != ValueKind::Iterable) return matches(value);
  return std::any_of(value.elements().begin(), value.elements().end(), matches);
}

Eq eq(const char* path, const PyValue& value) {
  Eq node;
  node.path = ShortText(path);
  node.value = value;
  return node;
}

HashQuery keyword(const char* name, const PyValue& value) {
  return HashQuery{HashQueryTerm{ShortText(name), {value}}};
}

class EngineThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    OwnedRef made = testing::evaluate(
        "owners = [Indexable(country=c) for c in ('fr', 'de', 'es', 'it')]\n"
        "holders = [Indexable(n=i % 7, tag='t%d' % (i % 5), owner=owners[i % 4])"
        " for i in range(120)]\n"
        "holders[0].peer, holders[1].peer = holders[1], holders[0]\n"
        "pool = [0, 1, 2, 2.0, 3.5, -1, 'x', 'y', None, ['x', ('y', 3)], [owners[0], 'x'],"
        " owners[1], float('nan')]\n"
        "countries = ['fr', 'de', 'es', 'it', 'pt']\n",
        "(owners, holders, pool, countries)");
    ASSERT_TRUE(made);
    const auto each = [&](Py_ssize_t list, auto&& take) {
      PyObject* items = PyTuple_GET_ITEM(made.get(), list);
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) take(PyList_GET_ITEM(items, i));
    };
    each(0, [&](PyObject* item) { owners_.push_back(OwnedRef::new_reference(item)); });
    each(1, [&](PyObject* item) {
      holders_.push_back(OwnedRef::new_reference(item));
      stored_.push_back(StoredIndexable::from_object(item));
    });
    each(2, [&](PyObject* item) { pool_.push_back(PyValue::from_object(item)); });
    each(3, [&](PyObject* item) { countries_.push_back(PyValue::from_object(item)); });
  }

  std::vector<OwnedRef> owners_;
  std::vector<OwnedRef> holders_;
  std::vector<StoredIndexable> stored_;
  std::vector<PyValue> pool_;
  std::vector<PyValue> countries_;
};

TEST_F(EngineThreads, AddsWritesAndQueriesFromSeveralThreadsLeaveExactIndexes) {
  std::shared_ptr<IndexAPI> index = IndexAPI::create();
  std::shared_ptr<IndexAPI> other = IndexAPI::create();
  // Half the holders are members before the threads start; the adders bring in the rest.
  for (int i = 0; i < kHolders / 2; ++i) index->add_object(stored_[static_cast<std::size_t>(i)]);
  for (int i = 0; i < kHolders; i += 3) other->add_object(stored_[static_cast<std::size_t>(i)]);

  constexpr int kWriters = 3;
  constexpr int kReaders = 2;
  constexpr int kWrites = 400;
  std::atomic<int> writers_left{kWriters + 1};  // and the adder
  std::atomic<int> failures{0};
  const PyValue x = pool_[6];
  // Members never leave, so whatever is answered later was a member by then.
  const auto expect_members = [&](const Bitmap& ids) {
    if (!Bitmap::difference(ids, *index->members()).is_empty()) failures.fetch_add(1);
  };

  {
    ReleasedGil released;
    std::vector<std::thread> threads;
    for (int t = 0; t < kWriters; ++t) {
      threads.emplace_back([&, t] {
        AcquiredGil gil;
        std::mt19937 rng(static_cast<uint32_t>(t) + 1u);
        for (int step = 0; step < kWrites; ++step) {
          const std::size_t which = rng() % 10;
          if (which < 6) {
            PyObject* holder = holders_[rng() % kHolders].get();
            write_attribute(record_of(holder), interner().intern(which < 3 ? "n" : "tag"),
                            pool_[rng() % pool_.size()]);
          } else if (which < 8) {
            PyObject* owner = owners_[rng() % kOwners].get();
            write_attribute(record_of(owner), interner().intern("country"),
                            countries_[rng() % countries_.size()]);
          } else {
            // Objects holding each other, rewired while others follow them.
            PyObject* holder = holders_[rng() % kHolders].get();
            PyObject* peer = holders_[rng() % kHolders].get();
            write_attribute(record_of(holder), interner().intern("peer"),
                            PyValue::from_object(peer));
          }
        }
        writers_left.fetch_sub(1);
      });
    }
    threads.emplace_back([&] {
      AcquiredGil gil;
      ReleasedGil working;
      for (int i = kHolders / 2; i < kHolders; ++i) {
        index->add_object(stored_[static_cast<std::size_t>(i)]);
        if (i % 20 == 0) {  // what union_with does
          index->report_merge(*other);
          index->add_objects(other->member_objects());
        }
      }
      writers_left.fetch_sub(1);
    });
    for (int t = 0; t < kReaders; ++t) {
      threads.emplace_back([&, t] {
        AcquiredGil gil;
        ReleasedGil working;
        std::mt19937 rng(static_cast<uint32_t>(t) + 100u);
        while (writers_left.load() > 0) {
          index->get_by_attribute(keyword("n", pool_[rng() % pool_.size()]));
          expect_members(index->evaluate(QueryExpr{eq("owner.country", countries_[rng() % 5])}));
          expect_members(index->evaluate(QueryExpr{Not{QueryExpr{eq("peer.tag", x)}}}));
          for (auto& [key, view] : index->group_by(t == 0 ? "tag" : "owner.country")) {
            if (view.ids().is_empty()) failures.fetch_add(1);
            // An object still being added may have its id before its record.
            if (view.stored_objects().size() > view.ids().cardinality()) failures.fetch_add(1);
          }
          FilteredIndex narrowed = index->reduced(keyword("tag", x));
          std::shared_ptr<IndexAPI> copy = IndexAPI::create();  // what rebase does
          copy->add_objects(narrowed.stored_objects());
          expect_members(*copy->members());
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  EXPECT_EQ(failures.load(), 0);

  // Every member, and every answer, as recomputed from the stored attributes.
  const auto holders_where = [&](auto&& holds_it) {
    Ids ids;
    for (const OwnedRef& holder : holders_) {
      if (holds_it(holder.get())) ids.insert(record_of(holder.get()).id);
    }
    return ids;
  };
  EXPECT_EQ(ids_of(*index->members()), holders_where([](PyObject*) { return true; }));
  for (const PyValue& value : pool_) {
    for (const char* attr : {"n", "tag"}) {
      const Ids expected = holders_where([&](PyObject* holder) {
        std::optional<PyValue> held = stored(holder, attr);
        return held && holds(*held, value);
      });
      EXPECT_EQ(ids_of(index->get_by_attribute(keyword(attr, value))), expected)
          << attr << " " << value.debug_string();
      EXPECT_EQ(ids_of(index->evaluate(QueryExpr{eq(attr, value)})), expected)
          << attr << " " << value.debug_string();
    }
  }
  for (const PyValue& country : countries_) {
    const Ids expected = holders_where([&](PyObject* holder) {
      std::optional<PyValue> owner = stored(holder, "owner");
      if (!owner || owner->kind() != ValueKind::Ind) return false;
      std::optional<PyValue> held = stored(owner->object(), "country");
      return held && holds(*held, country);
    });
    EXPECT_EQ(ids_of(index->evaluate(QueryExpr{eq("owner.country", country)})), expected)
        << country.debug_string();
  }

  // Queries read the members through a shared snapshot, which later changes must leave alone.
  const std::shared_ptr<const Bitmap> snapshot = index->members();
  const Ids taken = ids_of(*snapshot);
  const uint32_t leaving = record_of(holders_.front().get()).id;
  ASSERT_TRUE(index->remove_object(StoredIndexable::from_object(holders_.front().get())));
  EXPECT_EQ(ids_of(*snapshot), taken);
  EXPECT_FALSE(index->members()->contains(leaving));
}

// A reference dropped inside a GilUntilBlocking scope is released as the scope ends, and may run
// Python code that comes back into the module and waits for a lock: the ending scope must not
// give up the interpreter lock behind that code's back.
TEST(GilUntilBlocking, CodeRunByItsQueuedReleasesKeepsTheInterpreterLock) {
  static bool held_after_wait = false;
  static PyMethodDef wait = {
      "wait_for_lock",
      [](PyObject*, PyObject*) -> PyObject* {
        BeforeBlocking::now();  // what a contended engine lock does before it waits
        held_after_wait = PyGILState_Check() != 0;
        Py_RETURN_NONE;
      },
      METH_NOARGS, nullptr};
  OwnedRef function = OwnedRef::steal(PyCFunction_New(&wait, nullptr));
  ASSERT_EQ(PyDict_SetItemString(PyEval_GetBuiltins(), "wait_for_lock", function.get()), 0);
  OwnedRef object = testing::evaluate(
      "class Finalized:\n    def __del__(self):\n        wait_for_lock()\n", "Finalized()");
  ASSERT_TRUE(object);
  {
    GilUntilBlocking scope;
    release_reference(object.release());  // the last reference: queued
  }
  EXPECT_TRUE(held_after_wait);
  EXPECT_TRUE(PyGILState_Check());
}

}  // namespace
}  // namespace veldrake
