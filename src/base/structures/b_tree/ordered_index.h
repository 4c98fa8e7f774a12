// Ordered values of several kinds that never compare with each other: numbers (integers and
// floats share one order), and each kind of date or time. Each kind has its own B-tree, made when
// its first entry arrives, so a query or a walk over one kind never meets another.
//
// Every key is a NumericKey: a number as it is, a date or time as an integer count of its unit
// (days, microseconds, nanoseconds). A NaN key stands for a value outside every order (a float
// NaN, numpy's NaT): it is never stored and bounds nothing, as in BitMapBTree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/structures/b_tree/b_tree.h"

namespace veldrake {

// The kinds in the order a walk over every kind visits them.
enum class OrderedKind : uint8_t {
  kNumber,
  kDate,
  kNaiveDateTime,
  kAwareDateTime,  // by UTC instant
  kTimeDelta,
  kNumpyDateTime,
  kNumpyTimeDelta,
};
inline constexpr std::size_t kOrderedKinds = 7;

struct OrderedKey {
  OrderedKind kind;
  NumericKey key;
};

class OrderedIndex {
 public:
  // Stores (key, id) in the tree of its kind; false if it was stored already or the key is NaN.
  bool insert(const OrderedKey& key, uint32_t id);
  // Removes (key, id); false if it was not stored. A tree left with no entry is freed.
  // `carriers`: keys of the same kind that may make other entries of the id (BitMapBTree::remove).
  bool remove(const OrderedKey& key, uint32_t id, std::span<const NumericKey> carriers = {});
  // The ids (within `filter` when given) having an entry of `kind` between the bounds.
  Bitmap query_range(OrderedKind kind, const Bound& lower, const Bound& upper,
                     const Bitmap* filter) const;
  // BitMapBTree::ids_in_range on the tree of `kind`.
  std::vector<uint32_t> ids_in_range(OrderedKind kind, const Bound& lower,
                                     const Bound& upper) const;
  bool is_empty() const;

  // The tree of `kind`; nullptr when it never held an entry.
  const BitMapBTree* tree(OrderedKind kind) const {
    return trees_[static_cast<std::size_t>(kind)].get();
  }
  // Calls `visit(kind, tree)` for every kind that has a tree, in kind order.
  template <class F>
  void for_each_tree(F&& visit) const {
    for (std::size_t i = 0; i < kOrderedKinds; ++i)
      if (trees_[i]) visit(static_cast<OrderedKind>(i), *trees_[i]);
  }
  // Removes every entry whose id is not in `keep`, freeing the trees left empty.
  void retain(const Bitmap& keep);
  // Frees every tree.
  void clear() { trees_ = {}; }

 private:
  std::array<std::unique_ptr<BitMapBTree>, kOrderedKinds> trees_;
};

}  // namespace veldrake
