// The value index of one attribute inside one index.
//
// Every value is routed by kind:
// - integers and floats go to the ordered index (one entry per occurrence, ordered as exact
//   numbers; integers and floats of equal value meet), which answers equality and ranges; dates
//   and times go there too, each kind in an order of its own;
// - strings, bytes, booleans, Indexable objects and other objects go to the exact-value map,
//   from value to the ids holding it; objects of no known kind are keyed by identity there;
// - Indexable values also link their holder to them in the index's reachable objects, which
//   answer dotted paths starting at this attribute;
// - lists, tuples and sets are indexed element by element (the value was flattened when it was
//   classified, so no interpreter lock is needed here); dicts contribute nothing.
// A map is created once per attribute slot and never replaced, so an insertion can never land in
// a map that another thread has just retired.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/locks.h"
#include "base/structures/b_tree/ordered_index.h"
#include "base/structures/bitmap.h"
#include "base/structures/grace_period.h"
#include "base/structures/hybrid_set.h"
#include "base/structures/shards/hashmap.h"
#include "index/core/query/ranking.h"
#include "index/core/values/value.h"

namespace veldrake {

class ReachableObjects;

// One group of group_by: a value and the ids of the objects holding it, as a bitmap of their
// own.
struct Group {
  PyValue value;
  Bitmap ids;
  // A number held as an integer by some ids and as a float by others (`float_ids`): `value` is
  // the float, and `integer` the key of a group showing none of `float_ids`.
  std::optional<PyValue> integer;
  Bitmap float_ids;

  // The key of this group when it shows the ids of `ids` that are in `shown`.
  PyValue& key_showing(const Bitmap& shown) {
    return integer && !float_ids.intersects(shown) ? *integer : value;
  }
};
using Groups = std::vector<Group>;

enum class Ordering { Gt, Ge, Lt, Le };

struct ExactKeyTraits {
  static uint64_t hash(const PyValue& key) { return key.hash(); }
  static bool equal(const PyValue& a, const PyValue& b) { return a == b; }
};

// The scalars of a value (its elements if it is a container, else itself), asked whether they
// make a given entry: scanned when few, else hashed. Refers to the value, which must outlive it.
class ScalarSet {
 public:
  explicit ScalarSet(const PyValue& value);
  ScalarSet(const ScalarSet&) = delete;
  ScalarSet& operator=(const ScalarSet&) = delete;
  bool contains(const PyValue& scalar) const;
  std::span<const PyValue> scalars() const { return scalars_.span(); }

 private:
  static constexpr std::size_t kScanned = 16;

  struct Hash {
    std::size_t operator()(const PyValue* scalar) const;
  };
  struct Equal {
    bool operator()(const PyValue* a, const PyValue* b) const;
  };

  LeafValues scalars_;
  std::unordered_set<const PyValue*, Hash, Equal> hashed_;
};

// The value index of one attribute.
class QueryMap {
 public:
  // A value index of an index's members, with the objects they reach (for dotted paths), or,
  // without, one of the value indexes over the reached objects themselves.
  explicit QueryMap(std::shared_ptr<const ReachableObjects> reachable = nullptr);

  // Records that object `id` holds `value`.
  void insert(const PyValue& value, uint32_t id);
  // Forgets that object `id` holds `value`; emptied exact entries are dropped at once, and an
  // emptied shard or numeric tree gives its storage back.
  void remove(const PyValue& value, uint32_t id);
  // Records that object `id` holds `value` instead of `old`. The new value goes in first and the
  // old one leaves once the queries that may have missed the new one are done, so a concurrent
  // query finds the id under one or the other; entries both values make stay.
  void replace(const PyValue& old, const PyValue& value, uint32_t id);
  // replace in steps, for a write that must fail whole across several maps, given the scalars of
  // both values: insert_replacing records that `id` holds the new value's scalars `value` too
  // (out of memory, it withdraws them and throws); withdraw_replacing takes out the entries it
  // made that the old value's scalars `old` (null: no old value) do not make, and never fails;
  // drop_replaced completes the replacement, once the queries that may have missed the new value
  // are done, and never fails.
  void insert_replacing(const ScalarSet* old, const ScalarSet& value, uint32_t id);
  void withdraw_replacing(const ScalarSet* old, const ScalarSet& value, uint32_t id);
  void drop_replaced(const ScalarSet& old, const ScalarSet& kept, uint32_t id);
  // The scalars of `value` (its elements if it is a container, else itself).
  static LeafValues scalars_of(const PyValue& value);
  bool is_empty() const;
  // Forgets every value, and what retain withheld.
  void clear();

