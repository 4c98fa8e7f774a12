#include "base/structures/b_tree/id_entry_counts.h"

#include <cassert>

namespace veldrake {

void IdEntryCounts::add(uint32_t id) {
  if (present_.add(id)) return;  // the id's first entry: one bitmap step
  if (auto found = several_.find(id); found != several_.end()) {
    ++found->second;
  } else {
    several_.emplace(id, 2);
  }
}

uint32_t IdEntryCounts::count(uint32_t id) const {
  if (const auto found = several_.find(id); found != several_.end()) return found->second;
  return present_.contains(id) ? 1 : 0;
}

void IdEntryCounts::remove(uint32_t id) {
  assert(present_.contains(id));
  const auto found = several_.find(id);
  if (found == several_.end()) {
    present_.remove(id);
  } else if (--found->second == 1) {
    several_.erase(found);
  }
}

}  // namespace veldrake
