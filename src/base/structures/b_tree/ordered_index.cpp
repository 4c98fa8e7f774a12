#include "base/structures/b_tree/ordered_index.h"

#include <vector>

namespace veldrake {

bool OrderedIndex::insert(const OrderedKey& key, uint32_t id) {
  if (key.key.is_nan()) return false;
  std::unique_ptr<BitMapBTree>& tree = trees_[static_cast<std::size_t>(key.kind)];
  if (!tree) tree = std::make_unique<BitMapBTree>();
  try {
    return tree->insert(key.key, id);
  } catch (...) {
    if (tree->is_empty()) tree.reset();  // as a removal leaves it
    throw;
  }
}

bool OrderedIndex::remove(const OrderedKey& key, uint32_t id,
                          std::span<const NumericKey> carriers) {
  std::unique_ptr<BitMapBTree>& tree = trees_[static_cast<std::size_t>(key.kind)];
  if (!tree || !tree->remove(key.key, id, carriers)) return false;
  // Removal leaves emptied nodes in place; a tree left with no entry is given back whole.
  if (tree->is_empty()) tree.reset();
  return true;
}

Bitmap OrderedIndex::query_range(OrderedKind kind, const Bound& lower, const Bound& upper,
                                 const Bitmap* filter) const {
  const BitMapBTree* found = tree(kind);
  if (!found) return Bitmap();
  return filter ? found->query_range(lower, upper, *filter) : found->query_range(lower, upper);
}

std::vector<uint32_t> OrderedIndex::ids_in_range(OrderedKind kind, const Bound& lower,
                                                 const Bound& upper) const {
  const BitMapBTree* found = tree(kind);
  return found ? found->ids_in_range(lower, upper) : std::vector<uint32_t>();
}

bool OrderedIndex::is_empty() const {
  for (const auto& tree : trees_)
    if (tree && !tree->is_empty()) return false;
  return true;
}

void OrderedIndex::retain(const Bitmap& keep) {
  for (auto& tree : trees_) {
    if (!tree) continue;
    std::vector<Entry> dropped;
    tree->for_each([&](const Entry& entry) {
      if (!keep.contains(entry.id())) dropped.push_back(entry);
    });
    for (const Entry& entry : dropped) tree->remove(entry.key(), entry.id());
    if (tree->is_empty()) tree.reset();
  }
}

}  // namespace veldrake
