// The engine's locks under threads: what a waiting writer waits for, and what a waiter does
// before it blocks. The tree and maps behind these locks are driven from threads, under
// ThreadSanitizer too, by tests/python/test_threads.py. Run under ThreadSanitizer by
// `make test-tsan`.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "base/before_blocking.h"
#include "base/compact_mutex.h"
#include "base/locks.h"
#include "base/structures/grace_period.h"

namespace veldrake {
namespace {

// Two threads read in a relay: the reader holding the baton leaves only once the other is inside
// too, and hands it the baton as it goes, so some reader is always inside and a lock preferring
// readers lets a writer in only once the relay stops (here after kReadsEach reads). A writer
// arriving among them must wait only for the reads already under way: at most one per reader
// thread. A reader inside leaves early only when the writer and its partner have both waited
// kGiveUp at the door (a writer-first lock holds the partner back); a lock preferring readers
// lets the partner in at once. The median over several writes is checked, as a writer descheduled
// before it reaches the lock sees extra reads; and every write must end while the readers still
// run, as a starved one ends only when they stop.
TEST(ConcurrentSharedMutex, AWriterWaitsOnlyForTheReadsUnderWay) {
  constexpr int kReaders = 2;
  constexpr int kWrites = 5;
  constexpr long kReadsEach = 5'000;
  constexpr auto kGiveUp = std::chrono::milliseconds(100);
  SharedMutex mutex;
  std::atomic<long> reads{0};
  std::atomic<long> trying[kReaders] = {0, 0};   // calls to read() begun
  std::atomic<long> entries[kReaders] = {0, 0};  // calls to read() that returned
  std::atomic<int> inside{0};
  std::atomic<int> baton{0};
  std::atomic<int> started{0};
  std::atomic<bool> finished[kReaders] = {false, false};
  std::atomic<bool> writer_waiting{false};
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      const int partner = 1 - r;
      started.fetch_add(1);
      while (started.load() < kReaders) std::this_thread::yield();
      for (long i = 0; i < kReadsEach && !done.load(); ++i) {
        trying[r].fetch_add(1);
        auto guard = mutex.read();
        entries[r].fetch_add(1);
        inside.fetch_add(1);
        std::chrono::steady_clock::time_point held_back{};
        while (!(baton.load() == r && inside.load() == kReaders) && !finished[partner].load() &&
               !done.load()) {
          if (writer_waiting.load() && trying[partner].load() > entries[partner].load()) {
            const auto now = std::chrono::steady_clock::now();
            if (held_back == std::chrono::steady_clock::time_point{}) held_back = now;
            if (now - held_back > kGiveUp) break;
          }
          std::this_thread::yield();
        }
        if (baton.load() == r) baton.store(partner);
        inside.fetch_sub(1);
        reads.fetch_add(1);
      }
      finished[r] = true;
    });
  }
  std::vector<long> waited;
  for (int w = 0; w < kWrites; ++w) {
    while (reads.load() < (w + 1) * 100) std::this_thread::yield();  // the relay is running
    const long before = reads.load();
    writer_waiting = true;
    {
      auto guard = mutex.write();
      waited.push_back(reads.load() - before);
      writer_waiting = false;
      guard.commit();
    }
  }
  const bool readers_still_running = reads.load() < kReaders * kReadsEach;
  done = true;
  for (auto& reader : readers) reader.join();
  std::sort(waited.begin(), waited.end());
  EXPECT_TRUE(readers_still_running) << "a write waited behind " << waited.back() << " reads";
  EXPECT_LE(waited[kWrites / 2], kReaders) << "reads a write waited behind, median of " << kWrites;
}

// Threads contending for one lock, each taking it through `hold` (which runs its body with the
// lock held): one thread at a time is inside, no increment is lost and no waiter sleeps through
// an unlock (a lost wake-up hangs).
template <class Hold>
void expect_one_thread_at_a_time(Hold hold) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::atomic<int> inside{0};
  int count = 0;  // guarded by the lock
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        hold([&] {
          EXPECT_EQ(inside.fetch_add(1), 0);
          ++count;
          inside.fetch_sub(1);
        });
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(count, kThreads * kRounds);
}

TEST(ConcurrentLocks, ARecursiveMutexAdmitsOneThreadAtATimeAndItsHolderAgain) {
  RecursiveMutex mutex;
  expect_one_thread_at_a_time([&](auto body) {
    auto outer = mutex.lock();
    auto inner = mutex.lock();
    body();
    inner.commit();
    outer.commit();
  });
}

TEST(ConcurrentLocks, ACompactMutexAdmitsOneThreadAtATime) {
  CompactMutex mutex;
  expect_one_thread_at_a_time([&](auto body) {
    std::lock_guard guard(mutex);
    body();
  });
}

// Each way to take one of the engine's locks runs `body` while holding it.
struct Locks {
  Mutex mutex;
  RecursiveMutex recursive;
  SharedMutex shared;
  GracePeriod grace;
};
using Take = std::function<void(Locks&, const std::function<void()>& body)>;

// Runs `body` while holding the guard `lock` returns.
template <class Guard>
Take guarded(Guard (*lock)(Locks&)) {
  return [lock](Locks& l, const std::function<void()>& body) {
    auto guard = lock(l);
    body();
    if constexpr (requires { guard.commit(); }) guard.commit();
  };
}

