#include <gtest/gtest.h>

#include <cstring>

#include "platform/ring.h"
#include "platform/threads.h"

namespace {

// Records of varying length: a u32 length, then bytes derived from a running
// counter, so that loss, duplication, reordering or tearing all show.
constexpr u64 kRecords = 20000;

u32 recordLen(u64 i) { return 1 + (u32)((i * 2654435761u) % 1500); }
u8 recordByte(u64 i, u32 k) { return (u8)(i * 31 + k * 7); }

i32 produce(void* p) {
  AsyncRing* r = static_cast<AsyncRing*>(p);
  for (u64 i = 0; i < kRecords; ++i) {
    u32 n = recordLen(i);
    u8* w = AsyncRingWritePtrWait(r, 4 + n);
    if (!w) return -1;
    std::memcpy(w, &n, 4);
    for (u32 k = 0; k < n; ++k) w[4 + k] = recordByte(i, k);
    AsyncRingWriteCommit(r, 4 + n);
  }
  return 0;
}

TEST(AsyncRingThreaded, RecordsArriveIntactAndInOrderThroughASmallRing) {
  AsyncRing r = AsyncRingAlloc(4096);  // far smaller than the traffic: both sides wait
  ASSERT_NE(r.Buf.Base, nullptr);
  Thread* t = threadCreate(produce, &r);
  ASSERT_NE(t, nullptr);
  u64 bad = 0;
  for (u64 i = 0; i < kRecords; ++i) {
    u64 len = 0;
    u8* p = AsyncRingReadPtrWait(&r, &len);
    ASSERT_NE(p, nullptr);
    ASSERT_GE(len, 4u);
    u32 n;
    std::memcpy(&n, p, 4);
    ASSERT_EQ(n, recordLen(i)) << "record " << i;
    // The producer commits whole records, so the record is all readable.
    ASSERT_GE(len, 4u + n);
    for (u32 k = 0; k < n; ++k) bad += p[4 + k] != recordByte(i, k);
    ASSERT_EQ(AsyncRingReadCommit(&r, 4 + n), 0);
  }
  EXPECT_EQ(bad, 0u);
  threadJoin(t);
  threadDestroy(t);
  u64 len;
  EXPECT_EQ(AsyncRingReadPtr(&r, &len), nullptr);
  AsyncRingDealloc(&r);
}

}  // namespace
