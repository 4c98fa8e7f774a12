#include "index/core/structures/centered_array.h"

#include <gtest/gtest.h>

#include <vector>

#include "module/internal_error.h"

namespace veldrake {
namespace {

using Array = CenteredArray<4>;
using Ids = std::vector<uint32_t>;

Array array_of(const Ids& ids) {
  Array array;
  for (uint32_t id : ids) array.insert(id);
  return array;
}

void expect_layout(const Array& array, size_t start, const Ids& ids) {
  EXPECT_EQ(array.start(), start);
  ASSERT_EQ(array.count(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(array.slot(start + i), ids[i]) << i;
}

TEST(CenteredArrayTest, InsertsRecentreWhenTheRunTouchesAnEnd) {
  Array array;
  expect_layout(array, 0, {});
  array.insert(5);
  expect_layout(array, 2, {5});
  array.insert(3);
  expect_layout(array, 2, {3, 5});
  array.insert(4);
  expect_layout(array, 1, {3, 4, 5});
  array.insert(1);
  expect_layout(array, 0, {1, 3, 4, 5});
  try {
    array.insert(4);  // reported before the search, so also for a present id
    ADD_FAILURE();
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "CenteredArray full");
  }
}

TEST(CenteredArrayTest, RemoveShiftsTheShorterSide) {
  Array array = array_of({5, 3, 4});
  EXPECT_TRUE(array.remove(3));
  expect_layout(array, 1, {4, 5});
  EXPECT_FALSE(array.remove(3));
}

TEST(CenteredArrayTest, UnionMergesIntoAFreshLayout) {
  Array a = array_of({2, 7});
  a.union_with(array_of({7, 9}));
  expect_layout(a, 0, {2, 7, 9});
  Array b = array_of({4});
  b.union_with(Array());
  expect_layout(b, 1, {4});
  Array c;
  c.union_with(Array());
  expect_layout(c, 2, {});
  EXPECT_THROW(a.union_with(array_of({1, 2})), InternalError);  // the summed counts must fit
}

}  // namespace
}  // namespace veldrake
