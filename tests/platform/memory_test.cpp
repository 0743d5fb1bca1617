#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

// Sets the budget to `headroom` bytes above what is in use now, and puts the
// old one back afterwards (the other tests in this executable share it).
struct BudgetScope {
  u64 saved;
  explicit BudgetScope(u64 headroom) : saved(memoryGet()->ramLimit) {
    memoryGet()->ramLimit = memoryGet()->used.load() + headroom;
  }
  ~BudgetScope() { memoryGet()->ramLimit = saved; }
};

TEST(Memory, AllocAccountsSizePlusHeader) {
  size_t before = memoryGet()->used.load();
  void* p = memAlloc(100);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
  EXPECT_EQ(memoryGet()->used.load(), before + 116);
  p = memRealloc(p, 1000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(memoryGet()->used.load(), before + 1016);
  p = memRealloc(p, 10);
  EXPECT_EQ(memoryGet()->used.load(), before + 26);
  EXPECT_EQ(memRealloc(p, 0), nullptr);  // frees
  EXPECT_EQ(memoryGet()->used.load(), before);
  EXPECT_EQ(memAlloc(0), nullptr);
  EXPECT_EQ(memoryGet()->used.load(), before);
  p = memRealloc(nullptr, 8);  // acts as memAlloc
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(memoryGet()->used.load(), before + 24);
  memFree(p);
  memFree(nullptr);
  EXPECT_EQ(memoryGet()->used.load(), before);
}

TEST(Memory, CallocZeroFillsAndZeroTotalGivesHeaderOnlyBlock) {
  size_t before = memoryGet()->used.load();
  u8* p = static_cast<u8*>(memCalloc(10, 7));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 70; ++i) ASSERT_EQ(p[i], 0);
  memFree(p);
  void* z = memCalloc(0, 5);
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(memoryGet()->used.load(), before + 16);
  memFree(z);
  EXPECT_EQ(memoryGet()->used.load(), before);
}

TEST(Memory, BudgetReachedExactlySucceedsOneBytePastFails) {
  BudgetScope budget(1000 + 16);
  size_t before = memoryGet()->used.load();
  EXPECT_EQ(memAlloc(1001), nullptr);
  EXPECT_EQ(memCalloc(1, 1001), nullptr);
  EXPECT_EQ(memoryGet()->used.load(), before);
  void* p = memAlloc(1000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(memoryGet()->used.load(), memoryGet()->ramLimit);
  memFree(p);
  // Growth past the budget fails and keeps the old block and its contents.
  p = memAlloc(500);
  std::memset(p, 0xAB, 500);
  EXPECT_EQ(memRealloc(p, 1001), nullptr);
  void* q = memRealloc(p, 1000);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(static_cast<u8*>(q)[499], 0xAB);
  memFree(q);
  EXPECT_EQ(memoryGet()->used.load(), before);
}

TEST(Memory, OverflowingSizesFail) {
  size_t before = memoryGet()->used.load();
  // size + 16 wraps to a tiny number: must not hand out a tiny block.
  const size_t huge[] = {SIZE_MAX, SIZE_MAX - 15, SIZE_MAX - 8};
  for (size_t s : huge) {
    EXPECT_EQ(memAlloc(s), nullptr) << s;
    EXPECT_EQ(memCalloc(1, s), nullptr) << s;
  }
  // count * size wraps.
  EXPECT_EQ(memCalloc(SIZE_MAX / 2 + 2, 2), nullptr);
  EXPECT_EQ(memCalloc((size_t)1 << 33, (size_t)1 << 32), nullptr);
  void* p = memAlloc(32);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(memRealloc(p, SIZE_MAX - 4), nullptr);
  memFree(p);
  EXPECT_EQ(memoryGet()->used.load(), before);
}

// A block taken before memoryInit stays counted: freeing it afterwards must
// not wrap the counter, or every later allocation would be refused.
TEST(Memory, InitKeepsCountingLiveBlocks) {
  Memory* m = memoryGet();
  const u64 savedRam = m->ramLimit, savedVram = m->vramLimit;
  size_t before = m->used.load();
  void* early = memAlloc(64);
  ASSERT_NE(early, nullptr);
  memoryInit(1ull << 30, savedVram);
  EXPECT_EQ(m->used.load(), before + 80);
  memFree(early);
  EXPECT_EQ(m->used.load(), before);
  void* later = memAlloc(100);
  EXPECT_NE(later, nullptr);
  memFree(later);
  m->ramLimit = savedRam;
}

}  // namespace
