#include "index/core/structures/shards/hashmap.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "module/internal_error.h"

namespace veldrake {
namespace {

// A key carrying its own precomputed hash, as the index's keys do.
struct Key {
  uint64_t hash;
  std::string name;
};

struct KeyTraits {
  static uint64_t hash(const Key& key) { return key.hash; }
  static bool equal(const Key& a, const Key& b) { return a.name == b.name; }
};

using Map = ShardedHashMap<Key, int, KeyTraits>;

Key key(uint64_t hash) {
  return Key{hash, std::to_string(hash)};
}

TEST(ShardedHashMapTest, ShardSelection) {
  EXPECT_EQ(Map::with_shard_count(16).shard_count(), 16u);
  for (size_t bad : {size_t{0}, size_t{12}}) {
    try {
      Map::with_shard_count(bad);
      ADD_FAILURE() << bad;
    } catch (const InternalError& error) {
      EXPECT_STREQ(error.what(), "assertion failed: shard_count.is_power_of_two()");
    }
  }
  EXPECT_EQ(Map::shard_index(0, 15), 0u);
  // x = 1 * 0x93d765dd, x * 0x93d765dd = 0x0fbe20c9 (mod 2^32), rotated left by 15 = 0x106487df.
  EXPECT_EQ(Map::shard_index(1, 0xffffffff), 0x106487dfu);
  EXPECT_EQ(Map::shard_index(1, 15), 0xfu);
  EXPECT_EQ(Map::shard_index(1, 0), 0u);  // a single shard takes every key
}

TEST(ShardedHashMapTest, GetReturnsACopy) {
  Map map = Map::with_shard_count(16);
  EXPECT_FALSE(map.get(key(5)).has_value());
  map.get_shard(key(5))->emplace(key(5), 50);
  std::optional<int> copy = map.get(key(5));
  *copy = 99;
  EXPECT_EQ(map.get(key(5)), 50);
  // Each shard's table has its own seed.
  std::set<uint64_t> seeds;
  for (uint64_t hash = 0; hash < 1000; ++hash) {
    seeds.insert(map.get_shard(key(hash))->hash_function().seed);
  }
  EXPECT_EQ(seeds.size(), 16u);
}

TEST(ShardedHashMapTest, ConcurrentUpdatesAreAllVisited) {
  Map map = Map::with_shard_count(4);
  map.for_each([](const Key&, int) { ADD_FAILURE() << "visited an empty map"; });
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&map, t] {
      for (int i = 1; i <= kPerThread; ++i) {
        const Key k = key(static_cast<uint64_t>(t * kPerThread + i));
        ++(*map.get_shard(k))[k];
        ++(*map.get_shard(key(0)))[key(0)];  // one key every thread updates
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(map.get(key(0)), kThreads * kPerThread);
  map.for_each_mut([](const Key&, int& value) { value = -value; });
  std::set<uint64_t> seen;
  map.for_each([&seen](const Key& k, int value) {
    EXPECT_LT(value, 0);
    EXPECT_TRUE(seen.insert(k.hash).second);
  });
  EXPECT_EQ(seen.size(), size_t{kThreads * kPerThread + 1});
}

}  // namespace
}  // namespace veldrake
