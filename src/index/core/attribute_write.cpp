#include "index/core/attribute_write.h"

#include <new>
#include <optional>
#include <vector>

#include "index/core/index_api.h"
#include "index/core/membership.h"
#include "index/core/object_lock.h"
#include "index/core/python/python_ref.h"
#include "index/core/query/query_map.h"

namespace veldrake {
namespace {

// Stores `value` in the map of a locked object and updates every index holding it; returns the
// value replaced, for the caller to drop with the interpreter lock and no other lock. Each index
// takes the new value in before it lets the old one go, so a query running meanwhile finds the
// object under one or the other. The map is written first: an index that comes to reach this
// object through the new value (a cycle closing here) registers what the map holds. Out of
// memory, the write fails whole: every index and the map go back to the old value.
template <class Lock>
std::optional<StoredValue> store_and_update(const IndexableRecord& record, uint32_t attr,
                                            StoredValue value, Lock& lock) {
  ObjectState& state = record.state;
  std::optional<StoredValue> replaced = state.attributes.insert(attr, std::move(value));
  // The indexes take the values in the engine's form, which may allocate: made inside the try.
  std::optional<PyValue> stored;
  std::optional<PyValue> old;
  std::optional<ScalarSet> old_scalars;
  std::optional<ScalarSet> new_scalars;
  const auto change = [&] {
    return AttributeChange{
        record.id,   attr, old ? &*old : nullptr, *stored, old_scalars ? &*old_scalars : nullptr,
        *new_scalars};
  };
  std::vector<std::shared_ptr<IndexAPI>> indexes;
  std::size_t staged = 0;
  try {
    stored.emplace(state.attributes.get(attr)->value());
    if (replaced) {
      old.emplace(replaced->value());
      old_scalars.emplace(QueryMap::scalars_of(*old));
    }
    new_scalars.emplace(QueryMap::scalars_of(*stored));
    indexes = state.memberships.live();
    for (; staged < indexes.size(); ++staged) indexes[staged]->stage_write(change());
  } catch (const std::bad_alloc&) {
    for (std::size_t i = 0; i < staged; ++i) indexes[i]->unstage_write(change());
    // What leaves the map is dropped by the caller, like a replaced value.
    replaced = replaced ? state.attributes.insert(attr, std::move(*replaced))
                        : state.attributes.erase(attr);
    lock.mark_failure_safe();
    throw;
  }
  for (const std::shared_ptr<IndexAPI>& index : indexes) index->commit_write(change());
  return replaced;
}

}  // namespace

// The store into the map and the update of the indexes happen under one hold of the object's
// lock, so concurrent writes of one object apply whole, one after the other, and no index can
// keep a value that the map no longer has.
void write_attribute(const IndexableRecord& record, uint32_t attr, StoredValue value) {
  std::optional<StoredValue>
      replaced;  // dropped below, with the interpreter lock and no other lock
  ObjectState& state = record.state;
  if (!value.involves_indexable()) {
    // Taking the object's lock with the interpreter lock held is safe, as no holder of an
    // object's lock waits for it. With no nested object at stake, a write then takes a few
    // engine locks, each briefly: releasing the interpreter lock for it would cost several times
    // the write, and taking it back can wait a whole switch interval for a thread running Python.
    // So it is kept unless the write has to wait for one of them.
    std::optional<GilUntilBlocking> engine_work;  // ends after the object's lock
    auto guard = state.lock.lock();
    StoredValue* current = state.attributes.get(attr);
    if (!(current && current->involves_indexable())) {
      // An object in no index needs the store alone. A replaced value without a Python object
      // goes at once (dropping it runs no Python code); another leaves with `value`, once the
      // lock is released.
      if (state.memberships.empty()) {
        if (current && !current->object())
          *current = std::move(value);
        else if (current)
          std::swap(*current, value);
        else
          replaced = state.attributes.insert(attr, std::move(value));
      } else {
        engine_work.emplace();
        replaced = store_and_update(record, attr, std::move(value), guard);
      }
      return;
    }
  }
  ReleasedGil released;
  ObjectLock lock(state, [&](const ObjectState& locked) {
    const StoredValue* current = locked.attributes.get(attr);
    return value.involves_indexable() || (current && current->involves_indexable());
  });
  replaced = store_and_update(record, attr, std::move(value), lock);
}

}  // namespace veldrake
