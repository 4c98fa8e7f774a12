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
  // How many entries a split made to take `entry` keeps, the rest moving to the new leaf. Half,
  // unless `entry` goes right after the last entry of its number: ids grow as objects are added,
  // so one number's entries keep arriving at the end of its run, and a leaf halved there keeps a
  // half that never fills. The split then falls where `entry` goes (kept within the middle three
  // quarters), so the entries before it stay together and those of the next number move on.
  size_t kept_by_split(const Entry& entry) const;
  // Moves the entries from run position `kept` on into a new leaf and returns it; out of memory,
  // throws before moving any.
  std::unique_ptr<LeafNode> split(size_t kept);
  // Adds the ids of the entries in `range` to `pieces`.
  void collect_range(const EntryRange& range, RangePieces& pieces) const;

 private:
  friend class CenteredRun<LeafNode>;

  void move_slots(size_t from, size_t to, size_t n) { veldrake::move_slots(slots_, from, to, n); }
  void move_slots_to(LeafNode& other, size_t from, size_t to, size_t n);

  std::array<Entry, kNodeSlots> slots_{};
};

}  // namespace veldrake
