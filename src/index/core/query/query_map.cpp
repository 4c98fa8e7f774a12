#include "index/core/query/query_map.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory_resource>
#include <unordered_set>
#include <utility>

#include "index/core/index_api.h"

namespace veldrake {
namespace {

constexpr std::size_t kExactShards = 16;

// Whether sets of ids lie within `within` (null: every set does). The members are usually one run
// of ids (none has left yet): a set lies within them when its ends do, two lookups in place of a
// test per id.
class WithinTest {
 public:
  explicit WithinTest(const Bitmap* within) : within_(within) {
    if (!within || within->is_empty()) return;
    // Both ends are looked up once: the largest id of a bitset is a scan from its top.
    first_ = within->minimum();
    last_ = within->maximum();
    one_run_ = within->cardinality() == uint64_t{last_} - first_ + 1;
  }

  // Whether every id of `ids`, which is not empty, is also in `within`.
  bool covers(const Bitmap& ids) const {
    if (!within_) return true;
    if (one_run_) return ids.minimum() >= first_ && ids.maximum() <= last_;
    return ids.is_subset_of(*within_);
  }

 private:
  const Bitmap* within_;
  bool one_run_ = false;
  uint32_t first_ = 0;
  uint32_t last_ = 0;
};

using ExactShard = ShardedHashMap<PyValue, HybridSet, ExactKeyTraits>::Map;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Where an operand stands in an ordered kind: the keys just at or below and at or above it,
// the same key when it is a value of that kind (a NaN or NaT is neither: it bounds nothing).
struct OrderedOperand {
  OrderedKind kind;
  NumericKey below;
  NumericKey above;

