// Notices Ctrl-C during long engine work, which runs without the interpreter lock and so cannot
// ask the interpreter whether a signal came (nor wait for the lock while it holds locks of its
// own). While a watch lives on the process's main thread, where the interpreter handles signals,
// SIGINT sets a flag before it goes on to the handler that was installed (the interpreter's,
// which raises KeyboardInterrupt once the caller asks with the lock held).
#pragma once

#include <pthread.h>
#include <signal.h>

namespace veldrake {

class InterruptWatch {
 public:
  enum class Start {
    kNow,
    // At the first look, which only the thread that made the watch may take. A short call (a
    // single add, mostly) never looks, and so never pays the six system calls that finding the
    // main thread and installing and restoring the handler take: as long as the add itself.
    kAtFirstLook,
  };

  // Watches only on the main thread, and only while SIGINT has a handler of its own.
  explicit InterruptWatch(Start start);
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Whether SIGINT came since this watch began, or since the last rearm.
  bool seen() const;
  // Forgets a SIGINT seen (whose handler has run without stopping the caller).
  void rearm();

 private:
  void begin() const;

  pthread_t maker_;
  // Set once, by begin(): at construction, or at the first look on the maker's thread.
  mutable bool begun_ = false;
  mutable bool watching_ = false;
  mutable bool installed_ = false;  // by this watch, which restores what it replaced
  mutable struct sigaction previous_ {};
};

}  // namespace veldrake
