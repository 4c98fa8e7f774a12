#include "base/interrupt_watch.h"

#include <unistd.h>

#include <atomic>

namespace veldrake {
namespace {

// One watch at most, on the main thread: the handler reads what it replaced from here.
std::atomic<bool> g_seen{false};
struct sigaction g_previous {};

void on_interrupt(int signal, siginfo_t* info, void* context) {
  g_seen.store(true, std::memory_order_relaxed);
  if (g_previous.sa_flags & SA_SIGINFO) {
    g_previous.sa_sigaction(signal, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signal);
  }
}

bool is_watching(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == on_interrupt;
}

bool on_main_thread() {
  return getpid() == static_cast<pid_t>(gettid());
}

}  // namespace

InterruptWatch::InterruptWatch(Start start) : maker_(pthread_self()) {
  if (start == Start::kNow) begin();
}

void InterruptWatch::begin() const {
  begun_ = true;
  if (!on_main_thread() || sigaction(SIGINT, nullptr, &previous_) != 0) return;
  const bool has_handler = (previous_.sa_flags & SA_SIGINFO) ||
                           (previous_.sa_handler != SIG_DFL && previous_.sa_handler != SIG_IGN);
  if (!has_handler) return;
  if (is_watching(previous_)) {
    // A watch within a watch (a signal handler that adds): the outer one restores.
    watching_ = true;
    return;
  }
  g_previous = previous_;
  g_seen.store(false, std::memory_order_relaxed);
  struct sigaction watching = previous_;
  watching.sa_flags |= SA_SIGINFO;
  watching.sa_sigaction = on_interrupt;
  installed_ = sigaction(SIGINT, &watching, nullptr) == 0;
  watching_ = installed_;
}

InterruptWatch::~InterruptWatch() {
  // A handler set meanwhile (by a Python signal handler, say) stays.
  struct sigaction current {};
  if (installed_ && sigaction(SIGINT, nullptr, &current) == 0 && is_watching(current))
    sigaction(SIGINT, &previous_, nullptr);
}

void InterruptWatch::rearm() {
  g_seen.store(false, std::memory_order_relaxed);
}

bool InterruptWatch::seen() const {
  if (!begun_) {
    if (!pthread_equal(pthread_self(), maker_)) return false;
    begin();
  }
  return watching_ && g_seen.load(std::memory_order_relaxed);
}

}  // namespace veldrake
