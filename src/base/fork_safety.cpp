#include "base/fork_safety.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

namespace veldrake {

std::atomic<int> fork_safety_detail::g_engine_work{0};

namespace {

using fork_safety_detail::g_engine_work;

std::atomic<bool> g_forking{false};

// The thread that forks usually holds the interpreter lock, so no new work can start anyway;
// the flag is for forks made by threads that do not hold it.
void before_fork() {
  g_forking.store(true);
  while (g_engine_work.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
}

// In the child too: the threads that were in engine work are gone, and had left it already.
void after_fork() {
  g_forking.store(false);
}

}  // namespace

void install_fork_handlers() {
  static const bool installed = [] {
    if (pthread_atfork(before_fork, after_fork, after_fork) != 0) throw std::bad_alloc();
    return true;
  }();
  (void)installed;
}

void enter_engine_work() {
  for (;;) {
    // Sequentially consistent with before_fork: either it sees this thread's work, or this
    // thread sees the fork coming and steps back.
    g_engine_work.fetch_add(1);
    if (!g_forking.load()) return;
    g_engine_work.fetch_sub(1);
    while (g_forking.load()) std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

void leave_engine_work() {
  g_engine_work.fetch_sub(1, std::memory_order_release);
}

}  // namespace veldrake
