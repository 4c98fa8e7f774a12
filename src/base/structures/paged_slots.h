// Values addressed by a 32-bit id, stored in pages of 256 slots allocated on first use.
//
// Object ids are process-wide, so one index may hold a few objects with large ids; a flat array
// indexed by id would cost memory for every id below the largest one. Pages keep the direct
// addressing (two array steps per lookup) while an index pays only for the pages its ids touch:
// 8 bytes per 256 ids up to the largest id, plus the touched pages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace veldrake {

template <class T>
class PagedSlots {
 public:
  static constexpr uint32_t kPageBits = 8;
  static constexpr uint32_t kPageSize = uint32_t{1} << kPageBits;

  // The value in slot `id`, or null.
  const T* find(uint32_t id) const {
    const Page* page = page_of(id);
    if (!page) return nullptr;
    const std::optional<T>& slot = (*page)[id & (kPageSize - 1)];
    return slot ? &*slot : nullptr;
  }
  T* find(uint32_t id) { return const_cast<T*>(std::as_const(*this).find(id)); }

  // Starts loading slot `id` into the cache, for a walk that reads it a few steps later.
  void prefetch(uint32_t id) const {
    if (const Page* page = page_of(id)) __builtin_prefetch(&(*page)[id & (kPageSize - 1)]);
  }

  // Stores `value` in slot `id`, replacing what was there.
  void put(uint32_t id, T value) {
    std::size_t index = id >> kPageBits;
    if (pages_.size() <= index) pages_.resize(index + 1);
    if (!pages_[index]) pages_[index] = std::make_unique<Page>();
    (*pages_[index])[id & (kPageSize - 1)] = std::move(value);
  }

  // Empties slot `id`, handing back what it held.
  std::optional<T> take(uint32_t id) {
    Page* page = const_cast<Page*>(page_of(id));
    if (!page) return std::nullopt;
    return std::exchange((*page)[id & (kPageSize - 1)], std::nullopt);
  }

  // Calls `visit(id, value)` for every filled slot, ascending by id.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t p = 0; p < pages_.size(); ++p) {
      if (!pages_[p]) continue;
      for (uint32_t i = 0; i < kPageSize; ++i) {
        if (const auto& slot = (*pages_[p])[i])
          visit(static_cast<uint32_t>(p << kPageBits) | i, *slot);
      }
    }
  }

 private:
  using Page = std::array<std::optional<T>, kPageSize>;

  const Page* page_of(uint32_t id) const {
    std::size_t index = id >> kPageBits;
    return index < pages_.size() ? pages_[index].get() : nullptr;
  }

  std::vector<std::unique_ptr<Page>> pages_;
};

}  // namespace veldrake
