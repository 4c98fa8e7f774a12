// The native side of an Indexable object: its id and its state. The record lives inside the
// Python object; indexes reach it through the object, which they keep alive (StoredIndexable), so
// every strong reference between objects is a Python reference the cycle collector can see.
#pragma once

#include <Python.h>

#include <cstdint>

#include "base/locks.h"
#include "base/structures/id_table.h"
#include "index/core/membership.h"
#include "index/core/values/attribute_map.h"

namespace veldrake {

// Records and indexes refer to each other (a state lists the indexes holding the object, an index
// keeps the records of its members), so both belong to the engine.
class IndexAPI;

// An object id: the most recently released one if any, else the next never used (from 1), with
// room for it in objects_by_id(). When all 2^32 - 1 ids are taken, raises OverflowError (when
// that room cannot be made, MemoryError) and throws PythonError. Interpreter lock held.
uint32_t allocate_id();
// Makes `id` available again; any thread.
void release_id(uint32_t id);

// The object of every record, by its id (null where no record has the id): result lists read
// their objects here, in id order from one table, rather than through each member's record.
// Records are made and destroyed with the interpreter lock held, so a reader holding it finds
// only live objects.
const IdTable<PyObject*>& objects_by_id();

// The mutable side of one Indexable: its attributes and the indexes holding it. The lock comes
// last and may share its padding, so that the record's id fits in the bytes after its flag.
struct ObjectState {
  Memberships memberships;  // indexes holding the object
  AttributeMap attributes;
  [[no_unique_address]] RecursiveMutex lock;  // guards both fields above
};

// The native side of one Indexable: its id and its state, made in place inside the Python object
// (a separate block would cost every object an allocation and a pointer). The state stays
// writable through the const records that indexes reach, as its lock guards it.
struct IndexableRecord {
  [[no_unique_address]] mutable ObjectState state;
  uint32_t id;  // released when the record goes; never 0

  // Takes `id`, from allocate_id, for `object`, the Python object the record lives in.
  IndexableRecord(uint32_t id, PyObject* object);
  IndexableRecord(const IndexableRecord&) = delete;
  IndexableRecord& operator=(const IndexableRecord&) = delete;
  ~IndexableRecord();
};

// Every object carries a record: on 64-bit targets the id takes the padding behind the lock's
// flag. A 32-bit lock leaves too little padding for it, and the record is 4 bytes longer there.
static_assert(sizeof(void*) != 8 || sizeof(IndexableRecord) == sizeof(ObjectState));

// Tests only: forgets every released id and makes `next` the next never-used id (0: none left).
void reset_ids_for_testing(uint32_t next);

}  // namespace veldrake
