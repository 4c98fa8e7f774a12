// Keeps os.fork() from splitting module work.
//
// A child process has only the thread that forked, yet it inherits every lock of the module as
// the other threads held it at that moment, and the data behind those locks half-changed: its
// first write to such an object or index would wait forever. Module locks are held in two places
// only: by the thread holding the interpreter lock, and by engine work, which runs without it or
// gives it up before it waits (ReleasedGil and GilUntilBlocking scopes, and the threads they start
// and join). The thread that forks holds the
// interpreter lock and is in no module call, so waiting for engine work to end is enough: before
// every fork (pthread_atfork, so os.fork, multiprocessing and forks made by C code alike), the
// forking thread waits until no engine work is in progress and keeps new work from starting
// until the fork is done. The child then inherits every lock free and every structure whole.
// That wait ends because engine work never waits for the interpreter lock (which the forking
// thread holds) and no thread keeps a module lock once it leaves engine work: every lock that
// engine work waits for is held by engine work, which goes on.
#pragma once

#include <atomic>

namespace veldrake {

namespace fork_safety_detail {
extern std::atomic<int> g_engine_work;  // threads in engine work
}  // namespace fork_safety_detail

// Registers the fork handlers, once per process. Throws std::bad_alloc when they cannot be.
void install_fork_handlers();

// Brackets engine work. Entered with the interpreter lock held; the interpreter lock must not be
// waited for between the two calls.
void enter_engine_work();
void leave_engine_work();

// True when some thread is in engine work. Asked with the interpreter lock held, a false answer
// holds until that lock is released: no other thread then holds a module lock or reaches module
// data, and none can start to.
inline bool engine_work_in_progress() {
  return fork_safety_detail::g_engine_work.load(std::memory_order_acquire) != 0;
}

}  // namespace veldrake
