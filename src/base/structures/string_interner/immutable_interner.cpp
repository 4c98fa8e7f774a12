#include "base/structures/string_interner/immutable_interner.h"

#include "base/internal_error.h"
#include "base/structures/string_interner/str_hash.h"

namespace veldrake {

ImmutableInterner::ImmutableInterner(std::size_t capacity) {
  names_.reserve(capacity);
  ids_.reserve(capacity);
}

ImmutableInterner::Key ImmutableInterner::key_of(std::string_view name) {
  return Key{hash_str(name), name.size()};
}

std::optional<uint32_t> ImmutableInterner::lookup(std::string_view name) const {
  auto found = ids_.find(key_of(name));
  if (found == ids_.end()) return std::nullopt;
  for (uint32_t id : found->second) {
    if (*names_[id] == name) return id;
  }
  return std::nullopt;
}

std::string_view ImmutableInterner::name_of(uint32_t id) const {
  check(id < names_.size(), "interner: unknown name id");
  return *names_[id];
}

}  // namespace veldrake
