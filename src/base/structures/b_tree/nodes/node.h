// An owned B-tree node of either kind: the tagged pointer a parent keeps per child slot and the
// tree keeps for its root. Operations reach the node through visit(), so leaf and internal nodes
// only need to offer the same member functions.
#pragma once

#include <memory>
#include <span>
#include <utility>
#include <variant>

namespace veldrake {

class LeafNode;
class InternalNode;
class Entry;

// What removing an entry did below a node.
enum class RemoveOutcome : uint8_t {
  kAbsent,     // the entry was not stored
  kIdRemains,  // removed; another entry below still carries its id
  kIdGone,     // removed; no entry below carries its id any more
};

// What a removal knows of the other entries carrying the removed entry's id. Listing them spares
// the search of every child's ids on the way up: sorted, so the ones below one child are adjacent.
struct OtherCarriers {
  explicit OtherCarriers(bool any) : any(any) {}

  bool any;                      // some other entry below the node visited carries the id
  bool listed = false;           // `below` lists all of them
  std::span<const Entry> below;  // when listed: those entries, ascending
};

class Node {
 public:
  // No node (an unused child slot).
  Node() noexcept;
  explicit Node(std::unique_ptr<LeafNode> leaf) noexcept;
  explicit Node(std::unique_ptr<InternalNode> internal) noexcept;
  Node(Node&&) noexcept;
  Node& operator=(Node&&) noexcept;
  ~Node();

  // Whether a node is held.
  bool is_present() const;
  // Whether the held node is a leaf.
  bool is_leaf() const { return pointer_.index() == 0; }
  // The leaf, or nullptr.
  const LeafNode* leaf() const;
  // The internal node, or nullptr.
  const InternalNode* internal() const;

  // Calls `f` with the held node (which must be present) and returns its result.
  template <class F>
  decltype(auto) visit(F&& f) {
    return std::visit([&f](auto& node) -> decltype(auto) { return f(*node); }, pointer_);
  }
  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit([&f](const auto& node) -> decltype(auto) { return f(std::as_const(*node)); },
                      pointer_);
  }

 private:
  std::variant<std::unique_ptr<LeafNode>, std::unique_ptr<InternalNode>> pointer_;
};

}  // namespace veldrake
