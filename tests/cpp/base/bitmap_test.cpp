#include "base/structures/bitmap.h"

#include <gtest/gtest.h>

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
  x.overwrite(x);
  EXPECT_EQ(x, ids);
  x.andnot_inplace(x);
  EXPECT_TRUE(x.is_empty());
}

TEST(BitmapTest, IterationCanStopEarly) {
  Ids walked;
  for (uint32_t id : Bitmap::of(Ids{9, 4294967295u, 0})) {
    if (id > 9) break;
    walked.push_back(id);
  }
  EXPECT_EQ(walked, (Ids{0, 9}));
}

}  // namespace
}  // namespace veldrake
