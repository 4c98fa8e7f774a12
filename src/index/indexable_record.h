// The native side of an Indexable object: its id and its shared state. The Python object holds
// the record that owns the id; every index that stores the object holds a copy that shares the
// state but not the id.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "index/attribute_map.h"
#include "module/locks.h"

namespace veldrake {

class IndexAPI;

// Shared by the Python object and every stored copy of its record.
struct ObjectState {
  RecursiveMutex lock;                               // guards both fields below
  std::vector<std::weak_ptr<IndexAPI>> memberships;  // indexes holding the object
  AttributeMap attributes;
};

struct IndexableRecord {
  std::shared_ptr<ObjectState> state;
  uint32_t id = 0;
  bool owns_id = false;  // only the record inside the Python object releases its id

  IndexableRecord() = default;
  // A record with a fresh state and a newly allocated id that it owns (see allocate_id).
  static IndexableRecord create();

  IndexableRecord(IndexableRecord&& other) noexcept;
  IndexableRecord& operator=(IndexableRecord&& other) noexcept;
  IndexableRecord(const IndexableRecord&) = delete;
  IndexableRecord& operator=(const IndexableRecord&) = delete;
  ~IndexableRecord();

  // Same state and id, without ownership of the id.
  IndexableRecord copy_for_storage() const;
};

// An object id: the most recently released one if any, else the next never used (from 1). When
// all 2^32 - 1 ids are taken, raises OverflowError and throws PythonError. Interpreter lock held.
uint32_t allocate_id();
// Makes `id` available again; any thread.
void release_id(uint32_t id);

// Tests only: forgets every released id and makes `next` the next never-used id (0: none left).
void reset_ids_for_testing(uint32_t next);

}  // namespace veldrake
