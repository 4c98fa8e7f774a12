#include "base/structures/b_tree/iteration.h"

#include "base/structures/b_tree/nodes/internal_node.h"
#include "base/structures/b_tree/nodes/leaf_node.h"

namespace veldrake {

EntryIterator::EntryIterator(const Node& root) {
  enter(root);
  skip_exhausted_leaves();
}

const Entry& EntryIterator::operator*() const {
  return leaf_->entries()[position_];
}

EntryIterator& EntryIterator::operator++() {
  ++position_;
  skip_exhausted_leaves();
  return *this;
}

void EntryIterator::enter(const Node& node) {
  const Node* current = &node;
  while (const InternalNode* internal = current->internal()) {
    path_.emplace_back(internal, 0);
    current = &internal->child(0);
  }
  leaf_ = current->leaf();
  position_ = 0;
}

void EntryIterator::skip_exhausted_leaves() {
  while (leaf_ != nullptr && position_ == leaf_->count()) {
    while (!path_.empty() && path_.back().second + 1 == path_.back().first->count()) {
      path_.pop_back();
    }
    if (path_.empty()) {
      leaf_ = nullptr;
      return;
    }
    auto& [parent, child] = path_.back();
    ++child;
    enter(parent->child(child));
  }
}

}  // namespace veldrake
