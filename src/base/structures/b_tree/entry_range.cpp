#include "base/structures/b_tree/entry_range.h"

namespace veldrake {

std::optional<EntryRange> EntryRange::from_bounds(const Bound& lower, const Bound& upper) {
  if (lower.key().is_nan() || upper.key().is_nan()) return std::nullopt;
  EntryRange range{Entry(), Entry::max()};
  switch (lower.kind()) {
    case Bound::Kind::kIncluded:
      range.first = Entry::lowest_with(lower.key().number());
      break;
    case Bound::Kind::kExcluded:
      range.first = Entry::highest_with(lower.key().number()).successor();
      break;
    case Bound::Kind::kUnbounded:
      break;
  }
  switch (upper.kind()) {
    case Bound::Kind::kIncluded:
      range.last = Entry::highest_with(upper.key().number());
      break;
    case Bound::Kind::kExcluded:
      range.last = Entry::lowest_with(upper.key().number()).predecessor();
      break;
    case Bound::Kind::kUnbounded:
      break;
  }
  if (range.first > range.last) return std::nullopt;
  return range;
}

}  // namespace veldrake
