// Values addressed by a 32-bit id, stored in pages of 256 slots allocated on first use.
//
// Object ids are process-wide, so one index may hold a few objects with large ids; a flat array
// indexed by id would cost memory for every id below the largest one. Pages keep the direct
// addressing (two array steps per lookup) while an index pays only for the pages its ids touch:
// 8 bytes per 256 ids up to the largest id, plus the touched pages. A page emptied by take() is
// freed, and so is the page table once every slot is empty.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace veldrake {

template <class T>
class PagedSlots {
 public:
  static constexpr uint32_t kPageBits = 8;
  static constexpr uint32_t kPageSize = uint32_t{1} << kPageBits;
  using Slot = std::optional<T>;

  // The value in slot `id`, or null.
  const T* find(uint32_t id) const {
    const Page* page = page_of(id);
    if (!page) return nullptr;
    const std::optional<T>& slot = page->slots[id & (kPageSize - 1)];
    return slot ? &*slot : nullptr;
  }
  T* find(uint32_t id) { return const_cast<T*>(std::as_const(*this).find(id)); }

  // Where slot `id` lies (filled or not), or null when its page is absent: for a walk that
  // prefetches slots a few steps before it reads them. The caller issues the prefetch: GCC treats
  // a function that only prefetches as free of effects and drops its calls.
  const void* slot_address(uint32_t id) const {
    const Page* page = page_of(id);
    return page ? &page->slots[id & (kPageSize - 1)] : nullptr;
  }

  // The slots of `ids` (a slot is empty when its id has no value), each null where its page is
  // absent, into `out` (as long as `ids`): for walks that prefetch slots before they read them.
  // Ascending ids read the address of each page once.
  void slots_of(std::span<const uint32_t> ids, const Slot** out) const {
    std::size_t page_index = SIZE_MAX;
    const Page* page = nullptr;
    for (uint32_t id : ids) {
      if ((id >> kPageBits) != page_index) {
        page_index = id >> kPageBits;
        page = page_of(id);
      }
      *out++ = page ? &page->slots[id & (kPageSize - 1)] : nullptr;
    }
  }

  // Stores `value` in slot `id`, replacing what was there.
  void put(uint32_t id, T value) {
    std::size_t index = id >> kPageBits;
    if (pages_.size() <= index) pages_.resize(index + 1);
    if (!pages_[index]) pages_[index] = std::make_unique<Page>();
    Page& page = *pages_[index];
    std::optional<T>& slot = page.slots[id & (kPageSize - 1)];
    if (!slot) {
      ++page.filled;
      ++filled_;
    }
    slot = std::move(value);
  }

  // Empties slot `id`, handing back what it held.
  std::optional<T> take(uint32_t id) {
    Page* page = const_cast<Page*>(page_of(id));
    if (!page) return std::nullopt;
    std::optional<T> taken = std::exchange(page->slots[id & (kPageSize - 1)], std::nullopt);
    if (!taken) return taken;
    --filled_;
    if (--page->filled == 0) pages_[id >> kPageBits].reset();
    if (filled_ == 0) std::vector<std::unique_ptr<Page>>().swap(pages_);
    return taken;
  }

  // Number of filled slots.
  std::size_t size() const { return filled_; }

  // Calls `visit(id, value)` for every filled slot, ascending by id.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t p = 0; p < pages_.size(); ++p) {
      if (!pages_[p]) continue;
      for (uint32_t i = 0; i < kPageSize; ++i) {
        if (const auto& slot = pages_[p]->slots[i])
          visit(static_cast<uint32_t>(p << kPageBits) | i, *slot);
      }
    }
  }

 private:
  struct Page {
    std::array<Slot, kPageSize> slots;
    uint32_t filled = 0;
  };

  const Page* page_of(uint32_t id) const {
    std::size_t index = id >> kPageBits;
    return index < pages_.size() ? pages_[index].get() : nullptr;
  }

  std::vector<std::unique_ptr<Page>> pages_;
  std::size_t filled_ = 0;
};

}  // namespace veldrake
