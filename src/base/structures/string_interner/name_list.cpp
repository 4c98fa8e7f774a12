#include "base/structures/string_interner/name_list.h"

#include <bit>
#include <cstdint>

#include "base/internal_error.h"

namespace veldrake {

NameList::~NameList() {
  for (auto& segment : segments_) delete[] segment.load(std::memory_order_relaxed);
}

NameList::Position NameList::position_of(uint32_t id) {
  // Segment k starts at id kFirstSegment * (2^k - 1).
  const uint64_t scaled = uint64_t{id} / kFirstSegment + 1;
  const auto segment = static_cast<unsigned>(std::bit_width(scaled) - 1);
  const uint64_t start = uint64_t{kFirstSegment} * ((uint64_t{1} << segment) - 1);
  return {segment, static_cast<std::size_t>(uint64_t{id} - start)};
}

uint32_t NameList::append(uint64_t hash, std::string_view name) {
  const uint32_t id = size_.load(std::memory_order_relaxed);
  check(id < UINT32_MAX, "interner: no name id left");
  const Position at = position_of(id);
  Entry* segment = segments_[at.segment].load(std::memory_order_relaxed);
  if (!segment) {
    const uint64_t length = uint64_t{kFirstSegment} << at.segment;
    check(length <= SIZE_MAX / sizeof(Entry), "interner: no room for more names");
    segment = new Entry[static_cast<std::size_t>(length)];
    segments_[at.segment].store(segment, std::memory_order_release);
  }
  segment[at.offset] = Entry{hash, std::string(name)};
  size_.store(id + 1, std::memory_order_release);
  return id;
}

const NameList::Entry& NameList::at(uint32_t id) const {
  check(id < size(), "interner: unknown name id");
  const Position at = position_of(id);
  return segments_[at.segment].load(std::memory_order_acquire)[at.offset];
}

}  // namespace veldrake
