// Counts the attribute writes that may change an object's attribute map without the interpreter
// lock: a write that releases it (nested objects at stake) or may come to release it (an object
// held by indexes, which gives the lock up when it has to wait for one of theirs). The count
// changes only with the interpreter lock held, from before such a write can let the lock go until
// it has it back. Every other change of a map is made with the interpreter lock held. So while
// the count is zero, a thread holding the interpreter lock may read any map without taking the
// object's lock: nothing can change the map until it lets the interpreter lock go. Threads reading
// maps without the interpreter lock only read, so they do not disturb it.
#pragma once

#include <cstddef>

namespace veldrake {

class MapChangeWithoutGil {
 public:
  // Interpreter lock held, on entry and on exit.
  MapChangeWithoutGil() { ++in_flight_; }
  ~MapChangeWithoutGil() { --in_flight_; }
  MapChangeWithoutGil(const MapChangeWithoutGil&) = delete;
  MapChangeWithoutGil& operator=(const MapChangeWithoutGil&) = delete;

  // True when no such write is in flight. Interpreter lock held.
  static bool none_in_flight() { return in_flight_ == 0; }

 private:
  static inline std::size_t in_flight_ = 0;  // guarded by the interpreter lock
};

}  // namespace veldrake
