#include "base/structures/bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace veldrake {
namespace {

using Ids = std::vector<uint32_t>;

TEST(BitmapTest, CopiesAreIndependentAndMovesLeaveAnEmptySource) {
  Bitmap original = Bitmap::of(Ids{70000, 1, 1, 2});
  Bitmap copy = original;
  copy.add(4);
  EXPECT_EQ(original.to_vector(), (Ids{1, 2, 70000}));
  Bitmap moved = std::move(original);
  EXPECT_TRUE(original.is_empty());  // NOLINT(bugprone-use-after-move): moves leave it valid
  original.add(5);
  moved = std::move(original);
  EXPECT_EQ(moved.to_vector(), (Ids{5}));
}

TEST(BitmapTest, OperationsWithItself) {
  const Bitmap ids = Bitmap::of(Ids{2, 70000});
  Bitmap x = ids;
  x.and_inplace(x);
  x.or_inplace(x);
  const Bitmap& alias = x;
  x = alias;
  EXPECT_EQ(x, ids);
  x.andnot_inplace(x);
  EXPECT_TRUE(x.is_empty());
}

TEST(BitmapTest, CountsAndRanksWithoutMaterialising) {
  // Past the size of one bulk addition and of one in-place union, across containers.
  Ids evens;
  for (uint32_t id = 0; id < 300000; id += 2) evens.push_back(id);
  Bitmap all = Bitmap::of(evens);
  Bitmap some = Bitmap::of(Ids{1, 2, 4, 131072, 299999});
  EXPECT_EQ(all.cardinality(), 150000u);
  EXPECT_EQ(Bitmap::intersection_cardinality(all, some), 3u);
  EXPECT_EQ(all.range_cardinality(65535, 131072), 32769u);
  EXPECT_EQ(all.select(70000), std::optional<uint32_t>(140000));
  EXPECT_EQ(all.select(150000), std::nullopt);
  some.or_inplace(all);
  EXPECT_EQ(some.cardinality(), 150002u);
  all.or_inplace(Bitmap::of(Ids{1}));
  EXPECT_EQ(Bitmap::difference(some, all).to_vector(), (Ids{299999}));
}

TEST(BitmapTest, IterationCanStopEarly) {
  Ids walked;
  for (uint32_t id : Bitmap::of(Ids{9, 4294967295u, 0})) {
    if (id > 9) break;
    walked.push_back(id);
  }
  EXPECT_EQ(walked, (Ids{0, 9}));
}

// Ids with repeats, unordered and sorted, few over a wide range (sorted) and many over a narrow
// one (marked in a bit array), across container boundaries and up to the largest id.
TEST(BitmapTest, BuildsFromIds) {
  std::mt19937 random(7);
  for (const auto& [count, range] :
       {std::pair<uint32_t, uint32_t>{50, 4000000}, {30000, 200000}, {3, 4294967295u}}) {
    Ids ids;
    for (uint32_t i = 0; i < count; ++i) ids.push_back(random() % range);
    ids.push_back(ids.front());
    ids.push_back(range == 4294967295u ? range : 65536);
    std::set<uint32_t> expected(ids.begin(), ids.end());
    EXPECT_EQ(Bitmap::of(ids).to_vector(), Ids(expected.begin(), expected.end())) << count;
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(Bitmap::of(ids).to_vector(), Ids(expected.begin(), expected.end())) << count;
  }
}

}  // namespace
}  // namespace veldrake
