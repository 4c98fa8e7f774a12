// A tiny sorted id set stored as a centered run inside a fixed array.
//
// Design:
//  * The ids occupy slots [start, start + count) in ascending order. Keeping the run near the
//    middle leaves free slots on both sides, so an insert shifts whichever side is shorter
//    instead of always moving the tail: with four slots most inserts move zero or one id.
//  * When the run touches an end it is recentred before inserting, which guarantees room on
//    both sides for the shift.
//  * The array is a plain value (no heap), so sets of a handful of ids cost no allocation.
//
// Invariants: start + count <= Capacity; the run is strictly increasing. Slots outside the run
// hold no meaning.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "base/internal_error.h"

namespace veldrake {

template <size_t Capacity>
class CenteredArray {
  static_assert(Capacity > 0 && Capacity <= 255, "start and count are stored in one byte");

 public:
  static constexpr size_t kCapacity = Capacity;

  // The slot where a run of `count` ids starts when centred.
  static constexpr size_t centre_for(size_t count) { return (Capacity - count) / 2; }

  // Number of ids.
  size_t count() const { return count_; }
  // Slot of the smallest id.
  size_t start() const { return start_; }
  // Raw content of slot `slot` (for layout checks).
  uint32_t slot(size_t slot) const { return slots_[slot]; }
  // The ids in ascending order.
  std::span<const uint32_t> ids() const { return {slots_.data() + start_, count_}; }
  // Whether `id` is present.
  bool contains(uint32_t id) const { return std::binary_search(begin(), end(), id); }

  // Adds `id` (no change if present). Throws "CenteredArray full" when no slot is left.
  void insert(uint32_t id) {
    if (count() >= Capacity) internal_error("CenteredArray full");
    if (start() == 0 || start() + count() >= Capacity) move_run_to(centre_for(count()));
    const uint32_t* found = std::lower_bound(begin(), end(), id);
    if (found != end() && *found == id) return;
    const size_t position = static_cast<size_t>(found - begin());
    if (start() > 0 && position < count() / 2) {
      std::copy(begin(), begin() + position, begin() - 1);
      --start_;
    } else {
      std::copy_backward(begin() + position, end(), end() + 1);
    }
    slots_[start_ + position] = id;
    ++count_;
    check_invariants();
  }

  // Removes `id`; false if it was absent.
  bool remove(uint32_t id) {
    if (count_ == 0) return false;
    const uint32_t* found = std::lower_bound(begin(), end(), id);
    if (found == end() || *found != id) return false;
    const size_t position = static_cast<size_t>(found - begin());
    if (start() + position >= count() / 2) {
      std::copy(begin() + position + 1, end(), begin() + position);
    } else {
      std::copy_backward(begin(), begin() + position, begin() + position + 1);
      ++start_;
    }
    --count_;
    check_invariants();
    return true;
  }

  // Adds the ids of `other`; the two counts together must fit (internal error otherwise). The
  // result starts at slot 0, or centred when short.
  void union_with(const CenteredArray& other) {
    if (count() + other.count() > Capacity) internal_error("CenteredArray full");
    std::array<uint32_t, Capacity> merged{};
    const uint32_t* merged_end =
        std::set_union(begin(), end(), other.begin(), other.end(), merged.data());
    slots_ = merged;
    start_ = 0;
    count_ = static_cast<uint8_t>(merged_end - merged.data());
    if (count() < 3) move_run_to(centre_for(count()));
    check_invariants();
  }

  // Keeps only the ids for which `keep(id)` holds, then centres the run.
  template <class Predicate>
  void retain_if(Predicate keep) {
    // Kept ids are written from slot 0; the write index never passes the read index.
    size_t kept = 0;
    for (size_t i = start(); i < start() + count(); ++i) {
      if (keep(slots_[i])) slots_[kept++] = slots_[i];
    }
    start_ = 0;
    count_ = static_cast<uint8_t>(kept);
    move_run_to(centre_for(kept));
    check_invariants();
  }

 private:
  uint32_t* begin() { return slots_.data() + start_; }
  uint32_t* end() { return begin() + count_; }
  const uint32_t* begin() const { return slots_.data() + start_; }
  const uint32_t* end() const { return begin() + count_; }

  void move_run_to(size_t new_start) {
    if (new_start < start()) {
      std::copy(begin(), end(), slots_.data() + new_start);
    } else if (new_start > start()) {
      std::copy_backward(begin(), end(), slots_.data() + new_start + count());
    }
    start_ = static_cast<uint8_t>(new_start);
  }

  void check_invariants() const {
    assert(start() + count() <= Capacity);
    assert(std::adjacent_find(begin(), end(), std::greater_equal<uint32_t>()) == end());
  }

  std::array<uint32_t, Capacity> slots_{};
  uint8_t start_ = 0;
  uint8_t count_ = 0;
};

}  // namespace veldrake
