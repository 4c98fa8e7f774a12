// Locks that remember a failure.
//
// A call that fails with an exception while it holds a lock exclusively may have left the guarded
// data half-changed, so the lock is marked broken ("poisoned") and every later attempt to take it
// fails with an internal error. A failure while a lock is only read-held changes nothing and
// leaves the lock usable (a bad query must not break an index), and so does a failure the guard
// was told leaves the data whole (a change that completes or fails unchanged, or is undone).
//
// An exclusive guard learns that its holder succeeded by being told: every success path calls
// `commit()` before the guard goes, and a guard that goes uncommitted poisons its lock. Asking
// the C++ runtime for the exceptions in flight instead would cost a call into its thread-local
// state when each guard is made and again when it goes. A forgotten commit thus shows as a
// poisoned lock, never as a failure let through.
//
// Guards are RAII: the lock is released when the guard goes, also during unwinding.
#pragma once

#include <atomic>
#include <mutex>
#include <type_traits>
#include <utility>

#include "base/before_blocking.h"
#include "base/compact_recursive_mutex.h"
#include "base/internal_error.h"
#include "base/writer_first_mutex.h"

namespace veldrake {

inline constexpr const char* kPoisonedLock =
    "poisoned lock: an earlier call failed while holding it";

namespace detail {

// Marks `poisoned` when the owning guard goes before it was told the data is whole.
class PoisonUnlessCommitted {
 public:
  explicit PoisonUnlessCommitted(std::atomic<bool>* poisoned) : poisoned_(poisoned) {}
  void fire_unless_committed() {
    if (poisoned_) poisoned_->store(true, std::memory_order_relaxed);
  }
  void commit() { poisoned_ = nullptr; }

 private:
  std::atomic<bool>* poisoned_;
};

inline void throw_if_poisoned(const std::atomic<bool>& poisoned) {
  if (poisoned.load(std::memory_order_relaxed)) internal_error(kPoisonedLock);
}

}  // namespace detail

// Exclusive guard over a Lockable `M` (std::mutex or CompactRecursiveMutex).
template <class M>
class ExclusiveGuard {
 public:
  // `failure_safe`: the holder changes nothing, so a failure under the guard never poisons.
  ExclusiveGuard(M& mutex, std::atomic<bool>& poisoned, bool failure_safe = false)
      : mutex_(&mutex), poison_(failure_safe ? nullptr : &poisoned) {
    if (!mutex_->try_lock()) {
      BeforeBlocking::now();
      mutex_->lock();
    }
    if (poisoned.load(std::memory_order_relaxed)) {
      mutex_->unlock();
      internal_error(kPoisonedLock);
    }
  }
  ExclusiveGuard(ExclusiveGuard&& other) noexcept
      : mutex_(std::exchange(other.mutex_, nullptr)), poison_(other.poison_) {
    other.poison_.commit();
  }
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(ExclusiveGuard&&) = delete;
  ~ExclusiveGuard() {
    if (!mutex_) return;
    poison_.fire_unless_committed();
    mutex_->unlock();
  }
  // The guarded data is whole, and stays so whatever the holder does next: the guard lets the
  // lock go unpoisoned. Every success path calls it; so does a failure once it has undone its
  // change, and a holder about to do what can only fail unchanged.
  void commit() { poison_.commit(); }

 private:
  M* mutex_;
  detail::PoisonUnlessCommitted poison_;
};

// A mutex that is poisoned by a failure while held.
class Mutex {
 public:
  using Guard = ExclusiveGuard<std::mutex>;
  [[nodiscard]] Guard lock() { return Guard(mutex_, poisoned_); }
  bool is_poisoned() const { return poisoned_.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
};

// A mutex that the holding thread may take again (nested objects can lead a thread back to an
// object it already holds); poisoned like Mutex.
class RecursiveMutex {
 public:
  using Guard = ExclusiveGuard<CompactRecursiveMutex>;
  [[nodiscard]] Guard lock() { return Guard(mutex_, poisoned_); }
  // For a holder that only reads: a failure under it leaves the lock usable.
  [[nodiscard]] Guard lock_to_read() { return Guard(mutex_, poisoned_, true); }
  // Takes the lock whatever an earlier failure left, for readers that must never fail (the
  // collector's traversal): the data is then possibly stale, but every container in it is whole.
  [[nodiscard]] std::unique_lock<CompactRecursiveMutex> lock_ignoring_poison() {
    return std::unique_lock(mutex_);
  }
  bool is_poisoned() const { return poisoned_.load(std::memory_order_relaxed); }

