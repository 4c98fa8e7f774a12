// The record an index keeps for each member object.
#pragma once

#include <cstdint>

#include "index/core/indexable_record.h"
#include "index/core/values/value.h"

namespace veldrake {

struct StoredItem {
  StoredIndexable object;
  uint64_t admitted = 0;  // the index's admission tick when the object joined (admissions.h)

  uint32_t id() const { return object.id(); }
};

}  // namespace veldrake
