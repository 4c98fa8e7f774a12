// The growing table behind the interner, changed only under the interner's lock. Each change is
// followed by freezing a copy for lock-free readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "base/structures/string_interner/immutable_interner.h"

namespace veldrake {

class MutableInterner {
 public:
  explicit MutableInterner(std::size_t capacity) : table_(capacity) {}

  std::optional<uint32_t> lookup(std::string_view name) const { return table_.lookup(name); }
  // Gives `name`, which the table must not have yet, the next id.
  uint32_t add(std::string_view name);
  // A copy for readers; it shares the name strings.
  std::shared_ptr<const ImmutableInterner> freeze() const {
    return std::make_shared<const ImmutableInterner>(table_);
  }

 private:
  ImmutableInterner table_;
};

}  // namespace veldrake
