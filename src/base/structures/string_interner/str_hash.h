// The hash of interned names: reads the text in 4-byte little-endian words, so short names cost a
// few multiplications, and gives the same value on every platform.
#pragma once

#include <cstdint>
#include <string_view>

namespace veldrake {

// A 32-bit hash of `bytes`, widened.
uint64_t hash_str(std::string_view bytes);

}  // namespace veldrake
