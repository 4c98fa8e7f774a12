#include "index/core/membership.h"

#include <algorithm>
#include <functional>

namespace veldrake {
namespace {

void drop_dead_and(std::vector<std::weak_ptr<IndexAPI>>& list, const IndexAPI* also) {
  std::erase_if(list, [&](const std::weak_ptr<IndexAPI>& entry) {
    std::shared_ptr<IndexAPI> index = entry.lock();
    return !index || index.get() == also;
  });
}

}  // namespace

void register_membership(ObjectState& state, const std::shared_ptr<IndexAPI>& index) {
  // Most objects join their first index, and a nested object is registered again for each of
  // its holders: neither needs the list rebuilt.
  if (state.memberships.empty()) {
    state.memberships.push_back(index);
    return;
  }
  for (const auto& entry : state.memberships) {
    if (entry.lock() == index) return;
  }
  std::vector<std::shared_ptr<IndexAPI>> live = live_memberships(state);
  if (std::find(live.begin(), live.end(), index) == live.end()) live.push_back(index);
  std::sort(live.begin(), live.end(),
            [](const auto& a, const auto& b) { return std::less<>()(a.get(), b.get()); });
  state.memberships.assign(live.begin(), live.end());
}

void unregister_membership(ObjectState& state, const IndexAPI& index) {
  drop_dead_and(state.memberships, &index);
  // An object out of every index costs nothing for having been in one.
  if (state.memberships.empty()) state.memberships.shrink_to_fit();
}

std::vector<std::shared_ptr<IndexAPI>> live_memberships(const ObjectState& state) {
  std::vector<std::shared_ptr<IndexAPI>> live;
  live.reserve(state.memberships.size());
  for (const auto& entry : state.memberships) {
    if (auto index = entry.lock()) live.push_back(std::move(index));
  }
  return live;
}

}  // namespace veldrake
