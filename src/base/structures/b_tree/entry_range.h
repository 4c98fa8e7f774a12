// The closed interval of entries that a pair of range-query bounds selects. Converting the
// bounds once turns every later test into a plain entry comparison:
//   Included(b) below: first = lowest entry with b     Excluded(b) below: just after the highest
//   Included(b) above: last = highest entry with b     Excluded(b) above: just before the lowest
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/structures/b_tree/bound.h"
#include "base/structures/b_tree/entry.h"
#include "base/structures/bitmap.h"

namespace veldrake {

struct EntryRange {
  Entry first;
  Entry last;

  // The interval, or nullopt when the bounds select nothing (a NaN bound, or lower above upper).
  static std::optional<EntryRange> from_bounds(const Bound& lower, const Bound& upper);

  // Whether `entry` lies in the interval.
  bool contains(const Entry& entry) const { return first <= entry && entry <= last; }
  // Whether nothing above limits the interval.
  bool unbounded_above() const { return last == Entry::max(); }
};

// What a range query gathers on its way down the tree: the ids bitmaps of children that lie
// wholly inside the range, and the ids of single entries from the leaves at its two ends. Child
// whole[i] comes after loose[0, whole_at[i]) in the order of the entries.
struct RangePieces {
  std::vector<const Bitmap*> whole;
  std::vector<std::size_t> whole_at;
  std::vector<uint32_t> loose;

  void add_whole(const Bitmap& ids) {
    whole.push_back(&ids);
    whole_at.push_back(loose.size());
  }
};

}  // namespace veldrake
