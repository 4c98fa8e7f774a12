#include "base/structures/bitmap.h"

#include <cstdlib>
#include <utility>

#include "base/internal_error.h"

namespace veldrake {

Bitmap Bitmap::of(std::span<const uint32_t> ids) {
  Bitmap bitmap;
  bitmap.add_many(ids);
  return bitmap;
}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
  if (this != &other) {
    ra_clear(&roaring_.high_low_container);
    roaring_ = other.roaring_;
    ra_init(&other.roaring_.high_low_container);
  }
  return *this;
}

void Bitmap::add_many(std::span<const uint32_t> ids) {
  if (!ids.empty()) roaring_bitmap_add_many(&roaring_, ids.size(), ids.data());
}

void Bitmap::and_inplace(const Bitmap& other) {
  if (this != &other) roaring_bitmap_and_inplace(&roaring_, &other.roaring_);
}

void Bitmap::or_inplace(const Bitmap& other) {
  if (this != &other) roaring_bitmap_or_inplace(&roaring_, &other.roaring_);
}

void Bitmap::andnot_inplace(const Bitmap& other) {
  // The C call requires distinct operands; a set minus itself is empty.
  if (this == &other) {
    clear();
  } else {
    roaring_bitmap_andnot_inplace(&roaring_, &other.roaring_);
  }
}

void Bitmap::overwrite(const Bitmap& other) {
  if (this == &other) return;
  const bool success = roaring_bitmap_overwrite(&roaring_, &other.roaring_);
  if (!success) {
    // A failed copy leaves the struct half-released; forget it (possibly leaking) rather than
    // let the destructor free it twice.
    ra_init(&roaring_.high_low_container);
    internal_error("assertion failed: success");
  }
}

Bitmap Bitmap::intersection(const Bitmap& a, const Bitmap& b) {
  return adopt(roaring_bitmap_and(&a.roaring_, &b.roaring_));
}

Bitmap Bitmap::difference(const Bitmap& a, const Bitmap& b) {
  return adopt(roaring_bitmap_andnot(&a.roaring_, &b.roaring_));
}

Bitmap Bitmap::union_many(std::span<const Bitmap* const> bitmaps) {
  std::vector<const roaring_bitmap_t*> operands;
  operands.reserve(bitmaps.size());
  for (const Bitmap* bitmap : bitmaps) operands.push_back(&bitmap->roaring_);
  return adopt(roaring_bitmap_or_many(operands.size(), operands.data()));
}

std::vector<uint32_t> Bitmap::to_vector() const {
  std::vector<uint32_t> ids(static_cast<size_t>(cardinality()));
  if (!ids.empty()) roaring_bitmap_to_uint32_array(&roaring_, ids.data());
  return ids;
}

Bitmap Bitmap::adopt(roaring_bitmap_t* result) {
  if (result == nullptr) internal_error("assertion failed: !p.is_null()");
  Bitmap bitmap;
  bitmap.roaring_ = *result;
  // The containers now belong to `bitmap`; only the outer struct is released. This version of
  // the library allocates it with plain malloc.
  std::free(result);
  return bitmap;
}

}  // namespace veldrake
