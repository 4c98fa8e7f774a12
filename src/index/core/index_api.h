// The engine behind every index: its members, their records and one value index per attribute.
//
// Stores, each behind its own reader-writer lock:
// - query_maps: the value index of each attribute with a value here, by interned name id (a
//   map, not a vector over all ids: names interned for other indexes cost this one nothing);
// - items: slot n is the record of the object with id n (empty when n is no member);
// - allowed_items: the ids of the members.
// A FilteredIndex view shares query_maps and items with the index it was cut from.
//
// These locks are leaves: each is held briefly, never two at once, never while waiting for an
// object lock or the interpreter lock, and no Python code runs under them (see
// object_graph_lock.h for the order of the other locks).
//
// The objects the members reach through Indexable values are kept apart (ReachableObjects): they
// answer dotted paths, and are no members.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/locks.h"
#include "base/structures/bitmap.h"
#include "base/structures/hybrid_set.h"
#include "base/structures/paged_slots.h"
#include "index/core/admissions.h"
#include "index/core/indexable_record.h"
#include "index/core/python/python_ref.h"
#include "index/core/query/hash_query.h"
#include "index/core/query/query_expr.h"
#include "index/core/query/query_map.h"
#include "index/core/query/ranking.h"
#include "index/core/reachable_objects.h"
#include "index/core/stored_item.h"
#include "index/core/values/stored_value.h"
#include "index/core/values/value.h"

namespace veldrake {

class FilteredIndex;
struct ViewSource;

using QueryMaps = std::unordered_map<uint32_t, std::shared_ptr<QueryMap>>;

// Object `id` changes attribute `attr` from `old` (null: none) to `value`.
struct AttributeChange {
  uint32_t id;
  uint32_t attr;
  const PyValue* old;
  const PyValue& value;
  const ScalarSet* old_scalars;  // of `old`, null with it
  const ScalarSet& new_scalars;  // of `value`
};
using Items = PagedSlots<StoredItem>;

// The value index of attribute `attr`, or null. A map is never replaced or removed once in
// `maps`, so the pointer stays valid for as long as `maps` lives.
QueryMap* query_map_at(const RwLocked<QueryMaps>& maps, uint32_t attr);

// Calls `visit(const StoredItem&)` for every id of `ids` that has a record, ascending by id,
// with `items` read-locked.
template <class Visit>
void for_each_record(const RwLocked<Items>& items, const Bitmap& ids, Visit&& visit) {
  auto slots = items.read();
  ids.for_each([&](uint32_t id) {
    if (const StoredItem* item = slots->find(id)) visit(*item);
    return true;
  });
}

// The stored objects of `ids` that have a record, ascending by id.
std::vector<StoredIndexable> stored_objects_of(const RwLocked<Items>& items, const Bitmap& ids);

// Groups of the attribute path (one segment, or dotted into nested objects) over the value
// indexes `maps`, as ids of their index; with `within`, only those ids, and no empty group.
Groups group_ids(const RwLocked<QueryMaps>& maps, std::string_view path, const Bitmap* within);
// A page of `ids` ranked by the numbers of the one-segment attribute `attr`.
std::vector<uint32_t> ordered_ids(const RwLocked<QueryMaps>& maps, std::string_view attr,
                                  const RankedIds& ids, const PageRequest& page);

// The engine behind one index: its members, their records and its value indexes.
class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  static std::shared_ptr<IndexAPI> create();

  // --- registration (no interpreter lock needed) ---

  // Makes `object` a member and indexes every attribute it has. Adding a member again refreshes
  // its record and changes nothing else. With a `watch`, a Ctrl-C stops a long registration and
  // takes the object out again: returns false then (the caller asks the interpreter for the
  // signal, and may call again). Out of memory, throws std::bad_alloc with the object a member
  // only if it was one.
  bool add_object(const StoredIndexable& object, const InterruptWatch* watch = nullptr);
  // Adds `objects` in order; with a `watch`, a Ctrl-C stops it. Returns how many were added, each
  // whole (all of them unless stopped). Out of memory, the objects before the one that ran out
  // stay members, and that one and those after are members only if they were.
  std::size_t add_objects(const std::vector<StoredIndexable>& objects,
                          const InterruptWatch* watch = nullptr);
  // A write to object `id` (a member, or an object the members reach) in steps, so that it fails
  // whole across every index holding the object: stage_write puts the new value in (out of
  // memory, takes it out again and throws), then unstage_write takes it out (never fails) or
  // commit_write completes the change. Caller holds the object's lock, and the ObjectGraphLock
  // when either value involves an Indexable. stage_write returns the value index it staged the
  // value in (null when the object is no member, as `member`, the mark of its membership entry,
  // tells), which the other two are given: the lock held keeps the membership as it was, and a
  // value index, once made, lives as long as the index.
  QueryMap* stage_write(const AttributeChange& change, bool member);
  void unstage_write(const AttributeChange& change, QueryMap* staged);
  void commit_write(const AttributeChange& change, QueryMap* staged);
  bool has_object_id(uint32_t id) const;
  bool is_member(uint32_t id) const;

