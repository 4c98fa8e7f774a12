// A compressed set of 32-bit ids (a roaring bitmap).
//
// This is the only type that talks to CRoaring: the rest of the engine sees ids, spans and
// bitmaps, never the C API, so a library upgrade stays inside bitmap.h / bitmap.cpp.
//
// The C struct is held by value, as CRoaring's own C++ wrapper does: an empty bitmap allocates
// nothing, and a move is a plain struct copy that leaves the source empty (and allocation-free).
// Every call that allocates goes through bitmap_memory::run: out of memory, a change either
// throws std::bad_alloc before touching the bitmap or completes (add_many: chunk by chunk), an
// operation building a new bitmap throws it with its operands unchanged, and removing one id
// never fails.
#pragma once

#include <roaring/roaring.h>

#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace veldrake {

class Bitmap {
 public:
  // Ascending walk over the ids; invalidated by any change to the bitmap.
  class Iterator {
   public:
    using value_type = uint32_t;
    using difference_type = std::ptrdiff_t;

    Iterator() = default;
    // The current id.
    uint32_t operator*() const { return cursor_.current_value; }
    // Moves to the next larger id.
    Iterator& operator++() {
      roaring_uint32_iterator_advance(&cursor_);
      return *this;
    }
    void operator++(int) { ++*this; }
    // True once every id has been visited.
    bool operator==(std::default_sentinel_t) const { return !cursor_.has_value; }

   private:
    friend class Bitmap;
    explicit Iterator(const roaring_bitmap_t& bitmap) { roaring_iterator_init(&bitmap, &cursor_); }

    roaring_uint32_iterator_t cursor_{};
  };

  // An empty bitmap; allocates nothing. Zero-filled, which is the state
  // roaring_bitmap_init_cleared leaves, without its call into the library: bitmaps are made and
  // moved several times over for every group of a group_by and every query.
  Bitmap() noexcept : roaring_{} {}
  // The bitmap holding exactly `ids` (any order, repeats allowed).
  static Bitmap of(std::span<const uint32_t> ids);

  // A copy of `other`.
  Bitmap(const Bitmap& other);
  // Takes the content of `other`, leaving it empty.
  Bitmap(Bitmap&& other) noexcept : roaring_(std::exchange(other.roaring_, {})) {}
  // Replaces the content with a copy of `other`.
  Bitmap& operator=(const Bitmap& other) { return *this = Bitmap(other); }
  // Replaces the content with that of `other`, leaving it empty.
  Bitmap& operator=(Bitmap&& other) noexcept;
  // Releases every container (the clear call frees all of the bitmap's memory).
  ~Bitmap() { clear(); }

  // Adds `id`; true if it was absent.
  bool add(uint32_t id);
  // Adds every id of `ids`.
  void add_many(std::span<const uint32_t> ids);
  // Removes `id`; true if it was present. Never fails (see bitmap_memory.h), so undoing an
  // addition always completes.
  bool remove(uint32_t id) noexcept;
  // Whether `id` is present.
  bool contains(uint32_t id) const { return roaring_bitmap_contains(&roaring_, id); }
  // Number of ids.
  uint64_t cardinality() const { return roaring_bitmap_get_cardinality(&roaring_); }
  // Whether there are no ids.
  bool is_empty() const { return roaring_bitmap_is_empty(&roaring_); }
  // The smallest id; UINT32_MAX when empty.
  uint32_t minimum() const { return roaring_bitmap_minimum(&roaring_); }
  // The largest id; 0 when empty.
  uint32_t maximum() const { return roaring_bitmap_maximum(&roaring_); }
  // Removes every id. A bitmap that never allocated (most query temporaries) skips the call,
  // which costs some fifty instructions even then.
  void clear() {
    if (roaring_.high_low_container.allocation_size != 0) roaring_bitmap_clear(&roaring_);
  }
  // The smallest id at or above `id`, if any.
  std::optional<uint32_t> next_from(uint32_t id) const {
    roaring_uint32_iterator_t cursor;
    roaring_iterator_init(&roaring_, &cursor);
    if (!roaring_uint32_iterator_move_equalorlarger(&cursor, id)) return std::nullopt;
    return cursor.current_value;
  }
  // Whether the two share an id.
  bool intersects(const Bitmap& other) const {
    return roaring_bitmap_intersect(&roaring_, &other.roaring_);
  }
  // Whether every id is also in `other`.
  bool is_subset_of(const Bitmap& other) const {
    return roaring_bitmap_is_subset(&roaring_, &other.roaring_);
  }

  // Keeps only the ids also in `other`.
  void and_inplace(const Bitmap& other);
  // Adds the ids of `other`.
  void or_inplace(const Bitmap& other);
  // Removes the ids of `other`.
  void andnot_inplace(const Bitmap& other);
  // The ids in both `a` and `b`.
  static Bitmap intersection(const Bitmap& a, const Bitmap& b);
  // How many ids are in both `a` and `b`, without building the intersection.
  static uint64_t intersection_cardinality(const Bitmap& a, const Bitmap& b) {
    return roaring_bitmap_and_cardinality(&a.roaring_, &b.roaring_);
  }
  // The ids of `a` that are not in `b`.
  static Bitmap difference(const Bitmap& a, const Bitmap& b);
  // The ids in any of `bitmaps`.
  static Bitmap union_many(std::span<const Bitmap* const> bitmaps);
  // The ids in any of `bitmaps` that are also in `filter`.
  static Bitmap union_within(std::span<const Bitmap* const> bitmaps, const Bitmap& filter);

  // First id of the ascending walk.
  Iterator begin() const { return Iterator(roaring_); }
  // End of the ascending walk.
  std::default_sentinel_t end() const { return {}; }
  // Calls `visit(id)` for every id in ascending order.
  template <class F>
  void for_each(F&& visit) const {
    for_each_block([&](std::span<const uint32_t> block) {
      for (uint32_t id : block) visit(id);
    });
  }
  // The most ids for_each_block hands over at once.
  static constexpr std::size_t kBlockSize = 256;
  // Calls `visit(std::span<const uint32_t>)` with the ids in ascending order, a block at a time,
  // for walks that look a few ids ahead and cheaper than stepping one id at a time.
  template <class F>
  void for_each_block(F&& visit) const {
    std::array<uint32_t, kBlockSize> block;
    roaring_uint32_iterator_t cursor;
    roaring_iterator_init(&roaring_, &cursor);
    while (uint32_t n = roaring_uint32_iterator_read(&cursor, block.data(), block.size()))
      visit(std::span<const uint32_t>(block.data(), n));
  }
  // The ids in ascending order.
  std::vector<uint32_t> to_vector() const;
  // Writes the ids in ascending order to `out`, which has room for cardinality() of them: a bulk
  // pass over each container, several times cheaper per id than the iterator for_each_block uses.
  void copy_to(uint32_t* out) const { roaring_bitmap_to_uint32_array(&roaring_, out); }
  // Appends the ids, ascending, to `ids`.
  void append_to(std::vector<uint32_t>& ids) const;

  // Same ids.
  bool operator==(const Bitmap& other) const {
    return roaring_bitmap_equals(&roaring_, &other.roaring_);
  }

 private:
  // The bitmap holding exactly `ids`, which are ascending (repeats allowed).
  static Bitmap of_ascending(std::span<const uint32_t> ids);
  // Takes over the content of a bitmap the C API allocated (for results it returns).
  static Bitmap adopt(roaring_bitmap_t* result);

  roaring_bitmap_t roaring_;
};

}  // namespace veldrake
