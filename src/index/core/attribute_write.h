// Writing one attribute of an Indexable: every index holding the object learns the new value
// before the write returns, and the object's attribute map stores it.
#pragma once

#include <string_view>

#include "index/core/indexable_record.h"
#include "index/core/values/value.h"

namespace veldrake {

// Called with the interpreter lock held; releases it while indexes are updated.
void write_attribute(const IndexableRecord& record, std::string_view name, PyValue value);

}  // namespace veldrake
