// Evaluating Python source in tests.
#pragma once

#include <Python.h>

#include "index/core/python/python_ref.h"

namespace veldrake::testing {

// Runs `statements` in a fresh namespace that knows Indexable, Index and PyQueryExpr (as Q), then
// evaluates `expression` there. Fails the calling test (returns empty) when Python raises.
OwnedRef evaluate(const char* statements, const char* expression);

}  // namespace veldrake::testing
