// The record an index keeps for each member object.
#pragma once

#include <cstdint>

#include "index/value.h"

namespace veldrake {

struct StoredItem {
  StoredIndexable object;

  uint32_t id() const { return object.id(); }
};

}  // namespace veldrake
