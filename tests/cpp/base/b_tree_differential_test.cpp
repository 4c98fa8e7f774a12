// Drives a BitMapBTree and a std::set reference with the same random inserts and removals and
// compares the entries and every kind of range query after each batch. Values repeat a lot, each
// id has several entries (in a second run at most one, where counts add up pieces) and ints meet
// equal floats, so answers taken from whole children are only right if the per-child bitmaps and
// the mixed-kind bounds are exact. Removals name the id's other entries in every way a caller may:
// all, some, with strays, or none.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "base/structures/b_tree/b_tree.h"

namespace veldrake {
namespace {

using Limits = std::numeric_limits<double>;

constexpr uint32_t kIdCount = 3000;

// -1, 0 or 1 as the integer `i` is below, equal to or above the double `d` (not NaN).
int exact_compare(int64_t i, double d) {
  if (d >= 0x1p63) return -1;
  if (d < -0x1p63) return 1;
  const double whole = std::trunc(d);  // fits in int64 here
  if (const auto whole_int = static_cast<int64_t>(whole); i != whole_int) {
    return i < whole_int ? -1 : 1;
  }
  return d > whole ? -1 : (d < whole ? 1 : 0);
}

// Exact numeric comparison of two keys, written independently of the tree's encoding.
int exact_compare(const NumericKey& a, const NumericKey& b) {
  const auto sign = [](auto x, auto y) { return x < y ? -1 : (x > y ? 1 : 0); };
  const bool a_integer = a.kind() == NumericKind::kInteger;
  const bool b_integer = b.kind() == NumericKind::kInteger;
  if (a_integer && b_integer) return sign(a.as_integer(), b.as_integer());
  if (!a_integer && !b_integer) return sign(a.as_float(), b.as_float());
  return a_integer ? exact_compare(a.as_integer(), b.as_float())
                   : -exact_compare(b.as_integer(), a.as_float());
}

struct StoredEntry {
  NumericKey key;
  uint32_t id;
};

// The tree's entry order: value, then integers before floats, then id.
struct ReferenceOrder {
  bool operator()(const StoredEntry& a, const StoredEntry& b) const {
    if (const int order = exact_compare(a.key, b.key); order != 0) return order < 0;
    if (a.key.kind() != b.key.kind()) return a.key.kind() < b.key.kind();
    return a.id < b.id;
  }
};

bool satisfies(const NumericKey& key, const Bound& bound, int direction) {
  if (bound.kind() == Bound::Kind::kUnbounded) return true;
  if (bound.key().is_nan()) return false;
  const int order = exact_compare(key, bound.key()) * direction;
  return bound.kind() == Bound::Kind::kIncluded ? order >= 0 : order > 0;
}

class Generator {
 public:
  uint32_t below(size_t n) { return static_cast<uint32_t>(random_() % n); }

  // Mostly integers and halves in [-20, 20], so every integer value exists as both kinds; a
  // fifth are keys whose encoding is hard to get right: extremes, neighbours of 2^53 and 2^63
  // of both kinds, subnormals and the normals next to them.
  NumericKey key() {
    const uint32_t pick = below(100);
    if (pick < 40) return NumericKey::integer(static_cast<int64_t>(below(41)) - 20);
    if (pick < 80) return NumericKey::floating((below(81) - 40.0) / 2);
    constexpr double kTiny = Limits::denorm_min(), kMin = Limits::min(), kMax = Limits::max();
    constexpr double kInf = Limits::infinity(), kLargestSubnormal = kMin - kTiny;
    constexpr double kTwoTiny = 2 * kTiny, kAbove53 = 0x1p53 + 2;
    constexpr int64_t kTwo53 = int64_t{1} << 53;
    constexpr int64_t kIntegers[] = {INT64_MIN, INT64_MIN + 1, INT64_MAX, -kTwo53 - 1,
                                     -kTwo53,   kTwo53,        kTwo53 + 1};
    constexpr double kFloats[] = {0x1p64, 0x1p63, 0x1p53,   kAbove53,          kInf, kMax,
                                  kMin,   0.0,    kTwoTiny, kLargestSubnormal, kTiny};
    const uint32_t hard = below(std::size(kIntegers) + std::size(kFloats));
    if (hard < std::size(kIntegers)) return NumericKey::integer(kIntegers[hard]);
    const double magnitude = kFloats[hard - std::size(kIntegers)];
    return NumericKey::floating(below(2) ? magnitude : -magnitude);
  }

