#include "index/core/query/b_tree/b_tree.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "index/core/query/b_tree/nodes/internal_node.h"
#include "index/core/query/b_tree/nodes/leaf_node.h"

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

// Checks a leaf holding the integers first..last (each with its value as id) from slot `start`.
void expect_leaf(const Node& node, size_t start, int64_t first, int64_t last) {
  const LeafNode* leaf = node.leaf();
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->start(), start);
  ASSERT_EQ(leaf->count(), static_cast<size_t>(last - first + 1));
  for (int64_t value = first; value <= last; ++value) {
    const Entry& entry = leaf->slot(start + static_cast<size_t>(value - first));
    EXPECT_EQ(entry, Entry::of(integer(value), static_cast<uint32_t>(value)));
  }
}

void expect_first_split_after(const std::vector<int64_t>& values) {
  BitMapBTree tree;
  for (int64_t value : values) tree.insert(integer(value), static_cast<uint32_t>(value));
  expect_leaf(tree.root(), 0, 1, 95);

  tree.insert(integer(96), 96);
  const InternalNode* root = tree.root().internal();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->start(), 48u);
  ASSERT_EQ(root->count(), 2u);
  EXPECT_EQ(root->key(0), Entry::of(integer(1), 1));
  EXPECT_EQ(root->key(1), Entry::of(integer(48), 48));
  expect_leaf(root->child(0), 24, 1, 47);
  expect_leaf(root->child(1), 24, 48, 96);
  EXPECT_EQ(root->child_ids(0)->cardinality(), 47u);
  EXPECT_EQ(root->child_ids(1)->cardinality(), 49u);
}

TEST(BitMapBTreeTest, TheFirstEntryTakesTheMiddleSlot) {
  BitMapBTree tree;
  tree.insert(integer(10), 1);
  EXPECT_EQ(tree.root().leaf()->start(), 48u);
  EXPECT_EQ(tree.root().leaf()->slot(48), Entry::of(integer(10), 1));
}

TEST(BitMapBTreeTest, AFullRootLeafSplitsInHalves) {
  std::vector<int64_t> ascending;
  for (int64_t value = 1; value <= 95; ++value) ascending.push_back(value);
  expect_first_split_after(ascending);
  expect_first_split_after(std::vector<int64_t>(ascending.rbegin(), ascending.rend()));
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
