// A B-tree leaf: up to kNodeSlots entries in ascending order, as a centered run (see
// centered_run.h). Entries are unique; an emptied leaf stays in the tree.
#pragma once

#include <array>
#include <memory>
#include <span>

#include "base/structures/b_tree/entry.h"
#include "base/structures/b_tree/entry_range.h"
#include "base/structures/b_tree/nodes/centered_run.h"
#include "base/structures/b_tree/nodes/node.h"
#include "base/structures/bitmap.h"

namespace veldrake {

class LeafNode : public CenteredRun<LeafNode> {
 public:
  // An empty leaf.
  LeafNode() = default;

  // The stored entries in ascending order.
  std::span<const Entry> entries() const { return {slots_.data() + start(), count()}; }
  // Raw content of slot `slot` (for layout checks).
  const Entry& slot(size_t slot) const { return slots_[slot]; }
  // The smallest entry (the leaf must not be empty).
  const Entry& first_key() const { return entries().front(); }
  // The ids of all entries.
  Bitmap ids() const { return ids_between(0, count()); }
  // The ids of the entries at run positions [first, last).
  Bitmap ids_between(size_t first, size_t last) const;

  // Stores `entry` (the leaf must not be full); false if it was already stored.
  bool insert(const Entry& entry);
  // Whether `entry` is stored.
  bool contains(const Entry& entry) const;
  // Removes `entry` and reports whether its id is still carried by another entry here; the
  // leaf's entries are searched only when `others` neither rules that out nor lists them.
  RemoveOutcome remove(const Entry& entry, const OtherCarriers& others);
  // Moves the upper half of the entries into a new leaf and returns it; out of memory, throws
  // before moving any.
  std::unique_ptr<LeafNode> split();
  // Adds the ids of the entries in `range` to `pieces`.
  void collect_range(const EntryRange& range, RangePieces& pieces) const;

 private:
  friend class CenteredRun<LeafNode>;

  void move_slots(size_t from, size_t to, size_t n) { veldrake::move_slots(slots_, from, to, n); }
  void move_slots_to(LeafNode& other, size_t from, size_t to, size_t n);

  std::array<Entry, kNodeSlots> slots_{};
};

}  // namespace veldrake