  // A stored value (often an integer turned float), a value between stored ones, or NaN.
  NumericKey bound_key() {
    const uint32_t pick = below(20);
    if (pick == 0) return NumericKey::floating(Limits::quiet_NaN());
    if (pick == 1) return NumericKey::floating((below(81) - 40.0) / 2 + 0.25);
    const NumericKey stored = key();
    const bool small_integer = stored.kind() == NumericKind::kInteger &&
                               stored.as_integer() >= -20 && stored.as_integer() <= 20;
    if (pick < 6 && small_integer) {
      return NumericKey::floating(static_cast<double>(stored.as_integer()));
    }
    return stored;
  }

  // Every id, a random third of them, or a scattered few: few enough that a wide range looks
  // them up in its pieces rather than uniting the pieces.
  Bitmap filter() {
    const uint32_t one_in = std::array<uint32_t, 3>{1, 3, 300}[below(3)];
    Bitmap filter;
    for (uint32_t id = 0; id < kIdCount; ++id) {
      if (below(one_in) == 0) filter.add(id);
    }
    return filter;
  }

 private:
  std::mt19937 random_{424242};
};

void check_tree(const BitMapBTree& tree, const std::vector<StoredEntry>& entries,
                Generator& generator) {
  ASSERT_EQ(tree.size(), entries.size());
  auto expected = entries.begin();
  for (const Entry& entry : tree) {
    ASSERT_TRUE(entry.key() == expected->key && entry.id() == expected->id);
    ++expected;
  }

  for (int i = 0; i < 12; ++i) {
    const Bitmap filter = generator.filter();
    const NumericKey a = generator.bound_key();
    const NumericKey b = generator.bound_key();
    const std::pair<Bound, Bound> queries[] = {
        {Bound::included(a), Bound::included(a)}, {Bound::excluded(a), Bound::unbounded()},
        {Bound::included(a), Bound::unbounded()}, {Bound::unbounded(), Bound::excluded(a)},
        {Bound::unbounded(), Bound::included(a)}, {Bound::included(a), Bound::included(b)},
        {Bound::excluded(a), Bound::excluded(b)}};
    for (const auto& [lower, upper] : queries) {
      Bitmap expected_ids;
      for (const StoredEntry& entry : entries) {
        if (satisfies(entry.key, lower, 1) && satisfies(entry.key, upper, -1) &&
            filter.contains(entry.id))
          expected_ids.add(entry.id);
      }
      ASSERT_EQ(tree.query_range(lower, upper, filter).to_vector(), expected_ids.to_vector());
      ASSERT_EQ(tree.count_range(lower, upper, &filter), expected_ids.cardinality());
      ASSERT_EQ(tree.count_range(lower, upper, nullptr),
                tree.query_range(lower, upper).cardinality());
    }
  }
}

// Keys to name as carriers of an id, out of `keys` (every key it has): none, all of them, all but
// the last with a stray key, or all twice.
std::vector<NumericKey> carriers_of(const std::vector<NumericKey>& keys, Generator& generator) {
  const uint32_t way = generator.below(4);
  std::vector<NumericKey> named = way == 0 ? std::vector<NumericKey>{} : keys;
  if (way == 2) {
    if (!named.empty()) named.pop_back();
    named.push_back(generator.key());
  }
  if (way == 3) named.insert(named.end(), keys.begin(), keys.end());
  return named;
}

// With `one_entry_per_id`, an insertion for an id that has an entry is skipped: counts then add up
// the pieces of a range instead of uniting them. With `ascending_ids`, insertions take ids in the
// order an index hands them out, never below the last, so each key's entries arrive past the end
// of its run and nodes split there.
void drive_against_reference(bool one_entry_per_id, bool ascending_ids) {
  Generator generator;
  uint32_t insertions = 0;
  const auto inserted_id = [&] {
    return ascending_ids ? std::min(insertions++ / 14, kIdCount - 1) : generator.below(kIdCount);
  };
  BitMapBTree tree;
  std::set<StoredEntry, ReferenceOrder> reference;
  std::vector<StoredEntry> stored;  // the reference's entries, for picking one to remove
  std::vector<std::vector<NumericKey>> keys_of(kIdCount);
  // A removal lists up to 8 carriers on the stack, more on the heap: both must come up.
  std::size_t fewest_named = std::numeric_limits<std::size_t>::max();
  std::size_t most_named = 0;
  const auto remove = [&](const StoredEntry& entry) {
    auto& keys = keys_of[entry.id];
    const std::vector<NumericKey> named = carriers_of(keys, generator);
    if (!named.empty()) fewest_named = std::min(fewest_named, named.size());
    most_named = std::max(most_named, named.size());
    const bool removed = tree.remove(entry.key, entry.id, named);
    std::erase_if(keys, [&](const NumericKey& key) { return key == entry.key; });
    return removed;
  };

  // Growing batches, then draining ones that empty the tree and leave many leaves empty.
  constexpr int kGrowing = 22;
  for (int batch = 0; batch < kGrowing + 12; ++batch) {
    const uint32_t insert_percent = batch < kGrowing ? 72 : 5;
    for (int step = 0; step < 2500 && (batch < kGrowing || !stored.empty()); ++step) {
      const uint32_t action = generator.below(100);
      if (action < insert_percent || stored.empty()) {
        const StoredEntry entry{generator.key(), inserted_id()};
        if (one_entry_per_id && !keys_of[entry.id].empty()) continue;
        const bool added = reference.insert(entry).second;
        ASSERT_EQ(tree.insert(entry.key, entry.id), added);
        if (added) {
          stored.push_back(entry);
          keys_of[entry.id].push_back(entry.key);
        }
      } else if (action < 97) {
        const size_t index = generator.below(stored.size());
        const StoredEntry entry = stored[index];
        stored[index] = stored.back();
        stored.pop_back();
        reference.erase(entry);
        ASSERT_TRUE(remove(entry));
      } else {  // usually absent; NaN never is
        const StoredEntry entry{generator.key(), generator.below(kIdCount)};
        const bool present = reference.erase(entry) == 1;
        ASSERT_EQ(remove(entry), present);
        if (present) stored.assign(reference.begin(), reference.end());
        const double nan = entry.id % 2 ? Limits::quiet_NaN() : -Limits::quiet_NaN();
        ASSERT_FALSE(tree.insert(NumericKey::floating(nan), entry.id));
        ASSERT_FALSE(tree.remove(NumericKey::floating(nan), entry.id));
      }
    }
    check_tree(tree, std::vector<StoredEntry>(reference.begin(), reference.end()), generator);
    if (batch == kGrowing - 1) {
      EXPECT_GE(tree.height(), one_entry_per_id ? 2u : 3u);
    }
  }
  EXPECT_LE(fewest_named, 8u);
  if (!one_entry_per_id) {
    EXPECT_GT(most_named, 8u);
  }
}

// The random test's ids are small: the largest id still sorts below the next number.
TEST(BitMapBTreeDifferentialTest, EntriesKeepNoNegativeZeroAndOrderTheLargestIdFirst) {
  EXPECT_FALSE(std::signbit(Entry::of(NumericKey::floating(-0.0), 1).key().as_float()));
  EXPECT_LT(Entry::of(NumericKey::floating(5.0), 0xffffffff), Entry::of(NumericKey::integer(6), 0));
}

TEST(BitMapBTreeDifferentialTest, MatchesAReferenceSetUnderRandomChanges) {
  drive_against_reference(false, false);
  drive_against_reference(true, false);
  drive_against_reference(false, true);
}

}  // namespace
}  // namespace veldrake
