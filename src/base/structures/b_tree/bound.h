// One end of a numeric range query. Bounds compare numbers only: an integer bound and a float
// bound of the same value select the same entries. A NaN bound selects nothing.
#pragma once

#include <cstdint>

#include "base/structures/b_tree/numeric_key.h"

namespace veldrake {

class Bound {
 public:
  enum class Kind : uint8_t { kIncluded = 0, kExcluded = 1, kUnbounded = 2 };

  // The bound that admits `key` itself.
  static Bound included(NumericKey key) { return Bound(Kind::kIncluded, key); }
  // The bound that stops just short of `key`.
  static Bound excluded(NumericKey key) { return Bound(Kind::kExcluded, key); }
  // No bound on this side.
  static Bound unbounded() { return Bound(Kind::kUnbounded, NumericKey::integer(0)); }

  // Included, Excluded or Unbounded.
  Kind kind() const { return kind_; }
  // The bounding key (meaningless when Unbounded).
  const NumericKey& key() const { return key_; }

 private:
  Bound(Kind kind, NumericKey key) : kind_(kind), key_(key) {}

  Kind kind_;
  NumericKey key_;
};

}  // namespace veldrake
