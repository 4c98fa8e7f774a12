// A read-only view: a fixed set of ids over the value indexes and records of the index it was cut
// from. The shared stores keep changing with that index (attribute writes are visible through
// them); the view's ids never change, and of those it shows only the objects that are still
// the members it was cut from (see admissions.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "index/core/admissions.h"
#include "index/core/index_api.h"

namespace veldrake {

// The stores of an index a view reads, and the moment it was cut.
struct ViewSource {
  std::shared_ptr<RwLocked<QueryMaps>> query_maps;
  std::shared_ptr<RwLocked<Items>> items;
  std::shared_ptr<const Admissions> admissions;
  uint64_t cut = 0;         // the admission tick current when the view was cut
  uint64_t departures = 0;  // the departures counted by then
};

// The engine behind one FilteredIndex: a fixed set of ids read through the stores of an index.
class FilteredIndex {
 public:
  FilteredIndex(std::shared_ptr<const ViewSource> source, Bitmap ids);
  // The view of `ids`, computed after `source` was taken. Objects that joined meanwhile may be
  // among them, newer than the cut: they are taken out, so that until a member leaves the view
  // shows every id it holds.
  static FilteredIndex cut_from(std::shared_ptr<const ViewSource> source, Bitmap ids);

  // The ids of this view matching the keyword query. No interpreter lock needed.
  FilteredIndex reduced(const HashQuery& query) const;
  // The ids of this view matching the expression.
  FilteredIndex reduced_query(const QueryExpr& expr) const;
  // The view's stored objects, ascending by id.
  std::vector<StoredIndexable> stored_objects() const;
  // The records of the source index (any id, not only the view's).
  const std::shared_ptr<RwLocked<Items>>& items() const { return source_->items; }
  // The admission tick of the newest record the view shows.
  uint64_t cut() const { return source_->cut; }

  // The ids the view was cut with, including those of objects that have left since.
  const Bitmap& ids() const { return ids_; }
  // The ids of the objects the view shows now.
  Bitmap live_ids() const;
  // How many objects the view shows.
  uint64_t size() const;
  // Whether the view shows the object with id `id`.
  bool contains(uint32_t id) const;
  // The shown object with the smallest id at or above `id`.
  std::optional<StoredIndexable> member_from(uint32_t id) const;
  // Group sizes of the attribute path among the shown objects, as IndexAPI::group_ids groups.
  std::vector<std::pair<PyValue, uint64_t>> group_counts(std::string_view path) const;
  // The ids of the shown objects ordered by the number in `attr` (see ranking.h).
  std::vector<uint32_t> order_by(std::string_view attr, const PageRequest& page) const;
  // The stamp of the view's ids.
  AnswerStamp answer_stamp() const {
    return {source_->admissions.get(), source_->departures, source_->cut};
  }

 private:
  // Whether no member has left the index since the cut, so every id is still shown.
  bool untouched() const;
  bool shows(const StoredItem& item) const { return item.admitted <= source_->cut; }
  // The ids of the objects the view shows, looked up one by one.
  Bitmap shown_ids() const;

  std::shared_ptr<const ViewSource> source_;  // never null
  Bitmap ids_;
};

}  // namespace veldrake
