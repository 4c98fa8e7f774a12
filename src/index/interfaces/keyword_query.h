// Keyword queries from the keyword arguments of a call.
#pragma once

#include <Python.h>

#include "index/core/query/hash_query.h"

namespace veldrake {

// Builds the query from keyword arguments as a vectorcall passes them: the tuple of their names
// (may be null) and their values in the same order. A str value is one value; any other iterable
// gives its items; a non-iterable is one value. Interpreter lock held; an error raised while
// iterating a value propagates unchanged (PythonError).
HashQuery keywords_to_hash_query(PyObject* names, PyObject* const* values);

// Whether a keyword value is one value by its type alone (str, bytes, int, float, bool, None):
// such a value is never asked for an iterator.
bool one_value_by_type(PyObject* value);

}  // namespace veldrake
