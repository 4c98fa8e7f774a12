// Prints the widths the build targets and checks the pointer width the build was meant for.
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const unsigned pointer_bits = sizeof(void*) * CHAR_BIT;
  std::printf("pointer %u bits, size_t %zu bits, long %zu bits, alignof(max_align_t) %zu, %s\n",
              pointer_bits, sizeof(std::size_t) * CHAR_BIT, sizeof(long) * CHAR_BIT,
              alignof(std::max_align_t),
              std::endian::native == std::endian::little ? "little-endian" : "big-endian");
  if (argc > 1 && std::strtoul(argv[1], nullptr, 10) != pointer_bits) {
    std::printf("expected %s-bit pointers\n", argv[1]);
    return 1;
  }
  return 0;
}
