#include "base/structures/bitmap_memory.h"

#include <roaring/roaring.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace veldrake::bitmap_memory {
namespace {

// Enough for any in-place call Bitmap makes: a few container allocations of at most 8 KiB each
// per added id, and one regrowth of the container directory (at most 65,536 entries).
constexpr std::size_t kReserveBytes = std::size_t{16} << 20;

std::atomic<void*> g_reserve{nullptr};

struct ThreadState {
  bool in_call = false;
  Call kind = Call::kInPlace;
};
thread_local ThreadState t_state;

// Sets the reserve aside if it is not; false when the system refuses it.
bool arm_reserve() {
  if (g_reserve.load(std::memory_order_acquire) != nullptr) return true;
  void* block = std::malloc(kReserveBytes);
  if (block == nullptr) return false;
  void* expected = nullptr;
  if (!g_reserve.compare_exchange_strong(expected, block, std::memory_order_acq_rel))
    std::free(block);  // another thread armed it first
  return true;
}

// `allocate()` with the reserve as fallback; never returns null (see bitmap_memory.h).
template <class Allocate>
void* allocate_or_draw(Allocate&& allocate) {
  if (void* p = allocate()) return p;
  if (void* reserve = g_reserve.exchange(nullptr, std::memory_order_acq_rel)) std::free(reserve);
  if (void* p = allocate()) return p;
  if (t_state.in_call && t_state.kind == Call::kBuilds) throw std::bad_alloc();
  std::fputs("Veldrake: out of memory inside a bitmap update, emergency reserve exhausted\n",
             stderr);
  std::abort();
}

void* hook_malloc(std::size_t size) {
  return allocate_or_draw([&] { return std::malloc(size); });
}

void* hook_realloc(void* block, std::size_t size) {
  // realloc(p, 0) frees and may return null: not a failure.
  if (size == 0) return std::realloc(block, 0);
  return allocate_or_draw([&] { return std::realloc(block, size); });
}

void* hook_calloc(std::size_t count, std::size_t size) {
  return allocate_or_draw([&] { return std::calloc(count, size); });
}

void* hook_aligned_malloc(std::size_t alignment, std::size_t size) {
  return allocate_or_draw([&]() -> void* {
    void* p = nullptr;
    return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
  });
}

// Installs the hooks and the reserve when the library is loaded, before any bitmap exists.
[[maybe_unused]] const bool g_installed = [] {
  roaring_init_memory_hook(roaring_memory_t{hook_malloc, hook_realloc, hook_calloc, std::free,
                                            hook_aligned_malloc, std::free});
  arm_reserve();
  return true;
}();

}  // namespace

CallScope::CallScope(Call kind) {
  if (kind == Call::kInPlace && !arm_reserve()) throw std::bad_alloc();
  t_state = ThreadState{true, kind};
}

CallScope::~CallScope() {
  t_state.in_call = false;
}

}  // namespace veldrake::bitmap_memory
