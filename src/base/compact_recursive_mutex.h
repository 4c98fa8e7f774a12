// A recursive mutex in 16 bytes, for locks kept by the million (one per Indexable object), where
// the platform's std::recursive_mutex takes 40.
//
// One atomic word says whether the lock is free, held, or held with threads waiting; the holder's
// thread id and its hold count sit beside it. Only the holder writes the count, and it sets the
// owner before and clears it after its holds, so a thread that reads its own id as the owner holds
// the lock. A waiter marks the word before it sleeps on it and, once it gets the lock, keeps the
// mark (it cannot know whether others still wait), so an unlock wakes one waiter whenever one may
// be asleep. Like std::recursive_mutex it does nothing before it waits: its guards do that.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace veldrake {

class CompactRecursiveMutex {
 public:
  bool try_lock() {
    const std::thread::id me = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == me) {
      ++depth_;
      return true;
    }
    uint32_t expected = kFree;
    if (!state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                        std::memory_order_relaxed))
      return false;
    take(me);
    return true;
  }

  void lock() {
    if (try_lock()) return;
    // From here the lock is taken marked as waited for: see the comment at the top.
    while (state_.exchange(kWaitedFor, std::memory_order_acquire) != kFree)
      state_.wait(kWaitedFor, std::memory_order_relaxed);
    take(std::this_thread::get_id());
  }

  void unlock() {
    if (--depth_ != 0) return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    if (state_.exchange(kFree, std::memory_order_release) == kWaitedFor) state_.notify_one();
  }

 private:
  static constexpr uint32_t kFree = 0;
  static constexpr uint32_t kHeld = 1;
  static constexpr uint32_t kWaitedFor = 2;

  void take(std::thread::id me) {
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
  }

  std::atomic<std::thread::id> owner_{};
  std::atomic<uint32_t> state_{kFree};
  uint32_t depth_ = 0;
};

}  // namespace veldrake
