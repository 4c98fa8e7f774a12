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

Bitmap ids_of(const Node& node) {
  return node.visit([](const auto& held) { return held.ids(); });
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

std::unique_ptr<InternalNode> InternalNode::above(Node lower, Node upper) {
  auto root = std::make_unique<InternalNode>();
  for (Node* half : {&lower, &upper}) {
    const Entry key = first_key_of(*half);
    Bitmap ids = ids_of(*half);
    root->link(root->count(), false, key, std::move(*half), std::move(ids));
  }
  return root;
}

Bitmap InternalNode::ids() const {
  std::vector<const Bitmap*> parts;
  parts.reserve(count());
  for (size_t i = 0; i < count(); ++i) parts.push_back(&present_ids(i));
  return Bitmap::union_many(parts);
}

bool InternalNode::insert(const Entry& entry) {
  const size_t position = child_position(entry);
  Node& child = present_child(position);
  if (is_full_node(child)) return split_and_insert(entry, position);
  Bitmap& ids = present_ids(position);
  const bool inserted = insert_into(child, entry);
  if (inserted) ids.add(entry.id());
  return inserted;
}

RemoveOutcome InternalNode::remove(const Entry& entry, bool id_elsewhere) {
  const size_t position = child_position(entry);
  const RemoveOutcome outcome =
      present_child(position).visit([&](auto& held) { return held.remove(entry, id_elsewhere); });
  if (outcome != RemoveOutcome::kIdGone) return outcome;
  present_ids(position).remove(entry.id());
  if (!id_elsewhere) return RemoveOutcome::kIdGone;
  for (size_t i = 0; i < count(); ++i) {
    if (present_ids(i).contains(entry.id())) return RemoveOutcome::kIdRemains;
  }
  return RemoveOutcome::kIdGone;
}

std::unique_ptr<InternalNode> InternalNode::split() {
  auto sibling = std::make_unique<InternalNode>();
  split_into(*sibling);
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

bool InternalNode::split_and_insert(const Entry& entry, size_t position) {
  Node& child = present_child(position);
  std::optional<Bitmap>& child_ids = child_ids_[start() + position];
  check(child_ids.has_value(), "Bitmap must be initialized before split");
  Node sibling = child.visit([](auto& held) { return Node(held.split()); });
  const Entry separator = first_key_of(sibling);
  Bitmap sibling_ids = ids_of(sibling);
  // Rebuilt rather than reduced by the sibling's ids: an id with entries on both sides of the
  // separator must stay in both bitmaps.
  *child_ids = ids_of(child);

  const bool into_sibling = separator <= entry;
  const bool inserted = insert_into(into_sibling ? sibling : child, entry);
  if (inserted) (into_sibling ? sibling_ids : *child_ids).add(entry.id());

  link(position + 1, start() > 0 && position < count() / 2, separator, std::move(sibling),
       std::move(sibling_ids));
  recentre_if_touching_end();
  return inserted;
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
