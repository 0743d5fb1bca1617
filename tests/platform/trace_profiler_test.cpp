// The sampling profiler on real threads: what it names, what it must not harm,
// and its registry and queue rules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/threads.h"
#include "platform/trace_profiler.h"

namespace {

std::atomic<b8> gStop{false};
volatile u64 gSink;

u64 wallNs() { return (u64)clockNanos(); }

// The two spinners run the same loop (but for a constant, or the compiler
// would make them one function), so iterations split the time. No system
// call inside: a signal is delivered when the kernel is next left, and a
// thread that keeps entering it would be seen there rather than in its loop.
__attribute__((noinline)) void spinStaticWork(u64 iterations) {
  for (u64 i = 0; i < iterations; ++i) gSink = gSink * 31 + i;
}

// Drains the queue, counting samples of `thread` whose stack names `a` or `b`
// (the innermost of the two wins).
void drainCounting(const char* thread, const char* a, const char* b, u32* countA, u32* countB, u32* total) {
  TraceSample s;
  while (traceProfilerPopSample(&s)) {
    if (std::strcmp(s.threadName, thread) != 0) continue;
    ++*total;
    for (u64 i = 0; i < s.count; ++i) {
      const std::string name = traceSymbolName(i == 0 ? s.items[i] : s.items[i] - 1);
      if (name.find(a) != std::string::npos) {
        ++*countA;
        break;
      }
      if (name.find(b) != std::string::npos) {
        ++*countB;
        break;
      }
    }
  }
}

#if defined(__x86_64__)
// Code without frame pointers that fills the frame-pointer register with
// garbage: pseudo-random words, and half the time the stack pointer itself
// (a "frame" whose saved words are not a chain). Returns the sum of the
// pseudo-random sequence so the caller can check nothing was disturbed.
extern "C" u64 traceTestGarbageFpSpin(u64 iterations, u64 seed);
asm(R"(
  .text
  .globl traceTestGarbageFpSpin
  .type traceTestGarbageFpSpin,@function
traceTestGarbageFpSpin:
  push %rbp
  push %rbx
  mov %rsi, %r8
  xor %eax, %eax
  movabs $6364136223846793005, %r9
  movabs $1442695040888963407, %r10
1:
  imul %r9, %r8
  add %r10, %r8
  mov %r8, %rbp
  test $0x40000, %rdi
  jz 2f
  mov %rsp, %rbp
2:
  add %r8, %rax
  dec %rdi
  jnz 1b
  pop %rbx
  pop %rbp
  ret
  .size traceTestGarbageFpSpin, .-traceTestGarbageFpSpin
)");

u64 expectedGarbageSum(u64 iterations, u64 seed) {
  u64 x = seed, sum = 0;
  for (u64 i = 0; i < iterations; ++i) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    sum += x;
  }
  return sum;
}
#endif

}  // namespace

__attribute__((noinline)) void traceTestExportedWork(u64 iterations) {
  for (u64 i = 0; i < iterations; ++i) gSink = gSink * 37 + i;
}

TEST(TraceProfiler, NamesExportedAndStaticFunctionsWithTheirShareOfTime) {
  ASSERT_TRUE(traceProfilerInit(1'000'000));
  gStop.store(false);
  // 30 % of the work in the static function, 70 % in the exported one.
  std::thread worker([] {
    traceProfilerThreadStart("spinner");
    while (!gStop.load()) {
      spinStaticWork(3'000'000);
      traceTestExportedWork(7'000'000);
    }
    traceProfilerThreadEnd();
  });
  u32 stat = 0, exported = 0, total = 0;
  const u64 deadline = wallNs() + 20'000'000'000ull;
  while (stat + exported < 400 && wallNs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    drainCounting("spinner", "spinStaticWork", "traceTestExportedWork", &stat, &exported, &total);
  }
  gStop.store(true);
  worker.join();
  traceProfilerShutdown();
  ASSERT_GE(stat + exported, 200u) << total << " samples";
  const f64 share = (f64)stat / (f64)(stat + exported);
  std::printf("share %.3f (%u static, %u exported, %u samples)\n", share, stat, exported, total);
  EXPECT_NEAR(share, 0.30, 0.10) << stat << " static, " << exported << " exported of " << total;
  // Nearly every sample of the spinner is inside one of the two.
  EXPECT_GE(stat + exported, total * 9 / 10);
}

