// A keyword query: for every named attribute, the values it may equal. Values of one attribute
// combine as a union, attributes as an intersection. A name is one attribute name (no dotted paths).
#pragma once

#include <Python.h>

#include <vector>

#include "index/core/values/short_text.h"
#include "index/core/values/value.h"

namespace veldrake {

struct HashQueryTerm {
  ShortText name;
  std::vector<PyValue> values;  // distinct values (PyValue equality)
};

using HashQuery = std::vector<HashQueryTerm>;

// Builds the query from keyword arguments as a vectorcall passes them: the tuple of their names
// (may be null) and their values in the same order. A str value is one value; any other iterable
// gives its items; a non-iterable is one value. Interpreter lock held; an error raised while
// iterating a value propagates unchanged (PythonError).
HashQuery keywords_to_hash_query(PyObject* names, PyObject* const* values);

}  // namespace veldrake
