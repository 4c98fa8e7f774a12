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
// An index nested below an attribute of another index (its parent) holds the Indexable values of
// that attribute; each of its records links to the ids of the parent's objects holding it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
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
#include "index/core/stored_item.h"
#include "index/core/values/value.h"

namespace veldrake {

class FilteredIndex;
struct ViewSource;

using QueryMaps = std::unordered_map<uint32_t, std::shared_ptr<QueryMap>>;
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
// indexes `maps`, as ids of their index.
Groups group_ids(const RwLocked<QueryMaps>& maps, std::string_view path);
// A page of `ids` ranked by the numbers of the one-segment attribute `attr`.
std::vector<uint32_t> ordered_ids(const RwLocked<QueryMaps>& maps, std::string_view attr,
                                  const RankedIds& ids, const PageRequest& page);

// The engine behind one index: its members, their records and its value indexes.
class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  // A top-level index, or one nested below an attribute of `parent`.
  static std::shared_ptr<IndexAPI> create(const std::shared_ptr<IndexAPI>& parent = nullptr);

  // How many indexes nested objects are registered below at most. Every level below an index is
  // one more call frame for the operations that follow nested objects (registration, removal,
  // ancestor walks), so the depth is bounded to keep the stack safe; objects deeper than that are
  // still indexed as values, and dotted paths longer than that find nothing.
  static constexpr uint32_t kMaxNestingDepth = 256;

  // --- registration (no interpreter lock needed) ---

  // Makes `object` a member and indexes every attribute it has. Adding a member again refreshes
  // its record and changes nothing else.
  void add_object(const StoredIndexable& object);
  void add_objects(const std::vector<StoredIndexable>& objects);
  // Records that object `id` holds `value` in attribute `attr`. Caller holds the object's lock.
  void add_index(uint32_t id, uint32_t attr, const PyValue& value);
  // Forgets that object `id` holds `value` in attribute `attr`. Caller holds the object's lock.
  void remove_index(uint32_t id, uint32_t attr, const PyValue& value);
  // Records that object `id` holds `value` instead of `old` in attribute `attr`, the new value
  // first. Caller holds the object's lock.
  void replace_index(uint32_t id, uint32_t attr, const PyValue& old, const PyValue& value);
  bool has_object_id(uint32_t id) const;

  // --- removal (top-level index) ---

  // Takes `object` out: its record, membership and every index entry, nested ones included.
  // False when it is no member.
  bool remove_object(const StoredIndexable& object);
  // Takes every member out.
  void clear();
  // Empties the index wholesale. Every member's membership goes first, each under the member's
  // lock, so no write reaches the index afterwards; then the stores are emptied. Additions and
  // removals must be kept out meanwhile (clear holds `additions_`).
  void release_all();

  // --- nested members (this index being the nested index of one attribute) ---

  // Registers `object` as held by `parent_id` of the parent index.
  void add_nested(const StoredIndexable& object, uint32_t parent_id);
  // `parent_id` no longer holds `object`; it leaves when no holder is left.
  void remove_nested(const StoredIndexable& object, uint32_t parent_id);
  // Every holder of member `id` and every holder above them, up to the top-level index.
  Bitmap ancestors_of(uint32_t id) const;
  // The parent-index ids holding any of `ids`.
  Bitmap direct_parents(const Bitmap& ids) const;

  // --- retrieval ---

  Bitmap get_by_attribute(const HashQuery& query) const;
  FilteredIndex reduced(const HashQuery& query) const;
  FilteredIndex reduced_query(const QueryExpr& expr) const;
  Bitmap evaluate(const QueryExpr& expr) const;
  // Groups of the attribute path (one segment, or dotted into nested objects), as views.
  std::vector<std::pair<PyValue, FilteredIndex>> group_by(std::string_view path) const;
  // Narrows value retrieval to the objects matching `query`; members stay members.
  void reduce(const HashQuery& query);
  // Writes one line to standard error per attribute that both this index and `other` have values
  // for: the start of a union, whose members the caller then adds with add_objects.
  void report_merge(const IndexAPI& other) const;

  Bitmap members() const;
  // Number of members.
  uint64_t size() const;
  // The member with the smallest id at or above `id`.
  std::optional<StoredIndexable> member_from(uint32_t id) const;
  // The member ids ordered by the values of `attr` (see rank_by_order).
  std::vector<uint32_t> order_by(std::string_view attr, const PageRequest& page) const;
  // What a view cut now reads; taken before its ids are computed.
  ViewSource view_source() const;
  // The stored objects of the members, ascending by id.
  std::vector<StoredIndexable> member_objects() const;

  const std::shared_ptr<RwLocked<QueryMaps>> query_maps;
  const std::shared_ptr<RwLocked<Items>> items;

 private:
  IndexAPI(std::weak_ptr<IndexAPI> parent, uint32_t depth);

  // Which of an object's values an insertion indexes: all of them, or (when add_objects splits
  // the work) those that do not reach nested objects, or those that do.
  enum class ValueScope { kAll, kPlain, kNested };

  // Registers every object of `objects` and indexes its values in `scope`, taking the graph lock
  // per chunk unless the scope reaches no nested object.
  void add_values(const std::vector<StoredIndexable>& objects, ValueScope scope);
  // Stores `item` in slot `id` and indexes the object's values in `scope`; caller holds its lock.
  void store_and_index(StoredItem item, const ObjectState& state, ValueScope scope);
  QueryMap* query_map_for(uint32_t attr);
  // Drops the index entries of a leaving member; caller holds its lock.
  void forget_values(uint32_t id, const ObjectState& state);
  // The part of forget_values for values that reach nested objects: releases their records in
  // the nested indexes, which drop those no other member holds.
  void forget_nested_values(uint32_t id, const ObjectState& state);

  const std::shared_ptr<Admissions> admissions_;
  // Held shared by additions, exclusively by removals: an object taken out between the two
  // passes of a batch would come back with only the second pass's values, and clear empties
  // the stores in one sweep that must not swallow an addition.
  SharedMutex additions_;
  RwLocked<Bitmap> allowed_items_;
  const std::weak_ptr<IndexAPI> parent_;
  const uint32_t depth_;  // 0 for a top-level index
};

}  // namespace veldrake
