#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "vm/arena.h"

namespace {

TEST(Arena, BlocksLieAboveTheReservedLowPages) {
  ASSERT_TRUE(ArenaStart());
  uint32_t a = ArenaAlloc(0);
  uint32_t b = ArenaAllocZeroed(100000);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_GE(a, kArenaReservedLow);
  EXPECT_GE(b, kArenaReservedLow);
  for (uint32_t i = 0; i < 100000; i += 1000) ASSERT_EQ(*ToHost(b + i), 0);
  EXPECT_EQ(ToVm(ToHost(b)), b);
  int local = 0;
  EXPECT_EQ(ToVm(&local), 0u);
  EXPECT_TRUE(ArenaFree(a));
  EXPECT_TRUE(ArenaFree(b));
}

TEST(Arena, FreeRefusesWhatIsNotALiveBlock) {
  uint32_t a = ArenaAlloc(64);
  EXPECT_FALSE(ArenaFree(0));
  EXPECT_FALSE(ArenaFree(a + 4));
  EXPECT_FALSE(ArenaFree(0xDEADBEEF));
  EXPECT_TRUE(ArenaFree(a));
  EXPECT_FALSE(ArenaFree(a));
  EXPECT_EQ(ArenaBlockSize(a), 0u);
  EXPECT_EQ(ArenaRealloc(a, 10), 0u);
}

TEST(Arena, ReallocKeepsContents) {
  uint32_t a = ArenaAlloc(16);
  std::memcpy(ToHost(a), "keva arena block", 16);
  EXPECT_GE(ArenaBlockSize(a), 16u);
  uint32_t b = ArenaRealloc(a, 1 << 20);
  ASSERT_NE(b, 0u);
  EXPECT_EQ(std::memcmp(ToHost(b), "keva arena block", 16), 0);
  EXPECT_GE(ArenaBlockSize(b), size_t{1} << 20);
  EXPECT_TRUE(ArenaFree(b));
  uint32_t c = ArenaRealloc(0, 8);
  EXPECT_NE(c, 0u);
  EXPECT_TRUE(ArenaFree(c));
}

TEST(Arena, ExhaustionReturnsZero) {
  EXPECT_EQ(ArenaAlloc(size_t{1} << 32), 0u);
  uint32_t big = ArenaAlloc(size_t{3} << 30);
  ASSERT_NE(big, 0u);
  EXPECT_EQ(ArenaAlloc(size_t{3} << 30), 0u);  // no room for a second one
  uint32_t keep = ArenaAlloc(32);
  std::memcpy(ToHost(keep), "still here", 11);
  EXPECT_EQ(ArenaRealloc(keep, size_t{3} << 30), 0u);  // failure leaves the block
  EXPECT_STREQ(reinterpret_cast<const char*>(ToHost(keep)), "still here");
  EXPECT_TRUE(ArenaFree(big));
  uint32_t again = ArenaAlloc(size_t{2} << 30);  // freed space is reused
  EXPECT_NE(again, 0u);
  EXPECT_TRUE(ArenaFree(again));
  EXPECT_TRUE(ArenaFree(keep));
}

TEST(Arena, AllocatesFromManyThreads) {
  std::vector<std::thread> threads;
  std::vector<std::vector<uint32_t>> got(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &got] {
      for (int i = 0; i < 2000; ++i) {
        uint32_t a = ArenaAllocZeroed(8 + (i % 500));
        if (a) std::memset(ToHost(a), t + 1, 8);
        got[t].push_back(a);
        if (i % 3 == 0 && a) { ArenaFree(a); got[t].back() = 0; }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) {
    for (uint32_t a : got[t]) {
      if (!a) continue;
      EXPECT_EQ(*ToHost(a), t + 1);
      EXPECT_TRUE(ArenaFree(a));
    }
  }
}

}  // namespace
