// The native side of an Indexable object: its id and its state. The record lives inside the
// Python object; indexes reach it through the object, which they keep alive (StoredIndexable), so
// every strong reference between objects is a Python reference the cycle collector can see.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/locks.h"
#include "index/core/membership.h"
#include "index/core/values/attribute_map.h"

namespace veldrake {

// Records and indexes refer to each other (a state lists the indexes holding the object, an index
// keeps the records of its members), so both belong to the engine.
class IndexAPI;

// The mutable side of one Indexable: its attributes and the indexes holding it.
struct ObjectState {
  RecursiveMutex lock;      // guards both fields below
  Memberships memberships;  // indexes holding the object
  AttributeMap attributes;
};

// The native side of one Indexable: its id and its shared state.
struct IndexableRecord {
  std::shared_ptr<ObjectState> state;
  uint32_t id = 0;  // released when the record goes; 0 (never handed out) after a move

  IndexableRecord() = default;
  // A record with a fresh state and a newly allocated id (see allocate_id).
  static IndexableRecord create();

  IndexableRecord(IndexableRecord&& other) noexcept;
  IndexableRecord& operator=(IndexableRecord&& other) noexcept;
  IndexableRecord(const IndexableRecord&) = delete;
  IndexableRecord& operator=(const IndexableRecord&) = delete;
  ~IndexableRecord();
};

// An object id: the most recently released one if any, else the next never used (from 1). When
// all 2^32 - 1 ids are taken, raises OverflowError and throws PythonError. Interpreter lock held.
uint32_t allocate_id();
// Makes `id` available again; any thread.
void release_id(uint32_t id);

// Tests only: forgets every released id and makes `next` the next never-used id (0: none left).
void reset_ids_for_testing(uint32_t next);

}  // namespace veldrake
