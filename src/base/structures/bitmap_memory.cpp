#include "base/structures/bitmap_memory.h"

#include <roaring/roaring.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "base/hot_thread_local.h"

namespace veldrake::bitmap_memory {
namespace {

// Enough for any in-place call Bitmap makes: a few container allocations of at most 8 KiB each
// per added id, and one regrowth of the container directory (at most 65,536 entries).
constexpr std::size_t kReserveBytes = std::size_t{16} << 20;

std::atomic<void*> g_reserve{nullptr};

// The removals' pool: each block covers one bitset-to-array conversion (see bitmap_memory.h).
// Several, for threads removing at once.
constexpr std::size_t kRemovalBlockBytes = std::size_t{16} << 10;
constexpr std::size_t kRemovalBlocks = 8;
std::array<std::atomic<void*>, kRemovalBlocks> g_removal_pool{};
std::atomic<bool> g_removal_pool_short{true};  // some block is missing

std::atomic<bool (*)()> g_call_gate{nullptr};

// Set for the calls that must not draw on the removals' pool. A removal, the most frequent call,
// leaves it alone: each look at thread-local state costs a call into the dynamic loader.
struct ThreadState {
  bool in_call = false;
  Call kind = Call::kInPlace;
};
VELDRAKE_HOT_THREAD_LOCAL ThreadState t_state;

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

// Puts back the blocks of the removals' pool that were drawn on, as far as the system allows.
void refill_removal_pool() {
  // Read first: removals are frequent, and a plain load keeps the flag's cache line shared.
  if (!g_removal_pool_short.load(std::memory_order_acquire) ||
      !g_removal_pool_short.exchange(false, std::memory_order_acq_rel))
    return;
  for (std::atomic<void*>& slot : g_removal_pool) {
    if (slot.load(std::memory_order_acquire) != nullptr) continue;
    void* block = std::malloc(kRemovalBlockBytes);
    if (block == nullptr) {
      g_removal_pool_short.store(true, std::memory_order_release);
      return;
    }
    void* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, block, std::memory_order_acq_rel)) std::free(block);
  }
}

// Frees one block of the removals' pool; false when none is left.
bool draw_removal_block() {
  for (std::atomic<void*>& slot : g_removal_pool) {
    if (void* block = slot.exchange(nullptr, std::memory_order_acq_rel)) {
      g_removal_pool_short.store(true, std::memory_order_release);
      std::free(block);
      return true;
    }
  }
  return false;
}

// `allocate()` with the reserve as fallback; never returns null (see bitmap_memory.h).
template <class Allocate>
void* allocate_or_draw(Allocate&& allocate) {
  if (void* p = allocate()) return p;
  if (void* reserve = g_reserve.exchange(nullptr, std::memory_order_acq_rel)) std::free(reserve);
  if (void* p = allocate()) return p;
  if (!t_state.in_call) {
    while (draw_removal_block()) {
      if (void* p = allocate()) return p;
    }
  }
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
  refill_removal_pool();
  return true;
}();

}  // namespace

CallScope::CallScope(Call kind) : marked_(kind != Call::kRemoval) {
  if (!marked_) {
    // Best effort: a removal runs with whatever memory is left. The main reserve is not retried
    // here, as a removal needs little, and undoing a large change makes many.
    refill_removal_pool();
    return;
  }
  bool (*gate)() = g_call_gate.load(std::memory_order_acquire);
  if (gate != nullptr && !gate()) throw std::bad_alloc();
  if (kind == Call::kInPlace && !arm_reserve()) throw std::bad_alloc();
  t_state = ThreadState{true, kind};
}

CallScope::~CallScope() {
  if (marked_) t_state.in_call = false;
}

void set_call_gate(bool (*admits)()) {
  g_call_gate.store(admits, std::memory_order_release);
}

}  // namespace veldrake::bitmap_memory
