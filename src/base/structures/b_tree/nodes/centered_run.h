// Slot bookkeeping shared by the B-tree's leaf and internal nodes.
//
// Design:
//  * A node has kNodeSlots = 96 slots. Leaf slots hold 16-byte entries, so a leaf is 1.5 KiB:
//    a binary search touches about seven cache lines, and with nodes half to fully used a
//    million entries sit three to four levels deep.
//  * The used slots form one run [start, start + count) kept near the middle of the node. An
//    insert shifts the shorter side of the run (the items before the new one toward the front,
//    or those after it toward the back), so on average a quarter of the run moves instead of
//    half. Removals close the gap from the shorter side the same way.
//  * When a run touches an end of the node it is recentred, which restores free slots on both
//    sides. A node is full when count >= kFullCount and its run touches an end: with three or
//    fewer free slots, recentring would only buy a couple of inserts, so the node splits.
//  * A split keeps the lower half and moves the upper half into a new node, both recentred. A
//    leaf may split elsewhere (see LeafNode::kept_by_split).
//
// Invariants (checked in debug builds): the run never occupies the last slot (a recentred run of
// up to 95 items ends before it, and removals only shrink runs), so shifting toward the back
// always has room; shifting toward the front is only chosen when start > 0.
//
// `Node` (CRTP) provides move_slots(from, to, n), which moves n consecutive slots (ranges may
// overlap), and move_slots_to(other, from, to, n), which moves them into another node.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace veldrake {

inline constexpr size_t kNodeSlots = 96;
inline constexpr size_t kFullCount = 93;

// Moves `n` slots of `slots` from `from` to `to`; the two ranges may overlap.
template <class T>
void move_slots(std::array<T, kNodeSlots>& slots, size_t from, size_t to, size_t n) {
  const auto source = slots.begin() + static_cast<std::ptrdiff_t>(from);
  const auto count = static_cast<std::ptrdiff_t>(n);
  if (to < from) {
    std::move(source, source + count, slots.begin() + static_cast<std::ptrdiff_t>(to));
  } else if (to > from) {
    std::move_backward(source, source + count, slots.begin() + static_cast<std::ptrdiff_t>(to + n));
  }
}

template <class Node>
class CenteredRun {
 public:
  // Slot of a run of `count` items when centred.
  static constexpr size_t centre_for(size_t count) { return (kNodeSlots - count) / 2; }

  // Number of items.
  size_t count() const { return count_; }
  // Slot of the first item.
  size_t start() const { return start_; }
  // Whether the run reaches the first or the last slot.
  bool touches_end() const { return start_ == 0 || start() + count() >= kNodeSlots; }
  // Whether the node must split before it takes another item.
  bool is_full() const { return count() >= kFullCount && touches_end(); }

 protected:
  // An empty run in the middle of the node.
  CenteredRun() = default;

  // Makes room for an item at run position `position` and returns its slot. The items before
  // it move one slot toward the front when `toward_front`, else the items from it move back.
  size_t open_gap(size_t position, bool toward_front) {
    if (toward_front) {
      assert(start_ > 0);
      node().move_slots(start(), start() - 1, position);
      --start_;
    } else {
      assert(start() + count() < kNodeSlots);
      node().move_slots(start() + position, start() + position + 1, count() - position);
    }
    ++count_;
    return start() + position;
  }

  // Drops the item at run position `position`: the items before it move one slot back when
  // `from_front`, else the items after it move one slot toward the front.
  void close_gap(size_t position, bool from_front) {
    if (from_front) {
      node().move_slots(start(), start() + 1, position);
      ++start_;
    } else {
      node().move_slots(start() + position + 1, start() + position, count() - position - 1);
    }
    --count_;
  }

  void recentre_if_touching_end() {
    if (touches_end()) move_run_to(centre_for(count()));
  }

  // Moves the items from run position `kept` on into the empty `sibling`, both runs centred;
  // both keep at least one item. Moves only, so it cannot fail.
  void split_into(Node& sibling, size_t kept) {
    CenteredRun& upper = sibling;
    assert(upper.count_ == 0);
    const size_t moved = count() - kept;
    assert(kept > 0 && moved > 0);
    node().move_slots_to(sibling, start() + kept, centre_for(moved), moved);
    upper.start_ = static_cast<uint8_t>(centre_for(moved));
    upper.count_ = static_cast<uint8_t>(moved);
    count_ = static_cast<uint8_t>(kept);
    move_run_to(centre_for(kept));
  }

 private:
  Node& node() { return static_cast<Node&>(*this); }

  void move_run_to(size_t new_start) {
    node().move_slots(start(), new_start, count());
    start_ = static_cast<uint8_t>(new_start);
  }

  uint8_t start_ = centre_for(0);
  uint8_t count_ = 0;
};

}  // namespace veldrake