#if defined(__x86_64__)
TEST(TraceProfiler, ThreadWithGarbageInItsFramePointerIsUnharmed) {
  ASSERT_TRUE(traceProfilerInit(1'000'000));
  std::atomic<u32> calls{0}, wrong{0};
  gStop.store(false);
  std::thread worker([&] {
    traceProfilerThreadStart("garbage");
    u64 seed = 12345;
    while (!gStop.load()) {
      const u64 n = 3'000'000;
      if (traceTestGarbageFpSpin(n, seed) != expectedGarbageSum(n, seed)) wrong.fetch_add(1);
      calls.fetch_add(1);
      ++seed;
    }
    traceProfilerThreadEnd();
  });
  u32 samples = 0;
  const u64 end = wallNs() + 2'000'000'000ull;
  while (wallNs() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    TraceSample s;
    while (traceProfilerPopSample(&s)) {
      ASSERT_GE(s.count, 1u);
      ASSERT_LE(s.count, TRACE_MAX_FRAMES);
      // Naming whatever the walk found is harmless too.
      for (u64 i = 0; i < s.count; ++i) ASSERT_NE(traceSymbolName(s.items[i]), nullptr);
      ++samples;
    }
  }
  gStop.store(true);
  worker.join();
  traceProfilerShutdown();
  EXPECT_GT(calls.load(), 0u);
  EXPECT_EQ(wrong.load(), 0u);
  EXPECT_GT(samples, 100u);
}
#endif

