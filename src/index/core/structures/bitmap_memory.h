// The allocator CRoaring uses, and how running out of memory inside it becomes std::bad_alloc.
//
// CRoaring does not check most of its allocations: a null pointer is written through or leaves a
// container half-grown. So its allocator never returns null. When the system refuses an
// allocation, an emergency reserve set aside at start-up is given back and the allocation is
// retried: the CRoaring call runs to completion on that memory, leaving every bitmap whole, and
// `run` reports the shortage after it returns (std::bad_alloc, unless the reserve could be set
// aside again). The calls that change a bitmap in place are bounded well below the reserve
// (Bitmap splits large additions). A call that builds a new bitmap can need more; should the
// reserve not cover it, the allocator throws through CRoaring (compiled with -fexceptions): the
// half-built result is leaked, its inputs were only read. In-place calls never reach that point;
// if one does (several threads exhausting the reserve at once), the process stops with a message
// rather than keep a half-changed bitmap.
#pragma once

#include <type_traits>

namespace veldrake::bitmap_memory {

// Whether CRoaring may unwind out of a call: only when the call builds a new bitmap.
enum class Call { kInPlace, kBuilds };

// Marks this thread as inside a CRoaring call for the scope's lifetime.
class CallScope {
 public:
  explicit CallScope(Call kind);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
  // std::bad_alloc if the call drew on the reserve and the reserve cannot be set aside again.
  void throw_if_short() const;
};

// Runs `call`, one CRoaring call of kind `kind`; std::bad_alloc if memory ran out during it (a
// call that returned has had its whole effect).
template <class F>
auto run(Call kind, F&& call) {
  CallScope scope(kind);
  if constexpr (std::is_void_v<std::invoke_result_t<F>>) {
    call();
    scope.throw_if_short();
  } else {
    auto result = call();
    scope.throw_if_short();
    return result;
  }
}

}  // namespace veldrake::bitmap_memory
