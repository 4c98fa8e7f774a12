#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/internal_error.h"
#include "base/structures/string_interner/interner.h"
#include "base/structures/string_interner/str_hash.h"

namespace veldrake {
namespace {

TEST(HashStr, MatchesTheReferenceValuesForEveryLengthClass) {
  const std::pair<const char*, uint64_t> cases[] = {
      {"", 0x9f55de09},
      {"abc", 0x13d9498c},
      {"name", 0xb4276d45},
      {"abcdefgh", 0x03f6e7e2},
      {"abcdefghijklmnopq", 0xf6666838},
      {"abcdefghijklmnopqrstuvwxy", 0x1ed318e7},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(hash_str(text), expected) << text;
}

TEST(StrInterner, LooksUpWithoutAddingAndRefusesUnknownIds) {
  StrInterner names(4);
  EXPECT_EQ(names.intern("first"), 0u);
  EXPECT_EQ(names.lookup("second"), std::nullopt);
  EXPECT_EQ(names.size(), 1u);
  EXPECT_EQ(names.intern("second"), 1u);
  EXPECT_EQ(names.lookup("second"), 1u);
  EXPECT_EQ(names.name_of(1), "second");
  EXPECT_THROW(names.name_of(2), InternalError);
}

TEST(StrInterner, NamesSharingHashAndLengthGetTheirOwnDenseIds) {
  // Found by searching for a collision; the first check guards the premise.
  const std::string a = "k0cf0d";
  const std::string b = "k1207f";
  ASSERT_EQ(hash_str(a), hash_str(b));

  StrInterner names(4);
  EXPECT_EQ(names.intern(a), 0u);
  EXPECT_EQ(names.lookup(b), std::nullopt);
  EXPECT_EQ(names.intern(b), 1u);
  EXPECT_EQ(names.intern(a), 0u);
  EXPECT_EQ(names.lookup(b), 1u);
  // Ids are dense in first-use order, with case kept and long names stored whole.
  EXPECT_EQ(names.intern(""), 2u);
  EXPECT_EQ(names.intern("K0cf0d"), 3u);
  EXPECT_EQ(names.intern("a longer name than any inline buffer holds"), 4u);
  EXPECT_EQ(names.name_of(2), "");
}

TEST(StrInterner, ThreadsInterningTheSameNewNameGetOneId) {
  StrInterner names(4);
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::vector<uint32_t> shared_ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      // Enough names to grow the table several times while the others read it.
      for (int i = 0; i < 5000; ++i) {
        const std::string own = "own" + std::to_string(t) + "_" + std::to_string(i);
        if (names.name_of(names.intern(own)) != own) ADD_FAILURE() << own;
        if (i == 2500) shared_ids[t] = names.intern("shared");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (uint32_t id : shared_ids) EXPECT_EQ(id, shared_ids[0]);
  EXPECT_EQ(names.size(), kThreads * 5000u + 1);
  EXPECT_EQ(names.name_of(shared_ids[0]), "shared");
}

}  // namespace
}  // namespace veldrake
