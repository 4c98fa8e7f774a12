#include "index/core/filtered_index.h"

#include <utility>

#include "index/core/query/query_ops.h"

namespace veldrake {

FilteredIndex::FilteredIndex(std::shared_ptr<const ViewSource> source, Bitmap ids)
    : source_(std::move(source)), ids_(std::move(ids)) {}

FilteredIndex FilteredIndex::cut_from(std::shared_ptr<const ViewSource> source, Bitmap ids) {
  FilteredIndex view(std::move(source), std::move(ids));
  // A member's tick is issued before its id is found anywhere (IndexAPI::store_and_index).
  if (view.source_->admissions->now() != view.source_->cut) view.ids_ = view.shown_ids();
  return view;
}

FilteredIndex FilteredIndex::reduced(const HashQuery& query) const {
  return FilteredIndex(source_, filter_index_by_hashes(*source_->query_maps, query, &ids_));
}

FilteredIndex FilteredIndex::reduced_query(const QueryExpr& expr) const {
  return FilteredIndex(source_, evaluate_query(*source_->query_maps, ids_, expr));
}

std::vector<StoredIndexable> FilteredIndex::stored_objects() const {
  std::vector<StoredIndexable> objects;
  for_each_record(*source_->items, ids_, [&](const StoredItem& item) {
    if (shows(item)) objects.push_back(item.object);
  });
  return objects;
}

bool FilteredIndex::untouched() const {
  return answer_stamp().unchanged();
}

Bitmap FilteredIndex::live_ids() const {
  return untouched() ? ids_ : shown_ids();
}

Bitmap FilteredIndex::shown_ids() const {
  std::vector<uint32_t> shown;
  for_each_record(*source_->items, ids_, [&](const StoredItem& item) {
    if (shows(item)) shown.push_back(item.id());
  });
  return Bitmap::of(shown);
}

uint64_t FilteredIndex::size() const {
  return untouched() ? ids_.cardinality() : live_ids().cardinality();
}

bool FilteredIndex::contains(uint32_t id) const {
  if (!ids_.contains(id)) return false;
  auto slots = source_->items->read();
  const StoredItem* item = slots->find(id);
  return item && shows(*item);
}

std::optional<StoredIndexable> FilteredIndex::member_from(uint32_t id) const {
  auto slots = source_->items->read();
  for (std::optional<uint32_t> next = ids_.next_from(id); next; next = ids_.next_from(*next + 1)) {
    const StoredItem* item = slots->find(*next);
    if (item && shows(*item)) return item->object;
    if (*next == UINT32_MAX) break;
  }
  return std::nullopt;
}

std::vector<std::pair<PyValue, uint64_t>> FilteredIndex::group_counts(std::string_view path) const {
  Bitmap shown = live_ids();
  std::vector<std::pair<PyValue, uint64_t>> counts;
  for (Group& group : group_ids(*source_->query_maps, path, &shown))
    counts.emplace_back(std::move(group.key_showing(shown)), group.ids.cardinality());
  return counts;
}

std::vector<uint32_t> FilteredIndex::order_by(std::string_view attr,
                                              const PageRequest& page) const {
  // Most views lose no member: their ids are walked as they are, without a copy.
  std::optional<Bitmap> pruned;
  if (!untouched()) pruned = live_ids();
  const Bitmap& shown = pruned ? *pruned : ids_;
  return ordered_ids(*source_->query_maps, attr, RankedIds{&shown, [&] { return shown; }}, page);
}

}  // namespace veldrake
