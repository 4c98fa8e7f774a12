#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "index/core/values/attribute_map.h"

namespace veldrake {
namespace {

using Pairs = std::vector<std::pair<uint32_t, int>>;

TEST(HybridHashmap, EightKeysStayInlineInOrderAndTheNinthMovesAllToTheMap) {
  HybridHashmap<int> map;
  for (uint32_t key = 0; key < 8; ++key) EXPECT_EQ(map.insert(100 - key, key), std::nullopt);
  EXPECT_EQ(map.insert(97, 30), 3);  // replaced in place
  EXPECT_FALSE(map.is_map());
  Pairs pairs;
  for (const auto& [key, value] : map) pairs.emplace_back(key, value);
  EXPECT_EQ(pairs,
            (Pairs{{100, 0}, {99, 1}, {98, 2}, {97, 30}, {96, 4}, {95, 5}, {94, 6}, {93, 7}}));
  EXPECT_EQ(map.get(42), nullptr);

  EXPECT_EQ(map.insert(42, 8), std::nullopt);
  EXPECT_TRUE(map.is_map());
  EXPECT_EQ(map.insert(97, -1), 30);
  EXPECT_EQ(map.size(), 9u);
  EXPECT_EQ(map.keys().size(), 9u);
  for (uint32_t key = 0; key < 8; ++key) {
    EXPECT_EQ(*map.get(100 - key), key == 3 ? -1 : static_cast<int>(key));
  }
  EXPECT_EQ(*map.get(42), 8);
}

}  // namespace
}  // namespace veldrake
