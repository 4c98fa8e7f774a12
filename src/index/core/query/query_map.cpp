#include "index/core/query/query_map.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "index/core/index_api.h"

namespace veldrake {
namespace {

constexpr std::size_t kExactShards = 16;
using ExactShard = ShardedHashMap<PyValue, HybridSet, ExactKeyTraits>::Map;

bool is_number(const PyValue& value) {
  return value.kind() == ValueKind::Int || value.kind() == ValueKind::Float;
}

NumericKey numeric_key(const PyValue& value) {
  const CastValue& cast = value.primitive();
  if (value.kind() == ValueKind::Int) return NumericKey::integer(std::get<int64_t>(cast));
  return NumericKey::floating(std::get<double>(cast));
}

// The value that names a numeric group: an exact int when every member holds an integer,
// else the float of the shared number.
PyValue group_key(const Entry& first, bool all_integers) {
  if (all_integers) return PyValue::from_primitive(CastValue(first.key().as_integer()));
  return PyValue::from_primitive(
      CastValue(NumericKey::decode(first.number(), NumericKind::kFloat).as_float()));
}

// Whether two scalars make the same entry: numbers the same entry of the tree, other values the
// same key of the exact-value map.
bool same_entry(const PyValue& a, const PyValue& b) {
  if (is_number(a) != is_number(b)) return false;
  return is_number(a) ? numeric_key(a) == numeric_key(b) : ExactKeyTraits::equal(a, b);
}

uint64_t entry_hash(const PyValue& scalar) {
  if (!is_number(scalar)) return ExactKeyTraits::hash(scalar);
  const NumericKey key = numeric_key(scalar);
  const OrderedNumber number = key.number();
  return (number.mantissa ^ (uint64_t{number.sign_exponent} << 48) ^
          static_cast<uint64_t>(key.kind())) *
         0x9E3779B97F4A7C15ULL;
}

// The scalars of a value, asked whether they make a given entry: scanned when few, else hashed.
class ScalarSet {
 public:
  explicit ScalarSet(std::span<const PyValue> scalars) : scalars_(scalars) {
    if (scalars.size() <= kScanned) return;
    hashed_.reserve(scalars.size());
    for (const PyValue& scalar : scalars) hashed_.insert(&scalar);
  }

  bool contains(const PyValue& scalar) const {
    if (!hashed_.empty()) return hashed_.contains(&scalar);
    return std::any_of(scalars_.begin(), scalars_.end(),
                       [&](const PyValue& other) { return same_entry(scalar, other); });
  }

 private:
  static constexpr std::size_t kScanned = 16;

  struct Hash {
    std::size_t operator()(const PyValue* scalar) const {
      return static_cast<std::size_t>(entry_hash(*scalar));
    }
  };
  struct Equal {
    bool operator()(const PyValue* a, const PyValue* b) const { return same_entry(*a, *b); }
  };

  std::span<const PyValue> scalars_;
  std::unordered_set<const PyValue*, Hash, Equal> hashed_;
};

}  // namespace

uint64_t ExactKeyTraits::hash(const PyValue& key) {
  if (key.kind() != ValueKind::Unknown) return key.hash();
  // Identity, spread over the 64 bits so that shard selection and buckets vary.
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key.object())) * 0x9E3779B97F4A7C15ULL;
}

bool ExactKeyTraits::equal(const PyValue& a, const PyValue& b) {
  if (a.kind() == ValueKind::Unknown || b.kind() == ValueKind::Unknown)
    return a.kind() == b.kind() && a.object() == b.object();
  return a == b;
}

QueryMap::QueryMap(std::shared_ptr<const ReachableObjects> reachable)
    : exact_(ShardedHashMap<PyValue, HybridSet, ExactKeyTraits>::with_shard_count(kExactShards)),
      reachable_(std::move(reachable)) {}

std::span<const PyValue> QueryMap::scalars_of(const PyValue& value) {
  if (value.kind() == ValueKind::Iterable) return value.elements();
  return {&value, 1};
}

void QueryMap::insert(const PyValue& value, uint32_t id) {
  if (any_withheld_.load(std::memory_order_acquire)) withheld_.write()->remove(id);
  for (const PyValue& scalar : scalars_of(value)) insert_scalar(scalar, id);
}

void QueryMap::remove(const PyValue& value, uint32_t id) {
  for (const PyValue& scalar : scalars_of(value)) remove_scalar(scalar, id);
}

void QueryMap::replace(const PyValue& old, const PyValue& value, uint32_t id) {
  insert(value, id);
  readers_.wait_for_readers();
  // Entries are sets of ids: removing an entry the new value also makes would take out what the
  // insertion just put in.
  const ScalarSet kept(scalars_of(value));
  for (const PyValue& scalar : scalars_of(old)) {
    if (!kept.contains(scalar)) remove_scalar(scalar, id);
  }
}

void QueryMap::insert_scalar(const PyValue& value, uint32_t id) {
  if (is_number(value)) {
    numbers_.write()->insert(numeric_key(value), id);
    return;
  }
  insert_exact(value, id);
}

void QueryMap::remove_scalar(const PyValue& value, uint32_t id) {
  if (is_number(value)) {
    auto numbers = numbers_.write();
    // Removal leaves emptied nodes in place; a tree left with no entry starts afresh.
    if (numbers->remove(numeric_key(value), id) && numbers->is_empty()) *numbers = BitMapBTree();
    return;
  }
  remove_exact(value, id);
}

void QueryMap::insert_exact(const PyValue& value, uint32_t id) {
  auto shard = exact_.get_shard(value);
  auto found = shard->find(value);
  if (found != shard->end()) {
    found->second.add(id);
  } else {
    shard->emplace(value, HybridSet::of(id));
  }
}

