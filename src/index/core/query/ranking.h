// Ordered pages of ids: the members of a set ranked by the values an ordered index holds for them.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/structures/b_tree/ordered_index.h"
#include "base/structures/bitmap.h"

namespace veldrake {

// Which part of the ranking to return.
struct PageRequest {
  bool descending = false;
  uint64_t offset = 0;          // ranked ids skipped before the page
  uint64_t limit = UINT64_MAX;  // most ids in the page
};

// The ids to rank: `within` limits the walk of the tree (null: every id in the tree is one), and
// `all()` gives every one of them, asked for only when the page reaches past the ranked ids.
struct RankedIds {
  const Bitmap* within;
  std::function<Bitmap()> all;
};

// A page of `ids` ranked by their values in `values`: kind by kind in OrderedKind order (numbers
// first, then each kind of date or time), within a kind ascending (or descending), equal values in
// ascending id order; then the ids that have no ordered value, ascending in both directions. An id
// with several values (a list value) ranks at the first of them the walk meets: in the first kind
// it has a value of, at its smallest ascending, its largest descending. Walks the trees in key
// order and stops once the page is full, so its cost follows offset + limit rather than the
// number of ids.
std::vector<uint32_t> rank_by_order(const OrderedIndex& values, const RankedIds& ids,
                                    const PageRequest& page);

}  // namespace veldrake
