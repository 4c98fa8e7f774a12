// Attribute names as dense ids. Every name gets the next id (from 0) the first time it is seen and
// keeps it for the life of the process.
//
// Reads never lock: the current table is an immutable snapshot published through an atomic
// shared pointer. Adding a name takes the lock, extends the growing table and publishes a new
// snapshot. A failure while adding poisons the lock: new names can no longer be added, while
// names already known are still found through the snapshot.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "base/locks.h"
#include "base/structures/string_interner/immutable_interner.h"
#include "base/structures/string_interner/mutable_interner.h"

namespace veldrake {

class StrInterner {
 public:
  explicit StrInterner(std::size_t capacity);

  // The id of `name`, adding it if new.
  uint32_t intern(std::string_view name);
  // The id of `name` if it was ever interned. Readers use this, so that looking names up (reads
  // of missing attributes, queries on unknown attributes) never grows the table.
  std::optional<uint32_t> lookup(std::string_view name) const { return snapshot()->lookup(name); }

  // The current snapshot.
  std::shared_ptr<const ImmutableInterner> snapshot() const {
    return current_.load(std::memory_order_acquire);
  }

 private:
  Mutex mutex_;
  MutableInterner table_;  // guarded by mutex_
  std::atomic<std::shared_ptr<const ImmutableInterner>> current_;
};

// One snapshot held for a series of look-ups (for instance while naming every attribute of an
// object): ids it has map to names without touching the shared pointer again.
class StrInternerView {
 public:
  explicit StrInternerView(StrInterner& owner) : owner_(&owner), snapshot_(owner.snapshot()) {}

  std::optional<uint32_t> lookup(std::string_view name) const { return snapshot_->lookup(name); }
  // The id of `name`; a name new to this view is interned and the view moves to a newer snapshot.
  uint32_t lookup_or_add(std::string_view name);
  // The name of `id`; an id newer than the view's snapshot is an internal error.
  std::string_view name_of(uint32_t id) const { return snapshot_->name_of(id); }

 private:
  StrInterner* owner_;
  std::shared_ptr<const ImmutableInterner> snapshot_;
};

// The process-wide interner of attribute names, made on first use and never destroyed.
StrInterner& interner();

}  // namespace veldrake
