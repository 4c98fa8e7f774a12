#include "base/structures/string_interner/interner.h"

namespace veldrake {

StrInterner::StrInterner(std::size_t capacity) : table_(capacity), current_(table_.freeze()) {}

uint32_t StrInterner::intern(std::string_view name) {
  if (auto id = snapshot()->lookup(name)) return *id;
  auto guard = mutex_.lock();
  // Another thread may have added the name since the snapshot was read.
  if (auto id = table_.lookup(name)) return *id;
  uint32_t id = table_.add(name);
  current_.store(table_.freeze(), std::memory_order_release);
  return id;
}

uint32_t StrInternerView::lookup_or_add(std::string_view name) {
  if (auto id = lookup(name)) return *id;
  uint32_t id = owner_->intern(name);
  snapshot_ = owner_->snapshot();
  return id;
}

StrInterner& interner() {
  // Never destroyed: objects released while the process exits may still name attributes.
  static StrInterner* const instance = new StrInterner(1024);
  return *instance;
}

}  // namespace veldrake
