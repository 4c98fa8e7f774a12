// The record an index keeps for each member object.
#pragma once

#include <cstdint>
#include <memory>

#include "base/structures/hybrid_set.h"
#include "index/core/indexable_record.h"
#include "index/core/values/value.h"

namespace veldrake {

class IndexAPI;

// Links a member of a nested index to the objects of the owning index that hold it.
struct StoredItemParent {
  HybridSet ids;                  // direct holders, as ids of the owning index
  std::weak_ptr<IndexAPI> index;  // the nested index holding this record
};

// What an index keeps for one member object.
struct StoredItem {
  // Absent for members of a top-level index; held apart so that records stay small and dense.
  std::unique_ptr<StoredItemParent> parent;
  StoredIndexable object;
  uint64_t admitted = 0;  // the index's admission tick when the object joined (admissions.h)

  uint32_t id() const { return object.id(); }
};

}  // namespace veldrake
