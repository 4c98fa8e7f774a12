// The Python class FilteredIndex: a handle on one view.
#pragma once

#include "index/core/filtered_index.h"
#include "module/python_ref.h"

namespace veldrake {

// A new FilteredIndex object owning `view`.
OwnedRef wrap_view(FilteredIndex view);

}  // namespace veldrake
