// The allocator CRoaring uses, and how running out of memory inside it becomes std::bad_alloc.
//
// CRoaring does not check most of its allocations: a null pointer is written through or leaves a
// container half-grown. So its allocator never returns null. An emergency reserve is set aside
// before every call that changes a bitmap in place (std::bad_alloc there, before anything
// changed, if the system refuses it). When the system refuses an allocation during the call, the
// reserve is given back and the allocation retried: the call runs to completion on that memory
// and the bitmap is whole. The in-place calls Bitmap makes are bounded well below the reserve
// (it splits large additions and builds large unions anew), so each one either fails before
// changing anything or completes; the shortage surfaces at the next call, which cannot set the
// reserve aside again. A call that builds a new bitmap can need more than the reserve; then the
// allocator throws through CRoaring (compiled with -fexceptions): the half-built result is
// leaked, the inputs were only read. Should an in-place call still run out (several threads
// exhausting the reserve at once), the process stops with a message rather than keep a
// half-changed bitmap.
//
// Removing one id never fails, so that undoing a change can always complete: it allocates only
// when it turns a bitset container into an array one (8 KiB, and the bitset's 8 KiB are freed
// right after), so besides the main reserve it may draw on a pool of small blocks kept for
// removals alone and refilled at the start of each removal.
#pragma once

namespace veldrake::bitmap_memory {

// Whether CRoaring may unwind out of a call: only when the call builds a new bitmap. A removal
// of one id is in place and never fails.
enum class Call { kInPlace, kBuilds, kRemoval };

// Marks this thread as inside a CRoaring call for the scope's lifetime; a removal leaves it
// unmarked, which is what lets an allocation draw on the removals' pool. For an in-place call,
// std::bad_alloc if the reserve cannot be set aside.
class CallScope {
 public:
  explicit CallScope(Call kind);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  bool marked_;  // whether the thread is marked as in a call that must not draw on the pool
};

// Runs `call`, one CRoaring call of kind `kind`.
template <class F>
auto run(Call kind, F&& call) {
  CallScope scope(kind);
  return call();
}

// For tests of callers' failure handling: `admits()` is asked at the start of every call that
// may fail (not removals); false fails the call with std::bad_alloc before it changes anything,
// as a refused reserve does. Null (the default) admits every call.
void set_call_gate(bool (*admits)());

}  // namespace veldrake::bitmap_memory
