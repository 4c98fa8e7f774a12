#include "index/core/attribute_write.h"

#include <optional>

#include "index/core/index_api.h"
#include "index/core/membership.h"
#include "index/core/object_lock.h"
#include "index/core/python/python_ref.h"

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
    const PyValue* current = state.attributes.get(attr);
    if (state.memberships.empty() && !(current && current->involves_indexable())) {
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
    replaced = state.attributes.insert(attr, std::move(value));
    const PyValue& stored = *state.attributes.get(attr);
    const PyValue* old = replaced ? &*replaced : nullptr;
    for (const std::shared_ptr<IndexAPI>& index : state.memberships.live())
      index->replace_index(record.id, attr, old, stored);
  }
}

}  // namespace veldrake
