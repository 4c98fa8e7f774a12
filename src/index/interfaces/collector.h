// What the cycle collector is told about the references the module's objects hold.
//
// Every strong reference between Python objects is a PyHandle, and a handle is reported by the
// one Python object that owns it: an Indexable reports the handles of its attribute values; an
// Index or view reports the handles of its members' records while it is their only owner (views
// share the records of their index; a store with two owners is reported by neither, which only
// delays collection until one of them goes). Handles shared from an attribute value (keys of
// value indexes, records of nested indexes) are never reported: the value's owner does that.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "index/core/index_api.h"

namespace veldrake {

// Reports the members' objects of `items` when `items` has no other owner.
int visit_records(const std::shared_ptr<RwLocked<Items>>& items, visitproc visit, void* arg);

// The same objects, each under a new reference of its own; interpreter lock held.
std::vector<StoredIndexable> fresh_copies(const std::vector<StoredIndexable>& objects);

}  // namespace veldrake