const Take kMutex = guarded(+[](Locks& l) { return l.mutex.lock(); });
const Take kRecursive = guarded(+[](Locks& l) { return l.recursive.lock(); });
const Take kRead = guarded(+[](Locks& l) { return l.shared.read(); });
const Take kWrite = guarded(+[](Locks& l) { return l.shared.write(); });
const Take kGraceReader = [](Locks& l, const std::function<void()>& body) {
  const unsigned phase = l.grace.enter();
  body();
  l.grace.leave(phase);
};
const Take kGraceWriter = [](Locks& l, const std::function<void()>& body) {
  l.grace.wait_for_readers();
  body();
};

// A thread that would hold the interpreter lock while it waits gives it up in its BeforeBlocking
// action: every lock must run that action, once, before it waits, and never when it need not
// wait. The holder keeps the lock until the waiter's action ran (or a time limit passed).
TEST(ConcurrentLocks, AWaiterActsBeforeItBlocksAndOnlyThen) {
  struct Case {
    const char* name;
    Take holder;
    Take waiter;
  };
  const Case cases[] = {
      {"mutex", kMutex, kMutex},
      {"recursive mutex", kRecursive, kRecursive},
      {"read behind a write", kWrite, kRead},
      {"write behind a read", kRead, kWrite},
      {"write behind a write", kWrite, kWrite},
      {"grace period behind a reader", kGraceReader, kGraceWriter},
  };
  static std::atomic<bool> held{false};
  struct Counter {
    std::atomic<int> calls{0};
    std::atomic<bool> while_held{false};
    static void act(void* self) {
      auto* counter = static_cast<Counter*>(self);
      counter->while_held = held.load();
      counter->calls.fetch_add(1);
    }
  };
  for (const Case& c : cases) {
    Locks locks;
    Counter alone;
    {
      BeforeBlocking scope(&Counter::act, &alone);
      c.waiter(locks, [] {});
    }
    EXPECT_EQ(alone.calls.load(), 0) << c.name << ": acted without waiting";

    Counter contended;
    std::thread holder([&] {
      c.holder(locks, [&] {
        held = true;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (contended.calls.load() == 0 && std::chrono::steady_clock::now() < limit)
          std::this_thread::yield();
        held = false;
      });
    });
    while (!held.load()) std::this_thread::yield();
    {
      BeforeBlocking scope(&Counter::act, &contended);
      c.waiter(locks, [] {});
    }
    holder.join();
    EXPECT_EQ(contended.calls.load(), 1) << c.name;
    EXPECT_TRUE(contended.while_held.load()) << c.name << ": acted only once the lock was free";
  }
}

// A write guard that goes uncommitted poisons its lock, whether a failure or a forgotten commit
// let it go, unless it was made for a writer whose failures leave the data whole; a read never
// poisons. A committed guard does not, even if a failure follows, nor does one committed while
// another exception unwinds.
TEST(LockPoisoning, OnlyAnUncommittedArmedWriterPoisons) {
  struct Case {
    const char* guard;
    std::function<void(SharedMutex&)> fail_under_it;
    bool poisons;
  };
  const auto fail = [] { throw std::runtime_error("failed under the lock"); };
  const std::vector<Case> cases = {
      {"write",
       [&](SharedMutex& m) {
         auto g = m.write();
         fail();
       },
       true},
      {"write committed, then a failure",
       [&](SharedMutex& m) {
         auto g = m.write();
         g.commit();
         fail();
       },
       false},
      {"write left without a commit",
       [&](SharedMutex& m) {
         { auto g = m.write(); }
         fail();
       },
       true},
      {"write_failure_safe",
       [&](SharedMutex& m) {
         auto g = m.write_failure_safe();
         fail();
       },
       false},
      {"read",
       [&](SharedMutex& m) {
         auto g = m.read();
         fail();
       },
       false},
      {"write taken while unwinding",
       [&](SharedMutex& m) {
         struct TakesOnUnwind {
           SharedMutex* m;
           ~TakesOnUnwind() {
             auto g = m->write();
             g.commit();
           }
         };
         TakesOnUnwind take{&m};
         fail();
       },
       false},
  };
  for (const Case& c : cases) {
    SharedMutex mutex;
    EXPECT_THROW(c.fail_under_it(mutex), std::runtime_error) << c.guard;
    EXPECT_EQ(mutex.is_poisoned(), c.poisons) << c.guard;
  }
}

// An exclusive guard keeps the same duty, and a moved guard hands it on: only the guard that
// holds the lock last answers for the commit.
TEST(LockPoisoning, AnExclusiveGuardAnswersForItsCommitWhereverItMoves) {
  RecursiveMutex committed;
  {
    auto first = committed.lock();
    auto second = std::move(first);
    second.commit();
  }
  EXPECT_FALSE(committed.is_poisoned());
  RecursiveMutex left;
  {
    auto first = left.lock();
    first.commit();
    auto again = left.lock();
    auto moved = std::move(again);
  }
  EXPECT_TRUE(left.is_poisoned());
  RecursiveMutex read;
  { auto guard = read.lock_to_read(); }
  EXPECT_FALSE(read.is_poisoned());
}

}  // namespace
}  // namespace veldrake
