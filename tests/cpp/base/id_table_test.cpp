#include "base/structures/id_table.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace veldrake {
namespace {

// Ids read back what was set, across chunks present and never made, small and taken from a
// huge-page slab (chunk 17 shares its slab with chunks never asked for).
TEST(IdTable, ReadsBackAcrossSmallAndSlabChunks) {
  constexpr uint32_t kChunk = IdTable<uint32_t>::kChunkSize;
  // Kept for the process, as the module's own table is: a table never frees its chunks.
  static auto* const table = new IdTable<uint32_t>();
  for (uint32_t chunk : {0u, 1u, 3u, 17u, 40u}) {
    for (uint32_t offset : {0u, 1u, 7u, kChunk - 1}) {
      const uint32_t id = chunk * kChunk + offset;
      ASSERT_TRUE(table->make_room(id));
      if (offset != 7) table->set(id, id + 1);  // one id per chunk has room but no value
    }
  }
  for (uint32_t chunk : {0u, 1u, 3u, 17u, 40u}) {
    for (uint32_t offset : {0u, 1u, 7u, kChunk - 1}) {
      const uint32_t id = chunk * kChunk + offset;
      EXPECT_EQ(table->get(id), offset == 7 ? 0 : id + 1) << id;
    }
  }
  for (uint32_t unmade : {2 * kChunk + 5, 18 * kChunk + 2, UINT32_MAX})
    EXPECT_EQ(table->get(unmade), 0u) << unmade;
}

}  // namespace
}  // namespace veldrake
