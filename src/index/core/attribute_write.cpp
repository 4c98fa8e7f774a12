#include "index/core/attribute_write.h"

#include <array>
#include <cstddef>
#include <new>
#include <optional>
#include <vector>

#include "base/fork_safety.h"
#include "base/locks.h"
#include "index/core/index_api.h"
#include "index/core/map_changes_without_gil.h"
#include "index/core/membership.h"
#include "index/core/object_lock.h"
#include "index/core/python/python_ref.h"
#include "index/core/query/query_map.h"

namespace veldrake {
namespace {

// An index holding the object being written, and the value index it staged the value in.
struct Target {
  std::shared_ptr<IndexAPI> index;
  bool member = false;  // else the index only reaches the object through a member
  QueryMap* map = nullptr;
};

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
  // Most objects are in a few indexes: their list stays on the stack, the rest goes after it.
  constexpr std::size_t kInlineTargets = 4;
  std::array<Target, kInlineTargets> inline_targets;
  std::vector<Target> more_targets;
  std::size_t target_count = 0;
  const auto target = [&](std::size_t i) -> Target& {
    return i < kInlineTargets ? inline_targets[i] : more_targets[i - kInlineTargets];
  };
  std::size_t staged = 0;
  try {
    stored.emplace(state.attributes.get(attr)->value());
    if (replaced) {
      old.emplace(replaced->value());
      old_scalars.emplace(*old);
    }
    new_scalars.emplace(*stored);
    state.memberships.for_each_live([&](std::shared_ptr<IndexAPI> index, bool member) {
      if (target_count < kInlineTargets)
        inline_targets[target_count] = Target{std::move(index), member};
      else
        more_targets.push_back(Target{std::move(index), member});
      ++target_count;
    });
    for (; staged < target_count; ++staged)
      target(staged).map = target(staged).index->stage_write(change(), target(staged).member);
  } catch (const std::bad_alloc&) {
    for (std::size_t i = 0; i < staged; ++i)
      target(i).index->unstage_write(change(), target(i).map);
    // What leaves the map is dropped by the caller, like a replaced value.
    replaced = replaced ? state.attributes.insert(attr, std::move(*replaced))
                        : state.attributes.erase(attr);
    lock.commit();
    throw;
  }
  for (std::size_t i = 0; i < target_count; ++i)
    target(i).index->commit_write(change(), target(i).map);
  return replaced;
}

// Stores `value` in the map of an object in no index, for a writer that has the map to itself and
// holds the interpreter lock. A replaced value without a Python object goes at once (dropping it
// runs no Python code); another is left in `value`, for the caller to drop once it lets the map go.
// Inline: a call's frame would cost the write without a lock a sixth of its own instructions.
[[gnu::always_inline]] inline void store_in_no_index(ObjectState& state, StoredValue* current,
                                                     uint32_t attr, StoredValue& value) {
  if (current && !current->object())
    current->assign_holding_gil(std::move(value));
  else if (current)
    std::swap(*current, value);
  else
    state.attributes.insert(attr, std::move(value));  // a new name replaces nothing
}

// While no thread is in engine work, the interpreter lock keeps every other thread away from the
// object (see fork_safety.h): one in no index, with no nested object at stake, is written without
// its lock. A poisoned lock refuses the write either way. False when the write needs the lock.
bool stored_without_lock(ObjectState& state, uint32_t attr, StoredValue& value) {
  if (value.involves_indexable() || engine_work_in_progress()) return false;
  if (state.lock.is_poisoned()) internal_error(kPoisonedLock);
  StoredValue* current = state.attributes.get(attr);
  if ((current && current->involves_indexable()) || !state.memberships.empty()) return false;
  store_in_no_index(state, current, attr, value);
  return true;
}

// The value a write replaced, dropped once the write has let go of every lock, when the writer
// holds the interpreter lock again.
struct ReplacedValue {
  std::optional<StoredValue> value;

  ReplacedValue() = default;
  ReplacedValue(const ReplacedValue&) = delete;
  ReplacedValue& operator=(const ReplacedValue&) = delete;
  ~ReplacedValue() {
    if (value) value->clear_holding_gil();
  }
};

// write_attribute under the object's lock. Out of line, so that the common write does not pay
// for this frame.
[[gnu::noinline]] void write_with_lock(const IndexableRecord& record, uint32_t attr,
                                       StoredValue& value) {
  ReplacedValue replaced;  // declared first, so dropped last
  ObjectState& state = record.state;
  if (!value.involves_indexable()) {
    // Taking the object's lock with the interpreter lock held is safe, as no holder of an
    // object's lock waits for it. With no nested object at stake, a write then takes a few
    // engine locks, each briefly: releasing the interpreter lock for it would cost several times
    // the write, and taking it back can wait a whole switch interval for a thread running Python.
    // So it is kept unless the write has to wait for one of them.
    std::optional<MapChangeWithoutGil> change;    // counted until the interpreter lock is back
    std::optional<GilUntilBlocking> engine_work;  // ends after the object's lock
    auto guard = state.lock.lock();
    StoredValue* current = state.attributes.get(attr);
    if (!(current && current->involves_indexable())) {
      if (state.memberships.empty()) {
        store_in_no_index(state, current, attr, value);
      } else {
        change.emplace();
        engine_work.emplace();
        replaced.value = store_and_update(record, attr, std::move(value), guard);
      }
      guard.commit();
      return;
    }
    guard.commit();
  }
  MapChangeWithoutGil change;
  ReleasedGil released;
  ObjectLock lock(state, [&](const ObjectState& locked) {
    const StoredValue* current = locked.attributes.get(attr);
    return value.involves_indexable() || (current && current->involves_indexable());
  });
  replaced.value = store_and_update(record, attr, std::move(value), lock);
  lock.commit();
}

}  // namespace

// The store into the map and the update of the indexes happen under one hold of the object's
// lock, so concurrent writes of one object apply whole, one after the other, and no index can
// keep a value that the map no longer has. A value replaced by a swap goes with `value`, once the
// lock is let go.
void write_attribute(const IndexableRecord& record, uint32_t attr, StoredValue value) {
  if (!stored_without_lock(record.state, attr, value)) write_with_lock(record, attr, value);
}

}  // namespace veldrake
