#include "base/structures/b_tree/nodes/internal_node.h"

#include <algorithm>
#include <vector>

#include "base/internal_error.h"
#include "base/structures/b_tree/nodes/leaf_node.h"

namespace veldrake {

namespace {

bool is_full_node(const Node& node) {
  return node.visit([](const auto& held) { return held.is_full(); });
}

Entry first_key_of(const Node& node) {
  return node.visit([](const auto& held) { return held.first_key(); });
}

struct HalvesIds {
  Bitmap lower;
  Bitmap upper;
};

size_t kept_when_splitting(const Node& node, const Entry& entry) {
  return node.visit([&entry](const auto& held) { return held.kept_by_split(entry); });
}

// The ids of the two parts a split of `node` keeping `kept` will leave, taken before it moves
// anything.
HalvesIds ids_of_halves(const Node& node, size_t kept) {
  return node.visit([kept](const auto& held) {
    return HalvesIds{held.ids_between(0, kept), held.ids_between(kept, held.count())};
  });
}

// Moves the part of `node` past `kept` into a new node (allocated before anything moves).
Node split_off(Node& node, size_t kept) {
  return node.visit([kept](auto& held) { return Node(held.split(kept)); });
}

bool insert_into(Node& node, const Entry& entry) {
  return node.visit([&entry](auto& held) { return held.insert(entry); });
}

// Moves `n` slots starting at `from` in `source` to `to` in `target` (a different array).
template <class T>
void move_between(std::array<T, kNodeSlots>& source, size_t from, std::array<T, kNodeSlots>& target,
                  size_t to, size_t n) {
  const auto first = source.begin() + static_cast<std::ptrdiff_t>(from);
  std::move(first, first + static_cast<std::ptrdiff_t>(n),
            target.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace

std::unique_ptr<InternalNode> InternalNode::above_split(Node& full, const Entry& entry) {
  auto root = std::make_unique<InternalNode>();
  const size_t kept = kept_when_splitting(full, entry);
  HalvesIds ids = ids_of_halves(full, kept);
  Node upper = split_off(full, kept);
  const Entry lower_key = first_key_of(full);
  const Entry upper_key = first_key_of(upper);
  root->link(0, false, lower_key, std::move(full), std::move(ids.lower));
  root->link(1, false, upper_key, std::move(upper), std::move(ids.upper));
  return root;
}

Bitmap InternalNode::ids_between(size_t first, size_t last) const {
  std::vector<const Bitmap*> parts;
  parts.reserve(last - first);
  for (size_t i = first; i < last; ++i) parts.push_back(&present_ids(i));
  return Bitmap::union_many(parts);
}

bool InternalNode::insert(const Entry& entry) {
  size_t position = child_position(entry);
  if (is_full_node(present_child(position))) {
    split_child(position, entry);
    position = child_position(entry);
  }
  Bitmap& ids = present_ids(position);
  const bool id_added = ids.add(entry.id());
  try {
    return insert_into(present_child(position), entry);
  } catch (...) {
    if (id_added) ids.remove(entry.id());
    throw;
  }
}

bool InternalNode::contains(const Entry& entry) const {
  return present_child(child_position(entry)).visit([&](const auto& held) {
    return held.contains(entry);
  });
}

RemoveOutcome InternalNode::remove(const Entry& entry, const OtherCarriers& others) {
  const size_t position = child_position(entry);
  OtherCarriers below_child = others;
  if (others.listed) {
    const auto routed_here = [&](const Entry& other) { return child_position(other) == position; };
    const auto first = std::find_if(others.below.begin(), others.below.end(), routed_here);
    const auto last = std::find_if_not(first, others.below.end(), routed_here);
    below_child.below = {first, last};
    below_child.any = first != last;
  }
  const RemoveOutcome outcome =
      present_child(position).visit([&](auto& held) { return held.remove(entry, below_child); });
  if (outcome != RemoveOutcome::kIdGone) return outcome;
  present_ids(position).remove(entry.id());
  if (!others.any) return RemoveOutcome::kIdGone;
  if (others.listed) return RemoveOutcome::kIdRemains;
  for (size_t i = 0; i < count(); ++i) {
    if (present_ids(i).contains(entry.id())) return RemoveOutcome::kIdRemains;
  }
  return RemoveOutcome::kIdGone;
}

std::unique_ptr<InternalNode> InternalNode::split(size_t kept) {
  auto sibling = std::make_unique<InternalNode>();
  split_into(*sibling, kept);
  return sibling;
}

size_t InternalNode::child_position(const Entry& entry) const {
  const auto first = keys_.begin() + static_cast<std::ptrdiff_t>(start());
  const auto after = std::upper_bound(first, first + static_cast<std::ptrdiff_t>(count()), entry);
  return after == first ? 0 : static_cast<size_t>(after - first) - 1;
}

Node& InternalNode::present_child(size_t position) {
  Node& child = children_[start() + position];
  check(child.is_present(), "Missing child");
  return child;
}

const Node& InternalNode::present_child(size_t position) const {
  return const_cast<InternalNode*>(this)->present_child(position);
}

Bitmap& InternalNode::present_ids(size_t position) {
  std::optional<Bitmap>& ids = child_ids_[start() + position];
  if (!ids.has_value()) {
    internal_error(child(position).is_leaf() ? "Bitmap should be present for leaf"
                                             : "Bitmap should be present for internal");
  }
  return *ids;
}

const Bitmap& InternalNode::present_ids(size_t position) const {
  return const_cast<InternalNode*>(this)->present_ids(position);
}

void InternalNode::split_child(size_t position, const Entry& entry) {
  Node& child = present_child(position);
  const size_t kept = kept_when_splitting(child, entry);
  HalvesIds ids = ids_of_halves(child, kept);
  Node upper = split_off(child, kept);
  const Entry separator = first_key_of(upper);
  present_ids(position) = std::move(ids.lower);
  link(position + 1, start() > 0 && position < count() / 2, separator, std::move(upper),
       std::move(ids.upper));
  recentre_if_touching_end();
}

void InternalNode::link(size_t position, bool toward_front, const Entry& key, Node child,
                        Bitmap ids) {
  const size_t slot = open_gap(position, toward_front);
  keys_[slot] = key;
  children_[slot] = std::move(child);
  child_ids_[slot] = std::move(ids);
}

void InternalNode::move_slots(size_t from, size_t to, size_t n) {
  veldrake::move_slots(keys_, from, to, n);
  veldrake::move_slots(children_, from, to, n);
  veldrake::move_slots(child_ids_, from, to, n);
}

void InternalNode::move_slots_to(InternalNode& other, size_t from, size_t to, size_t n) {
  move_between(keys_, from, other.keys_, to, n);
  move_between(children_, from, other.children_, to, n);
  move_between(child_ids_, from, other.child_ids_, to, n);
}

}  // namespace veldrake
