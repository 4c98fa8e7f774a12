#include "index/core/index_api.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <exception>
#include <functional>
#include <new>
#include <span>
#include <system_error>
#include <thread>
#include <utility>

#include "base/structures/string_interner/interner.h"
#include "index/core/filtered_index.h"
#include "index/core/membership.h"
#include "index/core/object_graph_lock.h"
#include "index/core/object_lock.h"
#include "index/core/python/binding.h"
#include "index/core/query/dotted_path.h"
#include "index/core/query/query_ops.h"
#include "index/core/query/query_scope.h"

namespace veldrake {
namespace {

// About what indexing a scalar of `kind` costs, in units of some 250 instructions (as measured
// building objects with a few numbers, strings and an Indexable owner): an entry of the
// exact-value map, one of a B-tree (a descent with a bitmap per level), or an Indexable (its
// entry and the link to its holder).
unsigned scalar_cost(ValueKind kind) {
  switch (kind) {
    case ValueKind::Int:
    case ValueKind::Float:
    case ValueKind::Time:
      return 5;
    case ValueKind::Ind:
      return 10;
    default:
      return 2;
  }
}

unsigned indexing_cost(const StoredValue& value) {
  if (value.kind() != ValueKind::Iterable) return scalar_cost(value.kind());
  // A long container outweighs everything else whatever its elements: a few tell enough.
  constexpr std::size_t kSampled = 64;
  const std::span<const PyValue> cells = value.element_cells();
  unsigned cost = scalar_cost(ValueKind::Str) *
                  static_cast<unsigned>(std::min(value.text_leaf_count(), kSampled));
  for (const PyValue& cell : cells.first(std::min(cells.size(), kSampled)))
    cost += scalar_cost(cell.kind());
  return cost;
}

}  // namespace

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

std::shared_ptr<IndexAPI> IndexAPI::create() {
  return std::shared_ptr<IndexAPI>(new IndexAPI());
}

IndexAPI::IndexAPI()
    : query_maps(std::make_shared<RwLocked<QueryMaps>>()),
      items(std::make_shared<RwLocked<Items>>()),
      admissions_(std::make_shared<Admissions>()),
      allowed_items_(std::make_shared<Bitmap>()),
      reachable_(std::make_shared<ReachableObjects>()) {}

Bitmap& IndexAPI::own_members(std::shared_ptr<Bitmap>& members) {
#ifdef __SANITIZE_THREAD__
  // ThreadSanitizer does not model fences: there every change works on a copy, whose ordering
  // the reference count's own atomics show.
  members = std::make_shared<Bitmap>(*members);
#else
  // Held here alone, the count cannot grow meanwhile: snapshots are taken under the read lock.
  // The fence orders the reads of the last snapshot dropped before the changes made here.
  if (members.use_count() > 1) members = std::make_shared<Bitmap>(*members);
  std::atomic_thread_fence(std::memory_order_acquire);
#endif
  return *members;
}

bool IndexAPI::add_object(const StoredIndexable& object, const InterruptWatch* watch) {
  SharedMutex::ReadGuard adding(additions_);
  ObjectState& state = object.state();
  std::optional<StoredItem> leaving;  // dropped after the lock
  ObjectLock lock(state, has_nested_values);
  return admit(object, state, ValueScope{}, lock, is_member(object.id()), leaving, watch);
}

template <class Guard>
bool IndexAPI::admit(const StoredIndexable& object, ObjectState& state, ValueScope scope,
                     Guard& lock, bool was_member, std::optional<StoredItem>& leaving,
                     const InterruptWatch* watch) {
  const uint32_t id = object.id();
  std::size_t begun = 0;
  bool whole = false;
  try {
    state.memberships.add(*this);
    whole = store_and_index(StoredItem{object}, state, scope, begun, watch);
  } catch (const std::bad_alloc&) {
    // A member's values were all indexed already: its entries are as they were.
    if (!was_member) unindex(id, state, scope, begun, leaving);
    lock.commit();
    throw;
  }
  if (!whole) leaving = take_out(id, state);
  lock.commit();
  return whole;
}

std::size_t IndexAPI::add_objects(const std::vector<StoredIndexable>& objects,
                                  const InterruptWatch* watch) {
  constexpr std::size_t kParallelBatch = 8192;
  SharedMutex::ReadGuard adding(additions_);
  const std::shared_ptr<const Bitmap> members_before = members();
  const Bitmap& before = *members_before;
  std::atomic<std::size_t> stop{objects.size()};
  // Values that reach nested objects are indexed under the object graph lock, which serialises
  // all such work in the process; the other values need only each object's own lock. So for a
  // large batch a second thread indexes the nested share (ValueScope) while this one indexes the
  // plain share. Each pass registers every object (even one with no value in its share: a write may
  // give it one before the other pass comes by) before indexing its share, under the object's lock,
  // so every later write sees the membership and keeps both shares right; a value indexed twice
  // changes nothing. When Ctrl-C stops this pass, the other stops at the next chunk, and this one
  // completes the objects the other got to, so that every member is indexed whole. Out of
  // memory, the objects only one pass got to are taken out again instead.
  std::pair<ValueScope, ValueScope> shares{ValueScope{ValueScope::kPlain},
                                           ValueScope{ValueScope::kNested}};
  if (!objects.empty()) {
    // A batch is most often made of objects of one shape: the first tells which split balances.
    ObjectState& first = objects.front().state();
    auto lock = first.lock.lock_to_read();
    shares = ValueScope::split_like(first);
  }
  const auto& [plain_share, nested_share] = shares;
  std::exception_ptr nested_failure;
  PassEnd plain{0};
  PassEnd nested{0};
  std::optional<std::jthread> nested_pass;
  if (objects.size() >= kParallelBatch && std::thread::hardware_concurrency() >= 2) {
    try {
      // Counted as engine work by this thread's, which lasts until the join: a fork waits for
      // both (were it to start meanwhile, this thread would wait for the other in engine work,
      // and the other for the fork to end before it may begin).
      nested_pass.emplace([&] {
        NoGilScope no_gil;
        try {
          nested = add_values(objects, 0, nested_share, stop, nullptr, before);
        } catch (...) {
          nested_failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      // No thread to be had (its stack needs memory too): one pass does all.
    }
  }
  if (!nested_pass) {
    const PassEnd pass = add_values(objects, 0, ValueScope{}, stop, watch, before);
    if (pass.out_of_memory) throw std::bad_alloc();
    return pass.end;
  }
  plain = add_values(objects, 0, plain_share, stop, watch, before);
  nested_pass.reset();
  if (nested_failure) std::rethrow_exception(nested_failure);
  if (plain.out_of_memory || nested.out_of_memory) {
    if (plain.end < nested.end) undo_pass(objects, plain.end, nested.end, nested_share, before);
    if (nested.end < plain.end) undo_pass(objects, nested.end, plain.end, plain_share, before);
    throw std::bad_alloc();
  }
  if (plain.end == objects.size()) return plain.end;
  std::atomic<std::size_t> no_stop{objects.size()};
  const PassEnd completed =
      add_values(objects, plain.end, plain_share, no_stop, nullptr, before, nested.end);
  // Stopped by Ctrl-C: out of memory as well, the objects only the other pass completed go again.
  if (completed.out_of_memory) undo_pass(objects, completed.end, nested.end, nested_share, before);
  return completed.end;
}

IndexAPI::PassEnd IndexAPI::add_values(const std::vector<StoredIndexable>& objects,
                                       std::size_t begin, ValueScope scope,
                                       std::atomic<std::size_t>& stop, const InterruptWatch* watch,
                                       const Bitmap& before, std::size_t end) {
  // The graph lock is taken once per chunk rather than for each object with nested values (which
  // would lock the object, unlock it, take the graph lock and lock it again). Chunks stay short
  // so that other threads' nested operations wait little, and Ctrl-C is seen between them.
  constexpr std::size_t kChunk = 512;
  end = std::min(end, objects.size());
  for (std::size_t start = begin; start < end; start += kChunk) {
    if (start > begin && watch && watch->seen()) stop = start;
    if (start >= stop) return PassEnd{start};
    std::optional<ObjectGraphLock> graph;
    if (scope.pass != ValueScope::kPlain) graph.emplace();
    for (std::size_t i = start; i < std::min(end, start + kChunk); ++i) {
      ObjectState& state = objects[i].state();
      std::optional<StoredItem> leaving;  // dropped after the lock
      try {
        auto lock = state.lock.lock();
        if (!admit(objects[i], state, scope, lock, before.contains(objects[i].id()), leaving,
                   scope.pass == ValueScope::kAll ? watch : nullptr))
          return PassEnd{i};
      } catch (const std::bad_alloc&) {
        stop = 0;
        return PassEnd{i, true};
      }
    }
  }
  return PassEnd{end};
}

void IndexAPI::undo_pass(const std::vector<StoredIndexable>& objects, std::size_t from,
                         std::size_t to, ValueScope scope, const Bitmap& before) {
  std::optional<ObjectGraphLock> graph;
  if (scope.pass != ValueScope::kPlain) graph.emplace();
  for (std::size_t i = from; i < to; ++i) {
    if (before.contains(objects[i].id())) continue;
    ObjectState& state = objects[i].state();
    std::optional<StoredItem> leaving;  // dropped after the lock
    auto lock = state.lock.lock();
    unindex(objects[i].id(), state, scope, SIZE_MAX, leaving);
    lock.commit();
  }
}

std::pair<IndexAPI::ValueScope, IndexAPI::ValueScope> IndexAPI::ValueScope::split_like(
    const ObjectState& first) {
  ValueScope nested{kNested, has_nested_values(first)};
  if (nested.nested_apart) {
    // The costliest plain attributes first, each to the lighter share; a few dozen are plenty
    // to even out the shares, and kept on the stack, as the object's lock is held.
    constexpr std::size_t kWeighed = 32;
    std::array<std::pair<unsigned, uint32_t>, kWeighed> plain;  // (cost, attribute)
    std::size_t weighed = 0;
    unsigned nested_load = 0;
    for (const auto& [attr, value] : first.attributes) {
      if (value.involves_indexable())
        nested_load += indexing_cost(value);
      else if (weighed < kWeighed)
        plain[weighed++] = {indexing_cost(value), attr};
    }
    std::sort(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(weighed),
              std::greater<>());
    unsigned plain_load = 0;
    for (const auto& [cost, attr] : std::span(plain.data(), weighed)) {
      if (nested_load < plain_load && nested.moved_count < kMostMoved) {
        nested.moved[nested.moved_count++] = attr;
        nested_load += cost;
      } else {
        plain_load += cost;
      }
    }
  }
  ValueScope plain = nested;
  plain.pass = kPlain;
  return {plain, nested};
}

bool IndexAPI::store_and_index(StoredItem item, ObjectState& state, ValueScope scope,
                               std::size_t& begun, const InterruptWatch* watch) {
  uint32_t id = item.id();
  // The record and member stores either take their change or fail unchanged.
  bool was_member = false;
  {
    auto slots = items->write_failure_safe();
    // A record in place is this object's (it keeps the object, and so its id, alive): the
    // second pass of a batch finds it so, and leaves both stores as they are.
    was_member = slots->find(id) != nullptr;
    if (!was_member) {
      item.admitted = admissions_->next();
      slots->put(id, std::move(item));
    }
  }
  // After the tick: a view cut before it that finds this id among its members can tell it is
  // newer (FilteredIndex::cut_from).
  if (!was_member) {
    auto members = allowed_items_.write_failure_safe();
    own_members(*members).add(id);
  }
  state.memberships.set_member(*this, true);
  // An object already reached has its values indexed as such and what it holds linked: only a
  // new member can start a long registration, and only a new one is taken out when stopped.
  if (was_member || reachable_->is_reached(id)) watch = nullptr;
  for (const auto& [attr, stored] : state.attributes) {
    ++begun;
    // Each pass reads only its share: making a PyValue of text hashes it.
    if (!scope.holds(attr, stored)) continue;
    const PyValue value = stored.value();
    query_map_for(attr)->insert(value, id);
    if (value.involves_indexable() && !reachable_->relink(*this, id, attr, nullptr, &value, watch))
      return false;
  }
  return true;
}

void IndexAPI::unindex(uint32_t id, ObjectState& state, ValueScope scope, std::size_t begun,
                       std::optional<StoredItem>& leaving) {
  std::size_t seen = 0;
  for (const auto& [attr, stored] : state.attributes) {
    if (seen++ == begun) break;
    if (!scope.holds(attr, stored)) continue;
    const PyValue value = stored.value();
    if (QueryMap* map = value_index(attr)) map->remove(value, id);
    // The attribute that failed linked nothing.
    if (seen < begun && value.involves_indexable())
      reachable_->relink(*this, id, attr, &value, nullptr);
  }
  leaving = items->update([&](Items& slots) { return slots.take(id); });
  allowed_items_.update([&](std::shared_ptr<Bitmap>& members) { own_members(members).remove(id); });
  state.memberships.set_member(*this, false);
  if (!reachable_->is_reached(id)) state.memberships.remove(*this);
  if (leaving) admissions_->departed();
}

QueryMap* IndexAPI::value_index(uint32_t attr) const {
  // Null until placed, and a map placed meanwhile is in the locked maps already.
  if (attr < kDirectMaps)
    if (QueryMap* map = direct_maps_[attr].load(std::memory_order_acquire)) return map;
  return query_map_at(*query_maps, attr);
}

QueryMap* IndexAPI::query_map_for(uint32_t attr) {
  if (QueryMap* existing = value_index(attr)) return existing;
  auto fresh = std::make_shared<QueryMap>(reachable_);
  auto maps = query_maps->write();
  // Another thread may have placed a map meanwhile; every value goes into the one in place.
  QueryMap* placed = maps->try_emplace(attr, std::move(fresh)).first->second.get();
  if (attr < kDirectMaps) direct_maps_[attr].store(placed, std::memory_order_release);
  maps.commit();
  return placed;
}

QueryMap* IndexAPI::stage_write(const AttributeChange& change, bool member) {
  if (!member) return nullptr;
  QueryMap* map = query_map_for(change.attr);
  map->insert_replacing(change.old_scalars, change.new_scalars, change.id);
  return map;
}

void IndexAPI::unstage_write(const AttributeChange& change, QueryMap* staged) {
  if (staged) staged->withdraw_replacing(change.old_scalars, change.new_scalars, change.id);
}

void IndexAPI::commit_write(const AttributeChange& change, QueryMap* staged) {
  const auto& [id, attr, old, value, old_scalars, new_scalars] = change;
  if (old && staged) staged->drop_replaced(*old_scalars, new_scalars, id);
  reachable_->replace_value(id, attr, old, &value);
  if (value.involves_indexable() || (old && old->involves_indexable()))
    reachable_->relink(*this, id, attr, old, &value);
}

bool IndexAPI::has_object_id(uint32_t id) const {
  return items->read()->find(id) != nullptr;
}

bool IndexAPI::is_member(uint32_t id) const {
  return (*allowed_items_.read())->contains(id);
}

bool IndexAPI::remove_object(const StoredIndexable& object) {
  SharedMutex::WriteGuard no_additions(additions_);
  ObjectState& state = object.state();
  // Dropped after the locks: the record's reference is released with the interpreter lock.
  std::optional<StoredItem> leaving;
  ObjectLock lock(state, has_nested_values);
  leaving = take_out(object.id(), state);
  lock.commit();
  no_additions.commit();
  return leaving.has_value();
}

std::optional<StoredItem> IndexAPI::take_out(uint32_t id, ObjectState& state) {
  std::optional<StoredItem> leaving = items->update([&](Items& slots) { return slots.take(id); });
  if (!leaving) return leaving;
  {
    auto members = allowed_items_.write();
    Bitmap& allowed = own_members(*members);
    allowed.remove(id);
    if (allowed.is_empty()) allowed = Bitmap();
    members.commit();
  }
  state.memberships.set_member(*this, false);
  // Under the object's lock, so no write is halfway through this index. A member still reached
  // keeps its membership: writes must keep its values right for the dotted paths through it.
  for (const auto& [attr, stored] : state.attributes) {
    const PyValue value = stored.value();
    if (QueryMap* map = value_index(attr)) map->remove(value, id);
  }
  if (!reachable_->member_left(*this, id, state)) state.memberships.remove(*this);
  admissions_->departed();
  return leaving;
}

void IndexAPI::clear() {
  SharedMutex::WriteGuard no_additions(additions_);
  // No link changes meanwhile. Every membership goes first, each under its object's lock, so no
  // write reaches the index afterwards; then the stores are emptied.
  ObjectGraphLock graph;
  for (const StoredIndexable& object : member_objects()) {
    ObjectState& state = object.state();
    auto lock = state.lock.lock();
    state.memberships.remove(*this);
    lock.commit();
  }
  reachable_->clear(*this);
  QueryMaps maps = *query_maps->read();
  for (const auto& [attr, map] : maps) map->clear();
  items->update([](Items& slots) { slots = Items(); });
  allowed_items_.update(
      [](std::shared_ptr<Bitmap>& members) { members = std::make_shared<Bitmap>(); });
  admissions_->departed();
  no_additions.commit();
}

std::shared_ptr<const Bitmap> IndexAPI::members() const {
  return *allowed_items_.read();
}

uint64_t IndexAPI::size() const {
  return (*allowed_items_.read())->cardinality();
}

std::optional<StoredIndexable> IndexAPI::member_from(uint32_t id) const {
  // A member halfway out (its record already gone) is passed over.
  for (uint64_t from = id; from <= UINT32_MAX;) {
    std::optional<uint32_t> next = (*allowed_items_.read())->next_from(static_cast<uint32_t>(from));
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
  return ordered_ids(*query_maps, attr, RankedIds{nullptr, [this] { return *members(); }}, page);
}

std::shared_ptr<const ViewSource> IndexAPI::view_source() const {
  return std::make_shared<const ViewSource>(
      ViewSource{query_maps, items, admissions_, admissions_->now(), admissions_->departures()});
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
  std::shared_ptr<const ViewSource> source = view_source();
  return FilteredIndex::cut_from(std::move(source), get_by_attribute(query));
}

Bitmap IndexAPI::evaluate(const QueryExpr& expr) const {
  std::shared_ptr<const Bitmap> allowed = members();
  return evaluate_query(*query_maps, *allowed, expr);
}

uint64_t IndexAPI::count(const QueryExpr& expr) const {
  std::shared_ptr<const Bitmap> allowed = members();
  return count_query(*query_maps, *allowed, expr);
}

FilteredIndex IndexAPI::reduced_query(const QueryExpr& expr) const {
  std::shared_ptr<const ViewSource> source = view_source();
  return FilteredIndex::cut_from(std::move(source), evaluate(expr));
}

Groups group_ids(const RwLocked<QueryMaps>& maps, std::string_view path, const Bitmap* within) {
  QueryScope scope;
  std::optional<DottedPath> resolved = DottedPath::resolve(maps, path);
  if (!resolved) return {};
  if (!resolved->is_dotted()) return resolved->first().group_values(within);
  const QueryMap* last = resolved->last_values();
  if (!last) return {};
  Groups groups;
  for (Group& group : last->group_values(nullptr)) {
    group.ids = resolved->holders_of(std::move(group.ids), within);
    if (group.ids.is_empty()) continue;
    if (group.integer) group.float_ids = resolved->holders_of(std::move(group.float_ids), nullptr);
    groups.push_back(std::move(group));
  }
  return groups;
}

std::vector<std::pair<PyValue, FilteredIndex>> IndexAPI::group_by(std::string_view path) const {
  std::shared_ptr<const ViewSource> source = view_source();
  std::shared_ptr<const Bitmap> allowed = members();
  std::vector<std::pair<PyValue, FilteredIndex>> views;
  Groups groups = group_ids(*query_maps, path, allowed.get());
  views.reserve(groups.size());
  for (Group& group : groups) {
    FilteredIndex view = FilteredIndex::cut_from(source, std::move(group.ids));
    if (view.ids().is_empty()) continue;
    views.emplace_back(std::move(group.key_showing(view.ids())), std::move(view));
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
  return stored_objects_of(*items, *members());
}

}  // namespace veldrake
