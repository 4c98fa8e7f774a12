// Evaluation of query expressions and keyword queries over the value indexes of one index.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "index/core/index_api.h"

namespace veldrake {

// The ids within `allowed` that satisfy `expr`.
Bitmap evaluate_query(const RwLocked<QueryMaps>& maps, const Bitmap& allowed,
                      const QueryExpr& expr);

// The number of ids evaluate_query would give; a range on one attribute is counted from the
// ordered index's pieces without building the set.
uint64_t count_query(const RwLocked<QueryMaps>& maps, const Bitmap& allowed, const QueryExpr& expr);

// The ids matching every term of the keyword query (numbers match numerically, like eq), or, with
// `within`, only those of it.
Bitmap filter_index_by_hashes(const RwLocked<QueryMaps>& maps, const HashQuery& query,
                              const Bitmap* within);

// The ids of the one equality `attribute == value` in `map`, the attribute's value index (null:
// none has a value): numbers match numerically, like eq. Read in one step, so no query scope is
// entered: a write shows its object under its old or its new value at every instant. The ids are
// copied into `room` when they fit, or listed ascending in `listed` (a number's, read off its
// ordered index), and `few` views them; otherwise `many` holds them.
struct EqualIds {
  std::span<const uint32_t> few;
  std::vector<uint32_t> listed;
  std::optional<Bitmap> many;
};
EqualIds equal_ids(const QueryMap* map, const PyValue& value, std::span<uint32_t> room);

}  // namespace veldrake
