// PyQueryExpr: the Python handle of a query-expression tree. Instances are immutable and built
// only by the class's static methods; the engine's classes read the tree through these functions.
#pragma once

#include <Python.h>

#include "index/core/query/query_expr.h"
#include "index/interfaces/arguments.h"

namespace veldrake {

// The tree held by `object`, for argument conversion: TypeError "'<type>' object cannot be
// converted to 'PyQueryExpr'" when it is no PyQueryExpr (wrap in convert_argument to name the
// parameter).
const QueryExpr& to_query_expr(PyObject* object);

}  // namespace veldrake
