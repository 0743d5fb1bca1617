#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "platform/clock.h"
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

// Two-thread stress over every waiting form: random record lengths (so records
// straddle the end of the central copy), and pauses on both sides long enough
// for the other side to stop spinning and sleep. A lost wake-up hangs a side;
// the watchdog turns that into a failure instead of a stuck test.
enum class Wait { Blocking, Polling };

struct StressCase {
  Wait writer, reader;
  u32 minLen, maxLen;  // record payloads; above half the ring only one fits at a time
  const char* name;
};

constexpr u64 kStressRecords = 30000;
constexpr u64 kStressRing = 4096;

// Record i: u32 length n, then n bytes derived from i (n >= 8 holds i itself).
u32 stressLen(std::mt19937_64& rng, u32 lo, u32 hi) { return lo + (u32)(rng() % (hi - lo + 1)); }
u8 stressByte(u64 i, u32 k) { return (u8)(i * 131 + k * 17 + 5); }

// Sometimes stop for a while, so that the other side gives up spinning.
void maybePause(std::mt19937_64& rng) {
  if (rng() % 64 == 0) nanoSleep(20000 + rng() % 100000);
}

struct StressRun {
  AsyncRing ring;
  const StressCase* c;
  u64 seed;
};

u8* writeSpace(StressRun* s, u64 len) {
  if (s->c->writer == Wait::Blocking) return AsyncRingWritePtrWait(&s->ring, len);
  for (;;) {
    if (u8* p = AsyncRingWritePtr(&s->ring, len)) return p;
    std::this_thread::yield();
  }
}

u8* readSome(AsyncRing* r, Wait w, u64* len) {
  if (w == Wait::Blocking) return AsyncRingReadPtrWait(r, len);
  for (;;) {
    if (u8* p = AsyncRingReadPtr(r, len)) return p;
    std::this_thread::yield();
  }
}

i32 stressProduce(void* p) {
  StressRun* s = static_cast<StressRun*>(p);
  std::mt19937_64 rng(s->seed);
  for (u64 i = 0; i < kStressRecords; ++i) {
    u32 n = stressLen(rng, s->c->minLen, s->c->maxLen);
    u8* w = writeSpace(s, 4 + n);
    if (!w) return -1;
    std::memcpy(w, &n, 4);
    std::memcpy(w + 4, &i, 8);
    for (u32 k = 8; k < n; ++k) w[4 + k] = stressByte(i, k);
    if (AsyncRingWriteCommit(&s->ring, 4 + n) != 0) return -1;
    maybePause(rng);
  }
  return 0;
}

TEST(AsyncRingThreaded, StressEveryWaitingFormWithSleepsOnBothSides) {
  const StressCase cases[] = {
      {Wait::Blocking, Wait::Blocking, 8, 1200, "blocking both"},
      // One record at a time: every commit must wake the other side, so a
      // single lost wake-up stops both for good.
      {Wait::Blocking, Wait::Blocking, 2100, 4000, "blocking both, lock-step"},
      {Wait::Blocking, Wait::Polling, 8, 1200, "blocking writer, polling reader"},
      {Wait::Polling, Wait::Blocking, 8, 1200, "polling writer, blocking reader"},
  };
  for (const StressCase& c : cases) {
    SCOPED_TRACE(c.name);
    StressRun s{AsyncRingAlloc(kStressRing), &c, 99};
    ASSERT_NE(s.ring.Buf.Base, nullptr);
    ASSERT_EQ(s.ring.Buf.Size, kStressRing);
    std::atomic<bool> done{false};
    // A lost wake-up leaves both sides asleep for good: fail loudly instead.
    std::thread watchdog([&] {
      for (int t = 0; t < 600 && !done.load(); ++t) nanoSleep(100000000);
      if (!done.load()) {
        std::fprintf(stderr, "ring stress (%s) stuck: write %llu read %llu, sleeps %u/%u wakes %u/%u\n", c.name,
                     (unsigned long long)s.ring.WritePos.load(), (unsigned long long)s.ring.ReadPos.load(),
                     s.ring.ReadSleeps.load(), s.ring.WriteSleeps.load(), s.ring.ReadWakes.load(),
                     s.ring.WriteWakes.load());
        std::abort();
      }
    });
    Thread* t = threadCreate(stressProduce, &s);
    ASSERT_NE(t, nullptr);
    std::mt19937_64 rng(1234);
    u64 badBytes = 0, outOfOrder = 0;
    for (u64 i = 0; i < kStressRecords; ++i) {
      u64 len = 0;
      u8* p = readSome(&s.ring, c.reader, &len);
      ASSERT_NE(p, nullptr);
      ASSERT_GE(len, 12u);
      u32 n;
      u64 seq;
      std::memcpy(&n, p, 4);
      std::memcpy(&seq, p + 4, 8);
      ASSERT_GE(len, 4u + n);  // whole records are committed
      outOfOrder += seq != i;
      for (u32 k = 8; k < n; ++k) badBytes += p[4 + k] != stressByte(i, k);
      ASSERT_EQ(AsyncRingReadCommit(&s.ring, 4 + n), 0);
      maybePause(rng);
    }
    done.store(true);
    EXPECT_EQ(threadJoin(t), 0);
    threadDestroy(t);
    watchdog.join();
    EXPECT_EQ(outOfOrder, 0u);
    EXPECT_EQ(badBytes, 0u);
    u64 len;
    EXPECT_EQ(AsyncRingReadPtr(&s.ring, &len), nullptr);
    // Never a wake-up without a sleeper (one may be in flight at the end).
    const u32 rs = s.ring.ReadSleeps.load(), rw = s.ring.ReadWakes.load();
    const u32 ws = s.ring.WriteSleeps.load(), ww = s.ring.WriteWakes.load();
    EXPECT_LE(rw, rs + 1);
    EXPECT_LE(ww, ws + 1);
    // The pauses must really have put the blocking sides to sleep.
    EXPECT_TRUE(c.reader != Wait::Blocking || rs > 0);
    EXPECT_TRUE(c.writer != Wait::Blocking || ws > 0);
    // Polling sides never announce a sleep, so nobody wakes them.
    EXPECT_TRUE(c.reader != Wait::Polling || rs + rw == 0);
    EXPECT_TRUE(c.writer != Wait::Polling || ws + ww == 0);
    std::printf("%s: reader sleeps %u wakes %u, writer sleeps %u wakes %u\n", c.name, rs, rw, ws, ww);
    AsyncRingDealloc(&s.ring);
  }
}

}  // namespace
