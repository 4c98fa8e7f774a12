// The objects reachable from an index's members through Indexable values, and the links between
// them, which answer dotted paths.
//
// Every object reached from a member (through any number of Indexable values, container elements
// included) is registered once, however many paths lead to it: its values go into the value
// indexes kept here, one per attribute, and each link "holder holds target under attribute" is
// kept in reverse, as the holders of each target per attribute. A dotted path a.b.c is answered
// from its end: the reached objects whose c matches, their holders under b, then their holders
// under a (which the caller narrows to the members). Cycles, shared objects and diamonds need
// nothing special, and the answer depends only on the current values.
//
// A reached object leaves when no registered object holds it any more, and with it whatever only
// it held. Objects that only hold each other in a cycle cut off from the members are found by a
// sweep from the members, run once enough links have been broken to pay for it. Until then they
// cannot change an answer: whatever holds an unreachable object is unreachable too, so walking
// back from one never arrives at a member.
//
// Changes of links run under the ObjectGraphLock with the holder's lock held (see
// object_graph_lock.h); they lock the objects they reach one at a time. The stores here are
// leaves, like the index's own.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "base/interrupt_watch.h"
#include "base/locks.h"
#include "base/structures/bitmap.h"
#include "base/structures/listed_id_set.h"
#include "base/structures/paged_slots.h"
#include "index/core/holders_memo.h"
#include "index/core/indexable_record.h"
#include "index/core/values/value.h"

namespace veldrake {

class IndexAPI;
class QueryMap;

class ReachableObjects {
 public:
  // --- changes ---

  // `holder` (a member, or a reached object) changes attribute `attr` from `old` to `now` (either
  // may be null): links to the objects only `now` holds, registering those not yet reached and
  // everything they reach, and unlinks the objects only `old` held, releasing those no longer
  // held. Caller holds the ObjectGraphLock and the holder's lock. With a `watch`, a Ctrl-C stops
  // the registrations and returns false: the objects linked but not registered then answer
  // nothing, and the caller must unlink `holder`'s new links, which releases them.
  bool relink(IndexAPI& index, uint32_t holder, uint32_t attr, const PyValue* old,
              const PyValue* now, const InterruptWatch* watch = nullptr);
  // Member `id` has left the index (its record and members' index entries are gone). If it is
  // still reached it stays so, holding what it holds; otherwise it unlinks what it held, which
  // leaves unless held otherwise. Returns whether it is still reached. Caller holds its lock, and
  // the ObjectGraphLock when it holds Indexable values.
  bool member_left(IndexAPI& index, uint32_t id, const ObjectState& state);
  // Forgets every reached object and link, each object's membership included. Caller holds the
  // ObjectGraphLock and has taken every member out of `index`.
  void clear(IndexAPI& index);
  // Keeps the value indexes right when object `id` changes attribute `attr` from `old` to `now`
  // (either may be null), if it is a reached object. Caller holds its lock.
  void replace_value(uint32_t id, uint32_t attr, const PyValue* old, const PyValue* now);

  // --- queries ---

  bool is_reached(uint32_t id) const;
  // The value index of `attr` over the reached objects, or null.
  const QueryMap* value_map(uint32_t attr) const;
  // Walks `held` back along `attrs`, last attribute first: the objects from which following
  // `attrs` in order leads to one of `held` (members and reached objects), only those in
  // `within` unless it is null. Answers are kept until a link changes.
  Bitmap holders_along(std::span<const uint32_t> attrs, Bitmap held, const Bitmap* within) const;
  // How many objects are registered as reached (tests, benchmarks).
  std::size_t reached_count() const;
  // Calls `visit(PyObject*)` for each reference the store owns and has counted (the cycle
  // collector's traversal): never throws, and locks only the store, whose holders never wait.
  template <class Visit>
  void for_each_counted_reference(Visit&& visit) const {
    auto links = links_.read_ignoring_poison();
    links->reached.for_each([&](uint32_t, const Reached& entry) {
      if (entry.object.python_handle.is_counted()) visit(entry.object.python_handle.get());
    });
  }

 private:
  struct Reached {
    StoredIndexable object;     // under a reference of its own
    uint32_t holder_links = 0;  // (holder, attribute) pairs linking to it
  };
  struct Links {
    PagedSlots<Reached> reached;
    std::size_t reached_count = 0;
    std::vector<std::unique_ptr<PagedSlots<ListedIdSet>>> holders;  // per attribute, per target
    uint64_t changes = 0;  // links made or broken so far, counting on across a clear
  };
  // First in, first out, allocating nothing until something is queued: most changes queue
  // nothing, and a std::deque allocates as it is made. Drained, it starts over at the front.
  template <class T>
  class Queue {
   public:
    void push(T item) { items_.push_back(std::move(item)); }
    bool empty() const { return next_ == items_.size(); }
    T pop() {
      T item = std::move(items_[next_++]);
      if (empty()) clear();
      return item;
    }
    void clear() {
      items_.clear();
      next_ = 0;
    }

   private:
    std::vector<T> items_;
    std::size_t next_ = 0;
  };
  // Registrations and releases still to do for one change, in the order they arose.
  struct Work {
    Queue<StoredIndexable> reach;
    Queue<uint32_t> release;
  };

  void link(Links& links, Work& work, uint32_t holder, uint32_t attr,
            const StoredIndexable& target);
  void unlink(Links& links, Work& work, uint32_t holder, uint32_t attr, uint32_t target);
  bool finish(IndexAPI& index, Work& work, const InterruptWatch* watch);
  // Indexes the values of a newly reached object and links what it holds.
  void register_reached(IndexAPI& index, Work& work, const StoredIndexable& object);
  // Drops reached object `id` if nothing holds it any more (or, with `force`, in any case):
  // unindexes its values and, unless it is a member, unlinks what it holds.
  void release(IndexAPI& index, Work& work, uint32_t id, bool force);
  // Sweeps once more links were broken than there were members and objects left by the last
  // sweep: objects reached since paid for their own visit when they were registered.
  void sweep_if_due(IndexAPI& index);
  // Releases the reached objects that no member reaches any more.
  void sweep(IndexAPI& index);
  // The objects holding any of `held` under `attr`.
  static Bitmap holders(const Links& links, uint32_t attr, const Bitmap& held);
  QueryMap* find_value_map(uint32_t attr) const;
  QueryMap& value_map_for(uint32_t attr);

  RwLocked<Links> links_;
  RwLocked<std::vector<std::shared_ptr<QueryMap>>> values_;
  mutable HoldersMemo memo_;
  // Links broken that left their target held: each may have cut off a cycle. Changed only
  // under the ObjectGraphLock.
  std::size_t broken_links_ = 0;
  std::size_t reached_after_sweep_ = 0;
};

}  // namespace veldrake
