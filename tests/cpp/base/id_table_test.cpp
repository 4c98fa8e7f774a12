#include "base/structures/id_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace veldrake {
namespace {

// The batch read gives what get gives, id by id, across chunks present and never made, small
// and taken from a huge-page slab (chunk 17 shares its slab with chunks never asked for).
TEST(IdTable, GetAllMatchesGetAcrossChunks) {
  constexpr uint32_t kChunk = IdTable<uint32_t>::kChunkSize;
  auto table = std::make_unique<IdTable<uint32_t>>();
  std::vector<uint32_t> ids;
  for (uint32_t chunk : {0u, 1u, 3u, 17u, 40u}) {
    for (uint32_t offset : {0u, 1u, 7u, kChunk - 1}) {
      const uint32_t id = chunk * kChunk + offset;
      ASSERT_TRUE(table->make_room(id));
      if (offset != 7) table->set(id, id + 1);  // one id per chunk has room but no value
      ids.push_back(id);
    }
  }
  for (uint32_t unmade : {2 * kChunk + 5, 18 * kChunk + 2, UINT32_MAX}) ids.push_back(unmade);
  std::sort(ids.begin(), ids.end());
  for (std::size_t from = 0; from < ids.size(); ++from) {
    const std::span<const uint32_t> tail(ids.data() + from, ids.size() - from);
    std::vector<uint32_t> got(tail.size(), 12345);
    table->get_all(tail, got.data());
    for (std::size_t i = 0; i < tail.size(); ++i) EXPECT_EQ(got[i], table->get(tail[i])) << tail[i];
  }
}

}  // namespace
}  // namespace veldrake
