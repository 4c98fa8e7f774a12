// The record an index keeps for each member object.
#pragma once

#include <cstdint>
#include <utility>

#include "index/core/indexable_record.h"
#include "index/core/values/value.h"

namespace veldrake {

struct StoredItem {
  explicit StoredItem(StoredIndexable stored)
      : object(std::move(stored)), python_object(object.python_handle.get()) {}

  StoredIndexable object;
  // The object `object` keeps alive, read here directly: result lists take it for every answered
  // id, and going through the handle's shared block would cost one more cache miss each.
  PyObject* python_object;
  uint64_t admitted = 0;  // the index's admission tick when the object joined (admissions.h)

  uint32_t id() const { return object.id(); }
};

}  // namespace veldrake
