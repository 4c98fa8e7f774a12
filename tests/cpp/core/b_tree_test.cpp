#include "index/core/query/b_tree/b_tree.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace veldrake {
namespace {

using Ids = std::vector<uint32_t>;

NumericKey integer(int64_t value) {
  return NumericKey::integer(value);
}
NumericKey floating(double value) {
  return NumericKey::floating(value);
}

Ids query(const BitMapBTree& tree, const Bound& lower, const Bound& upper,
          const Bitmap& filter = Bitmap::of(Ids{0, 1, 2, 3, 4, 5, 6, 7})) {
  return tree.query_range(lower, upper, filter).to_vector();
}

TEST(BitMapBTreeTest, EntriesFormASet) {
  BitMapBTree tree;
  EXPECT_TRUE(tree.insert(integer(5), 1));
  EXPECT_FALSE(tree.insert(integer(5), 1));
  EXPECT_TRUE(tree.insert(floating(5.0), 1));  // the other kind is another entry
  EXPECT_EQ(tree.size(), 2u);
  EXPECT_TRUE(tree.remove(integer(5), 1));
  EXPECT_FALSE(tree.remove(integer(5), 1));
  EXPECT_TRUE(tree.insert(integer(5), 1));
  EXPECT_EQ(tree.size(), 2u);
}

TEST(BitMapBTreeTest, NanIsNeitherStoredNorMatched) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  BitMapBTree tree;
  tree.insert(integer(1), 1);
  EXPECT_FALSE(tree.insert(floating(-nan), 2));
  EXPECT_FALSE(tree.remove(floating(nan), 2));
  EXPECT_EQ(tree.size(), 1u);
  EXPECT_TRUE(query(tree, Bound::included(floating(nan)), Bound::unbounded()).empty());
}

TEST(BitMapBTreeTest, BoundsCompareNumbersNotKinds) {
  BitMapBTree tree;
  tree.insert(integer(3), 1);
  tree.insert(floating(3.0), 2);
  tree.insert(integer(4), 3);
  EXPECT_EQ(query(tree, Bound::included(integer(3)), Bound::unbounded()), (Ids{1, 2, 3}));
  EXPECT_EQ(query(tree, Bound::excluded(integer(3)), Bound::unbounded()), (Ids{3}));
  EXPECT_EQ(query(tree, Bound::excluded(floating(3.0)), Bound::unbounded()), (Ids{3}));
  EXPECT_EQ(query(tree, Bound::included(floating(3.0)), Bound::included(floating(3.0))),
            (Ids{1, 2}));
  EXPECT_TRUE(query(tree, Bound::unbounded(), Bound::excluded(integer(3))).empty());
  EXPECT_TRUE(query(tree, Bound::included(integer(4)), Bound::included(integer(3))).empty());
  EXPECT_TRUE(query(tree, Bound::excluded(integer(3)), Bound::excluded(floating(3.0))).empty());
}

TEST(BitMapBTreeTest, FilterAppliesToChildrenTakenWhole) {
  BitMapBTree tree;
  for (uint32_t i = 0; i < 2000; ++i) tree.insert(integer(i), i % 500);
  ASSERT_GE(tree.height(), 2u);
  EXPECT_EQ(query(tree, Bound::included(integer(10)), Bound::included(integer(1990)),
                  Bitmap::of(Ids{7, 499, 600})),
            (Ids{7, 499}));
}

}  // namespace
}  // namespace veldrake
