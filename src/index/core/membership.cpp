#include "index/core/membership.h"

#include <algorithm>
#include <utility>

#include "index/core/index_api.h"

namespace veldrake {

static_assert(alignof(IndexAPI) > 1, "an entry keeps its member mark in the address's low bit");

std::size_t Memberships::position_of(const IndexAPI* address) const {
  if (lists_->positions) {
    auto found = lists_->positions->of.find(address);
    return found == lists_->positions->of.end() ? lists_->entries.size() : found->second;
  }
  auto found = std::find_if(lists_->entries.begin(), lists_->entries.end(),
                            [&](const Entry& entry) { return entry.address() == address; });
  return static_cast<std::size_t>(found - lists_->entries.begin());
}

Memberships::Entry::Entry(IndexAPI& held)
    : index(held.weak_from_this()), tagged_address_(reinterpret_cast<std::uintptr_t>(&held)) {}

void Memberships::add(IndexAPI& index) {
  if (!lists_) lists_ = std::make_unique<Lists>();
  const std::size_t position = position_of(&index);
  if (position < lists_->entries.size()) {
    // Two live objects never share an address: a live entry is this index, a dead one held a
    // destroyed index and is reused.
    if (lists_->entries[position].index.expired()) lists_->entries[position] = Entry(index);
    return;
  }
  if (lists_->entries.size() >= (lists_->positions ? lists_->positions->prune_at : kScanned))
    prune();
  lists_->entries.emplace_back(index);
  if (lists_->positions) {
    lists_->positions->of.emplace(&index, lists_->entries.size() - 1);
  } else if (lists_->entries.size() > kScanned) {
    prune();  // builds the position map
  }
}

void Memberships::remove(const IndexAPI& index) {
  if (!lists_) return;
  const std::size_t position = position_of(&index);
  if (position < lists_->entries.size()) erase_at(position);
  // An object out of every index costs nothing for having been in one.
  if (lists_->entries.empty()) lists_.reset();
}

void Memberships::set_member(const IndexAPI& index, bool member) {
  if (!lists_) return;
  const std::size_t position = position_of(&index);
  if (position < lists_->entries.size()) lists_->entries[position].set_member(member);
}

void Memberships::erase_at(std::size_t position) {
  if (lists_->positions) lists_->positions->of.erase(lists_->entries[position].address());
  if (position + 1 < lists_->entries.size()) {
    lists_->entries[position] = std::move(lists_->entries.back());
    if (lists_->positions) lists_->positions->of[lists_->entries[position].address()] = position;
  }
  lists_->entries.pop_back();
}

void Memberships::prune() {
  std::erase_if(lists_->entries, [](const Entry& entry) { return entry.index.expired(); });
  if (lists_->entries.size() <= kScanned) {
    lists_->positions.reset();
    return;
  }
  auto positions = std::make_unique<Positions>();
  positions->of.reserve(lists_->entries.size());
  for (std::size_t i = 0; i < lists_->entries.size(); ++i)
    positions->of.emplace(lists_->entries[i].address(), i);
  positions->prune_at = 2 * lists_->entries.size();
  lists_->positions = std::move(positions);
}

}  // namespace veldrake
