// The id set kept per indexed value: most values are shared by a handful of objects, so small
// sets live in a four-slot CenteredArray and only larger ones pay for a roaring bitmap.
//
// Variants (the tag is what variant() returns):
//  0 Empty   no set at all; the result of intersecting with Empty. Only as_bitmap, or/and and
//            assignment accept it; any other read is an internal error.
//  1 Small   the array inline.
//  2 Medium  the array in its own heap allocation.
//  3 Large   a Bitmap.
// A set grows Small/Medium -> Large when an add or union no longer fits; it never shrinks back,
// and removing ids keeps the variant even when the set becomes empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "base/structures/bitmap.h"
#include "base/structures/centered_array.h"

namespace veldrake {

class HybridSet {
 public:
  using IdArray = CenteredArray<4>;
  enum class Variant : uint8_t { kEmpty = 0, kSmall = 1, kMedium = 2, kLarge = 3 };

  // An Empty set.
  HybridSet() = default;
  HybridSet(const HybridSet&) = default;
  HybridSet& operator=(const HybridSet&) = default;
  // Moves leave the source Empty.
  HybridSet(HybridSet&& other) noexcept : storage_(std::exchange(other.storage_, Empty{})) {}
  HybridSet& operator=(HybridSet&& other) noexcept {
    storage_ = std::exchange(other.storage_, Empty{});
    return *this;
  }

  // A Small set holding `id`.
  static HybridSet of(uint32_t id);
  // A Small set holding the ids of `ids`.
  static HybridSet small(const IdArray& ids);
  // A Medium set holding the ids of `ids`.
  static HybridSet medium(const IdArray& ids);
  // A Large set holding the ids of `ids`.
  static HybridSet from_bitmap(Bitmap ids);

  // The variant tag.
  Variant variant() const { return static_cast<Variant>(storage_.index()); }

  // Adds `id`, growing to Large when the array has no room.
  void add(uint32_t id);
  // Removes `id`; false if it was absent.
  bool remove(uint32_t id);
  // Whether `id` is present.
  bool contains(uint32_t id) const;
  // Number of ids.
  uint64_t cardinality() const;
  // Whether there are no ids.
  bool is_empty() const;
  // The ids as a bitmap (empty for Empty).
  Bitmap as_bitmap() const;
  // The ids also in `other`, as a bitmap (empty for Empty); the set itself is not copied.
  Bitmap intersection_with(const Bitmap& other) const;
  // How many ids are also in `other`, without building the intersection.
  uint64_t intersection_cardinality(const Bitmap& other) const;
  // The bitmap of a Large set, nullptr otherwise.
  const Bitmap* large_bitmap() const { return std::get_if<Bitmap>(&storage_); }
  // Writes the ids, ascending, into `room` and returns how many when they fit (none for Empty);
  // nullopt, writing nothing, when they do not.
  std::optional<std::size_t> copy_into(std::span<uint32_t> room) const;
  // Calls `visit(id)` for every id in ascending order.
  template <class F>
  void for_each(F&& visit) const;

  // Adds the ids of `other`. Left Empty if interrupted by an internal error.
  void or_inplace(const HybridSet& other);
  // Keeps only the ids also in `other`. Left Empty if interrupted by an internal error.
  void and_inplace(const HybridSet& other);

 private:
  struct Empty {};
  // Owns a heap array and copies it deeply.
  class BoxedArray {
   public:
    explicit BoxedArray(const IdArray& ids) : ids_(std::make_unique<IdArray>(ids)) {}
    BoxedArray(const BoxedArray& other) : BoxedArray(*other.ids_) {}
    BoxedArray(BoxedArray&&) noexcept = default;
    BoxedArray& operator=(const BoxedArray& other) { return *this = BoxedArray(other); }
    BoxedArray& operator=(BoxedArray&&) noexcept = default;
    IdArray& operator*() const { return *ids_; }

   private:
    std::unique_ptr<IdArray> ids_;
  };
  using Storage = std::variant<Empty, IdArray, BoxedArray, Bitmap>;

  explicit HybridSet(Storage storage) : storage_(std::move(storage)) {}

  // The array of a Small or Medium set, nullptr otherwise.
  IdArray* array();
  const IdArray* array() const;
  // Throws "called <operation> on Empty" for an Empty set.
  void reject_empty(const char* operation) const;

  static HybridSet unite(HybridSet self, const HybridSet& other);
  static HybridSet intersect(HybridSet self, const HybridSet& other);

  Storage storage_;
};

template <class F>
void HybridSet::for_each(F&& visit) const {
  reject_empty("iter");
  if (const IdArray* ids = array()) {
    for (uint32_t id : ids->ids()) visit(id);
  } else {
    std::get<Bitmap>(storage_).for_each(visit);
  }
}

}  // namespace veldrake
