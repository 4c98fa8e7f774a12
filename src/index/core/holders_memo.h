// Answers of ReachableObjects::holders_along kept for reuse: a dotted query asked again walks no
// links, it copies the answer it got last time. Each answer is kept with the count of link
// changes it was computed at, and is good only while that count stands; values changing on the
// reached objects only change which objects are walked back from, which is part of the key.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "base/structures/bitmap.h"

namespace veldrake {

class HoldersMemo {
 public:
  // The answer kept for walking `held` back along `attrs` when the links had changed `changes`
  // times, if any; only its ids in `within` unless that is null (intersected in place of a copy
  // then narrowed).
  std::optional<Bitmap> find(uint64_t changes, std::span<const uint32_t> attrs, const Bitmap& held,
                             const Bitmap* within) const;
  // Keeps `holders` as that answer, in place of an outdated one or, failing that, the oldest.
  void keep(uint64_t changes, std::span<const uint32_t> attrs, Bitmap held, Bitmap holders);

 private:
  // Enough for a group_by over a dotted path with a few dozen values; bounded, as each entry
  // holds two bitmaps.
  static constexpr std::size_t kEntries = 64;

  struct Entry {
    uint64_t changes = 0;
    std::vector<uint32_t> attrs;
    Bitmap held;
    Bitmap holders;
  };

  // A leaf lock: held only to compare and copy entries.
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::size_t oldest_ = 0;
};

}  // namespace veldrake
