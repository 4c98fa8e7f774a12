#include "index/core/holders_memo.h"

#include <algorithm>
#include <utility>

namespace veldrake {

namespace {

bool same_attrs(const std::vector<uint32_t>& kept, std::span<const uint32_t> attrs) {
  return std::equal(kept.begin(), kept.end(), attrs.begin(), attrs.end());
}

}  // namespace

std::optional<Bitmap> HoldersMemo::find(uint64_t changes, std::span<const uint32_t> attrs,
                                        const Bitmap& held, const Bitmap* within) const {
  const uint64_t size = held.cardinality();
  std::lock_guard lock(mutex_);
  for (const Entry& entry : entries_) {
    if (entry.changes == changes && same_attrs(entry.attrs, attrs) &&
        entry.held.cardinality() == size && entry.held == held) {
      return within ? Bitmap::intersection(entry.holders, *within) : entry.holders;
    }
  }
  return std::nullopt;
}

void HoldersMemo::keep(uint64_t changes, std::span<const uint32_t> attrs, Bitmap held,
                       Bitmap holders) {
  Entry fresh{changes, std::vector<uint32_t>(attrs.begin(), attrs.end()), std::move(held),
              std::move(holders)};
  std::lock_guard lock(mutex_);
  auto outdated = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& entry) { return entry.changes != changes; });
  if (outdated != entries_.end()) {
    *outdated = std::move(fresh);
  } else if (entries_.size() < kEntries) {
    entries_.push_back(std::move(fresh));
  } else {
    entries_[oldest_] = std::move(fresh);
    oldest_ = (oldest_ + 1) % kEntries;
  }
}

}  // namespace veldrake
