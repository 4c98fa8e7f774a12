// Attribute names as dense ids. Every name gets the next id (from 0) the first time it is seen and
// keeps it for the life of the process.
//
// Reads never lock. Names live in a NameList, whose entries never move; an open-addressing table
// of atomic ids finds them by hash. Adding a name takes the lock, appends the name and publishes
// its id in the table with one atomic store, so a new name costs constant time. When the table
// is half full a table twice the size is built and published in its place; the old one stays
// (readers may still be probing it), which costs at most as much again as the current table.
// A failure while adding poisons the lock: new names can no longer be added, while names already
// known are still found.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/locks.h"
#include "base/structures/string_interner/name_list.h"

namespace veldrake {

class StrInterner {
 public:
  // Room for `capacity` names before the table first grows.
  explicit StrInterner(std::size_t capacity);

  // The id of `name`, adding it if new.
  uint32_t intern(std::string_view name);
  // The id of `name` if it was ever interned. Readers use this, so that looking names up (reads
  // of missing attributes, queries on unknown attributes) never grows the table.
  std::optional<uint32_t> lookup(std::string_view name) const;
  // The name of `id`; an id not handed out yet is an internal error.
  std::string_view name_of(uint32_t id) const { return names_.at(id).name; }
  uint32_t size() const { return names_.size(); }

 private:
  // Slots hold id + 1, or 0 while empty; a slot once filled never changes.
  struct Table {
    explicit Table(std::size_t capacity);
    std::size_t mask;
    std::unique_ptr<std::atomic<uint32_t>[]> slots;
  };

  std::optional<uint32_t> find_in(const Table& table, uint64_t hash, std::string_view name) const;
  static void place(Table& table, uint64_t hash, uint32_t id);

  NameList names_;
  std::atomic<Table*> table_;
  Mutex mutex_;
  std::vector<std::unique_ptr<Table>> tables_;  // every table made, the current one last; guarded
};

// The process-wide interner of attribute names, made on first use and never destroyed.
StrInterner& interner();

}  // namespace veldrake
