// Writing one attribute of an Indexable: every index holding the object learns the new value
// before the write returns, and the object's attribute map stores it.
#pragma once

#include <cstdint>

#include "index/core/indexable_record.h"
#include "index/core/values/stored_value.h"

namespace veldrake {

// Stores `value` as attribute `attr` (an interned name id). Called with the interpreter lock
// held; releases it while indexes are updated if the write involves nested objects or has to
// wait for a lock.
void write_attribute(const IndexableRecord& record, uint32_t attr, StoredValue value);

}  // namespace veldrake
