// One value per 32-bit id for the whole process, in chunks that never move once made.
//
// Ids are handed out small and dense (released ones are reused first), so a table indexed by id
// stays about as long as the number of ids in use, and a walk over ascending ids reads it in
// order. Chunks are found through a fixed directory and never freed, so a reader needs no lock to
// reach one, whatever is made meanwhile; entries are atomic, so reads and writes on different
// threads never tear.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace veldrake {

template <class T>
class IdTable {
 public:
  static constexpr uint32_t kChunkBits = 16;
  static constexpr uint32_t kChunkSize = uint32_t{1} << kChunkBits;

  constexpr IdTable() = default;
  IdTable(const IdTable&) = delete;
  IdTable& operator=(const IdTable&) = delete;

  // Makes room for `id`; false when memory ran out.
  bool make_room(uint32_t id) {
    std::atomic<Chunk*>& slot = chunks_[id >> kChunkBits];
    if (slot.load(std::memory_order_acquire)) return true;
    const uint32_t index = id >> kChunkBits;
    if (index < kChunksPerSlab) {
      Chunk* fresh = new (std::nothrow) Chunk();
      if (!fresh) return false;
      Chunk* expected = nullptr;
      if (!slot.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) delete fresh;
      return true;
    }
    Slab* slab = slab_for(index / kChunksPerSlab);
    if (!slab) return false;
    Chunk* expected = nullptr;
    slot.compare_exchange_strong(expected, &slab->chunks[index % kChunksPerSlab],
                                 std::memory_order_acq_rel);
    return true;
  }

  // Stores `value` for `id`, whose room was made.
  void set(uint32_t id, T value) {
    chunk_of(id)->entries[id & (kChunkSize - 1)].store(value, std::memory_order_release);
  }

  // The value of `id`, or T{} when none was stored.
  T get(uint32_t id) const {
    const Chunk* chunk = chunk_of(id);
    return chunk ? chunk->entries[id & (kChunkSize - 1)].load(std::memory_order_acquire) : T{};
  }

 private:
  struct Chunk {
    std::array<std::atomic<T>, kChunkSize> entries{};
  };

  Chunk* chunk_of(uint32_t id) const {
    return chunks_[id >> kChunkBits].load(std::memory_order_acquire);
  }

  static constexpr std::size_t kChunks = std::size_t{1} << (32 - kChunkBits);
  std::array<std::atomic<Chunk*>, kChunks> chunks_{};

  // Past the first slab's worth of ids, chunks are made a huge page at a time: an answer's ids
  // are scattered over the table, and with small pages each costs a page walk besides its
  // object's (twice the time of a large answer at 10^6 ids). The first ids keep small chunks,
  // so a small table stays small. Slabs, like chunks, are never freed.
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  static constexpr std::size_t kChunksPerSlab =
      sizeof(Chunk) >= kHugePage ? 1 : kHugePage / sizeof(Chunk);
  struct Slab {
    std::array<Chunk, kChunksPerSlab> chunks{};
  };

  // The slab of chunks [number * kChunksPerSlab, (number + 1) * kChunksPerSlab), made on first
  // use; null when memory ran out.
  Slab* slab_for(uint32_t number) {
    std::atomic<Slab*>& slot = slabs_[number];
    if (Slab* made = slot.load(std::memory_order_acquire)) return made;
    void* memory = std::aligned_alloc(kHugePage, sizeof(Slab));
    if (!memory) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(memory, sizeof(Slab), MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
    Slab* fresh = new (memory) Slab();
    Slab* expected = nullptr;
    if (slot.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
    fresh->~Slab();
    std::free(memory);
    return expected;
  }

  std::array<std::atomic<Slab*>, kChunks / kChunksPerSlab> slabs_{};
};

}  // namespace veldrake
