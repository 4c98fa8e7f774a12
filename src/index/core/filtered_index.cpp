#include "index/core/filtered_index.h"

#include <utility>

#include "index/core/query/query_ops.h"

namespace veldrake {

FilteredIndex::FilteredIndex(std::shared_ptr<RwLocked<QueryMaps>> query_maps,
                             std::shared_ptr<RwLocked<Items>> items, Bitmap ids)
    : query_maps_(std::move(query_maps)), items_(std::move(items)), ids_(std::move(ids)) {}

FilteredIndex FilteredIndex::reduced(const HashQuery& query) const {
  return FilteredIndex(query_maps_, items_, filter_index_by_hashes(*query_maps_, query, &ids_));
}

FilteredIndex FilteredIndex::reduced_query(const QueryExpr& expr) const {
  Bitmap matching = evaluate_query(*query_maps_, ids_, expr);
  matching.and_inplace(ids_);
  return FilteredIndex(query_maps_, items_, std::move(matching));
}

std::vector<StoredIndexable> FilteredIndex::stored_objects() const {
  return stored_objects_of(*items_, ids_);
}

}  // namespace veldrake
