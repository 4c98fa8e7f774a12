// Lets a thread give something up before it blocks on one of the engine's locks.
//
// A short engine call may run holding the interpreter lock, since giving it up and taking it back
// costs more than the call, and taking it back can take a whole switch interval while other
// threads run Python. Such a call must still never wait for an engine lock with the interpreter
// lock held: every Python thread would wait with it, and the holder it waits for may need the
// interpreter lock. So the engine's locks call BeforeBlocking::now() before they wait, and the
// innermost BeforeBlocking scope of the thread then runs its action, once.
#pragma once

namespace veldrake {

class BeforeBlocking {
 public:
  using Action = void (*)(void* context);

  BeforeBlocking(Action action, void* context);
  ~BeforeBlocking();
  BeforeBlocking(const BeforeBlocking&) = delete;
  BeforeBlocking& operator=(const BeforeBlocking&) = delete;

  // Runs the action of the thread's innermost scope unless it has run already.
  static void now();

 private:
  Action action_;
  void* context_;
  BeforeBlocking* outer_;
};

}  // namespace veldrake
