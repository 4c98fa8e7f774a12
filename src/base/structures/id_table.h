// One value per 32-bit id for the whole process, in chunks that never move once made.
//
// Ids are handed out small and dense (released ones are reused first), so a table indexed by id
// stays about as long as the number of ids in use, and a walk over ascending ids reads it in
// order. Chunks are found through a fixed directory and never freed, so a reader needs no lock to
// reach one, whatever is made meanwhile; entries are atomic, so reads and writes on different
// threads never tear.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>

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
    Chunk* fresh = new (std::nothrow) Chunk();
    if (!fresh) return false;
    Chunk* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) delete fresh;
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

  // get of each of `ids`, given ascending, into `out`. The chunk is looked up once per run of
  // ids in one chunk, and the run's end found by a binary search.
  void get_all(std::span<const uint32_t> ids, T* out) const {
    for (auto id = ids.begin(); id != ids.end();) {
      const uint64_t next_chunk_start = (uint64_t{*id >> kChunkBits} + 1) << kChunkBits;
      const auto run_end = std::lower_bound(id, ids.end(), next_chunk_start);
      const Chunk* chunk = chunk_of(*id);
      if (!chunk) {
        out = std::fill_n(out, run_end - id, T{});
        id = run_end;
        continue;
      }
      for (; id != run_end; ++id)
        *out++ = chunk->entries[*id & (kChunkSize - 1)].load(std::memory_order_acquire);
    }
  }

 private:
  struct Chunk {
    std::array<std::atomic<T>, kChunkSize> entries{};
  };

  Chunk* chunk_of(uint32_t id) const {
    return chunks_[id >> kChunkBits].load(std::memory_order_acquire);
  }

  std::array<std::atomic<Chunk*>, (std::size_t{1} << (32 - kChunkBits))> chunks_{};
};

}  // namespace veldrake