  // --- removal ---

  // Takes `object` out: its record, membership and every index entry. The objects only it
  // reached leave with it; if another member reaches it, it stays reached, as a member no more.
  // False when it is no member.
  bool remove_object(const StoredIndexable& object);
  // Takes every member out, and every object they reach.
  void clear();

  // --- retrieval ---

  Bitmap get_by_attribute(const HashQuery& query) const;
  FilteredIndex reduced(const HashQuery& query) const;
  FilteredIndex reduced_query(const QueryExpr& expr) const;
  Bitmap evaluate(const QueryExpr& expr) const;
  // The size of evaluate(expr).
  uint64_t count(const QueryExpr& expr) const;
  // Groups of the attribute path (one segment, or dotted into nested objects), as views.
  std::vector<std::pair<PyValue, FilteredIndex>> group_by(std::string_view path) const;
  // Narrows value retrieval to the objects matching `query`; members stay members.
  void reduce(const HashQuery& query);
  // Writes one line to standard error per attribute that both this index and `other` have values
  // for: the start of a union, whose members the caller then adds with add_objects.
  void report_merge(const IndexAPI& other) const;

  // The member ids as they are now, shared rather than copied; later changes leave them as they
  // are.
  std::shared_ptr<const Bitmap> members() const;
  // Number of members.
  uint64_t size() const;
  // The member with the smallest id at or above `id`.
  std::optional<StoredIndexable> member_from(uint32_t id) const;
  // The member ids ordered by the values of `attr` (see rank_by_order).
  std::vector<uint32_t> order_by(std::string_view attr, const PageRequest& page) const;
  // The stamp of an answer whose ids are taken from now on.
  AnswerStamp answer_stamp() const { return {admissions_.get(), admissions_->departures()}; }
  // What a view cut now reads; taken before its ids are computed, and shared by the views cut
  // with it (all the groups of a group_by).
  std::shared_ptr<const ViewSource> view_source() const;
  // The stored objects of the members, ascending by id.
  std::vector<StoredIndexable> member_objects() const;
  // The objects the members reach.
  const ReachableObjects& reachable() const { return *reachable_; }
  // The value index of attribute `attr`, or null (as query_map_at, mostly without its lock).
  QueryMap* value_index(uint32_t attr) const;

  const std::shared_ptr<RwLocked<QueryMaps>> query_maps;
  const std::shared_ptr<RwLocked<Items>> items;

 private:
  IndexAPI();

  // Which of an object's values an insertion indexes: all of them, or one of the two shares
  // add_objects splits the work into. The nested share holds every value that reaches nested
  // objects (they are indexed under the object graph lock), and the values of the attributes
  // `moved` to it, so that the two passes take about as much work: where the batch's objects
  // hold nested values (`nested_apart`), the attributes whose cost evens out the shares (each
  // nested value links its holder, which costs several times a plain one); elsewhere those of
  // odd number.
  struct ValueScope {
    enum Pass : uint8_t { kAll, kPlain, kNested };
    static constexpr std::size_t kMostMoved = 8;

    Pass pass = kAll;
    bool nested_apart = false;
    std::array<uint32_t, kMostMoved> moved{};
    std::size_t moved_count = 0;

