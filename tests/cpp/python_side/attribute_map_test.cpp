#include <gtest/gtest.h>

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

}  // namespace
}  // namespace veldrake
