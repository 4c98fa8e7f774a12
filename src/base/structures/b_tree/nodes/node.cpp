#include "base/structures/b_tree/nodes/node.h"

#include "base/structures/b_tree/nodes/internal_node.h"
#include "base/structures/b_tree/nodes/leaf_node.h"

namespace veldrake {

Node::Node() noexcept = default;
Node::Node(std::unique_ptr<LeafNode> leaf) noexcept : pointer_(std::move(leaf)) {}
Node::Node(std::unique_ptr<InternalNode> internal) noexcept : pointer_(std::move(internal)) {}
Node::Node(Node&&) noexcept = default;
Node& Node::operator=(Node&&) noexcept = default;
Node::~Node() = default;

bool Node::is_present() const {
  return std::visit([](const auto& node) { return node != nullptr; }, pointer_);
}

const LeafNode* Node::leaf() const {
  const auto* leaf = std::get_if<std::unique_ptr<LeafNode>>(&pointer_);
  return leaf != nullptr ? leaf->get() : nullptr;
}

const InternalNode* Node::internal() const {
  const auto* internal = std::get_if<std::unique_ptr<InternalNode>>(&pointer_);
  return internal != nullptr ? internal->get() : nullptr;
}

}  // namespace veldrake
