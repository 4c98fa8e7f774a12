// The native side of an Indexable object: its id and its state. The record lives inside the
// Python object; indexes reach it through the object, which they keep alive (StoredIndexable), so
// every strong reference between objects is a Python reference the cycle collector can see.
#pragma once

#include <cstdint>

#include "base/locks.h"
#include "index/core/membership.h"
#include "index/core/values/attribute_map.h"

namespace veldrake {

// Records and indexes refer to each other (a state lists the indexes holding the object, an index
// keeps the records of its members), so both belong to the engine.
class IndexAPI;

// An object id: the most recently released one if any, else the next never used (from 1). When
// all 2^32 - 1 ids are taken, raises OverflowError and throws PythonError. Interpreter lock held.
uint32_t allocate_id();
// Makes `id` available again; any thread.
void release_id(uint32_t id);

// The mutable side of one Indexable: its attributes and the indexes holding it.
struct ObjectState {
  RecursiveMutex lock;      // guards both fields below
  Memberships memberships;  // indexes holding the object
  AttributeMap attributes;
};

// The native side of one Indexable: its id and its state, made in place inside the Python object
// (a separate block would cost every object an allocation and a pointer). The state stays
// writable through the const records that indexes reach, as its lock guards it.
struct IndexableRecord {
  uint32_t id;  // released when the record goes; never 0
  mutable ObjectState state;

  // Takes `id`, from allocate_id.
  explicit IndexableRecord(uint32_t id) : id(id) {}
  IndexableRecord(const IndexableRecord&) = delete;
  IndexableRecord& operator=(const IndexableRecord&) = delete;
  ~IndexableRecord() { release_id(id); }
};

// Tests only: forgets every released id and makes `next` the next never-used id (0: none left).
void reset_ids_for_testing(uint32_t next);

}  // namespace veldrake
