// The Python class Index: a handle on one engine.
#pragma once

#include <Python.h>

#include <memory>

#include "index/core/index_api.h"
#include "index/core/python/python_ref.h"

namespace veldrake {

// A new Index object owning `engine`.
OwnedRef wrap_index(std::shared_ptr<IndexAPI> engine);

}  // namespace veldrake
