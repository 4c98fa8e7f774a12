// The Python class FilteredIndex: a handle on one view.
#pragma once

#include "index/core/filtered_index.h"
#include "index/core/python/python_ref.h"

namespace veldrake {

// A new FilteredIndex object owning `view`, cut from the Index object `source`, which it keeps
// alive: the index reports the records they share to the cycle collector.
OwnedRef wrap_view(FilteredIndex view, PyObject* source);

}  // namespace veldrake
