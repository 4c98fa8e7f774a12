// The engine's shared structures used the way the value indexes use them from many threads at
// once: the numeric B-tree behind its reader-writer lock, and id sets stored in the sharded map.
// Writers own disjoint ids, so each one's final state is known exactly; readers run meanwhile and
// check what must hold at every moment. Run under ThreadSanitizer by `make test-tsan`.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "index/core/query/b_tree/b_tree.h"
#include "index/core/structures/hybrid_set.h"
#include "index/core/structures/shards/hashmap.h"
#include "module/locks.h"

namespace veldrake {
namespace {

constexpr int kWriters = 4;
constexpr int kReaders = 2;
constexpr uint32_t kIdsPerWriter = 300;
constexpr int kStepsPerWriter = 6000;

// Forty distinct keys over few numbers: ints and floats of equal value meet (2 and 2.0).
NumericKey key_for(int which) {
  if (which % 2 == 0) return NumericKey::integer(which / 2);
  return NumericKey::floating(which / 2 + (which % 4 == 3 ? 0.5 : 0.0));
}

double value_of(const NumericKey& key) {
  return key.kind() == NumericKind::kInteger ? static_cast<double>(key.as_integer())
                                             : key.as_float();
}

// Starts `count` threads running `body(index)` together and joins them.
template <class Body>
void run_together(int count, Body body) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < count) std::this_thread::yield();
      body(t);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST(ConcurrentBTree, WritersAndReadersUnderTheLockSeeConsistentTrees) {
  RwLocked<BitMapBTree> tree;
  // Pinned entries are never removed: every reader must always find them.
  constexpr uint32_t kPinnedId = kWriters * kIdsPerWriter + 1;
  for (int which = 0; which < 40; ++which) tree.write()->insert(key_for(which), kPinnedId);

  // What each writer holds at the end: (value index, id) pairs.
  std::vector<std::set<std::pair<int, uint32_t>>> held(kWriters);
  std::atomic<bool> writing{true};
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> failures{0};

  run_together(kWriters + kReaders, [&](int t) {
    std::mt19937 rng(static_cast<uint32_t>(t) * 7919u + 1u);
    if (t < kWriters) {
      auto& mine = held[static_cast<std::size_t>(t)];
      const uint32_t first_id = static_cast<uint32_t>(t) * kIdsPerWriter + 1;
      for (int step = 0; step < kStepsPerWriter; ++step) {
        const int which = static_cast<int>(rng() % 40);
        const uint32_t id = first_id + rng() % kIdsPerWriter;
        const bool present = mine.count({which, id}) != 0;
        if (rng() % 3 == 0 || present) {
          if (tree.write()->remove(key_for(which), id) != present) failures.fetch_add(1);
          mine.erase({which, id});
        } else {
          if (!tree.write()->insert(key_for(which), id)) failures.fetch_add(1);
          mine.insert({which, id});
        }
      }
      if (writers_left.fetch_sub(1) == 1) writing.store(false);
      return;
    }
    for (int round = 0; writing.load(); ++round) {
      // Readers pause between reads: the lock lets readers in ahead of waiting writers.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      const int low = static_cast<int>(rng() % 40);
      const int high = low + static_cast<int>(rng() % 10);
      auto reader = tree.read();
      Bitmap all = reader->query_range(Bound::unbounded(), Bound::unbounded());
      Bitmap some = reader->query_range(Bound::included(key_for(low)),
                                        Bound::included(NumericKey::floating(high / 2.0)));
      if (!all.contains(kPinnedId) || !some.contains(kPinnedId)) failures.fetch_add(1);
      // Every answer is a subset of the whole tree taken under the same read lock.
      Bitmap outside = Bitmap::difference(some, all);
      if (!outside.is_empty()) failures.fetch_add(1);
      if (round % 8 != 0) continue;
      std::size_t entries = 0;
      double previous = -1e300;
      reader->for_each([&](const Entry& entry) {
        const double number = value_of(entry.key());
        if (number < previous) failures.fetch_add(1);
        previous = number;
        ++entries;
      });
      if (entries != reader->size()) failures.fetch_add(1);
    }
  });
  EXPECT_EQ(failures.load(), 0);

  // The final tree holds exactly the pinned entries and what each writer kept.
  auto reader = tree.read();
  std::multiset<std::pair<double, uint32_t>> expected;
  for (int which = 0; which < 40; ++which) expected.insert({value_of(key_for(which)), kPinnedId});
  for (const auto& mine : held) {
    for (const auto& [which, id] : mine) expected.insert({value_of(key_for(which)), id});
  }
  std::multiset<std::pair<double, uint32_t>> actual;
  reader->for_each([&](const Entry& entry) { actual.insert({value_of(entry.key()), entry.id()}); });
  EXPECT_EQ(actual, expected);
}

// The exact-value map of a value index: values to the sets of ids holding them.
struct TextTraits {
  static uint64_t hash(const std::string& key) { return std::hash<std::string>()(key); }
  static bool equal(const std::string& a, const std::string& b) { return a == b; }
};
using ExactMap = ShardedHashMap<std::string, HybridSet, TextTraits>;

TEST(ConcurrentShardedSets, AddsRemovesAndCopiesOfSharedKeysKeepEveryId) {
  ExactMap map = ExactMap::with_shard_count(4);
  const std::vector<std::string> keys = {"a", "b", "c", "d", "e", "f", "g", "h"};
  std::vector<std::map<std::string, std::set<uint32_t>>> held(kWriters);
  std::atomic<bool> writing{true};
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> failures{0};

  run_together(kWriters + kReaders, [&](int t) {
    std::mt19937 rng(static_cast<uint32_t>(t) + 11u);
    if (t < kWriters) {
      auto& mine = held[static_cast<std::size_t>(t)];
      const uint32_t first_id = static_cast<uint32_t>(t) * kIdsPerWriter + 1;
      for (int step = 0; step < kStepsPerWriter; ++step) {
        const std::string& key = keys[rng() % keys.size()];
        // Ids far apart too, so that sets change representation back and forth.
        const uint32_t id = first_id + (rng() % 2 ? rng() % 8 : rng() % kIdsPerWriter);
        auto shard = map.get_shard(key);
        auto found = shard->find(key);
        if (mine[key].count(id) != 0) {
          found->second.remove(id);
          if (found->second.is_empty()) shard->erase(found);
          mine[key].erase(id);
        } else {
          if (found == shard->end()) {
            shard->emplace(key, HybridSet::of(id));
          } else {
            found->second.add(id);
          }
          mine[key].insert(id);
        }
      }
      if (writers_left.fetch_sub(1) == 1) writing.store(false);
      return;
    }
    while (writing.load()) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      const std::string& key = keys[rng() % keys.size()];
      if (std::optional<HybridSet> copy = map.get(key)) {
        // A stored set is never left empty, and its copy answers on its own.
        if (copy->is_empty() || copy->as_bitmap().cardinality() != copy->cardinality())
          failures.fetch_add(1);
      }
      std::size_t visited = 0;
      map.for_each([&](const std::string&, const HybridSet& ids) {
        if (ids.is_empty()) failures.fetch_add(1);
        ++visited;
      });
      if (visited > keys.size()) failures.fetch_add(1);
    }
  });
  EXPECT_EQ(failures.load(), 0);

  for (const std::string& key : keys) {
    std::set<uint32_t> expected;
    for (const auto& mine : held) {
      if (auto found = mine.find(key); found != mine.end())
        expected.insert(found->second.begin(), found->second.end());
    }
    std::optional<HybridSet> stored = map.get(key);
    if (expected.empty()) {
      EXPECT_FALSE(stored.has_value()) << key;
      continue;
    }
    ASSERT_TRUE(stored.has_value()) << key;
    std::vector<uint32_t> ids = stored->as_bitmap().to_vector();
    EXPECT_EQ(std::set<uint32_t>(ids.begin(), ids.end()), expected) << key;
  }
}

}  // namespace
}  // namespace veldrake
