#include "base/structures/bitmap.h"

#include <algorithm>
#include <bit>
#include <new>
#include <utility>

#include "base/internal_error.h"
#include "base/structures/bitmap_memory.h"

namespace veldrake {

using bitmap_memory::Call;
using bitmap_memory::run;

namespace {

// Ids added per CRoaring call: bounds what one in-place call can allocate (each id grows at most
// one container) well below the allocator's reserve.
constexpr std::size_t kAddChunk = 1024;

// How many distinct ids the ascending ids [first, last) hold.
std::size_t distinct_ascending(const uint32_t* first, const uint32_t* last) {
  std::size_t distinct = 1;
  for (const uint32_t* id = first + 1; id < last; ++id) distinct += *id != id[-1];
  return distinct;
}

// Writes the low 16 bits of the ascending ids [first, last) to `out` without repeats (all share
// their high bits); returns how many. Kept in locals, which the compiler cannot do for a
// container's fields.
std::size_t unique_lows(const uint32_t* first, const uint32_t* last, uint16_t* out) {
  uint16_t* written = out;
  *written = static_cast<uint16_t>(*first);
  for (const uint32_t* id = first + 1; id < last; ++id) {
    const auto low = static_cast<uint16_t>(*id);
    if (low != *written) *++written = low;
  }
  return static_cast<std::size_t>(written - out) + 1;
}

// `ids` without repeats, ascending: CRoaring adds ids in order by appending, and out of order by
// searching and shifting each container. Ids that fill their range well are sorted by marking
// them in a plain bit array and reading it back, in time linear in the range.
std::vector<uint32_t> ascending(std::span<const uint32_t> ids) {
  constexpr uint32_t kWordBits = 64;
  const uint32_t largest = *std::max_element(ids.begin(), ids.end());
  const std::size_t words = largest / kWordBits + 1;
  std::vector<uint32_t> sorted;
  if (ids.size() * 4 < words) {
    sorted.assign(ids.begin(), ids.end());
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    return sorted;
  }
  std::vector<uint64_t> marks(words);
  uint64_t* const marked = marks.data();
  for (uint32_t id : ids) marked[id / kWordBits] |= uint64_t{1} << (id % kWordBits);
  // Written through a pointer: push_back would check the capacity at every id.
  sorted.resize(ids.size());
  uint32_t* out = sorted.data();
  for (std::size_t word = 0; word < words; ++word) {
    const auto base = static_cast<uint32_t>(word * kWordBits);
    for (uint64_t bits = marked[word]; bits != 0; bits &= bits - 1)
      *out++ = base + static_cast<uint32_t>(std::countr_zero(bits));
  }
  sorted.resize(static_cast<std::size_t>(out - sorted.data()));
  return sorted;
}

}  // namespace

Bitmap::Bitmap(const Bitmap& other) : Bitmap() {
  // Copied into this bitmap's own struct, which saves allocating and freeing a separate one.
  try {
    run(Call::kBuilds, [&] {
      if (!roaring_bitmap_overwrite(&roaring_, &other.roaring_)) throw std::bad_alloc();
    });
  } catch (...) {
    // Out of memory halfway, the struct may count containers never made: they are forgotten
    // rather than freed, as a failed build leaks its half-built result.
    roaring_ = {};
    throw;
  }
}

Bitmap Bitmap::of(std::span<const uint32_t> ids) {
  if (std::is_sorted(ids.begin(), ids.end())) return of_ascending(ids);
  return of_ascending(ascending(ids));
}

Bitmap Bitmap::of_ascending(std::span<const uint32_t> ids) {
  // Each container is made at its final size and filled in order: adding the ids one by one
  // would grow every array step by step and search it at each growth, some fifty instructions
  // an id.
  using namespace roaring::internal;
  Bitmap bitmap;
  run(Call::kBuilds, [&] {
    const uint32_t* next = ids.data();
    const uint32_t* const end = next + ids.size();
    while (next != end) {
      const uint32_t high = *next >> 16;
      // The ids of one container end where the next 2^16 begin: found by a binary search, not
      // by looking at every id.
      const uint32_t* const stop =
          high == 0xFFFF ? end : std::lower_bound(next, end, (high + 1) << 16);
      const auto size = static_cast<std::size_t>(stop - next);
      container_t* container = nullptr;
      uint8_t type = 0;
      // Sorted input may repeat ids: more ids than an array holds may still fit one.
      const std::size_t room = size <= DEFAULT_MAX_SIZE ? size : distinct_ascending(next, stop);
      if (room <= DEFAULT_MAX_SIZE) {
        array_container_t* array =
            array_container_create_given_capacity(static_cast<int32_t>(room));
        array->cardinality = static_cast<int32_t>(unique_lows(next, stop, array->array));
        container = array;
        type = ARRAY_CONTAINER_TYPE;
      } else {
        bitset_container_t* bits = bitset_container_create();
        for (const uint32_t* id = next; id != stop; ++id)
          bitset_container_set(bits, static_cast<uint16_t>(*id));
        container = bits;
        type = BITSET_CONTAINER_TYPE;
      }
      ra_append(&bitmap.roaring_.high_low_container, static_cast<uint16_t>(high), container, type);
      next = stop;
    }
  });
  return bitmap;
}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
  if (this != &other) {
    clear();
    roaring_ = std::exchange(other.roaring_, {});
  }
  return *this;
}