void QueryMap::remove_exact(const PyValue& value, uint32_t id) {
  auto shard = exact_.get_shard(value);
  auto found = shard->find(value);
  if (found == shard->end()) return;
  found->second.remove(id);
  if (!found->second.is_empty()) return;
  shard->erase(found);
  // A table keeps its buckets when emptied; an emptied shard gets a fresh one.
  if (shard->empty()) *shard = ExactShard(0, shard->hash_function(), shard->key_eq());
}

void QueryMap::clear() {
  exact_.clear();
  *numbers_.write() = BitMapBTree();
  *withheld_.write() = Bitmap();
  any_withheld_.store(false, std::memory_order_release);
}

bool QueryMap::is_empty() const {
  bool empty = true;
  exact_.for_each([&](const PyValue&, const HybridSet&) { empty = false; });
  return empty && numbers_.read()->is_empty();
}

Bitmap QueryMap::numeric_range(const Bound& lower, const Bound& upper, const Bitmap* within) const {
  auto numbers = numbers_.read();
  return within ? numbers->query_range(lower, upper, *within) : numbers->query_range(lower, upper);
}

Bitmap QueryMap::equal_to(const PyValue& value, const Bitmap* within) const {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float: {
      NumericKey key = numeric_key(value);
      return numeric_range(Bound::included(key), Bound::included(key), within);
    }
    case ValueKind::Str:
    case ValueKind::Bool:
    case ValueKind::Ind: {
      Bitmap ids;
      exact_.visit(value, [&](const HybridSet& stored) {
        ids = within ? stored.intersection_with(*within) : stored.as_bitmap();
      });
      return ids;
    }
    case ValueKind::Iterable:
    case ValueKind::Unknown:
      return Bitmap();
  }
  internal_error("unreachable value kind");
}

Bitmap QueryMap::equal_to_any(const std::vector<PyValue>& values, const Bitmap* within) const {
  Bitmap result;
  for (const PyValue& value : values) {
    Bitmap matching = equal_to(value, within);
    if (result.is_empty()) {
      result = std::move(matching);
    } else {
      result.or_inplace(matching);
    }
  }
  return result;
}

Bitmap QueryMap::ordered(Ordering ordering, const PyValue& value, const Bitmap* within) const {
  if (value.kind() == ValueKind::Ind) internal_error("not yet implemented");
  if (!is_number(value)) return Bitmap();
  NumericKey key = numeric_key(value);
  switch (ordering) {
    case Ordering::Gt:
      return numeric_range(Bound::excluded(key), Bound::unbounded(), within);
    case Ordering::Ge:
      return numeric_range(Bound::included(key), Bound::unbounded(), within);
    case Ordering::Lt:
      return numeric_range(Bound::unbounded(), Bound::excluded(key), within);
    case Ordering::Le:
      return numeric_range(Bound::unbounded(), Bound::included(key), within);
  }
  internal_error("unreachable ordering");
}

Bitmap QueryMap::between(const PyValue& lower, const PyValue& upper, const Bitmap* within) const {
  if (!is_number(lower) || !is_number(upper)) internal_error("not yet implemented");
  return numeric_range(Bound::included(numeric_key(lower)), Bound::included(numeric_key(upper)),
                       within);
}

std::vector<uint32_t> QueryMap::ranked(const RankedIds& ids, const PageRequest& page) const {
  return rank_by_number(*numbers_.read(), ids, page);
}

Groups QueryMap::group_values() const {
  Groups groups;
  exact_.for_each([&](const PyValue& value, const HybridSet& ids) {
    if (!ids.is_empty()) groups.push_back(Group{value, ids});
  });

  // Entries arrive in numeric order; a run of entries with one number is one group.
  auto numbers = numbers_.read();
  std::optional<Entry> first;
  bool all_integers = true;
  Bitmap ids;
  auto close_group = [&] {
    if (first)
      groups.push_back(Group{group_key(*first, all_integers), HybridSet::from_bitmap(ids)});
  };
  numbers->for_each([&](const Entry& entry) {
    if (!first || first->number() != entry.number()) {
      close_group();
      first = entry;
      all_integers = true;
      ids = Bitmap();
    }
    all_integers = all_integers && entry.kind() == NumericKind::kInteger;
    ids.add(entry.id());
  });
  close_group();
  return groups;
}

void QueryMap::retain(const Bitmap& keep) {
  HybridSet kept = HybridSet::from_bitmap(keep);
  std::vector<PyValue> emptied;
  Bitmap withheld;
  exact_.for_each_mut([&](const PyValue& value, HybridSet& ids) {
    withheld.or_inplace(ids.as_bitmap());
    ids.and_inplace(kept);
    if (ids.is_empty()) emptied.push_back(value);
  });
  for (const PyValue& value : emptied) {
    auto shard = exact_.get_shard(value);
    auto found = shard->find(value);
    if (found != shard->end() && found->second.is_empty()) shard->erase(found);
  }

  auto numbers = numbers_.write();
  std::vector<Entry> dropped;
  numbers->for_each([&](const Entry& entry) {
    if (!keep.contains(entry.id())) dropped.push_back(entry);
  });
  for (const Entry& entry : dropped) {
    numbers->remove(entry.key(), entry.id());
    withheld.add(entry.id());
  }
  withheld.andnot_inplace(keep);
  auto all_withheld = withheld_.write();
  all_withheld->or_inplace(withheld);
  any_withheld_.store(!all_withheld->is_empty(), std::memory_order_release);
}

void QueryMap::drop_withheld(Bitmap& ids) const {
  if (!any_withheld_.load(std::memory_order_acquire)) return;
  ids.andnot_inplace(*withheld_.read());
}

}  // namespace veldrake
