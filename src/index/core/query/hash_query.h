// A keyword query: for every named attribute, the values it may equal. Values of one attribute
// combine as a union, attributes as an intersection. A name is one attribute name (no dotted
// paths).
#pragma once

#include <vector>

#include "index/core/values/short_text.h"
#include "index/core/values/value.h"

namespace veldrake {

struct HashQueryTerm {
  ShortText name;
  std::vector<PyValue> values;  // distinct values (PyValue equality)
};

// A keyword query: one term per named attribute.
using HashQuery = std::vector<HashQueryTerm>;

}  // namespace veldrake
