#include "index/core/reachable_objects.h"

#include <algorithm>
#include <optional>

#include "index/core/index_api.h"
#include "index/core/membership.h"
#include "index/core/object_graph_lock.h"
#include "index/core/object_lock.h"
#include "index/core/query/query_map.h"

namespace veldrake {
namespace {

// The distinct Indexable objects `value` holds (itself, or the elements of a container).
std::vector<StoredIndexable> held_objects(const PyValue* value) {
  std::vector<StoredIndexable> held;
  if (!value || !value->involves_indexable()) return held;
  auto take = [&](const PyValue& scalar) {
    if (scalar.kind() != ValueKind::Ind) return;
    const auto& object = std::get<StoredIndexable>(scalar.primitive());
    const uint32_t id = object.id();
    auto same = [&](const StoredIndexable& seen) { return seen.id() == id; };
    if (std::none_of(held.begin(), held.end(), same)) held.push_back(object);
  };
  if (value->kind() == ValueKind::Iterable) {
    for (const PyValue& element : value->element_cells()) take(element);
  } else {
    take(*value);
  }
  return held;
}

bool holds(const std::vector<StoredIndexable>& objects, uint32_t id) {
  return std::any_of(objects.begin(), objects.end(),
                     [&](const StoredIndexable& object) { return object.id() == id; });
}

}  // namespace

bool ReachableObjects::relink(IndexAPI& index, uint32_t holder, uint32_t attr, const PyValue* old,
                              const PyValue* now, const InterruptWatch* watch) {
  check(ObjectGraphLock::held_here(), "links changed without the object graph lock");
  if (!old && now && now->kind() == ValueKind::Ind) {
    // One object where there was nothing, as when a member is added: no lists to compare.
    Work work;
    links_.update([&](Links& links) {
      link(links, work, holder, attr, std::get<StoredIndexable>(now->primitive()));
    });
    return finish(index, work, watch);
  }
  if (old && !now && old->kind() == ValueKind::Ind) {
    // One object let go of, as when a member leaves: likewise.
    Work work;
    links_.update([&](Links& links) {
      unlink(links, work, holder, attr, std::get<StoredIndexable>(old->primitive()).id());
    });
    return finish(index, work, watch);
  }
  std::vector<StoredIndexable> before = held_objects(old);
  std::vector<StoredIndexable> after = held_objects(now);
  if (before.empty() && after.empty()) return true;
  Work work;
  {
    auto links = links_.write();
    for (const StoredIndexable& target : after) {
      if (!holds(before, target.id())) link(*links, work, holder, attr, target);
    }
    for (const StoredIndexable& target : before) {
      if (!holds(after, target.id())) unlink(*links, work, holder, attr, target.id());
    }
    links.commit();
  }
  return finish(index, work, watch);
}

void ReachableObjects::link(Links& links, Work& work, uint32_t holder, uint32_t attr,
                            const StoredIndexable& target) {
  if (links.holders.size() <= attr) links.holders.resize(static_cast<std::size_t>(attr) + 1);
  auto& by_target = links.holders[attr];
  if (!by_target) by_target = std::make_unique<PagedSlots<ListedIdSet>>();
  const uint32_t id = target.id();
  if (ListedIdSet* holders = by_target->find(id)) {
    if (!holders->add(holder)) return;
  } else {
    by_target->put(id, ListedIdSet::of(holder));
  }
  ++links.changes;
  if (Reached* reached = links.reached.find(id)) {
    ++reached->holder_links;
    return;
  }
  // A reference of the store's own, which the index reports to the cycle collector: the
  // holder's value that led here may go while others still reach the object.
  links.reached.put(
      id, Reached{StoredIndexable{PyHandle::deferred_reference(target.python_handle)}, 1});
  ++links.reached_count;
  work.reach.push(target);
}

void ReachableObjects::unlink(Links& links, Work& work, uint32_t holder, uint32_t attr,
                              uint32_t target) {
  if (links.holders.size() <= attr || !links.holders[attr]) return;
  PagedSlots<ListedIdSet>& by_target = *links.holders[attr];
  ListedIdSet* holders = by_target.find(target);
  if (!holders || !holders->remove(holder)) return;
  if (holders->is_empty()) by_target.take(target);
  ++links.changes;
  Reached* reached = links.reached.find(target);
  if (!reached) return;  // released by a sweep already
  if (--reached->holder_links == 0) {
    work.release.push(target);
  } else {
    ++broken_links_;
  }
}

bool ReachableObjects::finish(IndexAPI& index, Work& work, const InterruptWatch* watch) {
  // A few milliseconds of registrations between looks at the watch.
  constexpr std::size_t kWatchEvery = 1024;
  // Registering only adds links and releasing only removes them, so doing every registration
  // first means an object is never released before it was registered.
  bool whole = true;
  for (std::size_t done = 1; !work.reach.empty(); ++done) {
    if (watch && done % kWatchEvery == 0 && watch->seen()) {
      work.reach.clear();
      whole = false;
      break;
    }
    StoredIndexable object = work.reach.pop();
    register_reached(index, work, object);
  }
  while (!work.release.empty()) {
    uint32_t id = work.release.pop();
    release(index, work, id, false);
  }
  sweep_if_due(index);
  return whole;
}

void ReachableObjects::sweep_if_due(IndexAPI& index) {
  // A sweep visits every member and reached object.
  if (broken_links_ > reached_after_sweep_ + index.size() + 64) sweep(index);
}

bool ReachableObjects::member_left(IndexAPI& index, uint32_t id, const ObjectState& state) {
  if (!has_nested_values(state)) return is_reached(id);
  if (!is_reached(id)) {
    // Unlinking only breaks links, so it cannot make the object reached.
    for (const auto& [attr, stored] : state.attributes) {
      if (!stored.involves_indexable()) continue;
      const PyValue value = stored.value();
      relink(index, id, attr, &value, nullptr);
    }
    return false;
  }
  // What it holds stays linked; it may have been all that kept a cycle reached, and a sweep due
  // now may release it.
  ++broken_links_;
  sweep_if_due(index);
  return is_reached(id);
}

void ReachableObjects::clear(IndexAPI& index) {
  check(ObjectGraphLock::held_here(), "reached objects cleared without the object graph lock");
  std::vector<StoredIndexable> reached;
  links_.read()->reached.for_each(
      [&](uint32_t, const Reached& entry) { reached.push_back(entry.object); });
  for (const StoredIndexable& object : reached) {
    ObjectState& state = object.state();
    auto lock = state.lock.lock();
    state.memberships.remove(index);
    lock.commit();
  }
  links_.update([](Links& links) {
    const uint64_t changes = links.changes;
    links = Links();
    links.changes = changes + 1;
  });
  std::vector<std::shared_ptr<QueryMap>> maps = *values_.read();
  for (const auto& map : maps) {
    if (map) map->clear();
  }
  broken_links_ = 0;
  reached_after_sweep_ = 0;
}

void ReachableObjects::register_reached(IndexAPI& index, Work& work,
                                        const StoredIndexable& object) {
  const uint32_t id = object.id();
  ObjectState& state = object.state();
  auto lock = state.lock.lock();
  state.memberships.add(index);
  for (const auto& [attr, stored] : state.attributes) {
    const PyValue value = stored.value();
    value_map_for(attr).insert(value, id);
    for (const StoredIndexable& target : held_objects(&value)) {
      links_.update([&](Links& links) { link(links, work, id, attr, target); });
    }
  }
  lock.commit();
}

void ReachableObjects::release(IndexAPI& index, Work& work, uint32_t id, bool force) {
  std::optional<StoredIndexable> object;
  {
    auto links = links_.read();
    if (const Reached* reached = links->reached.find(id)) object = reached->object;
  }
  if (!object) return;
  // Locked before it stops being reached: a concurrent write of a plain value then either comes
  // before and is found below, or after and leaves the value indexes alone.
  ObjectState& state = object->state();
  auto lock = state.lock.lock();
  const bool released = links_.update([&](Links& links) {
    const Reached* reached = links.reached.find(id);
    if (!reached || (reached->holder_links > 0 && !force)) return false;
    links.reached.take(id);
    --links.reached_count;
    return true;
  });
  if (!released) {
    lock.commit();
    return;
  }
  // A member keeps what it holds linked: it is a holder in its own right.
  const bool member = index.is_member(id);
  for (const auto& [attr, stored] : state.attributes) {
    const PyValue value = stored.value();
    if (QueryMap* map = find_value_map(attr)) map->remove(value, id);
    if (member) continue;
    for (const StoredIndexable& target : held_objects(&value)) {
      links_.update([&](Links& links) { unlink(links, work, id, attr, target.id()); });
    }
  }
  if (!member) state.memberships.remove(index);
  lock.commit();
}

void ReachableObjects::sweep(IndexAPI& index) {
  broken_links_ = 0;
  Bitmap marked;
  std::vector<StoredIndexable> pending = index.member_objects();
  while (!pending.empty()) {
    StoredIndexable object = std::move(pending.back());
    pending.pop_back();
    ObjectState& state = object.state();
    auto lock = state.lock.lock();
    for (const auto& [attr, stored] : state.attributes) {
      if (!stored.involves_indexable()) continue;
      const PyValue value = stored.value();
      for (StoredIndexable& target : held_objects(&value)) {
        const uint32_t id = target.id();
        if (marked.contains(id) || !is_reached(id)) continue;
        marked.add(id);
        pending.push_back(std::move(target));
      }
    }
    lock.commit();
  }
  std::vector<uint32_t> cut_off;
  links_.read()->reached.for_each([&](uint32_t id, const Reached&) {
    if (!marked.contains(id)) cut_off.push_back(id);
  });
  Work work;
  for (uint32_t id : cut_off) release(index, work, id, true);
  // Releasing a cut-off object unlinks only other cut-off ones (or members' links it held).
  while (!work.release.empty()) {
    uint32_t id = work.release.pop();
    release(index, work, id, false);
  }
  broken_links_ = 0;
  reached_after_sweep_ = links_.read()->reached_count;
}

void ReachableObjects::replace_value(uint32_t id, uint32_t attr, const PyValue* old,
                                     const PyValue* now) {
  if (!is_reached(id)) return;
  if (old && now) {
    value_map_for(attr).replace(*old, *now, id);
  } else if (now) {
    value_map_for(attr).insert(*now, id);
  } else if (QueryMap* map = old ? find_value_map(attr) : nullptr) {
    map->remove(*old, id);
  }
}

bool ReachableObjects::is_reached(uint32_t id) const {
  return links_.read()->reached.find(id) != nullptr;
}

std::size_t ReachableObjects::reached_count() const {
  return links_.read()->reached_count;
}

const QueryMap* ReachableObjects::value_map(uint32_t attr) const {
  return find_value_map(attr);
}

QueryMap* ReachableObjects::find_value_map(uint32_t attr) const {
  auto maps = values_.read();
  return attr < maps->size() ? (*maps)[attr].get() : nullptr;
}

QueryMap& ReachableObjects::value_map_for(uint32_t attr) {
  if (QueryMap* existing = find_value_map(attr)) return *existing;
  auto maps = values_.write();
  if (maps->size() <= attr) maps->resize(static_cast<std::size_t>(attr) + 1);
  if (!(*maps)[attr]) (*maps)[attr] = std::make_shared<QueryMap>();
  maps.commit();
  return *(*maps)[attr];
}

Bitmap ReachableObjects::holders(const Links& links, uint32_t attr, const Bitmap& held) {
  std::vector<const Bitmap*> large;
  std::vector<uint32_t> listed;
  if (attr >= links.holders.size() || !links.holders[attr]) return Bitmap();
  const PagedSlots<ListedIdSet>& by_target = *links.holders[attr];
  // Holder sets are many and spread over the whole id range: uniting them one by one merges ever
  // longer arrays. Large sets are united in one pass instead, and the ids of small ones gathered
  // and added at once.
  held.for_each_block([&](std::span<const uint32_t> block) {
    constexpr std::size_t kAhead = 8;
    for (std::size_t i = 0; i < block.size(); ++i) {
      if (i + kAhead < block.size()) {
        if (const void* slot = by_target.slot_address(block[i + kAhead])) __builtin_prefetch(slot);
      }
      const ListedIdSet* holders = by_target.find(block[i]);
      if (!holders) continue;
      if (const Bitmap* bitmap = holders->bitmap()) {
        large.push_back(bitmap);
      } else {
        std::span<const uint32_t> ids = holders->listed();
        listed.insert(listed.end(), ids.begin(), ids.end());
      }
    }
  });
  if (large.empty()) return Bitmap::of(listed);
  Bitmap gathered = Bitmap::of(listed);
  large.push_back(&gathered);
  return Bitmap::union_many(large);
}

Bitmap ReachableObjects::holders_along(std::span<const uint32_t> attrs, Bitmap held,
                                       const Bitmap* within) const {
  auto links = links_.read();
  if (std::optional<Bitmap> kept = memo_.find(links->changes, attrs, held, within))
    return std::move(*kept);
  Bitmap walked = held;
  for (auto attr = attrs.rbegin(); attr != attrs.rend() && !walked.is_empty(); ++attr)
    walked = holders(*links, *attr, walked);
  memo_.keep(links->changes, attrs, std::move(held), walked);
  if (within) walked.and_inplace(*within);
  return walked;
}

}  // namespace veldrake
