#include "index/core/index_api.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <thread>
#include <utility>

#include "base/structures/string_interner/interner.h"
#include "index/core/filtered_index.h"
#include "index/core/membership.h"
#include "index/core/object_graph_lock.h"
#include "index/core/object_lock.h"
#include "index/core/query/query_ops.h"
#include "index/core/query/query_scope.h"
#include "index/core/registration_chain.h"

namespace veldrake {
QueryMap* query_map_at(const RwLocked<QueryMaps>& maps, uint32_t attr) {
  auto read = maps.read();
  auto found = read->find(attr);
  return found == read->end() ? nullptr : found->second.get();
}

std::vector<StoredIndexable> stored_objects_of(const RwLocked<Items>& items, const Bitmap& ids) {
  std::vector<StoredIndexable> objects;
  for_each_record(items, ids, [&](const StoredItem& item) { objects.push_back(item.object); });
  return objects;
}

std::shared_ptr<IndexAPI> IndexAPI::create(const std::shared_ptr<IndexAPI>& parent) {
  return std::shared_ptr<IndexAPI>(new IndexAPI(parent, parent ? parent->depth_ + 1 : 0));
}

IndexAPI::IndexAPI(std::weak_ptr<IndexAPI> parent, uint32_t depth)
    : query_maps(std::make_shared<RwLocked<QueryMaps>>()),
      items(std::make_shared<RwLocked<Items>>()),
      admissions_(std::make_shared<Admissions>()),
      parent_(std::move(parent)),
      depth_(depth) {}

void IndexAPI::add_object(const StoredIndexable& object) {
  SharedMutex::ReadGuard adding(additions_);
  ObjectState& state = object.state();
  ObjectLock lock(state, has_nested_values);
  state.memberships.add(shared_from_this());
  store_and_index(StoredItem{nullptr, object}, state, ValueScope::kAll);
}

void IndexAPI::add_objects(const std::vector<StoredIndexable>& objects) {
  constexpr std::size_t kParallelBatch = 8192;
  SharedMutex::ReadGuard adding(additions_);
  if (objects.size() < kParallelBatch || std::thread::hardware_concurrency() < 2) {
    add_values(objects, ValueScope::kAll);
    return;
  }
  // Values that reach nested objects are indexed under the object graph lock, which serialises
  // all such work in the process; the other values need only each object's own lock. So a second
  // thread indexes the nested values while this one indexes the rest. Each pass registers every
  // object (even one with no value in its share: a write may give it one before the other pass
  // comes by) before indexing its share, under the object's lock, so every later write sees the
  // membership and keeps both shares right; a value indexed twice changes nothing.
  std::exception_ptr nested_failure;
  {
    std::jthread nested_pass([&] {
      NoGilScope no_gil;
      try {
        add_values(objects, ValueScope::kNested);
      } catch (...) {
        nested_failure = std::current_exception();
      }
    });
    add_values(objects, ValueScope::kPlain);
  }
  if (nested_failure) std::rethrow_exception(nested_failure);
}

void IndexAPI::add_values(const std::vector<StoredIndexable>& objects, ValueScope scope) {
  // The graph lock is taken once per chunk rather than for each object with nested values (which
  // would lock the object, unlock it, take the graph lock and lock it again). Chunks stay short
  // so that other threads' nested operations wait little.
  constexpr std::size_t kChunk = 512;
  for (std::size_t start = 0; start < objects.size(); start += kChunk) {
    std::optional<ObjectGraphLock> graph;
    if (scope != ValueScope::kPlain) graph.emplace();
    const std::size_t end = std::min(objects.size(), start + kChunk);
    for (std::size_t i = start; i < end; ++i) {
      ObjectState& state = objects[i].state();
      auto lock = state.lock.lock();
      state.memberships.add(shared_from_this());
      store_and_index(StoredItem{nullptr, objects[i]}, state, scope);
    }
  }
}

void IndexAPI::store_and_index(StoredItem item, const ObjectState& state, ValueScope scope) {
  uint32_t id = item.id();
  allowed_items_.write()->add(id);
  {
    auto slots = items->write();
    const StoredItem* existing = slots->find(id);
    item.admitted = existing ? existing->admitted : admissions_->next();
    slots->put(id, std::move(item));
  }
  RegistrationChain chain(id);
  for (const auto& [attr, value] : state.attributes) {
    const bool wanted =
        scope == ValueScope::kAll || value.involves_indexable() == (scope == ValueScope::kNested);
    if (wanted) add_index(id, attr, value);
  }
}

QueryMap* IndexAPI::query_map_for(uint32_t attr) {
  if (QueryMap* existing = query_map_at(*query_maps, attr)) return existing;
  // Built outside the lock: a new map creates its nested index.
  auto fresh = std::make_shared<QueryMap>(shared_from_this());
  auto maps = query_maps->write();
  // Another thread may have placed a map meanwhile; every value goes into the one in place.
  return maps->try_emplace(attr, std::move(fresh)).first->second.get();
}

void IndexAPI::add_index(uint32_t id, uint32_t attr, const PyValue& value) {
  query_map_for(attr)->insert(value, id);
}

void IndexAPI::replace_index(uint32_t id, uint32_t attr, const PyValue& old, const PyValue& value) {
  query_map_for(attr)->replace(old, value, id);
}

void IndexAPI::remove_index(uint32_t id, uint32_t attr, const PyValue& value) {
  if (QueryMap* map = query_map_at(*query_maps, attr)) map->remove(value, id);
}

bool IndexAPI::has_object_id(uint32_t id) const {
  return items->read()->find(id) != nullptr;
}

bool IndexAPI::remove_object(const StoredIndexable& object) {
  SharedMutex::WriteGuard no_additions(additions_);
  ObjectState& state = object.state();
  ObjectLock lock(state, has_nested_values);
  const uint32_t id = object.id();
  // Dropped after the locks: the record's reference is released with the interpreter lock.
  std::optional<StoredItem> leaving;
  {
    auto slots = items->write();
    if (!slots->find(id)) return false;
    leaving = slots->take(id);
  }
  // Under the object's lock, so no write is halfway through this index, and none that follows
  // reaches it.
  state.memberships.remove(*this);
  forget_values(id, state);
  {
    auto allowed = allowed_items_.write();
    allowed->remove(id);
    if (allowed->is_empty()) *allowed = Bitmap();
  }
  admissions_->departed();
  return true;
}

void IndexAPI::clear() {
  SharedMutex::WriteGuard no_additions(additions_);
  release_all();
}

void IndexAPI::release_all() {
  for (const StoredIndexable& object : member_objects()) {
    ObjectState& state = object.state();
    auto lock = state.lock.lock();
    state.memberships.remove(*this);
  }
  QueryMaps maps = *query_maps->read();
  for (const auto& [attr, map] : maps) map->clear();
  *items->write() = Items();
  *allowed_items_.write() = Bitmap();
  admissions_->departed();
}

void IndexAPI::forget_values(uint32_t id, const ObjectState& state) {
  for (const auto& [attr, value] : state.attributes) {
    if (!value.involves_indexable()) remove_index(id, attr, value);
  }
  forget_nested_values(id, state);
}

void IndexAPI::forget_nested_values(uint32_t id, const ObjectState& state) {
  for (const auto& [attr, value] : state.attributes) {
    if (value.involves_indexable()) remove_index(id, attr, value);
  }
}

void IndexAPI::add_nested(const StoredIndexable& object, uint32_t parent_id) {
  check(ObjectGraphLock::held_here(), "nested registration without the object graph lock");
  uint32_t id = object.id();
  if (depth_ > kMaxNestingDepth || id == parent_id || RegistrationChain::contains(id)) return;
  if (auto parent = parent_.lock(); parent && parent->ancestors_of(parent_id).contains(id)) return;

  ObjectState& state = object.state();
  auto lock = state.lock.lock();
  state.memberships.add(shared_from_this());
  {
    auto slots = items->write();
    if (StoredItem* existing = slots->find(id)) {
      if (existing->parent) existing->parent->ids.add(parent_id);
      return;
    }
  }
  store_and_index(StoredItem{std::make_unique<StoredItemParent>(
                                 StoredItemParent{HybridSet::of(parent_id), weak_from_this()}),
                             object},
                  state, ValueScope::kAll);
}

void IndexAPI::remove_nested(const StoredIndexable& object, uint32_t parent_id) {
  uint32_t id = object.id();
  std::optional<StoredItem> leaving;
  {
    auto slots = items->write();
    StoredItem* item = slots->find(id);
    if (!item || !item->parent) return;
    HybridSet& holders = item->parent->ids;
    holders.remove(parent_id);
    if (!holders.is_empty()) return;
    leaving = slots->take(id);
  }
  ObjectState& state = object.state();
  auto lock = state.lock.lock();
  for (const auto& [attr, value] : state.attributes) remove_index(id, attr, value);
  state.memberships.remove(*this);
  auto allowed = allowed_items_.write();
  allowed->remove(id);
  if (allowed->is_empty()) *allowed = Bitmap();
}

Bitmap IndexAPI::ancestors_of(uint32_t id) const {
  std::optional<HybridSet> holders;
  {
    auto slots = items->read();
    const StoredItem* item = slots->find(id);
    if (item && item->parent) holders = item->parent->ids;
  }
  Bitmap result;
  if (!holders) return result;
  std::shared_ptr<IndexAPI> parent = parent_.lock();
  holders->for_each([&](uint32_t holder) {
    if (parent) result.or_inplace(parent->ancestors_of(holder));
    result.add(holder);
    return true;
  });
  return result;
}

Bitmap IndexAPI::direct_parents(const Bitmap& ids) const {
  // Holder sets are many and spread over the whole id range: uniting them one by one merges ever
  // longer arrays. Large sets are united in one pass instead, and the ids of small ones sorted
  // and added at once.
  std::vector<const Bitmap*> large;
  std::vector<uint32_t> loose;
  auto slots = items->read();
  ids.for_each([&](uint32_t id) {
    const StoredItem* item = slots->find(id);
    if (!item || !item->parent) return;
    const HybridSet& holders = item->parent->ids;
    if (const Bitmap* bitmap = holders.large_bitmap()) {
      large.push_back(bitmap);
    } else {
      holders.for_each([&](uint32_t holder) { loose.push_back(holder); });
    }
  });
  std::sort(loose.begin(), loose.end());
  Bitmap parents = Bitmap::of(loose);
  large.push_back(&parents);
  return Bitmap::union_many(large);
}

Bitmap IndexAPI::members() const {
  return *allowed_items_.read();
}

uint64_t IndexAPI::size() const {
  return allowed_items_.read()->cardinality();
}

std::optional<StoredIndexable> IndexAPI::member_from(uint32_t id) const {
  // A member halfway out (its record already gone) is passed over.
  for (uint64_t from = id; from <= UINT32_MAX;) {
    std::optional<uint32_t> next = allowed_items_.read()->next_from(static_cast<uint32_t>(from));
    if (!next) break;
    {
      auto slots = items->read();
      if (const StoredItem* item = slots->find(*next)) return item->object;
    }
    from = uint64_t{*next} + 1;
  }
  return std::nullopt;
}

std::vector<uint32_t> IndexAPI::order_by(std::string_view attr, const PageRequest& page) const {
  // The value indexes hold members only, so the walk needs no filter (nor a copy of the members).
  return ordered_ids(*query_maps, attr, RankedIds{nullptr, [this] { return members(); }}, page);
}

ViewSource IndexAPI::view_source() const {
  return ViewSource{query_maps, items, admissions_, admissions_->now(), admissions_->departures()};
}

std::vector<uint32_t> ordered_ids(const RwLocked<QueryMaps>& maps, std::string_view attr,
                                  const RankedIds& ids, const PageRequest& page) {
  QueryScope scope;
  std::optional<uint32_t> id = interner().lookup(attr);
  if (const QueryMap* map = id ? query_map_at(maps, *id) : nullptr) {
    QueryScope::reading(*map);
    return map->ranked(ids, page);
  }
  return rank_by_order(OrderedIndex(), ids, page);
}

Bitmap IndexAPI::get_by_attribute(const HashQuery& query) const {
  return filter_index_by_hashes(*query_maps, query, nullptr);
}

FilteredIndex IndexAPI::reduced(const HashQuery& query) const {
  ViewSource source = view_source();
  return FilteredIndex(std::move(source), get_by_attribute(query));
}

Bitmap IndexAPI::evaluate(const QueryExpr& expr) const {
  Bitmap allowed = members();
  Bitmap result = evaluate_query(*query_maps, allowed, expr);
  result.and_inplace(allowed);
  return result;
}

FilteredIndex IndexAPI::reduced_query(const QueryExpr& expr) const {
  ViewSource source = view_source();
  return FilteredIndex(std::move(source), evaluate(expr));
}

Groups group_ids(const RwLocked<QueryMaps>& maps, std::string_view path) {
  QueryScope scope;
  auto [first, rest] = attr_parts(path);
  std::optional<uint32_t> attr = interner().lookup(first);
  QueryMap* map = attr ? query_map_at(maps, *attr) : nullptr;
  if (!map) return {};
  QueryScope::reading(*map);
  if (!rest) return map->group_values();
  IndexAPI& nested = map->nested();
  Groups groups = group_ids(*nested.query_maps, *rest);
  for (Group& group : groups)
    group.ids = HybridSet::from_bitmap(nested.direct_parents(group.ids.as_bitmap()));
  return groups;
}

std::vector<std::pair<PyValue, FilteredIndex>> IndexAPI::group_by(std::string_view path) const {
  ViewSource source = view_source();
  Bitmap allowed = members();
  std::vector<std::pair<PyValue, FilteredIndex>> views;
  for (Group& group : group_ids(*query_maps, path)) {
    Bitmap ids = group.ids.as_bitmap();
    ids.and_inplace(allowed);
    if (ids.is_empty()) continue;
    views.emplace_back(std::move(group.value), FilteredIndex(source, std::move(ids)));
  }
  return views;
}

void IndexAPI::reduce(const HashQuery& query) {
  Bitmap keep = get_by_attribute(query);
  QueryMaps maps = *query_maps->read();
  for (const auto& [attr, map] : maps) map->retain(keep);
}

void IndexAPI::report_merge(const IndexAPI& other) const {
  QueryMaps mine = *query_maps->read();
  QueryMaps theirs = *other.query_maps->read();
  std::vector<uint32_t> shared;  // reported in name order
  for (const auto& [attr, map] : mine) {
    if (theirs.contains(attr)) shared.push_back(attr);
  }
  std::sort(shared.begin(), shared.end());
  for (uint32_t attr : shared) {
    std::fprintf(stderr, "Merging attribute with %p and %p\n", static_cast<void*>(mine[attr].get()),
                 static_cast<void*>(theirs[attr].get()));
  }
  std::fflush(stderr);
}

std::vector<StoredIndexable> IndexAPI::member_objects() const {
  return stored_objects_of(*items, members());
}

}  // namespace veldrake
