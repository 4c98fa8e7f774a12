// The numeric B-tree behind its reader-writer lock, used from many threads at once the way the
// value indexes use it (the sharded maps are driven from threads by tests/python/test_threads.py).
// Writers own disjoint ids, so each one's final state is known exactly; readers run meanwhile and
// check what must hold at every moment. The locks themselves are checked for what a waiter does
// before it blocks. Run under ThreadSanitizer by `make test-tsan`.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "base/before_blocking.h"
#include "base/locks.h"
#include "base/structures/b_tree/b_tree.h"
#include "base/structures/grace_period.h"

namespace veldrake {
namespace {

constexpr int kWriters = 4;
constexpr int kReaders = 2;
constexpr uint32_t kIdsPerWriter = 300;
constexpr int kStepsPerWriter = 6000;

// Forty distinct keys over few numbers: ints and floats of equal value meet (2 and 2.0).
NumericKey key_for(int which) {
  if (which % 2 == 0) return NumericKey::integer(which / 2);
  return NumericKey::floating(which / 2 + (which % 4 == 3 ? 0.5 : 0.0));
}

double value_of(const NumericKey& key) {
  return key.kind() == NumericKind::kInteger ? static_cast<double>(key.as_integer())
                                             : key.as_float();
}

// Runs kWriters threads calling `write(t, rng)` kStepsPerWriter times each, and meanwhile
// kReaders threads calling `read(rng)` until the writers are done; all start together.
template <class Write, class Read>
void write_while_reading(uint32_t seed, Write write, Read read) {
  constexpr int kThreads = kWriters + kReaders;
  std::atomic<int> ready{0};
  std::atomic<int> writers_left{kWriters};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(seed + static_cast<uint32_t>(t));
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      if (t < kWriters) {
        for (int step = 0; step < kStepsPerWriter; ++step) write(t, rng);
        writers_left.fetch_sub(1);
      } else {
        while (writers_left.load() > 0) read(rng);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST(ConcurrentBTree, WritersAndReadersUnderTheLockSeeConsistentTrees) {
  RwLocked<BitMapBTree> tree;
  // Pinned entries are never removed: every reader must always find them.
  constexpr uint32_t kPinnedId = kWriters * kIdsPerWriter + 1;
  for (int which = 0; which < 40; ++which) tree.write()->insert(key_for(which), kPinnedId);

  // What each writer holds at the end: (value index, id) pairs.
  std::vector<std::set<std::pair<int, uint32_t>>> held(kWriters);
  std::atomic<int> failures{0};
  std::atomic<int> rounds{0};

  const auto write = [&](int t, std::mt19937& rng) {
    auto& mine = held[static_cast<std::size_t>(t)];
    const int which = static_cast<int>(rng() % 40);
    const uint32_t id = static_cast<uint32_t>(t) * kIdsPerWriter + 1 + rng() % kIdsPerWriter;
    const bool present = mine.count({which, id}) != 0;
    if (rng() % 3 == 0 || present) {
      if (tree.write()->remove(key_for(which), id) != present) failures.fetch_add(1);
      mine.erase({which, id});
    } else {
      if (!tree.write()->insert(key_for(which), id)) failures.fetch_add(1);
      mine.insert({which, id});
    }
  };
  write_while_reading(1, write, [&](std::mt19937& rng) {
    // Readers pause between reads: each reads the whole tree, and the writers set the run's length.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    const int low = static_cast<int>(rng() % 40);
    const int high = low + static_cast<int>(rng() % 10);
    auto reader = tree.read();
    Bitmap all = reader->query_range(Bound::unbounded(), Bound::unbounded());
    Bitmap some = reader->query_range(Bound::included(key_for(low)),
                                      Bound::included(NumericKey::floating(high / 2.0)));
    if (!all.contains(kPinnedId) || !some.contains(kPinnedId)) failures.fetch_add(1);
    // Every answer is a subset of the whole tree taken under the same read lock.
    Bitmap outside = Bitmap::difference(some, all);
    if (!outside.is_empty()) failures.fetch_add(1);
    if (rounds.fetch_add(1) % 8 != 0) return;
    std::size_t entries = 0;
    double previous = -1e300;
    reader->for_each([&](const Entry& entry) {
      const double number = value_of(entry.key());
      if (number < previous) failures.fetch_add(1);
      previous = number;
      ++entries;
    });
    if (entries != reader->size()) failures.fetch_add(1);
  });
  EXPECT_EQ(failures.load(), 0);

  // The final tree holds exactly the pinned entries and what each writer kept.
  auto reader = tree.read();
  std::multiset<std::pair<double, uint32_t>> expected;
  for (int which = 0; which < 40; ++which) expected.insert({value_of(key_for(which)), kPinnedId});
  for (const auto& mine : held) {
    for (const auto& [which, id] : mine) expected.insert({value_of(key_for(which)), id});
  }
  std::multiset<std::pair<double, uint32_t>> actual;
  reader->for_each([&](const Entry& entry) { actual.insert({value_of(entry.key()), entry.id()}); });
  EXPECT_EQ(actual, expected);
}

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
    }
  }
  const bool readers_still_running = reads.load() < kReaders * kReadsEach;
  done = true;
  for (auto& reader : readers) reader.join();
  std::sort(waited.begin(), waited.end());
  EXPECT_TRUE(readers_still_running) << "a write waited behind " << waited.back() << " reads";
  EXPECT_LE(waited[kWrites / 2], kReaders) << "reads a write waited behind, median of " << kWrites;
}

// Threads contending for one recursive mutex, each taking it twice over: one thread at a time is
// inside, no increment is lost and no waiter sleeps through an unlock (a lost wake-up hangs).
TEST(ConcurrentLocks, ARecursiveMutexAdmitsOneThreadAtATimeAndItsHolderAgain) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  RecursiveMutex mutex;
  std::atomic<int> inside{0};
  int count = 0;  // guarded by `mutex`
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        auto outer = mutex.lock();
        auto inner = mutex.lock();
        EXPECT_EQ(inside.fetch_add(1), 0);
        ++count;
        inside.fetch_sub(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(count, kThreads * kRounds);
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
  struct Counter {
    std::atomic<int> calls{0};
    std::atomic<bool> while_held{false};
    const std::atomic<bool>* held = nullptr;
    static void act(void* self) {
      auto* counter = static_cast<Counter*>(self);
      counter->while_held = counter->held->load();
      counter->calls.fetch_add(1);
    }
  };
  for (const Case& c : cases) {
    Locks locks;
    std::atomic<bool> held{false};
    Counter alone;
    alone.held = &held;
    {
      BeforeBlocking scope(&Counter::act, &alone);
      c.waiter(locks, [] {});
    }
    EXPECT_EQ(alone.calls.load(), 0) << c.name << ": acted without waiting";

    Counter contended;
    contended.held = &held;
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

}  // namespace
}  // namespace veldrake
