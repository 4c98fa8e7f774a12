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

// The store into the map and the update of the indexes happen under one hold of the object's
// lock, so concurrent writes of one object apply whole, one after the other, and no index can
// keep a value that the map no longer has. Each index takes the new value in before it lets the
// old one go, so a query running meanwhile finds the object under one or the other. The map is
// written first: an index that comes to reach this object through the new value (a cycle closing
// here) registers what the map holds.
void write_attribute(const IndexableRecord& record, uint32_t attr, PyValue value) {
  std::optional<PyValue> replaced;  // dropped below, with the interpreter lock and no other lock
  ObjectState& state = *record.state;
  if (!value.involves_indexable()) {
    // An object in no index, with no nested object at stake, needs the store alone: releasing
    // the interpreter lock for it would cost several times the store. Taking the object's lock
    // with the interpreter lock held is safe, as no holder of an object's lock waits for it.
    auto guard = state.lock.lock();
    PyValue* current = state.attributes.get(attr);
    if (state.memberships.empty() && !(current && current->involves_indexable())) {
      // A replaced value leaves with `value`, once the lock is released.
      if (current)
        std::swap(*current, value);
      else
        replaced = state.attributes.insert(attr, std::move(value));
      return;
    }
  }
  {
    ReleasedGil released;
    ObjectLock lock(state, [&](const ObjectState& locked) {
      const PyValue* current = locked.attributes.get(attr);
      return value.involves_indexable() || (current && current->involves_indexable());
    });
    // Out of memory, the write fails whole: every index and the map go back to the old value.
    replaced = state.attributes.insert(attr, std::move(value));  // fails unchanged
    const PyValue& stored = *state.attributes.get(attr);
    const PyValue* old = replaced ? &*replaced : nullptr;
    std::optional<ScalarSet> old_scalars;
    std::optional<ScalarSet> new_scalars;
    const auto change = [&] {
      return AttributeChange{record.id,   attr, old, stored, old_scalars ? &*old_scalars : nullptr,
                             *new_scalars};
    };
    std::vector<std::shared_ptr<IndexAPI>> indexes;
    std::size_t staged = 0;
    try {
      if (old) old_scalars.emplace(QueryMap::scalars_of(*old));
      new_scalars.emplace(QueryMap::scalars_of(stored));
      indexes = state.memberships.live();
      for (; staged < indexes.size(); ++staged) indexes[staged]->stage_write(change());
    } catch (const std::bad_alloc&) {
      for (std::size_t i = 0; i < staged; ++i) indexes[i]->unstage_write(change());
      // What leaves the map is dropped below, like a replaced value.
      replaced = replaced ? state.attributes.insert(attr, std::move(*replaced))
                          : state.attributes.erase(attr);
      lock.mark_failure_safe();
      throw;
    }
    for (const std::shared_ptr<IndexAPI>& index : indexes) index->commit_write(change());
  }
}

}  // namespace veldrake
