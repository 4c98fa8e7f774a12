// Range queries, node by node. A query turns its bounds into a closed entry interval once
// (EntryRange); a node then scans only the children at the two ends of the interval and takes
// every child strictly between them whole, by its ids bitmap. The pieces of the whole descent are
// united once at the end: uniting them level by level built bitmaps only to merge them again.
#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "base/structures/b_tree/b_tree.h"
#include "base/structures/b_tree/nodes/internal_node.h"
#include "base/structures/b_tree/nodes/leaf_node.h"

namespace veldrake {

void LeafNode::collect_range(const EntryRange& range, RangePieces& pieces) const {
  const auto run = entries();
  const auto first = std::lower_bound(run.begin(), run.end(), range.first);
  const auto last = std::upper_bound(first, run.end(), range.last);
  // Grown once per leaf (geometrically across leaves), not entry by entry.
  std::vector<uint32_t>& loose = pieces.loose;
  const std::size_t needed = loose.size() + static_cast<std::size_t>(last - first);
  if (needed > loose.capacity()) loose.reserve(std::max(needed, 2 * loose.capacity()));
  for (auto it = first; it != last; ++it) loose.push_back(it->id());
}

void InternalNode::collect_range(const EntryRange& range, RangePieces& pieces) const {
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

  present_child(low).visit([&](const auto& node) { node.collect_range(range, pieces); });
  for (size_t i = low + 1; i < high; ++i) pieces.add_whole(present_ids(i));
  if (high != low && high < count())
    present_child(high).visit([&](const auto& node) { node.collect_range(range, pieces); });
}

namespace {

// Whether the children taken whole hold few enough ids to gather them one by one.
bool few_whole_ids(const std::vector<const Bitmap*>& whole) {
  constexpr uint64_t kGathered = 512;
  uint64_t ids = 0;
  for (const Bitmap* bitmap : whole) {
    ids += bitmap->cardinality();
    if (ids > kGathered) return false;
  }
  return true;
}

// The ids of `pieces` in the order of their entries: ascending for an equality on one kind of
// number, which then needs no sort. Takes the loose ids when they are all.
std::vector<uint32_t> in_entry_order(RangePieces& pieces) {
  if (pieces.whole.empty()) return std::move(pieces.loose);
  std::vector<uint32_t> ids;
  std::size_t taken = 0;
  for (std::size_t i = 0; i < pieces.whole.size(); ++i) {
    ids.insert(ids.end(), pieces.loose.begin() + static_cast<std::ptrdiff_t>(taken),
               pieces.loose.begin() + static_cast<std::ptrdiff_t>(pieces.whole_at[i]));
    taken = pieces.whole_at[i];
    pieces.whole[i]->append_to(ids);
  }
  ids.insert(ids.end(), pieces.loose.begin() + static_cast<std::ptrdiff_t>(taken),
             pieces.loose.end());
  return ids;
}

std::optional<RangePieces> pieces_of(const Node& root, const Bound& lower, const Bound& upper) {
  const std::optional<EntryRange> range = EntryRange::from_bounds(lower, upper);
  if (!range.has_value()) return std::nullopt;
  RangePieces pieces;
  root.visit([&](const auto& node) { node.collect_range(*range, pieces); });
  return pieces;
}

// Whether `filter` holds so few ids beside the children taken whole that looking each of them up
// in the children costs less than uniting the children, which sets a bit for each of their ids
// (a lookup costs about as much as setting eight). The tree's `entries` bound the children's ids:
// a filter of about every id, the usual one, is ruled out without counting them.
bool narrower_than_pieces(const Bitmap& filter, const std::vector<const Bitmap*>& whole,
                          std::size_t entries) {
  constexpr uint64_t kBitsPerLookup = 8;
  const uint64_t lookups = filter.cardinality() * whole.size() * kBitsPerLookup;
  if (lookups > entries) return false;
  uint64_t ids = 0;
  for (const Bitmap* bitmap : whole) ids += bitmap->cardinality();
  return lookups <= ids;
}

// The ids of `pieces` within the narrow `filter`, found by looking the filter's ids up: an and_
// whose other parts left a few candidates spares uniting a wide range to keep a few of its ids.
Bitmap candidates_within(const RangePieces& pieces, const Bitmap& filter) {
  const std::vector<uint32_t> candidates = filter.to_vector();
  std::vector<uint32_t> ids;
  for (uint32_t id : candidates) {
    if (std::any_of(pieces.whole.begin(), pieces.whole.end(),
                    [id](const Bitmap* whole) { return whole->contains(id); }))
      ids.push_back(id);
  }
  for (uint32_t id : pieces.loose)
    if (std::binary_search(candidates.begin(), candidates.end(), id)) ids.push_back(id);
  return Bitmap::of(ids);
}

Bitmap query_root(const Node& root, std::size_t entries, const Bound& lower, const Bound& upper,
                  const Bitmap* filter) {
  std::optional<RangePieces> found = pieces_of(root, lower, upper);
  if (!found) return Bitmap();
  RangePieces& pieces = *found;
  if (filter && !pieces.whole.empty() && narrower_than_pieces(*filter, pieces.whole, entries))
    return candidates_within(pieces, *filter);
  if (few_whole_ids(pieces.whole)) {
    // Uniting goes through CRoaring's bitset containers, whose conversions cost some ten
    // thousand instructions per 2^16 ids touched: a small answer is built from its ids at once.
    Bitmap result = Bitmap::of(in_entry_order(pieces));
    if (filter) result.and_inplace(*filter);
    return result;
  }
  std::sort(pieces.loose.begin(), pieces.loose.end());
  const Bitmap loose = Bitmap::of(pieces.loose);
  pieces.whole.push_back(&loose);
  return filter ? Bitmap::union_within(pieces.whole, *filter) : Bitmap::union_many(pieces.whole);
}

}  // namespace

Bitmap BitMapBTree::query_range(const Bound& lower, const Bound& upper,
                                const Bitmap& filter) const {
  return query_root(root_, size_, lower, upper, &filter);
}

Bitmap BitMapBTree::query_range(const Bound& lower, const Bound& upper) const {
  return query_root(root_, size_, lower, upper, nullptr);
}

std::vector<uint32_t> BitMapBTree::ids_in_range(const Bound& lower, const Bound& upper) const {
  std::optional<RangePieces> pieces = pieces_of(root_, lower, upper);
  return pieces ? in_entry_order(*pieces) : std::vector<uint32_t>();
}

uint64_t BitMapBTree::count_range(const Bound& lower, const Bound& upper,
                                  const Bitmap* filter) const {
  if (id_counts_.any_several()) return query_root(root_, size_, lower, upper, filter).cardinality();
  const std::optional<RangePieces> pieces = pieces_of(root_, lower, upper);
  if (!pieces) return 0;
  // A filter holding every id of the tree (an index's members, usually) filters nothing, and one
  // check of that is far cheaper than intersecting each piece with it.
  if (filter && id_counts_.all_within(*filter)) filter = nullptr;
  uint64_t count = 0;
  for (const Bitmap* whole : pieces->whole)
    count += filter ? Bitmap::intersection_cardinality(*whole, *filter) : whole->cardinality();
  if (!filter) return count + pieces->loose.size();
  for (uint32_t id : pieces->loose) count += filter->contains(id) ? 1 : 0;
  return count;
}

}  // namespace veldrake
