#include "base/structures/string_interner/interner.h"

#include <bit>

#include "base/structures/string_interner/str_hash.h"

namespace veldrake {

StrInterner::Table::Table(std::size_t capacity)
    : mask(capacity - 1), slots(std::make_unique<std::atomic<uint32_t>[]>(capacity)) {}

StrInterner::StrInterner(std::size_t capacity) {
  tables_.push_back(std::make_unique<Table>(std::bit_ceil(std::max<std::size_t>(capacity * 2, 8))));
  table_.store(tables_.back().get(), std::memory_order_release);
}

std::optional<uint32_t> StrInterner::find_in(const Table& table, uint64_t hash,
                                             std::string_view name) const {
  for (std::size_t slot = static_cast<std::size_t>(hash) & table.mask;;
       slot = (slot + 1) & table.mask) {
    const uint32_t stored = table.slots[slot].load(std::memory_order_acquire);
    if (stored == 0) return std::nullopt;
    const NameList::Entry& entry = names_.at(stored - 1);
    if (entry.hash == hash && entry.name == name) return stored - 1;
  }
}

void StrInterner::place(Table& table, uint64_t hash, uint32_t id) {
  std::size_t slot = static_cast<std::size_t>(hash) & table.mask;
  while (table.slots[slot].load(std::memory_order_relaxed) != 0) slot = (slot + 1) & table.mask;
  table.slots[slot].store(id + 1, std::memory_order_release);
}

std::optional<uint32_t> StrInterner::lookup(std::string_view name) const {
  return find_in(*table_.load(std::memory_order_acquire), hash_str(name), name);
}

uint32_t StrInterner::intern(std::string_view name) {
  const uint64_t hash = hash_str(name);
  if (auto id = find_in(*table_.load(std::memory_order_acquire), hash, name)) return *id;
  auto guard = mutex_.lock();
  Table* table = table_.load(std::memory_order_relaxed);
  // Another thread may have added the name since the table was read.
  if (auto id = find_in(*table, hash, name)) {
    guard.commit();
    return *id;
  }
  if ((std::size_t{names_.size()} + 1) * 2 > table->mask + 1) {
    auto larger = std::make_unique<Table>((table->mask + 1) * 2);
    for (uint32_t id = 0; id < names_.size(); ++id) place(*larger, names_.at(id).hash, id);
    tables_.push_back(std::move(larger));
    table = tables_.back().get();
    table_.store(table, std::memory_order_release);
  }
  const uint32_t id = names_.append(hash, name);
  place(*table, hash, id);
  guard.commit();
  return id;
}

StrInterner& interner() {
  // Never destroyed: objects released while the process exits may still name attributes.
  static StrInterner* const instance = new StrInterner(1024);
  return *instance;
}

}  // namespace veldrake
