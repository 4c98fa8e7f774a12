#include "base/structures/grace_period.h"

#include "base/before_blocking.h"

namespace veldrake {

unsigned GracePeriod::enter() {
  for (;;) {
    const unsigned phase = phase_.load() & 1;
    readers_[phase].fetch_add(1);
    // Counted before any writer moved the phase on: every such writer waits for this reader.
    if ((phase_.load() & 1) == phase) return phase;
    leave(phase);
  }
}

void GracePeriod::leave(unsigned phase) {
  if (readers_[phase].fetch_sub(1) == 1) readers_[phase].notify_all();
}

void GracePeriod::wait_for_readers() {
  // No reader counted: a reader that read the data before the caller changed it counted itself
  // before reading, under the lock the change then took, so it is counted still or gone; later
  // readers see the change.
  if (readers_[0].load() == 0 && readers_[1].load() == 0) return;
  auto turn = writer_.lock();
  const unsigned earlier = phase_.fetch_add(1) & 1;
  for (uint32_t count = readers_[earlier].load(); count != 0; count = readers_[earlier].load()) {
    BeforeBlocking::now();
    readers_[earlier].wait(count);
  }
  turn.commit();
}

}  // namespace veldrake
