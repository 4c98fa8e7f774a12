// A mutex in one word, for short sections that are seldom contended (free lists, the recursive
// locks kept by the million): taken and let go free, it costs one atomic operation each way,
// where the platform's mutex costs a library call each way.
//
// The word says whether the lock is free, held, or held with threads waiting. A waiter marks the
// word before it sleeps on it and, once it gets the lock, keeps the mark (it cannot know whether
// others still wait), so an unlock wakes one waiter whenever one may be asleep.
#pragma once

#include <atomic>
#include <cstdint>

namespace veldrake {

class CompactMutex {
 public:
  bool try_lock() {
    uint32_t expected = kFree;
    return state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void lock() {
    if (try_lock()) return;
    while (state_.exchange(kWaitedFor, std::memory_order_acquire) != kFree)
      state_.wait(kWaitedFor, std::memory_order_relaxed);
  }

  void unlock() {
    if (state_.exchange(kFree, std::memory_order_release) == kWaitedFor) state_.notify_one();
  }

 private:
  static constexpr uint32_t kFree = 0;
  static constexpr uint32_t kHeld = 1;
  static constexpr uint32_t kWaitedFor = 2;

  std::atomic<uint32_t> state_{kFree};
};

}  // namespace veldrake
