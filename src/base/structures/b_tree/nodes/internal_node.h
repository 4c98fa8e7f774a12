// A B-tree internal node: up to kNodeSlots children as a centered run (see centered_run.h).
//
// Per slot: the child's key, the child itself, and the bitmap of the ids of all entries below the
// child. Child i holds the entries e with key(i) <= e < key(i + 1); child 0 also holds everything
// below key(0). Keys are fixed when a child is created (its first entry at that time) and stay
// valid bounds as entries come and go. The bitmaps are exact: an id is in a child's bitmap iff
// some entry below that child carries it, which lets a range query take whole children from
// their bitmaps alone.
//
// Out of memory, an insertion leaves the entries and bitmaps as they were: a split allocates the
// new node and both halves' bitmaps before it moves anything, and the id goes into a child's
// bitmap before the descent into that child, which takes it out again should the descent fail
// (removing an id never fails). A split that completed stays: it changes the shape, not the
// content.
#pragma once

#include <array>
#include <memory>
#include <optional>

#include "base/structures/b_tree/entry.h"
#include "base/structures/b_tree/entry_range.h"
#include "base/structures/b_tree/nodes/centered_run.h"
#include "base/structures/b_tree/nodes/node.h"
#include "base/structures/bitmap.h"

namespace veldrake {

class InternalNode : public CenteredRun<InternalNode> {
 public:
  // A node without children.
  InternalNode() = default;
  // A new root over the two parts of the full node `full`, which it splits to make room for
  // `entry`; out of memory, throws with `full` unchanged.
  static std::unique_ptr<InternalNode> above_split(Node& full, const Entry& entry);

  // The key of child `position`.
  const Entry& key(size_t position) const { return keys_[start() + position]; }
  // Child `position`.
  const Node& child(size_t position) const { return children_[start() + position]; }
  // The ids below child `position`, if kept.
  const std::optional<Bitmap>& child_ids(size_t position) const {
    return child_ids_[start() + position];
  }
  // The key of the first child.
  const Entry& first_key() const { return key(0); }
  // The ids of all entries below this node.
  Bitmap ids() const { return ids_between(0, count()); }
  // The ids of all entries below the children at run positions [first, last).
  Bitmap ids_between(size_t first, size_t last) const;

  // Stores `entry` below this node (which must not be full); false if it was already stored.
  // Out of memory, throws with the entries and bitmaps below unchanged.
  bool insert(const Entry& entry);
  // Whether `entry` is stored below this node.
  bool contains(const Entry& entry) const;
  // Removes `entry` from below this node; `others` as for LeafNode::remove.
  RemoveOutcome remove(const Entry& entry, const OtherCarriers& others);
  // How many children a split made to take `entry` keeps: half (internal nodes split seldom,
  // each after many leaves did).
  size_t kept_by_split(const Entry&) const { return count() / 2; }
  // Moves the children from run position `kept` on into a new node and returns it; out of
  // memory, throws before moving any.
  std::unique_ptr<InternalNode> split(size_t kept);
  // Adds what answers `range` below this node to `pieces` (bitmaps it refers to stay owned by
  // the tree).
  void collect_range(const EntryRange& range, RangePieces& pieces) const;

 private:
  friend class CenteredRun<InternalNode>;

  // Position of the child an entry belongs to: the last key <= entry, else the first child.
  size_t child_position(const Entry& entry) const;
  // The child at `position`; internal error if the slot is empty.
  Node& present_child(size_t position);
  const Node& present_child(size_t position) const;
  // The ids bitmap of child `position`; internal error if it is missing.
  Bitmap& present_ids(size_t position);
  const Bitmap& present_ids(size_t position) const;
  // Splits the full child `position` to make room for `entry` and links the new upper part
  // after it; out of memory, throws with this node unchanged.
  void split_child(size_t position, const Entry& entry);
  // Stores `child` with `key` and `ids` at run position `position`.
  void link(size_t position, bool toward_front, const Entry& key, Node child, Bitmap ids);

  void move_slots(size_t from, size_t to, size_t n);
  void move_slots_to(InternalNode& other, size_t from, size_t to, size_t n);

  std::array<Entry, kNodeSlots> keys_{};
  std::array<Node, kNodeSlots> children_;
  std::array<std::optional<Bitmap>, kNodeSlots> child_ids_;
};

}  // namespace veldrake
