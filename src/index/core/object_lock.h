// Locks one object for an engine operation, taking the ObjectGraphLock first when the operation
// will follow the object's nested objects (see object_graph_lock.h).
#pragma once

#include <optional>

#include "index/core/indexable_record.h"
#include "index/core/object_graph_lock.h"

namespace veldrake {

class ObjectLock {
 public:
  // `reaches_nested(state)`, asked with the object locked, tells whether the operation will lock
  // other objects; if so the object is unlocked, the graph lock taken, and the object locked again.
  template <class ReachesNested>
  ObjectLock(ObjectState& state, ReachesNested&& reaches_nested) {
    object_.emplace(state.lock.lock());
    if (ObjectGraphLock::held_here() || !reaches_nested(state)) return;
    object_->commit();  // only read so far
    object_.reset();
    graph_.emplace();
    object_.emplace(state.lock.lock());
  }
  // See ExclusiveGuard::commit.
  void commit() { object_->commit(); }

 private:
  std::optional<ObjectGraphLock> graph_;  // released after the object
  std::optional<RecursiveMutex::Guard> object_;
};

// True when any attribute of the object holds an Indexable, directly or in a container.
inline bool has_nested_values(const ObjectState& state) {
  for (const auto& [attr, value] : state.attributes) {
    if (value.involves_indexable()) return true;
  }
  return false;
}

}  // namespace veldrake
