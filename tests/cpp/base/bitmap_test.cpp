#include "base/structures/bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
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

// Random pairs of bitmaps, counted, walked and combined (with each other, on copies, and
// with themselves) against std::set.
TEST(BitmapTest, MatchesStdSetUnderRandomOperations) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    const Ids a_ids = random_ids(random);
    const Ids b_ids = random_ids(random);
    const Bitmap a = Bitmap::of(a_ids);
    const Bitmap b = Bitmap::of(b_ids);
    const Reference x(a_ids.begin(), a_ids.end());
    const Reference y(b_ids.begin(), b_ids.end());
    const Ids expected(x.begin(), x.end());
    ASSERT_EQ(a.to_vector(), expected);

    Ids both, either, only;
    std::set_intersection(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(both));
    std::set_union(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(either));
    std::set_difference(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(only));
    EXPECT_EQ(Bitmap::intersection_cardinality(a, b), both.size());
    Bitmap combined = a;
    combined.and_inplace(b);
    EXPECT_EQ(combined.to_vector(), both);
    combined = a;
    combined.or_inplace(b);
    EXPECT_EQ(combined.to_vector(), either);
    EXPECT_EQ(Bitmap::difference(a, b).to_vector(), only);
    combined = a;
    combined.or_inplace(combined);
    combined.and_inplace(combined);
    EXPECT_EQ(combined, a);
    combined.andnot_inplace(combined);
    EXPECT_TRUE(combined.is_empty());
    ASSERT_EQ(a.to_vector(), expected);  // copies are deep

    // A union kept lazy until filtered: many operands, so that sparse bitset containers form,
    // each filter dense or sparse; the answer must be a bitmap like any other afterwards.
    const Ids c_ids = random_ids(random);
    const Bitmap c = Bitmap::of(c_ids);
    Reference any(c_ids.begin(), c_ids.end());
    any.insert(either.begin(), either.end());
    const Bitmap* const parts[] = {&a, &b, &c, &a, &b};
    for (const Bitmap* filter : {&a, &b, &c}) {
      Ids kept;
      for (uint32_t id : any)
        if (filter->contains(id)) kept.push_back(id);
      Bitmap within = Bitmap::union_within(parts, *filter);
      EXPECT_EQ(within.cardinality(), kept.size());
      EXPECT_EQ(within.to_vector(), kept);
      EXPECT_EQ(within, Bitmap::of(kept));
      within.or_inplace(c);
      kept.insert(kept.end(), c_ids.begin(), c_ids.end());
      EXPECT_EQ(within, Bitmap::of(kept));
    }

    const uint32_t first = expected.empty() ? 0 : expected[random() % expected.size()];
    Ids walked;
    for (uint32_t id : a) {  // stopping early
      if (id > first) break;
      walked.push_back(id);
    }
    EXPECT_EQ(walked, Ids(x.begin(), x.upper_bound(first)));
  }
}

// Bitmap starts (and leaves a moved-from bitmap) zero-filled, taken to be the library's own empty
// state: a library upgrade that changes it fails here rather than in a bitmap's destructor.
TEST(BitmapTest, ZeroFilledIsTheLibrarysEmptyBitmap) {
  roaring_bitmap_t cleared;
  roaring_bitmap_init_cleared(&cleared);
  const roaring_array_t& made = cleared.high_low_container;
  const roaring_array_t zeroed = roaring_bitmap_t{}.high_low_container;
  EXPECT_EQ(made.size, zeroed.size);
  EXPECT_EQ(made.allocation_size, zeroed.allocation_size);
  EXPECT_EQ(made.containers, zeroed.containers);
  EXPECT_EQ(made.keys, zeroed.keys);
  EXPECT_EQ(made.typecodes, zeroed.typecodes);
  EXPECT_EQ(made.flags, zeroed.flags);

  Bitmap moved_from = Bitmap::of(Ids{1, 70000});
  Bitmap taken = std::move(moved_from);
  EXPECT_TRUE(moved_from.is_empty());  // NOLINT(bugprone-use-after-move): left empty by design
  moved_from.add(5);
  EXPECT_EQ(moved_from.to_vector(), Ids{5});
  EXPECT_EQ(taken.to_vector(), (Ids{1, 70000}));
}

}  // namespace
}  // namespace veldrake
