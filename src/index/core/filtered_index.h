// A read-only view: a fixed set of ids over the value indexes and records of the index it was cut
// from. The shared stores keep changing with that index (attribute writes are visible through
// them); the view's ids never change.
#pragma once

#include <memory>
#include <vector>

#include "index/core/index_api.h"

namespace veldrake {

// The engine behind one FilteredIndex: a fixed set of ids read through the stores of an index.
class FilteredIndex {
 public:
  FilteredIndex(std::shared_ptr<RwLocked<QueryMaps>> query_maps,
                std::shared_ptr<RwLocked<Items>> items, Bitmap ids);

  // The ids of this view matching the keyword query. No interpreter lock needed.
  FilteredIndex reduced(const HashQuery& query) const;
  // The ids of this view matching the expression.
  FilteredIndex reduced_query(const QueryExpr& expr) const;
  // The view's stored objects, ascending by id.
  std::vector<StoredIndexable> stored_objects() const;
  // The records of the source index (any id, not only the view's).
  const std::shared_ptr<RwLocked<Items>>& items() const { return items_; }

  const Bitmap& ids() const { return ids_; }

 private:
  std::shared_ptr<RwLocked<QueryMaps>> query_maps_;
  std::shared_ptr<RwLocked<Items>> items_;
  Bitmap ids_;
};

}  // namespace veldrake