  // The queries below answer with ids of this index, limited to `within` when it is given.

  // Ids whose value equals `value`: numbers numerically (1 finds 1 and 1.0, never True), times
  // within their kind, other values by equality (objects of unknown kind by identity);
  // containers never match.
  Bitmap equal_to(const PyValue& value, const Bitmap* within) const;
  // The ids equal_to(value, nullptr) gives, copied into `room` when they fit, with their number;
  // nullopt when they do not, and for numbers and times (the ordered index answers those). The
  // stored set is read in place under its lock, never copied whole.
  std::optional<std::size_t> copy_equal_ids(const PyValue& value, std::span<uint32_t> room) const;
  // The ids equal_to(value, nullptr) gives for a number or time, ascending, read straight off
  // the ordered index; nullopt for other values, and when an id has several equal entries.
  std::optional<std::vector<uint32_t>> ordered_equal_ids(const PyValue& value) const;
  // Ids whose value equals any of `values`.
  Bitmap equal_to_any(const std::vector<PyValue>& values, const Bitmap* within) const;
  // Ids whose value of the operand's ordered kind compares to `value` as `ordering` says; empty
  // for unordered operands.
  Bitmap ordered(Ordering ordering, const PyValue& value, const Bitmap* within) const;
  // Ids whose value lies in [lower, upper]; both bounds must be ordered, and of one kind to
  // select anything.
  Bitmap between(const PyValue& lower, const PyValue& upper, const Bitmap* within) const;
  // The sizes of those two answers, counted without building them where the tree allows.
  uint64_t count_ordered(Ordering ordering, const PyValue& value, const Bitmap* within) const;
  uint64_t count_between(const PyValue& lower, const PyValue& upper, const Bitmap* within) const;

  // A page of `ids` ranked by their ordered values (see rank_by_order).
  std::vector<uint32_t> ranked(const RankedIds& ids, const PageRequest& page) const;

  // Groups of a one-segment path: exact values first, then each ordered kind ascending. With
  // `within`, each group keeps only those ids, and groups left empty are dropped.
  Groups group_values(const Bitmap* within) const;

  // Keeps only the ids in `keep` in the exact-value map and the ordered index. The ids dropped
  // are withheld from dotted paths through this attribute too, until they get a value here again.
  void retain(const Bitmap& keep);
  // Removes from `ids` those withheld by retain.
  void drop_withheld(Bitmap& ids) const;

  // The objects the index's members reach; null for a value index over reached objects.
  const ReachableObjects* reachable() const { return reachable_.get(); }
  // The queries reading this map (see query_scope.h).
  GracePeriod& readers() const { return readers_; }

 private:
  void insert_scalars(std::span<const PyValue> scalars, uint32_t id);
  void insert_scalar(const PyValue& value, uint32_t id);
  // `first` and `second` hold the scalars that may make the id's other entries (see
  // BitMapBTree::remove); a removal from a long container does without.
  void remove_scalar(const PyValue& value, uint32_t id, std::span<const PyValue> first = {},
                     std::span<const PyValue> second = {});
  void insert_exact(const PyValue& value, uint32_t id);
  void remove_exact(const PyValue& value, uint32_t id);
  // The entries an ordered comparison selects: the bounds within one kind's tree.
  struct OrderedSpan {
    OrderedKind kind;
    Bound lower;
    Bound upper;
  };
  static std::optional<OrderedSpan> ordered_span(Ordering ordering, const PyValue& value);
  static std::optional<OrderedSpan> between_span(const PyValue& lower, const PyValue& upper);
  Bitmap ordered_range(OrderedKind kind, const Bound& lower, const Bound& upper,
                       const Bitmap* within) const;
  uint64_t count_range(const std::optional<OrderedSpan>& span, const Bitmap* within) const;

  ShardedHashMap<PyValue, HybridSet, ExactKeyTraits> exact_;
  RwLocked<OrderedIndex> ordered_;
  std::shared_ptr<const ReachableObjects> reachable_;
  RwLocked<Bitmap> withheld_;
  std::atomic<bool> any_withheld_{false};  // read without the lock on every insertion
  mutable GracePeriod readers_;
};

}  // namespace veldrake
