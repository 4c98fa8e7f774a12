#include "base/structures/b_tree/b_tree.h"

#include <memory>

#include "base/structures/b_tree/nodes/internal_node.h"
#include "base/structures/b_tree/nodes/leaf_node.h"

namespace veldrake {

BitMapBTree::BitMapBTree() : root_(std::make_unique<LeafNode>()) {}

bool BitMapBTree::insert(const NumericKey& key, uint32_t id) {
  if (key.is_nan()) return false;
  const Entry entry = Entry::of(key, id);
  if (root_.visit([](const auto& node) { return node.is_full(); }))
    root_ = Node(InternalNode::above_split(root_));
  if (!root_.visit([&entry](auto& node) { return node.insert(entry); })) return false;
  try {
    id_counts_.add(id);
  } catch (...) {
    // Whether the id has other entries is unknown here: the removal looks.
    root_.visit([&entry](auto& node) { return node.remove(entry, true); });
    throw;
  }
  ++size_;
  return true;
}

bool BitMapBTree::remove(const NumericKey& key, uint32_t id) {
  if (key.is_nan()) return false;
  const Entry entry = Entry::of(key, id);
  const bool id_elsewhere = id_counts_.has_several(id);
  const bool removed = root_.visit([&](auto& node) { return node.remove(entry, id_elsewhere); }) !=
                       RemoveOutcome::kAbsent;
  if (removed) {
    id_counts_.remove(id);
    --size_;
  }
  return removed;
}

size_t BitMapBTree::height() const {
  size_t levels = 1;
  for (const Node* node = &root_; node->internal() != nullptr; node = &node->internal()->child(0)) {
    ++levels;
  }
  return levels;
}

}  // namespace veldrake
