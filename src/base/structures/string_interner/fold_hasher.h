// The word-folding hash shared by the interner's lookup table, the attribute map and values:
// every 32-bit word is added to the state, which is then multiplied by an odd constant; the result
// is the state rotated left by 15 bits. 64-bit quantities are fed low word first.
#pragma once

#include <bit>
#include <cstdint>

namespace veldrake {

class FoldHasher {
 public:
  static constexpr uint32_t kMultiplier = 0x93D765DD;

  constexpr FoldHasher& add(uint32_t word) {
    state_ = (state_ + word) * kMultiplier;
    return *this;
  }
  constexpr FoldHasher& add64(uint64_t word) {
    return add(static_cast<uint32_t>(word)).add(static_cast<uint32_t>(word >> 32));
  }
  constexpr uint64_t finish() const { return std::rotl(state_, 15); }

 private:
  uint32_t state_ = 0;
};

}  // namespace veldrake
