// Evaluation of query expressions and keyword queries over the value indexes of one index.
#pragma once

#include <optional>
#include <string_view>
#include <utility>

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

}  // namespace veldrake
