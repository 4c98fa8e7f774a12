#include "base/structures/b_tree/b_tree.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "base/structures/b_tree/nodes/internal_node.h"
#include "base/structures/b_tree/nodes/leaf_node.h"

namespace veldrake {

BitMapBTree::BitMapBTree() : root_(std::make_unique<LeafNode>()) {}

bool BitMapBTree::insert(const NumericKey& key, uint32_t id) {
  if (key.is_nan()) return false;
  const Entry entry = Entry::of(key, id);
  if (root_.visit([](const auto& node) { return node.is_full(); }))
    root_ = Node(InternalNode::above_split(root_, entry));
  if (!root_.visit([&entry](auto& node) { return node.insert(entry); })) return false;
  try {
    id_counts_.add(id);
  } catch (...) {
    // Whether the id has other entries is unknown here: the removal looks.
    root_.visit([&entry](auto& node) { return node.remove(entry, OtherCarriers(true)); });
    throw;
  }
  ++size_;
  return true;
}

bool BitMapBTree::remove(const NumericKey& key, uint32_t id, std::span<const NumericKey> carriers) {
  if (key.is_nan()) return false;
  const Entry entry = Entry::of(key, id);
  OtherCarriers others(id_counts_.has_several(id));
  std::vector<Entry> listed;  // the listing counts only if it names every other entry
  if (others.any && !carriers.empty()) {
    for (const NumericKey& carrier : carriers) {
      if (!carrier.is_nan()) listed.push_back(Entry::of(carrier, id));
    }
    std::sort(listed.begin(), listed.end());
    listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
    std::erase_if(listed, [&](const Entry& other) { return other == entry || !contains(other); });
    others.listed = listed.size() + 1 == id_counts_.count(id);
    if (others.listed) others.below = listed;
  }
  const bool removed =
      root_.visit([&](auto& node) { return node.remove(entry, others); }) != RemoveOutcome::kAbsent;
  if (removed) {
    id_counts_.remove(id);
    --size_;
  }
  return removed;
}

bool BitMapBTree::contains(const Entry& entry) const {
  return root_.visit([&entry](const auto& node) { return node.contains(entry); });
}

size_t BitMapBTree::height() const {
  size_t levels = 1;
  for (const Node* node = &root_; node->internal() != nullptr; node = &node->internal()->child(0)) {
    ++levels;
  }
  return levels;
}

}  // namespace veldrake
