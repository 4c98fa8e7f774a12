#include "base/structures/shards/hashmap.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

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

// Concurrent use is covered through the value indexes by tests/python/test_threads.py.
TEST(ShardedHashMapTest, GetCopiesAndVisitsReachEveryEntryOnce) {
  Map map = Map::with_shard_count(4);
  map.for_each([](const Key&, int) { ADD_FAILURE() << "visited an empty map"; });
  EXPECT_FALSE(map.get(key(5)).has_value());
  for (uint64_t hash = 1; hash <= 100; ++hash) (*map.get_shard(key(hash)))[key(hash)] = 1;
  std::optional<int> copy = map.get(key(5));
  *copy = 99;
  EXPECT_EQ(map.get(key(5)), 1);
  map.for_each_mut([](const Key&, int& value) { value = -value; });
  std::set<uint64_t> seen;
  map.for_each([&seen](const Key& k, int value) {
    EXPECT_EQ(value, -1);
    EXPECT_TRUE(seen.insert(k.hash).second);
  });
  EXPECT_EQ(seen.size(), 100u);
  std::set<uint64_t> seeds;  // each shard's table has its own seed
  for (uint64_t hash : seen) seeds.insert(map.get_shard(key(hash))->hash_function().seed);
  EXPECT_EQ(seeds.size(), 4u);
}

}  // namespace
}  // namespace veldrake
