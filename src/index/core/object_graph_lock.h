// One process-wide lock for operations that hold the locks of more than one object at a time.
//
// Each object has one lock (ObjectState::lock). An operation that only touches one object (a write
// of a plain value, the registration of an object without nested objects) takes that object's
// lock and then only engine locks, which are never held while waiting for anything else. An
// operation that follows nested objects holds the holder's lock while it takes the held object's
// lock; two such operations could take two objects in opposite orders (objects that hold each
// other), so they first take this lock and run one at a time. Object locks are recursive, because
// such an operation can lead back to an object it already holds.
//
// Lock order: interpreter lock (only ever waited for with no engine or object lock held) →
// ObjectGraphLock → object locks (holder before held) → engine locks (leaves: at most one held at
// a time, no Python call under them).
#pragma once

#include <mutex>

namespace veldrake {

class ObjectGraphLock {
 public:
  // Takes the lock unless this thread already holds it.
  ObjectGraphLock();
  ~ObjectGraphLock();
  ObjectGraphLock(const ObjectGraphLock&) = delete;
  ObjectGraphLock& operator=(const ObjectGraphLock&) = delete;

  static bool held_here();

 private:
  bool owns_;
};

}  // namespace veldrake
