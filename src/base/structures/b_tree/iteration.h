// In-order walk over the entries of a B-tree. Keeps the path from the root to the current leaf;
// empty leaves (left behind by removals) are skipped. Invalidated by any change to the tree.
#pragma once

#include <cstddef>
#include <iterator>
#include <utility>
#include <vector>

#include "base/structures/b_tree/entry.h"
#include "base/structures/b_tree/nodes/node.h"

namespace veldrake {

class EntryIterator {
 public:
  using value_type = Entry;
  using difference_type = std::ptrdiff_t;

  // The finished walk.
  EntryIterator() = default;
  // The walk over the entries below `root`, at its first entry.
  explicit EntryIterator(const Node& root);

  // The current entry.
  const Entry& operator*() const;
  // Moves to the next entry.
  EntryIterator& operator++();
  void operator++(int) { ++*this; }
  // True once every entry has been visited.
  bool operator==(std::default_sentinel_t) const { return leaf_ == nullptr; }

 private:
  // Descends from `node` to its leftmost leaf, recording the path.
  void enter(const Node& node);
  // Moves forward from the end of a leaf to the next entry, or finishes.
  void skip_exhausted_leaves();

  std::vector<std::pair<const InternalNode*, size_t>> path_;
  const LeafNode* leaf_ = nullptr;
  size_t position_ = 0;
};

}  // namespace veldrake
