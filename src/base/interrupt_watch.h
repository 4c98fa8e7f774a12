// Notices Ctrl-C during long engine work, which runs without the interpreter lock and so cannot
// ask the interpreter whether a signal came (nor wait for the lock while it holds locks of its
// own). While a watch lives on the process's main thread, where the interpreter handles signals,
// SIGINT sets a flag before it goes on to the handler that was installed (the interpreter's,
// which raises KeyboardInterrupt once the caller asks with the lock held).
#pragma once

#include <signal.h>

namespace veldrake {

class InterruptWatch {
 public:
  // Watches only on the main thread, and only while SIGINT has a handler of its own.
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Whether SIGINT came since this watch began, or since the last rearm.
  bool seen() const;
  // Forgets a SIGINT seen (whose handler has run without stopping the caller).
  void rearm();

 private:
  bool watching_ = false;
  bool installed_ = false;  // by this watch, which restores what it replaced
  struct sigaction previous_ {};
};

}  // namespace veldrake
