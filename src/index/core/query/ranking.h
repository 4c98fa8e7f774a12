// Ordered pages of ids: the members of a set ranked by the numbers an ordered tree holds for them.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/structures/b_tree/b_tree.h"
#include "base/structures/bitmap.h"

namespace veldrake {

// Which part of the ranking to return.
struct PageRequest {
  bool descending = false;
  uint64_t offset = 0;          // ranked ids skipped before the page
  uint64_t limit = UINT64_MAX;  // most ids in the page
};

// The ids to rank: `within` limits the walk of the tree (null: every id in the tree is one), and
// `all()` gives every one of them, asked for only when the page reaches past the numbered ids.
struct RankedIds {
  const Bitmap* within;
  std::function<Bitmap()> all;
};

// A page of `ids` ranked by their number in `numbers`: ascending (or descending), equal numbers
// in ascending id order, then the ids that have no number, ascending in both directions. An id
// with several numbers (a list value) ranks at the first of them the walk meets: its smallest
// ascending, its largest descending. Walks the tree in key order and stops once the page is
// full, so its cost follows offset + limit rather than the number of ids.
std::vector<uint32_t> rank_by_number(const BitMapBTree& numbers, const RankedIds& ids,
                                     const PageRequest& page);

}  // namespace veldrake
