#include "platform/ring.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

TEST(CircBuffer, OneByteGivesAPageAndEveryCopyAliases) {
  const u64 page = (u64)sysconf(_SC_PAGESIZE);
  CircBuffer b = CircBufferAlloc(1, 1);
  ASSERT_NE(b.Base, nullptr);
  EXPECT_EQ(b.Size, page);
  EXPECT_EQ(b.RepCount, 1u);
  for (u64 i = 0; i < b.Size; ++i) ASSERT_EQ(b.Base[i], 0);
  b.Base[b.Size - 1] = 0x5A;
  EXPECT_EQ(b.Base[-1], 0x5A);
  EXPECT_EQ(b.Base[2 * b.Size - 1], 0x5A);
  // A write through the left copy shows in the central one.
  b.Base[-(i64)b.Size] = 0x11;
  EXPECT_EQ(b.Base[0], 0x11);
  CircBufferDealloc(b);
  CircBufferDealloc(b);  // a second release finds no record and does nothing
}

TEST(CircBuffer, SeveralCopiesOnEachSide) {
  CircBuffer b = CircBufferAlloc(3 * 4096 + 1, 2);
  ASSERT_NE(b.Base, nullptr);
  EXPECT_EQ(b.Size % 4096, 0u);
  EXPECT_GE(b.Size, 3u * 4096 + 1);
  const i64 s = (i64)b.Size;
  // A run across the end of the central copy reads back from its start.
  std::memcpy(b.Base + s - 3, "abcdef", 6);
  EXPECT_EQ(std::memcmp(b.Base, "def", 3), 0);
  EXPECT_EQ(std::memcmp(b.Base - 2 * s + s - 3, "abcdef", 6), 0);
  EXPECT_EQ(b.Base[2 * s + 1], 'e');
  CircBufferDealloc(b);
}

TEST(CircBuffer, BadSizesSetErrno) {
  struct Case { u64 size; u32 reps; int err; } cases[] = {
      {0, 1, EINVAL},
      {~0ull, 1, EOVERFLOW},         // rounding up to a page overflows
      {1ull << 63, 1, EOVERFLOW},    // three copies overflow
      {1ull << 40, 0x7FFFFFFF, EOVERFLOW},
  };
  for (const Case& c : cases) {
    errno = 0;
    CircBuffer b = CircBufferAlloc(c.size, c.reps);
    EXPECT_EQ(b.Base, nullptr) << c.size;
    EXPECT_EQ(b.Size, 0u);
    EXPECT_EQ(errno, c.err) << c.size;
  }
  errno = 0;
  CircBuffer b = CircBufferAlloc(1ull << 46, 1);  // fits 64 bits, not the address space
  EXPECT_EQ(b.Base, nullptr);
  EXPECT_EQ(errno, ENOMEM);
}

TEST(AsyncRing, FullAndEmptyLimitsAndContiguousReadsAtAnyOffset) {
  AsyncRing r = AsyncRingAlloc(1);
  ASSERT_NE(r.Buf.Base, nullptr);
  const u64 s = r.Buf.Size;
  u64 len = 99;
  EXPECT_EQ(AsyncRingReadPtr(&r, &len), nullptr);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(AsyncRingWritePtr(&r, 0), nullptr);
  EXPECT_EQ(AsyncRingWritePtr(&r, s + 1), nullptr);

  // Move the positions off a multiple of Size first.
  u8* w = AsyncRingWritePtr(&r, 100);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(AsyncRingWriteCommit(&r, 100), 0);
  ASSERT_NE(AsyncRingReadPtr(&r, &len), nullptr);
  ASSERT_EQ(AsyncRingReadCommit(&r, 100), 0);

  w = AsyncRingWritePtr(&r, s);  // a whole ring's worth when empty
  ASSERT_NE(w, nullptr);
  for (u64 i = 0; i < s; ++i) w[i] = (u8)(i * 7 + 3);
  ASSERT_EQ(AsyncRingWriteCommit(&r, s), 0);
  EXPECT_EQ(AsyncRingWritePtr(&r, 1), nullptr);  // full
  EXPECT_EQ(AsyncRingWriteCommit(&r, 1), -1);    // over-commit refused

  u8* rd = AsyncRingReadPtr(&r, &len);
  ASSERT_NE(rd, nullptr);
  ASSERT_EQ(len, s);
  EXPECT_EQ(rd, r.Buf.Base + 100);
  for (u64 i = 0; i < s; ++i) ASSERT_EQ(rd[i], (u8)(i * 7 + 3)) << i;
  EXPECT_EQ(AsyncRingReadCommit(&r, s + 1), -1);
  ASSERT_EQ(AsyncRingReadCommit(&r, s), 0);
  EXPECT_EQ(AsyncRingReadPtr(&r, &len), nullptr);
  AsyncRingDealloc(&r);
  EXPECT_EQ(r.Buf.Base, nullptr);
  EXPECT_EQ(r.WritePos.load(), 0u);
  AsyncRingDealloc(nullptr);
}

TEST(AsyncRing, WaitingFormsRefuseImpossibleRequestsAtOnce) {
  AsyncRing r = AsyncRingAlloc(4096);
  ASSERT_NE(r.Buf.Base, nullptr);
  // These would otherwise wait forever: no amount of reading makes room.
  EXPECT_EQ(AsyncRingWritePtrWait(&r, 0), nullptr);
  EXPECT_EQ(AsyncRingWritePtrWait(&r, r.Buf.Size + 1), nullptr);
  EXPECT_EQ(AsyncRingWritePtrWait(nullptr, 8), nullptr);
  u64 len = 5;
  EXPECT_EQ(AsyncRingReadPtrWait(nullptr, &len), nullptr);
  EXPECT_EQ(AsyncRingReadPtrWait(&r, nullptr), nullptr);
  // Satisfiable requests return without blocking.
  EXPECT_EQ(AsyncRingWritePtrWait(&r, r.Buf.Size), r.Buf.Base);
  AsyncRingWriteCommit(&r, 10);
  EXPECT_EQ(AsyncRingReadPtrWait(&r, &len), r.Buf.Base);
  EXPECT_EQ(len, 10u);
  AsyncRingDealloc(&r);
  AsyncRing empty;
  EXPECT_EQ(AsyncRingReadPtrWait(&empty, &len), nullptr);
  EXPECT_EQ(len, 0u);
}

}  // namespace
