#include "base/structures/string_interner/str_hash.h"

#include <cstddef>

#include "base/structures/string_interner/fold_hasher.h"

namespace veldrake {
namespace {

struct Pair {
  uint32_t lo;
  uint32_t hi;
};

uint32_t word_at(const unsigned char* bytes, std::size_t offset) {
  const unsigned char* p = bytes + offset;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Cross-multiplies the halves of two pairs and folds each 64-bit product into both halves.
Pair mix(Pair a, Pair b) {
  uint64_t p = static_cast<uint64_t>(a.lo) * b.hi;
  uint64_t q = static_cast<uint64_t>(a.hi) * b.lo;
  return {static_cast<uint32_t>(p) ^ static_cast<uint32_t>(q >> 32),
          static_cast<uint32_t>(p >> 32) ^ static_cast<uint32_t>(q)};
}

}  // namespace

uint64_t hash_str(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  Pair s0{0x85a308d3, 0x243f6a88};
  Pair s1{0x03707344, 0x13198a2e};
  if (n <= 16) {
    if (n >= 8) {
      s0.lo ^= word_at(bytes, 0);
      s0.hi ^= word_at(bytes, 4);
      s1.lo ^= word_at(bytes, n - 8);
      s1.hi ^= word_at(bytes, n - 4);
    } else if (n >= 4) {
      s0.lo ^= word_at(bytes, 0);
      s1.lo ^= word_at(bytes, n - 4);
    } else if (n > 0) {
      s0.lo ^= bytes[0];
      s1.lo ^= static_cast<uint32_t>(bytes[n - 1]) << 8 | bytes[n / 2];
    }
  } else {
    for (std::size_t offset = 0; offset < n - 16; offset += 16) {
      Pair a{s0.lo ^ word_at(bytes, offset), s0.hi ^ word_at(bytes, offset + 4)};
      Pair b{0x299f31d0 ^ word_at(bytes, offset + 8), 0xa4093822 ^ word_at(bytes, offset + 12)};
      Pair mixed = mix(a, b);
      s0 = s1;
      s1 = mixed;
    }
    s0.lo ^= word_at(bytes, n - 16);
    s0.hi ^= word_at(bytes, n - 12);
    s1.lo ^= word_at(bytes, n - 8);
    s1.hi ^= word_at(bytes, n - 4);
  }
  Pair result = mix(s0, s1);
  result.lo ^= static_cast<uint32_t>(n);
  return FoldHasher().add(result.lo).add(result.hi).finish();
}

}  // namespace veldrake
