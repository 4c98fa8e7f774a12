// Walks the entries of a B-tree in key order, ascending or descending, visiting only entries
// whose id is in `within` (every entry when it is null). A child whose id bitmap shares no id
// with `within` is passed over whole, so a walk over a small view follows only the paths that
// lead to its ids.
#pragma once

#include <cstddef>

#include "base/structures/b_tree/entry.h"
#include "base/structures/b_tree/nodes/internal_node.h"
#include "base/structures/b_tree/nodes/leaf_node.h"
#include "base/structures/b_tree/nodes/node.h"
#include "base/structures/bitmap.h"

namespace veldrake {

// Calls `visit(const Entry&)` for the entries below `node` whose id is in `within`, until it
// returns false; returns false when the walk was stopped.
template <class Visit>
bool walk_entries(const Node& node, const Bitmap* within, bool descending, Visit& visit) {
  if (const LeafNode* leaf = node.leaf()) {
    auto entries = leaf->entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const Entry& entry = entries[descending ? entries.size() - 1 - i : i];
      if ((!within || within->contains(entry.id())) && !visit(entry)) return false;
    }
    return true;
  }
  const InternalNode& internal = *node.internal();
  for (std::size_t i = 0; i < internal.count(); ++i) {
    const std::size_t position = descending ? internal.count() - 1 - i : i;
    const auto& below = internal.child_ids(position);
    if (within && below && !below->intersects(*within)) continue;
    if (!walk_entries(internal.child(position), within, descending, visit)) return false;
  }
  return true;
}

}  // namespace veldrake
