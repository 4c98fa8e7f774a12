#include "base/structures/bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace veldrake {
namespace {

using Ids = std::vector<uint32_t>;
using Reference = std::set<uint32_t>;

// Ids with repeats, unordered or sorted: few over a wide range (sorted when built) or many over a
// narrow one (marked in a bit array), so that bitmaps hold every kind of container, past the size
// of one bulk addition and of one in-place union, up to the largest id.
Ids random_ids(std::mt19937& random) {
  constexpr uint32_t kRanges[] = {70, 200000, 4000000, UINT32_MAX};
  constexpr uint32_t kCounts[] = {0, 3, 60, 1500, 30000};
  const uint32_t range = kRanges[random() % std::size(kRanges)];
  Ids ids;
  for (uint32_t i = kCounts[random() % std::size(kCounts)]; i > 0; --i)
    ids.push_back(random() % range);
  if (range == UINT32_MAX) ids.push_back(range);
  if (random() % 3 == 0) std::sort(ids.begin(), ids.end());
  return ids;
}

// Random pairs of bitmaps, counted, ranked, walked and combined (with each other and with
// themselves) against std::set; copies taken before a change must keep their ids.
TEST(BitmapTest, MatchesStdSetUnderRandomOperations) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    const Ids a_ids = random_ids(random);
    const Ids b_ids = random_ids(random);
    Bitmap a = Bitmap::of(a_ids);
    const Bitmap b = Bitmap::of(b_ids);
    const Reference x(a_ids.begin(), a_ids.end());
    const Reference y(b_ids.begin(), b_ids.end());
    const Ids expected(x.begin(), x.end());
    ASSERT_EQ(a.to_vector(), expected);

    Ids common;
    std::set_intersection(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(common));
    EXPECT_EQ(Bitmap::intersection_cardinality(a, b), common.size());
    const uint32_t first = expected.empty() ? 0 : expected[random() % expected.size()];
    const auto last =
        static_cast<uint32_t>(std::min<uint64_t>(first + uint64_t{random() % 100000}, UINT32_MAX));
    EXPECT_EQ(a.range_cardinality(first, last),
              static_cast<uint64_t>(std::distance(x.lower_bound(first), x.upper_bound(last))));
    const uint32_t rank = random() % (expected.size() + 2);
    EXPECT_EQ(a.select(rank),
              rank < expected.size() ? std::optional(expected[rank]) : std::nullopt);
    Ids walked;
    for (uint32_t id : a) {  // stopping early
      if (id > first) break;
      walked.push_back(id);
    }
    EXPECT_EQ(walked, Ids(x.begin(), x.upper_bound(first)));

    const Bitmap copy = a;
    Ids changed;
    switch (round % 5) {
      case 0:
        a.or_inplace(b);
        std::set_union(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(changed));
        break;
      case 1:
        a.and_inplace(b);
        changed = common;
        break;
      case 2:
        a = Bitmap::difference(a, b);
        std::set_difference(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(changed));
        break;
      case 3:
        a.andnot_inplace(a);
        break;
      default: {
        a.or_inplace(a);
        a.and_inplace(a);
        Bitmap moved = std::move(a);
        EXPECT_TRUE(a.is_empty());  // NOLINT(bugprone-use-after-move): moves leave it valid
        a = std::move(moved);
        changed = expected;
      }
    }
    ASSERT_EQ(a.to_vector(), changed) << "round " << round;
    ASSERT_EQ(copy.to_vector(), expected);
  }
}

}  // namespace
}  // namespace veldrake
