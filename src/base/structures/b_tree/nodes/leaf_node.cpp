#include "base/structures/b_tree/nodes/leaf_node.h"

#include <algorithm>

namespace veldrake {

Bitmap LeafNode::ids_between(size_t first, size_t last) const {
  std::array<uint32_t, kNodeSlots> ids;
  size_t n = 0;
  for (const Entry& entry : entries().subspan(first, last - first)) ids[n++] = entry.id();
  return Bitmap::of(std::span(ids.data(), n));
}

bool LeafNode::insert(const Entry& entry) {
  const auto run = entries();
  const auto found = std::lower_bound(run.begin(), run.end(), entry);
  if (found != run.end() && *found == entry) return false;
  const size_t position = static_cast<size_t>(found - run.begin());
  slots_[open_gap(position, start() > 0 && position < count() / 2)] = entry;
  recentre_if_touching_end();
  return true;
}

bool LeafNode::contains(const Entry& entry) const {
  const auto run = entries();
  return std::binary_search(run.begin(), run.end(), entry);
}

RemoveOutcome LeafNode::remove(const Entry& entry, const OtherCarriers& others) {
  const auto run = entries();
  const auto found = std::lower_bound(run.begin(), run.end(), entry);
  if (found == run.end() || *found != entry) return RemoveOutcome::kAbsent;
  const size_t position = static_cast<size_t>(found - run.begin());
  close_gap(position, position < count() / 2);
  if (!others.any) return RemoveOutcome::kIdGone;
  if (others.listed) return RemoveOutcome::kIdRemains;
  const auto rest = entries();
  const bool id_remains = std::any_of(
      rest.begin(), rest.end(), [&entry](const Entry& other) { return other.id() == entry.id(); });
  return id_remains ? RemoveOutcome::kIdRemains : RemoveOutcome::kIdGone;
}

size_t LeafNode::kept_by_split(const Entry& entry) const {
  const auto run = entries();
  const auto place = std::lower_bound(run.begin(), run.end(), entry);
  const bool ends_its_number = place != run.begin() && (place - 1)->number() == entry.number() &&
                               (place == run.end() || place->number() != entry.number());
  if (!ends_its_number) return count() / 2;
  const size_t eighth = count() / 8;
  return std::clamp(static_cast<size_t>(place - run.begin()), eighth, count() - eighth);
}

std::unique_ptr<LeafNode> LeafNode::split(size_t kept) {
  auto sibling = std::make_unique<LeafNode>();
  split_into(*sibling, kept);
  return sibling;
}

void LeafNode::move_slots_to(LeafNode& other, size_t from, size_t to, size_t n) {
  std::copy_n(slots_.begin() + static_cast<std::ptrdiff_t>(from), n,
              other.slots_.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace veldrake
