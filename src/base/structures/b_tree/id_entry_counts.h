// How many of a tree's entries carry each id, kept so that a removal knows whether the id lives
// on elsewhere. Most ids have a single entry, so the cost is one bitmap of present ids plus a
// count only for the ids with two or more entries.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "base/structures/bitmap.h"

namespace veldrake {

class IdEntryCounts {
 public:
  // Records one more entry carrying `id`.
  void add(uint32_t id);
  // Records one entry fewer carrying `id` (which must have one).
  void remove(uint32_t id);
  // Whether two or more entries carry `id`.
  bool has_several(uint32_t id) const { return several_.contains(id); }
  // Whether every id carried by an entry is in `ids`.
  bool all_within(const Bitmap& ids) const { return present_.is_subset_of(ids); }
  // Whether any id has two or more entries.
  bool any_several() const { return !several_.empty(); }
  // How many entries carry `id`.
  uint32_t count(uint32_t id) const;

 private:
  Bitmap present_;                                  // ids carried by at least one entry
  std::unordered_map<uint32_t, uint32_t> several_;  // entry count of ids carried by two or more
};

}  // namespace veldrake