    // The two shares of a batch of objects shaped like `first` (locked by the caller).
    static std::pair<ValueScope, ValueScope> split_like(const ObjectState& first);
    // Inline: asked for every value of every object of a batch, by both passes.
    bool holds(uint32_t attr, const StoredValue& value) const {
      if (pass == kAll) return true;
      const auto moved_end = moved.begin() + static_cast<std::ptrdiff_t>(moved_count);
      const bool nested_share =
          (nested_apart ? std::find(moved.begin(), moved_end, attr) != moved_end : attr % 2 == 1) ||
          value.involves_indexable();
      return nested_share == (pass == kNested);
    }
  };

  // Where a pass of add_values stopped: `end` is the first object it did not index; when it ran
  // out of memory there, it undid its work on that object.
  struct PassEnd {
    std::size_t end;
    bool out_of_memory = false;
  };

  // Registers objects [begin, end) and indexes their values in `scope`, taking the graph lock
  // per chunk unless the scope reaches no nested object. Stops before the first chunk at or past
  // `stop`; with a `watch`, a Ctrl-C sets `stop` to the next chunk (and, in scope kAll, stops
  // within an object whose registration is long, which it takes out again). Out of memory, sets
  // `stop` to 0, so that a pass running alongside stops too. `before` holds the members from
  // before the batch. The objects before the returned end are whole.
  PassEnd add_values(const std::vector<StoredIndexable>& objects, std::size_t begin,
                     ValueScope scope, std::atomic<std::size_t>& stop, const InterruptWatch* watch,
                     const Bitmap& before, std::size_t end = SIZE_MAX);
  // After the two passes of a batch ran out of memory: objects [from, to), which only the pass
  // over `scope` indexed, are taken out again unless they were members `before`.
  void undo_pass(const std::vector<StoredIndexable>& objects, std::size_t from, std::size_t to,
                 ValueScope scope, const Bitmap& before);
  // Makes `object` a member and indexes its values in `scope`; `lock` holds the object. Returns
  // false when the `watch` stopped it (the object is taken out again). Out of memory, undoes its
  // work on the object unless it `was_member` (its values then were indexed), leaves `lock`
  // usable and rethrows std::bad_alloc. A record taken out goes to `leaving`, for the caller to
  // drop once unlocked.
  template <class Guard>
  bool admit(const StoredIndexable& object, ObjectState& state, ValueScope scope, Guard& lock,
             bool was_member, std::optional<StoredItem>& leaving, const InterruptWatch* watch);
  // Stores `item` in slot `id` and indexes the object's values in `scope`; caller holds its lock.
  // `begun` counts the attributes (in scope or not) whose indexing has started. With a `watch`
  // (scope kAll only), a Ctrl-C stops the registration of what a new member reaches: returns
  // false then, for the caller to take it out.
  bool store_and_index(StoredItem item, ObjectState& state, ValueScope scope, std::size_t& begun,
                       const InterruptWatch* watch);
  // Undoes store_and_index of object `id`, a member no more, which stopped in attribute `begun`
  // (counted as it counts them). Taking entries out never fails.
  void unindex(uint32_t id, ObjectState& state, ValueScope scope, std::size_t begun,
               std::optional<StoredItem>& leaving);
  // Takes member `id` out: its record (returned, empty if it was no member), value index entries
  // and links; caller holds its lock, and the ObjectGraphLock when it holds Indexable values.
  std::optional<StoredItem> take_out(uint32_t id, ObjectState& state);
  QueryMap* query_map_for(uint32_t attr);
  // `members` (write-locked), copied first when a snapshot of it is held elsewhere.
  static Bitmap& own_members(std::shared_ptr<Bitmap>& members);

  // The value indexes of the first attribute ids, set once each as its map is placed: a query
  // or write on them takes no lock on the maps (a lock costs two atomic read-modify-writes).
  static constexpr uint32_t kDirectMaps = 64;
  std::array<std::atomic<QueryMap*>, kDirectMaps> direct_maps_{};
  const std::shared_ptr<Admissions> admissions_;
  // Held shared by additions, exclusively by removals: an object taken out between the two
  // passes of a batch would come back with only the second pass's values, and clear empties
  // the stores in one sweep that must not swallow an addition.
  SharedMutex additions_;
  // Queries read snapshots of it (members()); a change made while one is held copies it first.
  RwLocked<std::shared_ptr<Bitmap>> allowed_items_;
  // Shared with the value indexes, which answer dotted paths through it.
  const std::shared_ptr<ReachableObjects> reachable_;
};

}  // namespace veldrake
