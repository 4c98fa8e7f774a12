#include "base/structures/listed_id_set.h"

#include <algorithm>

namespace veldrake {

ListedIdSet ListedIdSet::of(uint32_t id) {
  ListedIdSet set;
  std::get<std::vector<uint32_t>>(set.ids_).push_back(id);
  return set;
}

bool ListedIdSet::add(uint32_t id) {
  if (Bitmap* ids = std::get_if<Bitmap>(&ids_)) return ids->add(id);
  auto& listed = std::get<std::vector<uint32_t>>(ids_);
  auto at = std::lower_bound(listed.begin(), listed.end(), id);
  if (at != listed.end() && *at == id) return false;
  if (listed.size() < kListed) {
    listed.insert(at, id);
    return true;
  }
  Bitmap grown = Bitmap::of(listed);
  grown.add(id);
  ids_ = std::move(grown);
  return true;
}

bool ListedIdSet::remove(uint32_t id) {
  if (Bitmap* ids = std::get_if<Bitmap>(&ids_)) return ids->remove(id);
  auto& listed = std::get<std::vector<uint32_t>>(ids_);
  auto at = std::lower_bound(listed.begin(), listed.end(), id);
  if (at == listed.end() || *at != id) return false;
  listed.erase(at);
  return true;
}

bool ListedIdSet::contains(uint32_t id) const {
  if (const Bitmap* ids = bitmap()) return ids->contains(id);
  const auto& listed = std::get<std::vector<uint32_t>>(ids_);
  return std::binary_search(listed.begin(), listed.end(), id);
}

bool ListedIdSet::is_empty() const {
  if (const Bitmap* ids = bitmap()) return ids->is_empty();
  return std::get<std::vector<uint32_t>>(ids_).empty();
}

std::span<const uint32_t> ListedIdSet::listed() const {
  if (const auto* listed = std::get_if<std::vector<uint32_t>>(&ids_)) return *listed;
  return {};
}

}  // namespace veldrake
