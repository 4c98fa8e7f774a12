// A set of ids that is usually small but may grow to most of an index: the objects holding one
// object under one attribute, say.
//
// Up to kListed ids live in a sorted array, which finds, adds and walks a handful of ids far
// cheaper than a roaring bitmap does when they are spread over the whole id range (one
// container each). A set that outgrows the array becomes a Bitmap and stays one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "base/structures/bitmap.h"

namespace veldrake {

class ListedIdSet {
 public:
  static constexpr std::size_t kListed = 64;

  // The set holding `id`.
  static ListedIdSet of(uint32_t id);

  // Adds `id`; true if it was absent.
  bool add(uint32_t id);
  // Removes `id`; true if it was present.
  bool remove(uint32_t id);
  bool contains(uint32_t id) const;
  bool is_empty() const;
  // The ids of a set still listed (ascending), or empty once it became a bitmap.
  std::span<const uint32_t> listed() const;
  // The bitmap of a set that outgrew the array, or null.
  const Bitmap* bitmap() const { return std::get_if<Bitmap>(&ids_); }

 private:
  std::variant<std::vector<uint32_t>, Bitmap> ids_;
};

}  // namespace veldrake