// Sleeps, futex waits and blocking pipe reads of a thread sampled every
// millisecond finish exactly as they would unsampled.
TEST(TraceProfiler, SampledSleepsWaitsAndPipeReadsBehaveAsUnsampled) {
  ASSERT_TRUE(traceProfilerInit(1'000'000));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::atomic<u32> word{0};
  std::atomic<u32> stage{0};
  u64 shortestSleep = ~0ull, wokenAt = 0, readAt = 0;
  ssize_t got = 0;
  char buf[16] = {};
  std::thread worker([&] {
    traceProfilerThreadStart("sleeper");
    for (int i = 0; i < 10; ++i) {
      const u64 t0 = wallNs();
      nanoSleep(20'000'000);
      shortestSleep = std::min(shortestSleep, wallNs() - t0);
    }
    stage.store(1);
    while (word.load() == 0) waitu32(&word, 0);
    wokenAt = wallNs();
    stage.store(2);
    got = read(fds[0], buf, 5);
    readAt = wallNs();
    traceProfilerThreadEnd();
  });
  while (stage.load() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const u64 setAt = wallNs();
  word.store(1);
  wakeOneu32(&word);
  while (stage.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const u64 writeAt = wallNs();
  ASSERT_EQ(write(fds[1], "hello", 5), 5);
  worker.join();
  const u32 queued = traceProfilerQueuedCount();
  traceProfilerShutdown();
  close(fds[0]);
  close(fds[1]);
  EXPECT_GE(shortestSleep, 20'000'000u);
  EXPECT_GE(wokenAt, setAt);
  EXPECT_EQ(got, 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_GE(readAt, writeAt);
  // The sleeper really was interrupted while it slept, waited and read.
  EXPECT_GT(queued, 50u);
}

TEST(TraceProfiler, RegistrationReusesEntriesByThreadAndByName) {
  ASSERT_TRUE(traceProfilerInit(1'000'000));
  std::thread([] {
    traceProfilerThreadStart("worker");
    traceProfilerThreadStart("worker");  // twice: one entry
    traceProfilerThreadEnd();
  }).join();
  EXPECT_EQ(traceProfilerEntryCount(), 1u);
  // A later thread of the same name (a restarted physics thread) takes it over.
  std::thread([] {
    traceProfilerThreadStart("worker");
    traceProfilerThreadEnd();
  }).join();
  EXPECT_EQ(traceProfilerEntryCount(), 1u);
  // Other names, and unnamed threads, get entries of their own.
  u64 tid = 0;
  std::thread([&] {
    tid = threadCurrentToken();
    traceProfilerThreadStart(nullptr);
    traceProfilerThreadEnd();
  }).join();
  EXPECT_EQ(traceProfilerEntryCount(), 2u);
  // While the first is active, a second thread of the same name cannot share it.
  std::atomic<u32> phase{0};
  std::thread a([&] {
    traceProfilerThreadStart("worker");
    phase.store(1);
    while (phase.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    traceProfilerThreadEnd();
  });
  while (phase.load() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread([] {
    traceProfilerThreadStart("worker");
    traceProfilerThreadEnd();
  }).join();
  phase.store(2);
  a.join();
  EXPECT_EQ(traceProfilerEntryCount(), 3u);
  // The unnamed one is queued under "thread-<id>".
  const u64 items[1] = {0x1234};
  traceProfilerQueuePush(tid, nullptr, items, 1);
  TraceSample s;
  while (traceProfilerPopSample(&s) && s.threadToken != tid) {
  }
  EXPECT_EQ(std::string(s.threadName), "thread-" + std::to_string(tid));
  traceProfilerShutdown();
}

TEST(TraceProfiler, FullQueueDropsItsOldestAndStacksAreCut) {
  ASSERT_TRUE(traceProfilerInit(1'000'000));  // no registered thread: only our pushes
  u64 items[TRACE_MAX_FRAMES + 10];
  for (u32 i = 0; i < TRACE_MAX_FRAMES + 10; ++i) items[i] = 0x1000 + i;
  for (u64 token = 0; token <= TRACE_QUEUE_CAP; ++token)
    traceProfilerQueuePush(token, "pushed", items, token == TRACE_QUEUE_CAP ? TRACE_MAX_FRAMES + 10 : 3);
  EXPECT_EQ(traceProfilerQueuedCount(), TRACE_QUEUE_CAP);
  TraceSample s;
  u64 expected = 1;  // token 0 was displaced
  while (traceProfilerPopSample(&s)) {
    EXPECT_EQ(s.threadToken, expected);
    EXPECT_STREQ(s.threadName, "pushed");
    EXPECT_EQ(s.count, expected == TRACE_QUEUE_CAP ? TRACE_MAX_FRAMES : 3u);
    EXPECT_EQ(s.items[s.count - 1], 0x1000 + s.count - 1);
    ++expected;
  }
  EXPECT_EQ(expected, TRACE_QUEUE_CAP + 1);
  traceProfilerShutdown();
  // Off: nothing is queued or popped.
  traceProfilerQueuePush(1, "late", items, 1);
  EXPECT_FALSE(traceProfilerPopSample(&s));
}

// Paused, a busy registered thread is never sampled (the sampler sleeps); once
// resumed its samples come again, and shutdown ends a paused sampler.
TEST(TraceProfiler, PausedSamplerTakesNoSamplesAndResumes) {
  ASSERT_TRUE(traceProfilerInit(1'000'000));
  traceProfilerSetPaused(true);
  gStop.store(false);
  std::atomic<b8> registered{false};
  std::thread worker([&] {
    traceProfilerThreadStart("paused-spinner");
    registered.store(true);
    while (!gStop.load()) spinStaticWork(1'000'000);
    traceProfilerThreadEnd();
  });
  while (!registered.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // A pass that began before the pause may still queue one sample.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  TraceSample s;
  while (traceProfilerPopSample(&s)) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(traceProfilerQueuedCount(), 0u);
  traceProfilerSetPaused(false);
  u32 stat = 0, other = 0, total = 0;
  const u64 deadline = wallNs() + 20'000'000'000ull;
  while (total < 20 && wallNs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    drainCounting("paused-spinner", "spinStaticWork", "-", &stat, &other, &total);
  }
  EXPECT_GE(total, 20u);
  traceProfilerSetPaused(true);
  gStop.store(true);
  worker.join();
  traceProfilerShutdown();  // must not hang on the sleeping sampler
  traceProfilerSetPaused(false);
}
