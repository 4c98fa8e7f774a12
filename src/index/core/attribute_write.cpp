#include "index/core/attribute_write.h"

#include <optional>

#include "base/structures/string_interner/interner.h"
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
void write_attribute(const IndexableRecord& record, std::string_view name, PyValue value) {
  uint32_t attr = interner().intern(name);
  std::optional<PyValue> replaced;  // dropped below, with the interpreter lock and no other lock
  {
    ReleasedGil released;
    ObjectState& state = *record.state;
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
