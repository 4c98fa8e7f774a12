// Micro-benchmarks of the engine structures: the numeric B-tree at a million entries and the
// hybrid id set's union and intersection across variants.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "base/structures/b_tree/b_tree.h"
#include "base/structures/hybrid_set.h"

namespace veldrake {
namespace {

constexpr uint32_t kTreeEntries = 1'000'000;

struct TreeEntry {
  NumericKey key;
  uint32_t id;
};

// A million entries with values spread over [0, kTreeEntries): half integers, half floats.
const std::vector<TreeEntry>& tree_entries() {
  static const std::vector<TreeEntry> entries = [] {
    std::mt19937 random(1);
    std::vector<TreeEntry> result;
    result.reserve(kTreeEntries);
    for (uint32_t id = 0; id < kTreeEntries; ++id) {
      const uint32_t value = random() % kTreeEntries;
      result.push_back(
          {id % 2 == 0 ? NumericKey::integer(value) : NumericKey::floating(value + 0.5), id});
    }
    return result;
  }();
  return entries;
}

BitMapBTree filled_tree() {
  BitMapBTree tree;
  for (const TreeEntry& entry : tree_entries()) tree.insert(entry.key, entry.id);
  return tree;
}

void BM_BTreeInsert(benchmark::State& state) {
  for (auto _ : state) {
    BitMapBTree tree = filled_tree();
    benchmark::DoNotOptimize(tree.size());
    state.PauseTiming();
    tree = BitMapBTree();  // freeing is not part of inserting
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kTreeEntries);
}
BENCHMARK(BM_BTreeInsert)->Unit(benchmark::kMillisecond);

void BM_BTreeRemove(benchmark::State& state) {
  std::vector<TreeEntry> order = tree_entries();
  std::shuffle(order.begin(), order.end(), std::mt19937(2));
  for (auto _ : state) {
    state.PauseTiming();
    BitMapBTree tree = filled_tree();
    state.ResumeTiming();
    for (const TreeEntry& entry : order) tree.remove(entry.key, entry.id);
    benchmark::DoNotOptimize(tree.size());
  }
  state.SetItemsProcessed(state.iterations() * kTreeEntries);
}
BENCHMARK(BM_BTreeRemove)->Unit(benchmark::kMillisecond);

// Queries [x, x + width) for random x, where width is state.range(0) percent of the values.
void BM_BTreeRangeQuery(benchmark::State& state) {
  static const BitMapBTree tree = filled_tree();
  static const Bitmap all_ids = [] {
    std::vector<uint32_t> ids(kTreeEntries);
    std::iota(ids.begin(), ids.end(), 0u);
    return Bitmap::of(ids);
  }();
  const uint32_t width = kTreeEntries / 100 * static_cast<uint32_t>(state.range(0));
  std::mt19937 random(3);
  uint64_t found = 0;
  for (auto _ : state) {
    const uint32_t low = random() % (kTreeEntries - width);
    const Bitmap result =
        tree.query_range(Bound::included(NumericKey::integer(low)),
                         Bound::excluded(NumericKey::integer(low + width)), all_ids);
    found += result.cardinality();
  }
  state.counters["ids/query"] =
      static_cast<double>(found) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_BTreeRangeQuery)->Arg(1)->Arg(30)->Unit(benchmark::kMicrosecond);

enum class Shape { kSmall, kMedium, kLarge };

// A set of the given variant holding `count` ids (arrays hold at most four) spaced by `step`.
HybridSet make_set(Shape shape, uint32_t count, uint32_t first, uint32_t step) {
  HybridSet::IdArray array;
  Bitmap bitmap;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t id = first + i * step;
    if (shape == Shape::kLarge) {
      bitmap.add(id);
    } else {
      array.insert(id);
    }
  }
  switch (shape) {
    case Shape::kSmall:
      return HybridSet::small(array);
    case Shape::kMedium:
      return HybridSet::medium(array);
    case Shape::kLarge:
      break;
  }
  return HybridSet::from_bitmap(std::move(bitmap));
}

enum class Operation { kUnion, kIntersection };

// Copies `left` and combines `right` into it: the copy is part of the cost, as for callers that
// combine a stored set into a fresh result.
void BM_HybridSet(benchmark::State& state, Operation operation, const HybridSet& left,
                  const HybridSet& right) {
  for (auto _ : state) {
    HybridSet result = left;
    if (operation == Operation::kUnion) {
      result.or_inplace(right);
    } else {
      result.and_inplace(right);
    }
    benchmark::DoNotOptimize(result);
  }
}

BENCHMARK_CAPTURE(BM_HybridSet, union_small_small, Operation::kUnion,
                  make_set(Shape::kSmall, 2, 1, 2), make_set(Shape::kSmall, 2, 2, 2));
BENCHMARK_CAPTURE(BM_HybridSet, union_small_small_to_large, Operation::kUnion,
                  make_set(Shape::kSmall, 3, 1, 2), make_set(Shape::kSmall, 3, 2, 2));
BENCHMARK_CAPTURE(BM_HybridSet, union_medium_large, Operation::kUnion,
                  make_set(Shape::kMedium, 4, 1, 3), make_set(Shape::kLarge, 10000, 0, 7));
BENCHMARK_CAPTURE(BM_HybridSet, union_large_large, Operation::kUnion,
                  make_set(Shape::kLarge, 10000, 0, 3), make_set(Shape::kLarge, 10000, 0, 7));
BENCHMARK_CAPTURE(BM_HybridSet, intersect_small_medium, Operation::kIntersection,
                  make_set(Shape::kSmall, 3, 1, 2), make_set(Shape::kMedium, 4, 1, 3));
BENCHMARK_CAPTURE(BM_HybridSet, intersect_small_large, Operation::kIntersection,
                  make_set(Shape::kSmall, 3, 0, 7), make_set(Shape::kLarge, 10000, 0, 3));
BENCHMARK_CAPTURE(BM_HybridSet, intersect_medium_large, Operation::kIntersection,
                  make_set(Shape::kMedium, 4, 0, 7), make_set(Shape::kLarge, 10000, 0, 3));
BENCHMARK_CAPTURE(BM_HybridSet, intersect_large_small, Operation::kIntersection,
                  make_set(Shape::kLarge, 10000, 0, 3), make_set(Shape::kSmall, 3, 0, 7));
BENCHMARK_CAPTURE(BM_HybridSet, intersect_large_large, Operation::kIntersection,
                  make_set(Shape::kLarge, 10000, 0, 3), make_set(Shape::kLarge, 10000, 0, 7));

}  // namespace
}  // namespace veldrake

BENCHMARK_MAIN();