 private:
  CompactRecursiveMutex mutex_;
  std::atomic<bool> poisoned_{false};
};

// A reader-writer lock where a waiting writer goes before later readers (see
// writer_first_mutex.h). Only a failure under the write lock poisons it.
class SharedMutex {
 public:
  class ReadGuard {
   public:
    explicit ReadGuard(SharedMutex& owner, bool check_poison = true) : owner_(&owner) {
      owner.mutex_.lock_shared();
      if (check_poison && owner.poisoned_.load(std::memory_order_relaxed)) {
        owner.mutex_.unlock_shared();
        internal_error(kPoisonedLock);
      }
    }
    ReadGuard(ReadGuard&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ReadGuard& operator=(ReadGuard&&) = delete;
    ~ReadGuard() {
      if (owner_) owner_->mutex_.unlock_shared();
    }

   private:
    SharedMutex* owner_;
  };

  class WriteGuard {
   public:
    // `failure_safe`: every failure of the holder leaves the data whole, so none poisons.
    explicit WriteGuard(SharedMutex& owner, bool failure_safe = false)
        : owner_(&owner), poison_(failure_safe ? nullptr : &owner.poisoned_) {
      owner.mutex_.lock();
      if (owner.poisoned_.load(std::memory_order_relaxed)) {
        owner.mutex_.unlock();
        internal_error(kPoisonedLock);
      }
    }
    WriteGuard(WriteGuard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), poison_(other.poison_) {
      other.poison_.commit();
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    WriteGuard& operator=(WriteGuard&&) = delete;
    ~WriteGuard() {
      if (!owner_) return;
      poison_.fire_unless_committed();
      owner_->mutex_.unlock();
    }
    // See ExclusiveGuard::commit.
    void commit() { poison_.commit(); }

   private:
    SharedMutex* owner_;
    detail::PoisonUnlessCommitted poison_;
  };

  [[nodiscard]] ReadGuard read() { return ReadGuard(*this); }
  // For readers that must never fail (the cycle collector's traversal): what a failed writer
  // left is read as it is.
  [[nodiscard]] ReadGuard read_ignoring_poison() { return ReadGuard(*this, false); }
  [[nodiscard]] WriteGuard write() { return WriteGuard(*this); }
  // For a writer whose every failure leaves the data whole (an insertion that fails unchanged, a
  // removal that cannot fail): such a guard never poisons, and needs no commit.
  [[nodiscard]] WriteGuard write_failure_safe() { return WriteGuard(*this, true); }
  bool is_poisoned() const { return poisoned_.load(std::memory_order_relaxed); }

 private:
  WriterFirstMutex mutex_;
  std::atomic<bool> poisoned_{false};
};

// A value guarded by a SharedMutex: the only way to reach it is through a guard.
template <class T>
class RwLocked {
 public:
  template <class... Args>
  explicit RwLocked(Args&&... args) : value_(std::forward<Args>(args)...) {}

  class Reader {
   public:
    Reader(SharedMutex::ReadGuard guard, const T& v) : guard_(std::move(guard)), value_(&v) {}
    const T& operator*() const { return *value_; }
    const T* operator->() const { return value_; }

   private:
    SharedMutex::ReadGuard guard_;
    const T* value_;
  };
  class Writer {
   public:
    Writer(SharedMutex& m, T& v, bool failure_safe = false) : guard_(m, failure_safe), value_(&v) {}
    T& operator*() const { return *value_; }
    T* operator->() const { return value_; }
    // See SharedMutex::WriteGuard::commit.
    void commit() { guard_.commit(); }

   private:
    SharedMutex::WriteGuard guard_;
    T* value_;
  };

  [[nodiscard]] Reader read() const { return Reader(mutex_.read(), value_); }
  [[nodiscard]] Reader read_ignoring_poison() const {
    return Reader(mutex_.read_ignoring_poison(), value_);
  }
  [[nodiscard]] Writer write() { return Writer(mutex_, value_); }
  // See SharedMutex::write_failure_safe.
  [[nodiscard]] Writer write_failure_safe() { return Writer(mutex_, value_, true); }
  // Returns `change(value)`, made under the write lock, which it poisons if `change` throws.
  template <class Change>
  decltype(auto) update(Change&& change) {
    Writer writer = write();
    if constexpr (std::is_void_v<decltype(change(*writer))>) {
      change(*writer);
      writer.commit();
    } else {
      decltype(auto) result = change(*writer);
      writer.commit();
      return result;
    }
  }

 private:
  mutable SharedMutex mutex_;
  T value_;
};

}  // namespace veldrake
