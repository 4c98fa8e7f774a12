// One stored (number, kind, id) triple of the B-tree, packed into 128 bits so that entries sort
// as unsigned 128-bit integers: by number, then integers before floats of equal value, then id.
//
//   bits 116-127  S of the number      bits 32-51  kind (0 integer, 1 float)
//   bits  52-115  M of the number      bits  0-31  id
//
// The 128 bits are held as two 64-bit words compared high word first: the same order as a native
// 128-bit integer, and it also builds for 32-bit targets, which have none.
#pragma once

#include <compare>
#include <cstdint>

#include "base/structures/b_tree/numeric_key.h"

namespace veldrake {

class Entry {
 public:
  // The smallest possible entry.
  Entry() = default;
  Entry(OrderedNumber number, NumericKind kind, uint32_t id)
      : high_(uint64_t{number.sign_exponent} << 52 | number.mantissa >> 12),
        low_(number.mantissa << 52 | uint64_t{static_cast<uint8_t>(kind)} << 32 | id) {}
  // The entry of `key` for `id`.
  static Entry of(const NumericKey& key, uint32_t id) {
    return Entry(key.number(), key.kind(), id);
  }

  // The smallest entry holding `number`.
  static Entry lowest_with(OrderedNumber number) { return Entry(number, NumericKind{0}, 0); }
  // The largest entry holding `number` (every kind and id bit set).
  static Entry highest_with(OrderedNumber number) {
    Entry entry = lowest_with(number);
    entry.low_ |= kNumberFreeLowBits;
    return entry;
  }
  // The largest possible entry.
  static Entry max() { return Entry(~uint64_t{0}, ~uint64_t{0}); }

  // The entry right after this one in the 128-bit order (must not be max()).
  Entry successor() const {
    return low_ == ~uint64_t{0} ? Entry(high_ + 1, 0) : Entry(high_, low_ + 1);
  }
  // The entry right before this one (must not be the smallest).
  Entry predecessor() const {
    return low_ == 0 ? Entry(high_ - 1, ~uint64_t{0}) : Entry(high_, low_ - 1);
  }

  // The encoded number.
  OrderedNumber number() const {
    return {static_cast<uint16_t>(high_ >> 52), high_ << 12 | low_ >> 52};
  }
  // Integer or float.
  NumericKind kind() const { return static_cast<NumericKind>((low_ >> 32) & 0xfffff); }
  // The id.
  uint32_t id() const { return static_cast<uint32_t>(low_); }
  // The stored key, decoded exactly (see NumericKey about -0.0).
  NumericKey key() const { return NumericKey::decode(number(), kind()); }

  // Bits 64-127.
  uint64_t high() const { return high_; }
  // Bits 0-63.
  uint64_t low() const { return low_; }

  auto operator<=>(const Entry&) const = default;

 private:
  // The low-word bits below M: kind and id.
  static constexpr uint64_t kNumberFreeLowBits = (uint64_t{1} << 52) - 1;

  Entry(uint64_t high, uint64_t low) : high_(high), low_(low) {}

  uint64_t high_ = 0;
  uint64_t low_ = 0;
};

}  // namespace veldrake