bool Bitmap::add(uint32_t id) {
  return run(Call::kInPlace, [&] { return roaring_bitmap_add_checked(&roaring_, id); });
}

void Bitmap::add_many(std::span<const uint32_t> ids) {
  // A failure between chunks leaves the earlier chunks added: the bitmap stays whole.
  for (std::size_t start = 0; start < ids.size(); start += kAddChunk) {
    const auto chunk = ids.subspan(start, std::min(kAddChunk, ids.size() - start));
    run(Call::kInPlace, [&] { roaring_bitmap_add_many(&roaring_, chunk.size(), chunk.data()); });
  }
}

bool Bitmap::remove(uint32_t id) noexcept {
  return run(Call::kRemoval, [&] { return roaring_bitmap_remove_checked(&roaring_, id); });
}

void Bitmap::and_inplace(const Bitmap& other) {
  if (this != &other)
    run(Call::kInPlace, [&] { roaring_bitmap_and_inplace(&roaring_, &other.roaring_); });
}

void Bitmap::or_inplace(const Bitmap& other) {
  // A union can grow without bound, beyond what the reserve covers in place: it is built as a
  // new bitmap unless `other` is small enough to add id by id.
  if (this == &other) return;
  if (other.cardinality() <= kAddChunk) {
    run(Call::kInPlace, [&] { roaring_bitmap_or_inplace(&roaring_, &other.roaring_); });
  } else {
    *this =
        run(Call::kBuilds, [&] { return adopt(roaring_bitmap_or(&roaring_, &other.roaring_)); });
  }
}

void Bitmap::andnot_inplace(const Bitmap& other) {
  // The C call requires distinct operands; a set minus itself is empty.
  if (this == &other) {
    clear();
  } else {
    run(Call::kInPlace, [&] { roaring_bitmap_andnot_inplace(&roaring_, &other.roaring_); });
  }
}

Bitmap Bitmap::intersection(const Bitmap& a, const Bitmap& b) {
  return run(Call::kBuilds, [&] { return adopt(roaring_bitmap_and(&a.roaring_, &b.roaring_)); });
}

Bitmap Bitmap::difference(const Bitmap& a, const Bitmap& b) {
  return run(Call::kBuilds, [&] { return adopt(roaring_bitmap_andnot(&a.roaring_, &b.roaring_)); });
}

Bitmap Bitmap::union_many(std::span<const Bitmap* const> bitmaps) {
  std::vector<const roaring_bitmap_t*> operands;
  operands.reserve(bitmaps.size());
  for (const Bitmap* bitmap : bitmaps) operands.push_back(&bitmap->roaring_);
  return run(Call::kBuilds,
             [&] { return adopt(roaring_bitmap_or_many(operands.size(), operands.data())); });
}

Bitmap Bitmap::union_within(std::span<const Bitmap* const> bitmaps, const Bitmap& filter) {
  using namespace roaring::internal;
  if (bitmaps.size() < 2) {
    Bitmap result = union_many(bitmaps);
    result.and_inplace(filter);
    return result;
  }
  // A plain union turns each sparse bitset container it built back into an array, a full
  // extraction of its bits; the intersection does that extraction anyway, so the union stays
  // lazy and only its counts are made right (the intersection trusts a bitset's count where the
  // other side is a full run). Built in one call: a failure leaks the half-built union.
  Bitmap result = run(Call::kBuilds, [&] {
    roaring_bitmap_t* united =
        roaring_bitmap_lazy_or(&bitmaps[0]->roaring_, &bitmaps[1]->roaring_, true);
    for (const Bitmap* bitmap : bitmaps.subspan(2))
      roaring_bitmap_lazy_or_inplace(united, &bitmap->roaring_, true);
    roaring_array_t& containers = united->high_low_container;
    for (int32_t i = 0; i < containers.size; ++i) {
      if (containers.typecodes[i] != BITSET_CONTAINER_TYPE) continue;
      auto* bits = static_cast<bitset_container_t*>(containers.containers[i]);
      if (bits->cardinality == BITSET_UNKNOWN_CARDINALITY)
        bits->cardinality = bitset_container_compute_cardinality(bits);
    }
    return adopt(united);
  });
  result.and_inplace(filter);
  return result;
}

std::vector<uint32_t> Bitmap::to_vector() const {
  std::vector<uint32_t> ids(static_cast<size_t>(cardinality()));
  if (!ids.empty()) roaring_bitmap_to_uint32_array(&roaring_, ids.data());
  return ids;
}

void Bitmap::append_to(std::vector<uint32_t>& ids) const {
  const std::size_t start = ids.size();
  ids.resize(start + static_cast<std::size_t>(cardinality()));
  if (ids.size() > start) roaring_bitmap_to_uint32_array(&roaring_, ids.data() + start);
}

Bitmap Bitmap::adopt(roaring_bitmap_t* result) {
  if (result == nullptr) internal_error("assertion failed: !p.is_null()");
  Bitmap bitmap;
  bitmap.roaring_ = *result;
  // The containers now belong to `bitmap`; only the outer struct is released.
  roaring_free(result);
  return bitmap;
}

}  // namespace veldrake
