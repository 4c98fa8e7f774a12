#include "index/core/query/ranking.h"

#include <algorithm>
#include <cstddef>
#include <optional>

#include "base/structures/b_tree/ordered_walk.h"

namespace veldrake {
namespace {

// Collects the page from ids offered in rank order, skipping those ranked already.
class PageFill {
 public:
  explicit PageFill(const PageRequest& page) : to_skip_(page.offset), limit_(page.limit) {}

  void offer(uint32_t id) {
    if (is_full() || ranked_.contains(id)) return;
    ranked_.add(id);
    if (to_skip_ > 0) {
      --to_skip_;
    } else {
      ids_.push_back(id);
    }
  }
  bool is_full() const { return ids_.size() >= limit_; }
  // The ids offered so far, each once.
  const Bitmap& ranked() const { return ranked_; }
  std::vector<uint32_t> take() { return std::move(ids_); }

 private:
  uint64_t to_skip_;
  uint64_t limit_;
  Bitmap ranked_;
  std::vector<uint32_t> ids_;
};

}  // namespace

std::vector<uint32_t> rank_by_order(const OrderedIndex& values, const RankedIds& ids,
                                    const PageRequest& page) {
  PageFill fill(page);
  if (page.limit == 0) return fill.take();

  // Entries of one number may carry both kinds (1 and 1.0), which the tree keeps apart; the ids
  // of a run of equal keys are gathered and offered in id order.
  std::optional<OrderedNumber> run_number;
  std::vector<uint32_t> run;
  auto close_run = [&] {
    std::sort(run.begin(), run.end());
    for (uint32_t id : run) fill.offer(id);
    run.clear();
    run_number.reset();
  };
  auto visit = [&](const Entry& entry) {
    if (run_number != entry.number()) {
      close_run();
      if (fill.is_full()) return false;
      run_number = entry.number();
    }
    run.push_back(entry.id());
    return true;
  };
  for (std::size_t kind = 0; kind < kOrderedKinds; ++kind) {
    const BitMapBTree* tree = values.tree(static_cast<OrderedKind>(kind));
    if (!tree) continue;
    const bool walked_all = walk_entries(tree->root(), ids.within, page.descending, visit);
    // A run never spans kinds: equal keys of two kinds are different values.
    close_run();
    if (!walked_all || fill.is_full()) return fill.take();
  }

  Bitmap unranked = Bitmap::difference(ids.all(), fill.ranked());
  for (uint32_t id : unranked) {
    if (fill.is_full()) break;
    fill.offer(id);
  }
  return fill.take();
}

}  // namespace veldrake
