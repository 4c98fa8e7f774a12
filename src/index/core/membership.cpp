#include "index/core/membership.h"

#include <algorithm>
#include <utility>

namespace veldrake {

std::size_t Memberships::position_of(const IndexAPI* address) const {
  if (positions_) {
    auto found = positions_->of.find(address);
    return found == positions_->of.end() ? entries_.size() : found->second;
  }
  auto found = std::find_if(entries_.begin(), entries_.end(),
                            [&](const Entry& entry) { return entry.address == address; });
  return static_cast<std::size_t>(found - entries_.begin());
}

void Memberships::add(const std::shared_ptr<IndexAPI>& index) {
  const std::size_t position = position_of(index.get());
  if (position < entries_.size()) {
    // Two live objects never share an address: a live entry is this index, a dead one held a
    // destroyed index and is reused.
    if (entries_[position].index.expired()) entries_[position].index = index;
    return;
  }
  if (entries_.size() >= (positions_ ? positions_->prune_at : kScanned)) prune();
  entries_.push_back(Entry{index.get(), index});
  if (positions_) {
    positions_->of.emplace(index.get(), entries_.size() - 1);
  } else if (entries_.size() > kScanned) {
    prune();  // builds the position map
  }
}

void Memberships::remove(const IndexAPI& index) {
  const std::size_t position = position_of(&index);
  if (position < entries_.size()) erase_at(position);
  // An object out of every index costs nothing for having been in one.
  if (entries_.empty()) {
    entries_.shrink_to_fit();
    positions_.reset();
  }
}

void Memberships::erase_at(std::size_t position) {
  if (positions_) positions_->of.erase(entries_[position].address);
  if (position + 1 < entries_.size()) {
    entries_[position] = std::move(entries_.back());
    if (positions_) positions_->of[entries_[position].address] = position;
  }
  entries_.pop_back();
}

std::vector<std::shared_ptr<IndexAPI>> Memberships::live() {
  std::vector<std::shared_ptr<IndexAPI>> live;
  live.reserve(entries_.size());
  for (const Entry& entry : entries_) {
    if (auto index = entry.index.lock()) live.push_back(std::move(index));
  }
  // Dropping the dead entries costs about what this walk did.
  if (2 * live.size() < entries_.size()) prune();
  return live;
}

void Memberships::prune() {
  std::erase_if(entries_, [](const Entry& entry) { return entry.index.expired(); });
  if (entries_.size() <= kScanned) {
    positions_.reset();
    return;
  }
  auto positions = std::make_unique<Positions>();
  positions->of.reserve(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) positions->of.emplace(entries_[i].address, i);
  positions->prune_at = 2 * entries_.size();
  positions_ = std::move(positions);
}

}  // namespace veldrake
