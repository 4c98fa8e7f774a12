// Range queries, node by node. A query turns its bounds into a closed entry interval once
// (EntryRange); a node then scans only the children at the two ends of the interval and takes
// every child strictly between them whole, from the child's ids bitmap.
#include <algorithm>
#include <vector>

#include "index/core/query/b_tree/b_tree.h"
#include "index/core/query/b_tree/nodes/internal_node.h"
#include "index/core/query/b_tree/nodes/leaf_node.h"

namespace veldrake {

// A null `filter` lets every id through.
Bitmap LeafNode::query_range(const EntryRange& range, const Bitmap* filter) const {
  const auto run = entries();
  std::array<uint32_t, kNodeSlots> ids;
  size_t n = 0;
  for (auto it = std::lower_bound(run.begin(), run.end(), range.first);
       it != run.end() && *it <= range.last; ++it) {
    if (!filter || filter->contains(it->id())) ids[n++] = it->id();
  }
  return Bitmap::of(std::span(ids.data(), n));
}

Bitmap InternalNode::query_range(const EntryRange& range, const Bitmap* filter) const {
  const auto first_key = keys_.begin() + static_cast<std::ptrdiff_t>(start());
  const auto keys_end = first_key + static_cast<std::ptrdiff_t>(count());
  // The first child that can hold an entry >= range.first: the last one keyed below it.
  const auto lower = std::lower_bound(first_key, keys_end, range.first);
  const size_t low = lower == first_key ? 0 : static_cast<size_t>(lower - first_key) - 1;
  // The last child that can hold an entry <= range.last; one past the end when unbounded, so
  // that the last child is taken whole too.
  size_t high = count();
  if (!range.unbounded_above()) {
    const auto upper = std::upper_bound(first_key, keys_end, range.last);
    high = upper == first_key ? 0 : static_cast<size_t>(upper - first_key) - 1;
  }

  Bitmap result =
      present_child(low).visit([&](const auto& node) { return node.query_range(range, filter); });
  if (high > low + 1) {
    std::vector<const Bitmap*> whole;
    whole.reserve(high - low - 1);
    for (size_t i = low + 1; i < high; ++i) whole.push_back(&present_ids(i));
    Bitmap inside = Bitmap::union_many(whole);
    if (filter) inside.and_inplace(*filter);
    result.or_inplace(inside);
  }
  if (high != low && high < count()) {
    result.or_inplace(present_child(high).visit(
        [&](const auto& node) { return node.query_range(range, filter); }));
  }
  return result;
}

namespace {

Bitmap query_root(const Node& root, const Bound& lower, const Bound& upper, const Bitmap* filter) {
  const std::optional<EntryRange> range = EntryRange::from_bounds(lower, upper);
  if (!range.has_value()) return Bitmap();
  return root.visit([&](const auto& node) { return node.query_range(*range, filter); });
}

}  // namespace

Bitmap BitMapBTree::query_range(const Bound& lower, const Bound& upper,
                                const Bitmap& filter) const {
  return query_root(root_, lower, upper, &filter);
}

Bitmap BitMapBTree::query_range(const Bound& lower, const Bound& upper) const {
  return query_root(root_, lower, upper, nullptr);
}

}  // namespace veldrake
