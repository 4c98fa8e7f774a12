#include "base/structures/hybrid_set.h"

#include <algorithm>
#include <array>
#include <string>

#include "base/internal_error.h"

namespace veldrake {

namespace {

// add() turns a Small set Large once it holds this many ids; only a union fills its last slot.
constexpr size_t kSmallAddLimit = 3;

}  // namespace

HybridSet HybridSet::of(uint32_t id) {
  IdArray ids;
  ids.insert(id);
  return small(ids);
}

HybridSet HybridSet::small(const IdArray& ids) {
  return HybridSet(Storage(std::in_place_type<IdArray>, ids));
}

HybridSet HybridSet::medium(const IdArray& ids) {
  return HybridSet(Storage(std::in_place_type<BoxedArray>, ids));
}

HybridSet HybridSet::from_bitmap(Bitmap ids) {
  return HybridSet(Storage(std::in_place_type<Bitmap>, std::move(ids)));
}

HybridSet::IdArray* HybridSet::array() {
  if (auto* inline_ids = std::get_if<IdArray>(&storage_)) return inline_ids;
  if (auto* boxed_ids = std::get_if<BoxedArray>(&storage_)) return &**boxed_ids;
  return nullptr;
}

const HybridSet::IdArray* HybridSet::array() const {
  return const_cast<HybridSet*>(this)->array();
}

void HybridSet::reject_empty(const char* operation) const {
  if (variant() == Variant::kEmpty)
    internal_error(std::string("called ") + operation + " on Empty");
}

void HybridSet::add(uint32_t id) {
  if (variant() == Variant::kEmpty) {
    *this = of(id);
    return;
  }
  if (auto* bitmap = std::get_if<Bitmap>(&storage_)) {
    bitmap->add(id);
    return;
  }
  IdArray& ids = *array();
  const size_t limit = variant() == Variant::kSmall ? kSmallAddLimit : IdArray::kCapacity;
  if (ids.count() < limit) {
    ids.insert(id);
    return;
  }
  Bitmap grown = Bitmap::of(ids.ids());
  grown.add(id);
  storage_ = std::move(grown);
}

bool HybridSet::remove(uint32_t id) {
  reject_empty("remove");
  if (auto* bitmap = std::get_if<Bitmap>(&storage_)) return bitmap->remove(id);
  return array()->remove(id);
}

bool HybridSet::contains(uint32_t id) const {
  reject_empty("contains");
  if (const IdArray* ids = array()) return ids->contains(id);
  return std::get<Bitmap>(storage_).contains(id);
}

uint64_t HybridSet::cardinality() const {
  reject_empty("cardinality");
  if (const IdArray* ids = array()) return ids->count();
  return std::get<Bitmap>(storage_).cardinality();
}

bool HybridSet::is_empty() const {
  reject_empty("is_empty");
  if (const IdArray* ids = array()) return ids->count() == 0;
  return std::get<Bitmap>(storage_).is_empty();
}

Bitmap HybridSet::as_bitmap() const {
  if (const IdArray* ids = array()) return Bitmap::of(ids->ids());
  if (const auto* bitmap = std::get_if<Bitmap>(&storage_)) return *bitmap;
  return Bitmap();
}

Bitmap HybridSet::intersection_with(const Bitmap& other) const {
  if (const auto* bitmap = std::get_if<Bitmap>(&storage_))
    return Bitmap::intersection(*bitmap, other);
  const IdArray* ids = array();
  if (!ids) return Bitmap();
  std::array<uint32_t, IdArray::kCapacity> kept;
  std::size_t count = 0;
  for (uint32_t id : ids->ids()) {
    if (other.contains(id)) kept[count++] = id;
  }
  return Bitmap::of(std::span<const uint32_t>(kept.data(), count));
}

std::optional<std::size_t> HybridSet::copy_into(std::span<uint32_t> room) const {
  if (const IdArray* ids = array()) {
    const std::span<const uint32_t> held = ids->ids();
    if (held.size() > room.size()) return std::nullopt;
    std::copy(held.begin(), held.end(), room.begin());
    return held.size();
  }
  const Bitmap* bitmap = large_bitmap();
  if (!bitmap) return 0;
  const uint64_t count = bitmap->cardinality();
  if (count > room.size()) return std::nullopt;
  bitmap->copy_to(room.data());
  return static_cast<std::size_t>(count);
}

uint64_t HybridSet::intersection_cardinality(const Bitmap& other) const {
  if (const auto* bitmap = std::get_if<Bitmap>(&storage_))
    return Bitmap::intersection_cardinality(*bitmap, other);
  const IdArray* array_ids = array();
  if (!array_ids) return 0;
  const std::span<const uint32_t> ids = array_ids->ids();
  return static_cast<uint64_t>(
      std::count_if(ids.begin(), ids.end(), [&](uint32_t id) { return other.contains(id); }));
}

void HybridSet::or_inplace(const HybridSet& other) {
  if (&other == this) {
    or_inplace(HybridSet(other));
    return;
  }
  // *this stays Empty until the result is complete, so a failure leaves no half-updated set.
  HybridSet self = std::move(*this);
  *this = unite(std::move(self), other);
}

void HybridSet::and_inplace(const HybridSet& other) {
  if (&other == this) {
    and_inplace(HybridSet(other));
    return;
  }
  HybridSet self = std::move(*this);
  *this = intersect(std::move(self), other);
}

HybridSet HybridSet::unite(HybridSet self, const HybridSet& other) {
  if (self.variant() == Variant::kEmpty) return other;
  if (other.variant() == Variant::kEmpty) return self;
  const IdArray* mine = self.array();
  const IdArray* theirs = other.array();
  if (mine != nullptr && theirs != nullptr) {
    // The summed counts, not the union size, decide: a cheap bound checked before merging.
    if (mine->count() + theirs->count() <= IdArray::kCapacity) {
      IdArray merged = *mine;
      merged.union_with(*theirs);
      const bool both_small =
          self.variant() == Variant::kSmall && other.variant() == Variant::kSmall;
      return both_small ? small(merged) : medium(merged);
    }
    Bitmap ids = Bitmap::of(mine->ids());
    ids.add_many(theirs->ids());
    return from_bitmap(std::move(ids));
  }
  if (mine != nullptr) {
    Bitmap ids = std::get<Bitmap>(other.storage_);
    ids.add_many(mine->ids());
    return from_bitmap(std::move(ids));
  }
  Bitmap& ids = std::get<Bitmap>(self.storage_);
  if (theirs != nullptr) {
    ids.add_many(theirs->ids());
  } else {
    ids.or_inplace(std::get<Bitmap>(other.storage_));
  }
  return self;
}

HybridSet HybridSet::intersect(HybridSet self, const HybridSet& other) {
  if (self.variant() == Variant::kEmpty || other.variant() == Variant::kEmpty) return HybridSet();
  IdArray* mine = self.array();
  const IdArray* theirs = other.array();
  if (mine != nullptr && theirs != nullptr) {
    mine->retain_if([theirs](uint32_t id) { return theirs->contains(id); });
    return self;
  }
  if (mine != nullptr) {
    const Bitmap& bitmap = std::get<Bitmap>(other.storage_);
    if (self.variant() == Variant::kSmall) {
      // Rebuilt by inserts: the layout an add() sequence gives a Small set.
      IdArray kept;
      for (uint32_t id : mine->ids()) {
        if (bitmap.contains(id)) kept.insert(id);
      }
      *mine = kept;
    } else {
      mine->retain_if([&bitmap](uint32_t id) { return bitmap.contains(id); });
    }
    return self;
  }
  Bitmap& ids = std::get<Bitmap>(self.storage_);
  if (theirs != nullptr) {
    ids.and_inplace(Bitmap::of(theirs->ids()));
  } else {
    ids.and_inplace(std::get<Bitmap>(other.storage_));
  }
  return self;
}

}  // namespace veldrake
