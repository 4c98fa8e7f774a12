#include "base/structures/string_interner/mutable_interner.h"

#include <string>

#include "base/internal_error.h"

namespace veldrake {

uint32_t MutableInterner::add(std::string_view name) {
  check(table_.names_.size() < UINT32_MAX, "interner: no name id left");
  uint32_t id = table_.size();
  table_.names_.push_back(std::make_shared<const std::string>(name));
  table_.ids_[ImmutableInterner::key_of(name)].push_back(id);
  return id;
}

}  // namespace veldrake
