// The type objects of the module's Python classes, each created once on first use.
// A failure to create one raises "failed to create type object for <name>" and returns nullptr.
#pragma once

#include <Python.h>

namespace veldrake {

PyTypeObject* index_type();
PyTypeObject* indexable_type();
PyTypeObject* filtered_index_type();
PyTypeObject* query_expr_type();

}  // namespace veldrake
