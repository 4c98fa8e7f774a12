// The interned names by id, in segments that never move once allocated: segment k holds
// kFirstSegment << k names, so ids stay dense and the list grows without copying. One writer at a
// time appends (the interner serialises them) while readers look names up without locking.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace veldrake {

class NameList {
 public:
  struct Entry {
    uint64_t hash;
    std::string name;
  };

  NameList() = default;
  NameList(const NameList&) = delete;
  NameList& operator=(const NameList&) = delete;
  ~NameList();

  // Stores `name` under the next id and returns it. Callers serialise appends, and publish the id
  // to readers (with a release store) only after this returns.
  uint32_t append(uint64_t hash, std::string_view name);
  // The entry of an id that was published to the caller.
  const Entry& at(uint32_t id) const;
  uint32_t size() const { return size_.load(std::memory_order_acquire); }

 private:
  static constexpr uint32_t kFirstSegment = 64;
  // Enough segments for every uint32_t id.
  static constexpr unsigned kSegments = 27;

  struct Position {
    unsigned segment;
    std::size_t offset;
  };
  static Position position_of(uint32_t id);

  std::atomic<Entry*> segments_[kSegments] = {};
  std::atomic<uint32_t> size_{0};
};

}  // namespace veldrake
