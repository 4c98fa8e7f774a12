#include "base/structures/b_tree/b_tree.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <span>
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
  // The listing counts only if it names every other entry. A write names a few carriers, listed
  // on the stack: allocating the list was a tenth of the index update of a number.
  constexpr std::size_t kListedOnStack = 8;
  std::array<Entry, kListedOnStack> on_stack;
  std::vector<Entry> on_heap;
  if (others.any && !carriers.empty()) {
    if (carriers.size() > kListedOnStack) on_heap.resize(carriers.size());
    const std::span<Entry> room = on_heap.empty() ? std::span<Entry>(on_stack) : on_heap;
    auto end = room.begin();
    for (const NumericKey& carrier : carriers) {
      if (!carrier.is_nan()) *end++ = Entry::of(carrier, id);
    }
    std::sort(room.begin(), end);
    end = std::unique(room.begin(), end);
    end = std::remove_if(room.begin(), end,
                         [&](const Entry& other) { return other == entry || !contains(other); });
    const std::span<const Entry> listed(room.begin(), end);
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
