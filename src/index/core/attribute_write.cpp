#include "index/core/attribute_write.h"

#include <optional>

#include "base/structures/string_interner/interner.h"
#include "index/core/index_api.h"
#include "index/core/membership.h"
#include "index/core/object_lock.h"
#include "index/core/python/python_ref.h"

namespace veldrake {

// The update of the indexes and the store into the map happen under one hold of the object's
// lock, so concurrent writes of one object apply whole, one after the other, and no index can
// keep a value that the map no longer has. Each index takes the new value in before it lets the
// old one go, so a query running meanwhile finds the object under one or the other.
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
    const PyValue* current = state.attributes.get(attr);
    for (const std::shared_ptr<IndexAPI>& index : state.memberships.live()) {
      if (current) {
        index->replace_index(record.id, attr, *current, value);
      } else {
        index->add_index(record.id, attr, value);
      }
    }
    replaced = state.attributes.insert(attr, std::move(value));
  }
}

}  // namespace veldrake
