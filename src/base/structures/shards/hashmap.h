// A concurrent hash map split into a fixed power-of-two number of shards, each a hash map behind
// its own reader-writer lock, so threads working on different keys rarely wait for each other.
//
// Keys carry a precomputed 64-bit hash (KeyTraits::hash); nothing here rehashes key content.
// The shard comes from a fixed mix of that hash, and each shard's table mixes it again with a
// random per-shard seed, so the bucket layout cannot be predicted from the keys.
//
// KeyTraits provides:
//   static uint64_t hash(const K&);
//   static bool equal(const K&, const K&);
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <unordered_map>
#include <utility>

#include "base/internal_error.h"
#include "base/locks.h"

namespace veldrake {

template <class K, class V, class KeyTraits>
class ShardedHashMap {
 public:
  // Hashes a key's stored hash together with the shard's seed.
  struct SeededHash {
    uint64_t seed;
    size_t operator()(const K& key) const noexcept {
      // The 64-bit finaliser of MurmurHash3: every input bit affects every output bit.
      uint64_t h = KeyTraits::hash(key) ^ seed;
      h ^= h >> 33;
      h *= 0xff51afd7ed558ccdULL;
      h ^= h >> 33;
      h *= 0xc4ceb9fe1a85ec53ULL;
      h ^= h >> 33;
      return static_cast<size_t>(h);
    }
  };
  struct KeyEqual {
    bool operator()(const K& a, const K& b) const { return KeyTraits::equal(a, b); }
  };
  using Map = std::unordered_map<K, V, SeededHash, KeyEqual>;

  // Write access to one shard's map; holds the shard's write lock while alive.
  class ShardGuard {
   public:
    Map& operator*() const { return *map_; }
    Map* operator->() const { return map_; }
    // See SharedMutex::WriteGuard::commit.
    void commit() { lock_.commit(); }

   private:
    friend class ShardedHashMap;
    ShardGuard(SharedMutex& mutex, Map& map, bool failure_safe)
        : lock_(mutex, failure_safe), map_(&map) {}

    SharedMutex::WriteGuard lock_;
    Map* map_;
  };

  // A map with four shards per hardware thread, rounded up to a power of two.
  ShardedHashMap() : ShardedHashMap(default_shard_count()) {}
  // A map with `shard_count` shards; internal error unless it is a power of two.
  static ShardedHashMap with_shard_count(size_t shard_count) { return ShardedHashMap(shard_count); }

  // Number of shards.
  size_t shard_count() const { return mask_ + 1; }

  // The shard a key with stored hash `hash` belongs to, for `shard_count` = mask + 1 shards.
  static size_t shard_index(uint64_t hash, size_t mask) {
    constexpr uint32_t kMultiplier = 0x93d765dd;
    const uint32_t low = static_cast<uint32_t>(hash);
    const uint32_t high = static_cast<uint32_t>(hash >> 32);
    uint32_t mixed = low * kMultiplier + high;
    mixed *= kMultiplier;
    return std::rotl(mixed, 15) & mask;
  }

  // Locks the shard of `key` for writing and gives access to its map.
  [[nodiscard]] ShardGuard get_shard(const K& key) {
    Shard& shard = shard_of(key);
    return ShardGuard(shard.mutex, shard.map, false);
  }
  // The same for a writer whose every failure leaves the shard whole (see
  // SharedMutex::write_failure_safe).
  [[nodiscard]] ShardGuard get_shard_failure_safe(const K& key) {
    Shard& shard = shard_of(key);
    return ShardGuard(shard.mutex, shard.map, true);
  }

  // Calls `visit(value)` with the value stored for `key`, under the shard's read lock, so that a
  // reader takes what it needs without copying the value; false when `key` has none.
  template <class F>
  bool visit(const K& key, F&& visit) const {
    Shard& shard = shard_of(key);
    const auto lock = shard.mutex.read();
    const auto found = shard.map.find(key);
    if (found == shard.map.end()) return false;
    visit(std::as_const(found->second));
    return true;
  }

  // A copy of the value stored for `key`, if any.
  std::optional<V> get(const K& key) const {
    std::optional<V> copy;
    visit(key, [&](const V& value) { copy = value; });
    return copy;
  }

  // Number of entries, counted shard by shard: exact only while no writer runs.
  size_t size() const {
    size_t count = 0;
    for (size_t i = 0; i < shard_count(); ++i) {
      const auto lock = shards_[i].mutex.read();
      count += shards_[i].map.size();
    }
    return count;
  }

  // Calls `visit(key, value)` for every entry, shard by shard, holding one read lock at a time.
  template <class F>
  void for_each(F&& visit) const {
    for (size_t i = 0; i < shard_count(); ++i) {
      Shard& shard = shards_[i];
      const auto lock = shard.mutex.read();
      for (const auto& [key, value] : shard.map) visit(key, value);
    }
  }

  // Empties every shard, giving back the storage of its table.
  void clear() {
    for (size_t i = 0; i < shard_count(); ++i) {
      Shard& shard = shards_[i];
      auto lock = shard.mutex.write();
      shard.map = Map(0, shard.map.hash_function(), shard.map.key_eq());
      lock.commit();
    }
  }

  // Like for_each, but with write locks and mutable values.
  template <class F>
  void for_each_mut(F&& visit) {
    for (size_t i = 0; i < shard_count(); ++i) {
      Shard& shard = shards_[i];
      auto lock = shard.mutex.write();
      for (auto& [key, value] : shard.map) visit(key, value);
      lock.commit();
    }
  }

 private:
  struct Shard {
    SharedMutex mutex;
    Map map;
  };

  explicit ShardedHashMap(size_t shard_count) {
    if (!std::has_single_bit(shard_count)) {
      internal_error("assertion failed: shard_count.is_power_of_two()");
    }
    mask_ = shard_count - 1;
    shards_ = std::make_unique<Shard[]>(shard_count);
    for (size_t i = 0; i < shard_count; ++i) shards_[i].map = Map(0, SeededHash{next_seed()});
  }

  // Seeds differ per shard and per process without a system call per map (maps are made often:
  // one per attribute of every index): a random start, stepped and mixed (splitmix64).
  static uint64_t next_seed() {
    static std::atomic<uint64_t> state{[] {
      std::random_device entropy;
      return static_cast<uint64_t>(entropy()) << 32 | entropy();
    }()};
    uint64_t z = state.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  static size_t default_shard_count() {
    const size_t threads = std::max<size_t>(1, std::thread::hardware_concurrency());
    return std::bit_ceil(threads * 4);
  }

  Shard& shard_of(const K& key) const { return shards_[shard_index(KeyTraits::hash(key), mask_)]; }

  // Shards are mutable through const methods only to take their locks.
  std::unique_ptr<Shard[]> shards_;
  size_t mask_ = 0;
};

}  // namespace veldrake
