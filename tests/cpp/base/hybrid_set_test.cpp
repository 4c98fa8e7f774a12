#include "base/structures/hybrid_set.h"
#include "base/structures/listed_id_set.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace veldrake {
namespace {

using Ids = std::vector<uint32_t>;
using Variant = HybridSet::Variant;

Ids ids_of(const HybridSet& set) {
  Ids ids;
  set.for_each([&ids](uint32_t id) { ids.push_back(id); });
  return ids;
}

HybridSet make(Variant variant, const Ids& ids) {
  if (variant == Variant::kLarge) return HybridSet::from_bitmap(Bitmap::of(ids));
  HybridSet::IdArray array;
  for (uint32_t id : ids) array.insert(id);
  return variant == Variant::kSmall ? HybridSet::small(array) : HybridSet::medium(array);
}

// Random adds, removals, unions, intersections and copies over the variants, checked against
// std::set after each step; ids come from a small range so they collide often.
TEST(HybridSetTest, MatchesStdSetUnderRandomOperations) {
  std::mt19937 random(20240611);
  const auto random_set = [&random](std::set<uint32_t>& ids) {
    for (unsigned i = random() % 6; i > 0; --i) ids.insert(random() % 12);
    const auto variant = static_cast<Variant>(ids.size() <= 4 ? 1 + random() % 3 : 3);
    return make(variant, Ids(ids.begin(), ids.end()));
  };
  for (int round = 0; round < 200; ++round) {
    std::set<uint32_t> reference;
    HybridSet set = random_set(reference);
    for (int step = 0; step < 30; ++step) {
      const uint32_t id = random() % 12;
      std::set<uint32_t> other;
      switch (random() % 5) {
        case 0:
          set.add(id);
          reference.insert(id);
          break;
        case 1:
          EXPECT_EQ(set.remove(id), reference.erase(id) == 1);
          break;
        case 2:
          set.or_inplace(random_set(other));
          reference.insert(other.begin(), other.end());
          break;
        case 3:
          set.and_inplace(random_set(other));
          std::erase_if(reference, [&other](uint32_t kept) { return other.count(kept) == 0; });
          break;
        default: {  // copies are deep, and combining a set with itself changes nothing
          HybridSet copy = set;
          copy.add(id);
          random() % 2 ? set.or_inplace(set) : set.and_inplace(set);
        }
      }
      const Ids expected(reference.begin(), reference.end());
      ASSERT_EQ(ids_of(set), expected);
      ASSERT_EQ(set.as_bitmap().to_vector(), expected);
      Bitmap filter;
      Ids filtered;
      for (uint32_t probe = 0; probe < 12; ++probe) {
        ASSERT_EQ(set.contains(probe), reference.count(probe) == 1);
        if (random() % 2 == 0) continue;
        filter.add(probe);
        if (reference.count(probe) == 1) filtered.push_back(probe);
      }
      ASSERT_EQ(set.intersection_with(filter).to_vector(), filtered);
    }
  }
}

// Adds and removals that grow a listed set past its array into a bitmap and empty it again,
// checked against std::set after each step.
TEST(ListedIdSetTest, MatchesStdSetAcrossTheBitmapSwitch) {
  std::mt19937 random(20261207);
  for (const uint32_t range : {40u, 300u}) {
    std::set<uint32_t> reference{7};
    ListedIdSet set = ListedIdSet::of(7);
    for (int step = 0; step < 3000; ++step) {
      const uint32_t id = random() % range * 9973;
      if (step < 1500 ? random() % 4 != 0 : random() % 4 == 0) {
        ASSERT_EQ(set.add(id), reference.insert(id).second);
      } else {
        ASSERT_EQ(set.remove(id), reference.erase(id) == 1);
      }
      const Ids expected(reference.begin(), reference.end());
      const Bitmap* bitmap = set.bitmap();
      ASSERT_EQ(bitmap ? bitmap->to_vector() : Ids(set.listed().begin(), set.listed().end()),
                expected);
      ASSERT_EQ(set.is_empty(), expected.empty());
      ASSERT_EQ(set.contains(id), reference.count(id) == 1);
    }
    EXPECT_EQ(set.bitmap() != nullptr, range > ListedIdSet::kListed);
  }
}

}  // namespace
}  // namespace veldrake
