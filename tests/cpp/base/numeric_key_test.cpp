#include "base/structures/b_tree/numeric_key.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "base/structures/b_tree/entry.h"

namespace veldrake {
namespace {

using Limits = std::numeric_limits<double>;

NumericKey integer(int64_t value) {
  return NumericKey::integer(value);
}
NumericKey floating(double value) {
  return NumericKey::floating(value);
}

int encoded_compare(const NumericKey& a, const NumericKey& b) {
  const auto order = a.number() <=> b.number();
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

TEST(NumericKeyTest, KeysSortInNumericOrder) {
  const double tiny = Limits::denorm_min();
  const double largest_subnormal = Limits::min() - tiny;
  const int64_t two_53 = int64_t{1} << 53;
  // Groups in ascending order; keys within a group are equal numbers.
  const std::vector<std::vector<NumericKey>> ascending = {
      {floating(-Limits::infinity())},
      {floating(-0x1p64)},
      {integer(INT64_MIN), floating(-0x1p63)},
      {integer(INT64_MIN + 1)},
      {integer(-two_53 - 1)},
      {floating(-0x1p53), integer(-two_53)},
      {integer(-1), floating(-1.0)},
      {floating(-Limits::min())},
      {floating(-largest_subnormal)},
      {floating(-2 * tiny)},
      {floating(-tiny)},
      {floating(-0.0), integer(0), floating(0.0)},
      {floating(tiny)},
      {floating(2 * tiny)},
      {floating(largest_subnormal)},
      {floating(Limits::min())},
      {floating(0.5)},
      {integer(1), floating(1.0)},
      {floating(0x1p53), integer(two_53)},
      {integer(two_53 + 1)},
      {floating(0x1p53 + 2)},
      {integer(INT64_MAX)},
      {floating(0x1p63)},
      {floating(Limits::max())},
      {floating(Limits::infinity())},
  };
  for (size_t i = 0; i < ascending.size(); ++i) {
    for (const NumericKey& key : ascending[i]) {
      EXPECT_EQ(NumericKey::decode(key.number(), key.kind()), key);  // exact, up to -0.0 == 0.0
    }
    for (size_t j = 0; j < ascending.size(); ++j) {
      for (const NumericKey& a : ascending[i]) {
        for (const NumericKey& b : ascending[j]) {
          EXPECT_EQ(encoded_compare(a, b), i < j ? -1 : (i > j ? 1 : 0)) << i << " vs " << j;
        }
      }
    }
  }
}

TEST(NumericKeyTest, EntriesOrderByNumberThenKindThenId) {
  // -0.0 and 0 differ in kind only; -0.0 and 0.0 are one entry, read back as 0.0.
  EXPECT_LT(Entry::of(integer(0), 1), Entry::of(floating(-0.0), 1));
  EXPECT_EQ(Entry::of(floating(0.0), 1), Entry::of(floating(-0.0), 1));
  EXPECT_FALSE(std::signbit(Entry::of(floating(-0.0), 1).key().as_float()));
  EXPECT_LT(Entry::of(integer(5), 3), Entry::of(integer(5), 7));
  EXPECT_LT(Entry::of(integer(5), 7), Entry::of(floating(5.0), 3));
  EXPECT_LT(Entry::of(floating(5.0), 0xffffffff), Entry::of(integer(6), 0));
}

}  // namespace
}  // namespace veldrake
