// Lets a writer wait until every reader that started before it began waiting has finished, while
// readers that start later go on unhindered (so a stream of readers never starves the writer).
//
// Readers count themselves in one of two phases, the current one when they enter. A writer moves
// the current phase on and waits for the count of the one before to reach zero: that count only
// holds readers that entered before the move. Writers take their turn one at a time. A writer
// that finds no reader counted at all returns at once: readers count themselves before they read
// the data, under the lock its change took.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/locks.h"

namespace veldrake {

class GracePeriod {
 public:
  // Counts the caller as a reader; returns what leave() takes.
  unsigned enter();
  void leave(unsigned phase);
  // Returns once every reader that entered before this call has left.
  void wait_for_readers();

 private:
  std::atomic<uint32_t> phase_{0};
  std::atomic<uint32_t> readers_[2] = {};
  Mutex writer_;
};

}  // namespace veldrake
