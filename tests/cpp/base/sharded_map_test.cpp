#include "base/structures/shards/hashmap.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

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

// Lookups, visits and concurrent use are driven through the value indexes by the Python tests;
// what they cannot see is that the shards hash with seeds of their own.
TEST(ShardedHashMapTest, VisitsReachEveryEntryOnceAndEachShardHasItsOwnSeed) {
  Map map = Map::with_shard_count(4);
  for (uint64_t hash = 1; hash <= 100; ++hash)
    (*map.get_shard_failure_safe(key(hash)))[key(hash)] = 1;
  std::set<uint64_t> seen;
  map.for_each([&seen](const Key& k, int) { EXPECT_TRUE(seen.insert(k.hash).second); });
  EXPECT_EQ(seen.size(), 100u);
  std::set<uint64_t> seeds;
  for (uint64_t hash : seen)
    seeds.insert(map.get_shard_failure_safe(key(hash))->hash_function().seed);
  EXPECT_EQ(seeds.size(), 4u);
}

}  // namespace
}  // namespace veldrake
