// What the cycle collector is told about the references the module's objects hold.
//
// Every strong reference between Python objects is a PyHandle, and a handle is reported by the
// one Python object that owns it: an Indexable reports the handles of its attribute values; an
// Index reports the handles of its members' records and of the objects its members reach (a
// reference of its own for each, as the values that led there come and go). Views share those
// records and report the Index they were cut from instead, which they keep alive. Handles shared
// from an attribute value (keys of value indexes) are never reported: the value's owner does.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "index/core/index_api.h"

namespace veldrake {

// Reports the members' objects of `items`.
int visit_records(const RwLocked<Items>& items, visitproc visit, void* arg);
// Reports the objects an index reaches through its members.
int visit_reached(const ReachableObjects& reachable, visitproc visit, void* arg);

// The same objects, each under a new reference of its own; interpreter lock held.
std::vector<StoredIndexable> fresh_copies(const std::vector<StoredIndexable>& objects);

}  // namespace veldrake
