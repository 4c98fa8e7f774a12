// A reader-writer lock that lets a waiting writer in before any reader that comes after it.
// The platform's lock prefers readers (std::shared_mutex on glibc): a steady stream of
// overlapping queries would keep an attribute write waiting for as long as it lasts. Here a
// write waits at most for the reads already under way when it arrived.
//
// One atomic word: the low bits count the readers inside, the top bit marks a writer that holds
// the lock or waits for the readers inside to leave. Writers queue on a mutex before they set the
// bit. Not recursive: a thread that holds a read lock must not take it again (a writer waiting in
// between would wait for it, and it for the writer). A thread about to wait calls
// BeforeBlocking::now() first.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/before_blocking.h"

namespace veldrake {

class WriterFirstMutex {
 public:
  void lock_shared() {
    uint32_t state = state_.load(std::memory_order_relaxed);
    for (;;) {
      if (state & kWriter) {
        BeforeBlocking::now();
        state_.wait(state, std::memory_order_relaxed);
        state = state_.load(std::memory_order_relaxed);
      } else if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
        return;
      }
    }
  }

  void unlock_shared() {
    // The last reader out wakes the writer waiting for it (readers wait on the same word).
    if (state_.fetch_sub(1, std::memory_order_release) == kWriter + 1) state_.notify_all();
  }

  void lock() {
    if (!writers_.try_lock()) {
      BeforeBlocking::now();
      writers_.lock();
    }
    uint32_t state = state_.fetch_or(kWriter, std::memory_order_acquire) | kWriter;
    while (state != kWriter) {
      BeforeBlocking::now();
      state_.wait(state, std::memory_order_acquire);
      state = state_.load(std::memory_order_acquire);
    }
  }

  void unlock() {
    state_.store(0, std::memory_order_release);
    state_.notify_all();
    writers_.unlock();
  }

 private:
  static constexpr uint32_t kWriter = uint32_t{1} << 31;

  std::atomic<uint32_t> state_{0};
  std::mutex writers_;
};

}  // namespace veldrake
