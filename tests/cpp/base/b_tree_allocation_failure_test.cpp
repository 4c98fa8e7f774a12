// Runs B-tree insertions with every allocation they make refused in turn, the first, then the
// second, and so on until the insertion gets through, and checks after each refusal that the
// tree holds the entries it held before, with exact per-child bitmaps. Refused are the
// operator new calls (nodes, the id counts) and the bitmap calls that may fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <set>

#include "base/structures/b_tree/b_tree.h"
#include "base/structures/b_tree/nodes/internal_node.h"
#include "base/structures/b_tree/nodes/leaf_node.h"
#include "base/structures/bitmap_memory.h"

namespace {

// How many more allocations succeed; negative: all of them.
long g_allocations_left = -1;

bool admit_allocation() {
  if (g_allocations_left < 0) return true;
  if (g_allocations_left == 0) return false;
  --g_allocations_left;
  return true;
}

}  // namespace

// At -O1 and above GCC inlines these into callers whose allocation it traces to the library's
// operator new, and then warns that free() meets a new; here both are ours and pair up.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (admit_allocation()) {
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace veldrake {
namespace {

// The ids below `node`, checking on the way that every internal node's bitmaps are exact.
Bitmap checked_ids(const Node& node) {
  if (const LeafNode* leaf = node.leaf()) return leaf->ids();
  const InternalNode& internal = *node.internal();
  Bitmap all;
  for (size_t i = 0; i < internal.count(); ++i) {
    const Bitmap below = checked_ids(internal.child(i));
    EXPECT_TRUE(internal.child_ids(i).has_value() && *internal.child_ids(i) == below);
    all.or_inplace(below);
  }
  return all;
}

void expect_holds(const BitMapBTree& tree, const std::set<Entry>& expected) {
  ASSERT_EQ(tree.size(), expected.size());
  auto next = expected.begin();
  for (const Entry& entry : tree) ASSERT_EQ(entry, *next++);
  Bitmap ids;
  for (const Entry& entry : expected) ids.add(entry.id());
  EXPECT_EQ(checked_ids(tree.root()), ids);
  EXPECT_EQ(tree.query_range(Bound::unbounded(), Bound::unbounded()), ids);
}

class AllocationFailureTest : public ::testing::Test {
 protected:
  void SetUp() override { bitmap_memory::set_call_gate(&admit_allocation); }
  void TearDown() override {
    g_allocations_left = -1;
    bitmap_memory::set_call_gate(nullptr);
  }
};

TEST_F(AllocationFailureTest, AFailedInsertionLeavesTheTreeAsItWas) {
  BitMapBTree tree;
  std::set<Entry> stored;
  size_t refusals = 0;
  // Ascending distinct keys leave nodes half full, so splits come often and reach a third level;
  // every seventh insertion goes after the last entry of its number instead, where a leaf splits
  // unevenly. Ids repeat (several entries per id).
  for (int64_t i = 0; i < 6000; ++i) {
    const NumericKey key = NumericKey::integer(i % 7 == 6 ? i - 1 : i);
    const auto id = static_cast<uint32_t>(i % 613);
    const bool fresh = !stored.contains(Entry::of(key, id));
    for (long admitted = 0;; ++admitted) {
      ASSERT_LT(admitted, 100) << "insertion " << i << " never gets through";
      g_allocations_left = admitted;
      try {
        const bool inserted = tree.insert(key, id);
        g_allocations_left = -1;
        ASSERT_EQ(inserted, fresh);
        break;
      } catch (const std::bad_alloc&) {
        g_allocations_left = -1;
        ++refusals;
        ASSERT_FALSE(testing::Test::HasFailure());
        expect_holds(tree, stored);
        ASSERT_EQ(tree.size(), stored.size());
      }
    }
    stored.insert(Entry::of(key, id));
    // Removal allocates nothing that can be refused.
    if (i % 5 == 4) {
      const Entry gone = *stored.begin();
      g_allocations_left = 0;
      ASSERT_TRUE(tree.remove(gone.key(), gone.id()));
      g_allocations_left = -1;
      stored.erase(stored.begin());
    }
  }
  expect_holds(tree, stored);
  EXPECT_EQ(tree.height(), 3u);
  EXPECT_GT(refusals, 7000u);
}

}  // namespace
}  // namespace veldrake
