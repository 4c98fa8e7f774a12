// An attribute path resolved against an index's value indexes: its first segment's value index
// and, for a dotted path, the attribute ids of the segments after it.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "index/core/index_api.h"

namespace veldrake {

class DottedPath {
 public:
  // Null when a segment names no attribute that has values here (the path then finds nothing).
  static std::optional<DottedPath> resolve(const RwLocked<QueryMaps>& maps, std::string_view path);

  bool is_dotted() const { return !attrs_.empty(); }
  // The members' value index of the first segment.
  const QueryMap& first() const { return *first_; }
  // The value index of the last segment over the reached objects, or null.
  const QueryMap* last_values() const;
  // The objects from which the path leads to one of `reached` (ids found in last_values()): the
  // holders along the path, back to the members, less those a reduction withheld from the first
  // segment. Only those in `within`, unless it is null.
  Bitmap holders_of(Bitmap reached, const Bitmap* within) const;

 private:
  DottedPath(const QueryMap* first, std::vector<uint32_t> attrs)
      : first_(first), attrs_(std::move(attrs)) {}

  const QueryMap* first_;
  std::vector<uint32_t> attrs_;  // every segment, the first included; empty for one segment
};

}  // namespace veldrake