  bool exact() const { return below == above; }
};

std::optional<OrderedOperand> ordered_operand(const PyValue& value) {
  auto same = [](OrderedKind kind, NumericKey key) { return OrderedOperand{kind, key, key}; };
  const CastValue& cast = value.primitive();
  switch (value.kind()) {
    case ValueKind::Int:
      return same(OrderedKind::kNumber, NumericKey::integer(std::get<int64_t>(cast)));
    case ValueKind::Float:
      return same(OrderedKind::kNumber, NumericKey::floating(std::get<double>(cast)));
    case ValueKind::BigInt: {
      const BigIntValue& big = std::get<BigIntValue>(cast);
      return OrderedOperand{OrderedKind::kNumber, NumericKey::floating(big.below),
                            NumericKey::floating(big.above)};
    }
    case ValueKind::Time: {
      const TimeValue& time = std::get<TimeValue>(cast);
      return same(time.kind,
                  time.is_nat() ? NumericKey::floating(kNaN) : NumericKey::integer(time.ticks));
    }
    default:
      return std::nullopt;
  }
}

// The key under which a stored value lives in the ordered index, if it is ordered (an int
// beyond 64 bits is only ever an operand).
std::optional<OrderedKey> stored_key(const PyValue& value) {
  if (value.kind() == ValueKind::BigInt) return std::nullopt;
  std::optional<OrderedOperand> operand = ordered_operand(value);
  if (!operand) return std::nullopt;
  return OrderedKey{operand->kind, operand->below};
}

// Whether the exact-value map keys values of `kind` (no other kind is found equal to anything).
bool in_exact_map(ValueKind kind) {
  switch (kind) {
    case ValueKind::Str:
    case ValueKind::Bool:
    case ValueKind::Bytes:
    case ValueKind::Unknown:
    case ValueKind::Ind:
      return true;
    default:
      return false;
  }
}

// The value that names an ordered group: a number is an exact int when every member holds an
// integer, else the float of the shared number; a time is rebuilt from its key.
PyValue group_key(OrderedKind kind, const Entry& first, bool all_integers) {
  if (kind != OrderedKind::kNumber)
    return PyValue::from_primitive(TimeValue{kind, first.key().as_integer()});
  if (all_integers) return PyValue::from_primitive(CastValue(first.key().as_integer()));
  return PyValue::from_primitive(
      CastValue(NumericKey::decode(first.number(), NumericKind::kFloat).as_float()));
}

// Whether two scalars make the same entry: ordered values the same entry of the ordered index,
// other values the same key of the exact-value map.
bool same_entry(const PyValue& a, const PyValue& b) {
  std::optional<OrderedKey> first = stored_key(a);
  std::optional<OrderedKey> second = stored_key(b);
  if (first.has_value() != second.has_value()) return false;
  if (!first) return ExactKeyTraits::equal(a, b);
  return first->kind == second->kind && first->key == second->key;
}

uint64_t entry_hash(const PyValue& scalar) {
  std::optional<OrderedKey> key = stored_key(scalar);
  if (!key) return ExactKeyTraits::hash(scalar);
  const OrderedNumber number = key->key.number();
  return (number.mantissa ^ (uint64_t{number.sign_exponent} << 48) ^
          static_cast<uint64_t>(key->key.kind()) ^ (static_cast<uint64_t>(key->kind) << 8)) *
         0x9E3779B97F4A7C15ULL;
}

}  // namespace

ScalarSet::ScalarSet(const PyValue& value) : scalars_(QueryMap::scalars_of(value)) {
  if (scalars_.size() <= kScanned) return;
  hashed_.reserve(scalars_.size());
  for (const PyValue& scalar : scalars_) hashed_.insert(&scalar);
}

bool ScalarSet::contains(const PyValue& scalar) const {
  if (!hashed_.empty()) return hashed_.contains(&scalar);
  return std::any_of(scalars_.begin(), scalars_.end(),
                     [&](const PyValue& other) { return same_entry(scalar, other); });
}

std::size_t ScalarSet::Hash::operator()(const PyValue* scalar) const {
  // The multiplication leaves its best bits high; a 32-bit size_t would keep only the low ones,
  // the same for every small int.
  const uint64_t hash = entry_hash(*scalar);
  return static_cast<std::size_t>(hash ^ (hash >> 32));
}

bool ScalarSet::Equal::operator()(const PyValue* a, const PyValue* b) const {
  return same_entry(*a, *b);
}

QueryMap::QueryMap(std::shared_ptr<const ReachableObjects> reachable)
    : exact_(ShardedHashMap<PyValue, HybridSet, ExactKeyTraits>::with_shard_count(kExactShards)),
      reachable_(std::move(reachable)) {}

LeafValues QueryMap::scalars_of(const PyValue& value) {
  if (value.kind() == ValueKind::Iterable) return value.elements();
  return LeafValues(std::span<const PyValue>(&value, 1));
}

void QueryMap::insert(const PyValue& value, uint32_t id) {
  insert_scalars(scalars_of(value).span(), id);
}

void QueryMap::insert_scalars(std::span<const PyValue> scalars, uint32_t id) {
  if (any_withheld_.load(std::memory_order_acquire))
    withheld_.update([&](Bitmap& withheld) { withheld.remove(id); });
  for (const PyValue& scalar : scalars) insert_scalar(scalar, id);
}

void QueryMap::remove(const PyValue& value, uint32_t id) {
  const LeafValues scalars = scalars_of(value);
  for (const PyValue& scalar : scalars) remove_scalar(scalar, id, scalars.span());
}

void QueryMap::replace(const PyValue& old, const PyValue& value, uint32_t id) {
  const ScalarSet old_scalars(old);
  const ScalarSet kept(value);
  insert_replacing(&old_scalars, kept, id);
  drop_replaced(old_scalars, kept, id);
}

void QueryMap::insert_replacing(const ScalarSet* old, const ScalarSet& value, uint32_t id) {
  try {
    insert_scalars(value.scalars(), id);
  } catch (const std::bad_alloc&) {
    withdraw_replacing(old, value, id);
    throw;
  }
}

void QueryMap::withdraw_replacing(const ScalarSet* old, const ScalarSet& value, uint32_t id) {
  for (const PyValue& scalar : value.scalars()) {
    if (!old || !old->contains(scalar))
      remove_scalar(scalar, id, value.scalars(), old ? old->scalars() : std::span<const PyValue>());
  }
}

void QueryMap::drop_replaced(const ScalarSet& old, const ScalarSet& kept, uint32_t id) {
  readers_.wait_for_readers();
  // Entries are sets of ids: removing an entry the new value also makes would take out what the
  // insertion just put in.
  for (const PyValue& scalar : old.scalars()) {
    if (!kept.contains(scalar)) remove_scalar(scalar, id, old.scalars(), kept.scalars());
  }
}

// An insertion out of memory fails with the stores unchanged, so it leaves their locks usable.
void QueryMap::insert_scalar(const PyValue& value, uint32_t id) {
  if (std::optional<OrderedKey> key = stored_key(value)) {
    ordered_.write_failure_safe()->insert(*key, id);
    return;
  }
  insert_exact(value, id);
}

void QueryMap::remove_scalar(const PyValue& value, uint32_t id, std::span<const PyValue> first,
                             std::span<const PyValue> second) {
  // Each carrier named costs the tree a lookup: beyond a few, searching the path is cheaper.
  constexpr std::size_t kNamedCarriers = 8;
  if (std::optional<OrderedKey> key = stored_key(value)) {
    // On the stack: allocating the list cost a write of a number a tenth of its time.
    alignas(NumericKey) std::array<std::byte, kNamedCarriers * sizeof(NumericKey)> room;
    std::pmr::monotonic_buffer_resource arena(room.data(), room.size());
    std::pmr::vector<NumericKey> carriers(&arena);
    // A lone scalar can only name its own entry, which tells the tree nothing: most removals.
    const std::size_t named = first.size() + second.size();
    if (named > 1 && named <= kNamedCarriers) {
      carriers.reserve(kNamedCarriers);
      for (std::span<const PyValue> scalars : {first, second}) {
        for (const PyValue& scalar : scalars) {
          const std::optional<OrderedKey> carrier = stored_key(scalar);
          if (carrier && carrier->kind == key->kind) carriers.push_back(carrier->key);
        }
      }
    }
    ordered_.update([&](OrderedIndex& ordered) { ordered.remove(*key, id, carriers); });
    return;
  }
  remove_exact(value, id);
}

void QueryMap::insert_exact(const PyValue& value, uint32_t id) {
  auto shard = exact_.get_shard_failure_safe(value);
  auto found = shard->find(value);
  if (found != shard->end()) {
    found->second.add(id);
  } else {
    shard->emplace(value, HybridSet::of(id));
  }
}

// Taking an id out of a set never fails, nor does dropping an entry.
void QueryMap::remove_exact(const PyValue& value, uint32_t id) {
  auto shard = exact_.get_shard_failure_safe(value);
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
  ordered_.update([](OrderedIndex& ordered) { ordered.clear(); });
  withheld_.update([](Bitmap& withheld) { withheld = Bitmap(); });
  any_withheld_.store(false, std::memory_order_release);
}

bool QueryMap::is_empty() const {
  bool empty = true;
  exact_.for_each([&](const PyValue&, const HybridSet&) { empty = false; });
  return empty && ordered_.read()->is_empty();
}

Bitmap QueryMap::ordered_range(OrderedKind kind, const Bound& lower, const Bound& upper,
                               const Bitmap* within) const {
  return ordered_.read()->query_range(kind, lower, upper, within);
}

Bitmap QueryMap::equal_to(const PyValue& value, const Bitmap* within) const {
  if (std::optional<OrderedOperand> operand = ordered_operand(value)) {
    if (!operand->exact()) return Bitmap();
    Bound key = Bound::included(operand->below);
    return ordered_range(operand->kind, key, key, within);
  }
  if (!in_exact_map(value.kind())) return Bitmap();
  Bitmap ids;
  exact_.visit(value, [&](const HybridSet& stored) {
    ids = within ? stored.intersection_with(*within) : stored.as_bitmap();
  });
  return ids;
}

std::optional<std::size_t> QueryMap::copy_equal_ids(const PyValue& value,
                                                    std::span<uint32_t> room) const {
  if (ordered_operand(value)) return std::nullopt;
  std::optional<std::size_t> copied = 0;
  if (!in_exact_map(value.kind())) return copied;
  exact_.visit(value, [&](const HybridSet& stored) { copied = stored.copy_into(room); });
  return copied;
}

std::optional<std::vector<uint32_t>> QueryMap::ordered_equal_ids(const PyValue& value) const {
  std::optional<OrderedOperand> operand = ordered_operand(value);
  if (!operand) return std::nullopt;
  if (!operand->exact()) return std::vector<uint32_t>();
  const Bound key = Bound::included(operand->below);
  std::vector<uint32_t> ids = ordered_.read()->ids_in_range(operand->kind, key, key);
  // Entries of one key come in id order; an id repeats only when it has equal entries.
  if (std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<>()) != ids.end())
    return std::nullopt;
  return ids;
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

std::optional<QueryMap::OrderedSpan> QueryMap::ordered_span(Ordering ordering,
                                                            const PyValue& value) {
  if (value.kind() == ValueKind::Ind) internal_error("not yet implemented");
  std::optional<OrderedOperand> operand = ordered_operand(value);
  if (!operand) return std::nullopt;
  // An operand that is no key of its kind (an int beyond 64 bits) lies strictly between the
  // keys next to it, so strict and non-strict comparisons meet at those.
  const bool exact = operand->exact();
  switch (ordering) {
    case Ordering::Gt:
      return OrderedSpan{operand->kind,
                         exact ? Bound::excluded(operand->above) : Bound::included(operand->above),
                         Bound::unbounded()};
    case Ordering::Ge:
      return OrderedSpan{operand->kind, Bound::included(operand->above), Bound::unbounded()};
    case Ordering::Lt:
      return OrderedSpan{operand->kind, Bound::unbounded(),
                         exact ? Bound::excluded(operand->below) : Bound::included(operand->below)};
    case Ordering::Le:
      return OrderedSpan{operand->kind, Bound::unbounded(), Bound::included(operand->below)};
  }
  internal_error("unreachable ordering");
}

std::optional<QueryMap::OrderedSpan> QueryMap::between_span(const PyValue& lower,
                                                            const PyValue& upper) {
  std::optional<OrderedOperand> from = ordered_operand(lower);
  std::optional<OrderedOperand> to = ordered_operand(upper);
  if (!from || !to) internal_error("not yet implemented");
  if (from->kind != to->kind) return std::nullopt;
  return OrderedSpan{from->kind, Bound::included(from->above), Bound::included(to->below)};
}

Bitmap QueryMap::ordered(Ordering ordering, const PyValue& value, const Bitmap* within) const {
  const std::optional<OrderedSpan> span = ordered_span(ordering, value);
  return span ? ordered_range(span->kind, span->lower, span->upper, within) : Bitmap();
}

Bitmap QueryMap::between(const PyValue& lower, const PyValue& upper, const Bitmap* within) const {
  const std::optional<OrderedSpan> span = between_span(lower, upper);
  return span ? ordered_range(span->kind, span->lower, span->upper, within) : Bitmap();
}

uint64_t QueryMap::count_range(const std::optional<OrderedSpan>& span, const Bitmap* within) const {
  if (!span) return 0;
  auto ordered = ordered_.read();
  const BitMapBTree* tree = ordered->tree(span->kind);
  return tree ? tree->count_range(span->lower, span->upper, within) : 0;
}

uint64_t QueryMap::count_ordered(Ordering ordering, const PyValue& value,
                                 const Bitmap* within) const {
  return count_range(ordered_span(ordering, value), within);
}

uint64_t QueryMap::count_between(const PyValue& lower, const PyValue& upper,
                                 const Bitmap* within) const {
  return count_range(between_span(lower, upper), within);
}

std::vector<uint32_t> QueryMap::ranked(const RankedIds& ids, const PageRequest& page) const {
  return rank_by_order(*ordered_.read(), ids, page);
}

Groups QueryMap::group_values(const Bitmap* within) const {
  Groups groups;
  groups.reserve(exact_.size());  // growing would move every group made so far, again and again
  const WithinTest all_within(within);
  exact_.for_each([&](const PyValue& value, const HybridSet& ids) {
    if (ids.is_empty()) return;
    // A group is usually all members: copying it then costs less than intersecting it.
    const Bitmap* large = ids.large_bitmap();
    Bitmap kept = !within || (large && all_within.covers(*large)) ? ids.as_bitmap()
                                                                  : ids.intersection_with(*within);
    if (!kept.is_empty()) groups.push_back(Group{value, std::move(kept), {}, {}});
  });

  // Entries arrive in order; a run of entries with one key is one group.
  auto ordered = ordered_.read();
  ordered->for_each_tree([&](OrderedKind kind, const BitMapBTree& tree) {
    std::optional<Entry> first;
    Bitmap ids;
    Bitmap float_ids;
    auto close_group = [&] {
      if (!first) return;
      if (within) {
        ids.and_inplace(*within);
        float_ids.and_inplace(*within);
        if (ids.is_empty()) return;
      }
      const bool all_integers = float_ids.is_empty();
      Group group{group_key(kind, *first, all_integers), std::move(ids), {}, {}};
      if (!all_integers && first->kind() == NumericKind::kInteger) {
        group.integer = group_key(kind, *first, true);
        group.float_ids = std::move(float_ids);
      }
      groups.push_back(std::move(group));
    };
    tree.for_each([&](const Entry& entry) {
      if (!first || first->number() != entry.number()) {
        close_group();
        first = entry;
        ids = Bitmap();
        float_ids = Bitmap();
      }
      if (entry.kind() != NumericKind::kInteger) float_ids.add(entry.id());
      ids.add(entry.id());
    });
    close_group();
  });
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
    shard.commit();
  }

  auto ordered = ordered_.write();
  ordered->for_each_tree([&](OrderedKind, const BitMapBTree& tree) {
    tree.for_each([&](const Entry& entry) { withheld.add(entry.id()); });
  });
  ordered->retain(keep);
  withheld.andnot_inplace(keep);
  auto all_withheld = withheld_.write();
  all_withheld->or_inplace(withheld);
  any_withheld_.store(!all_withheld->is_empty(), std::memory_order_release);
  all_withheld.commit();
  ordered.commit();
}

void QueryMap::drop_withheld(Bitmap& ids) const {
  if (!any_withheld_.load(std::memory_order_acquire)) return;
  ids.andnot_inplace(*withheld_.read());
}

}  // namespace veldrake
