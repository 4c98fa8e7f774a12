#include "base/structures/b_tree/ordered_index.h"

#include <gtest/gtest.h>

#include <cmath>

namespace veldrake {
namespace {

OrderedKey key(OrderedKind kind, int64_t value) {
  return {kind, NumericKey::integer(value)};
}

// The Python tests check the answers (kinds never meet, NaN is never stored); what they cannot see
// is that a kind's tree exists only while it holds entries.
TEST(OrderedIndexTest, EmptiedTreesAreGivenBack) {
  OrderedIndex index;
  EXPECT_FALSE(index.insert({OrderedKind::kNumpyDateTime, NumericKey::floating(NAN)}, 4));
  EXPECT_EQ(index.tree(OrderedKind::kNumpyDateTime), nullptr);
  EXPECT_TRUE(index.insert(key(OrderedKind::kNumber, 5), 1));
  EXPECT_TRUE(index.insert(key(OrderedKind::kDate, 5), 2));
  EXPECT_TRUE(index.insert(key(OrderedKind::kTimeDelta, 5), 3));
  index.retain(Bitmap::of(std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(index.tree(OrderedKind::kNumber), nullptr);
  EXPECT_FALSE(index.remove(key(OrderedKind::kDate, 6), 2));
  EXPECT_TRUE(index.remove(key(OrderedKind::kDate, 5), 2));
  EXPECT_EQ(index.tree(OrderedKind::kDate), nullptr);
  EXPECT_FALSE(index.is_empty());
  index.clear();
  EXPECT_TRUE(index.is_empty());
  EXPECT_EQ(index.tree(OrderedKind::kTimeDelta), nullptr);
}

}  // namespace
}  // namespace veldrake
