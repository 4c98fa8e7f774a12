#include "base/structures/b_tree/ordered_index.h"

#include <gtest/gtest.h>

#include <cmath>

namespace veldrake {
namespace {

OrderedKey key(OrderedKind kind, int64_t value) {
  return {kind, NumericKey::integer(value)};
}

Bitmap everything(const OrderedIndex& index, OrderedKind kind) {
  return index.query_range(kind, Bound::unbounded(), Bound::unbounded(), nullptr);
}

// Equal counts of different kinds never meet; a NaN key is never stored; retain and removal
// leave each kind exact.
TEST(OrderedIndexTest, KindsStayApart) {
  OrderedIndex index;
  EXPECT_TRUE(index.is_empty());
  EXPECT_TRUE(index.insert(key(OrderedKind::kNumber, 5), 1));
  EXPECT_TRUE(index.insert(key(OrderedKind::kDate, 5), 2));
  EXPECT_TRUE(index.insert(key(OrderedKind::kNaiveDateTime, 5), 3));
  EXPECT_FALSE(index.insert({OrderedKind::kNumpyDateTime, NumericKey::floating(NAN)}, 4));
  EXPECT_EQ(index.tree(OrderedKind::kNumpyDateTime), nullptr);
  EXPECT_EQ(index.tree(OrderedKind::kAwareDateTime), nullptr);
  const Bound five = Bound::included(NumericKey::integer(5));
  EXPECT_EQ(index.query_range(OrderedKind::kDate, five, five, nullptr).to_vector(),
            std::vector<uint32_t>{2});
  EXPECT_TRUE(everything(index, OrderedKind::kTimeDelta).is_empty());

  std::vector<OrderedKind> visited;
  index.for_each_tree([&](OrderedKind kind, const BitMapBTree&) { visited.push_back(kind); });
  EXPECT_EQ(visited, (std::vector<OrderedKind>{OrderedKind::kNumber, OrderedKind::kDate,
                                               OrderedKind::kNaiveDateTime}));

  Bitmap keep;
  keep.add(2);
  keep.add(3);
  index.retain(keep);
  EXPECT_EQ(index.tree(OrderedKind::kNumber), nullptr);  // emptied trees are given back
  EXPECT_FALSE(index.remove(key(OrderedKind::kDate, 6), 2));
  EXPECT_TRUE(index.remove(key(OrderedKind::kDate, 5), 2));
  EXPECT_FALSE(index.is_empty());
  EXPECT_EQ(index.tree(OrderedKind::kDate), nullptr);
  EXPECT_TRUE(index.remove(key(OrderedKind::kNaiveDateTime, 5), 3));
  EXPECT_TRUE(index.is_empty());

  index.insert(key(OrderedKind::kTimeDelta, 1), 1);
  index.clear();
  EXPECT_EQ(index.tree(OrderedKind::kTimeDelta), nullptr);
}

}  // namespace
}  // namespace veldrake
