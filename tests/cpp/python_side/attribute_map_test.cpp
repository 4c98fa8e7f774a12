#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "index/core/values/attribute_map.h"

namespace veldrake {
namespace {

using Pairs = std::vector<std::pair<uint32_t, int>>;

TEST(HybridHashmap, EightKeysStayInlineInOrderAndTheNinthMovesAllToTheMap) {
  HybridHashmap<int> map;
  Pairs inline_pairs;
  for (uint32_t key = 0; key < 9; ++key) {
    if (key == 8) {
      EXPECT_FALSE(map.is_map());
      for (const auto& [k, value] : map) inline_pairs.emplace_back(k, value);
    }
    EXPECT_EQ(map.insert(100 - key, -1), std::nullopt);
    EXPECT_EQ(map.insert(100 - key, key), -1);  // replaced in place
  }
  EXPECT_EQ(inline_pairs,
            (Pairs{{100, 0}, {99, 1}, {98, 2}, {97, 3}, {96, 4}, {95, 5}, {94, 6}, {93, 7}}));
  EXPECT_TRUE(map.is_map());
  EXPECT_EQ(map.keys().size(), 9u);
  for (uint32_t key = 0; key < 9; ++key) EXPECT_EQ(*map.get(100 - key), static_cast<int>(key));
  EXPECT_EQ(map.get(42), nullptr);
}

// An object made with its attributes reserves room for them first: names fill the room, replace
// in place, and the next name still grows the array and then moves it to the map.
TEST(HybridHashmap, AReservedArrayFillsThenGrowsAsAnUnreservedOne) {
  HybridHashmap<int> map;
  map.reserve(3);
  for (uint32_t key = 0; key < 9; ++key) {
    EXPECT_EQ(map.insert(key, -1), std::nullopt);
    EXPECT_EQ(map.insert(key, static_cast<int>(key)), -1);
    EXPECT_EQ(map.is_map(), key == 8);
  }
  Pairs pairs;
  for (const auto& [k, value] : map) pairs.emplace_back(k, value);
  std::sort(pairs.begin(), pairs.end());
  EXPECT_EQ(pairs, (Pairs{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}}));
}

}  // namespace
}  // namespace veldrake
