// The profiler's registry and queue under concurrency (also run under
// ThreadSanitizer): threads registering, ending and re-registering while the
// sampler interrupts them and another thread drains the queue.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/trace_profiler.h"

namespace {

__attribute__((noinline)) void busyFor(u64 ns) {
  volatile u64 sink = 0;
  const f64 end = clockNanos() + (f64)ns;
  while (clockNanos() < end)
    for (u32 i = 0; i < 1000; ++i) sink = sink * 13 + i;
}

}  // namespace

TEST(TraceProfilerThreaded, RegisteringSamplingAndDrainingTogether) {
  ASSERT_TRUE(traceProfilerInit(500'000));
  std::atomic<b8> stop{false};
  std::atomic<u32> popped{0};
  std::thread drainer([&] {
    TraceSample s;
    while (!stop.load()) {
      while (traceProfilerPopSample(&s)) popped.fetch_add(1);
      nanoSleep(1'000'000);
    }
  });
  const char* names[4] = {"churn-a", "churn-b", "churn-c", "churn-d"};
  std::vector<std::thread> workers;
  for (u32 w = 0; w < 4; ++w) {
    workers.emplace_back([&, w] {
      for (u32 round = 0; round < 30; ++round) {
        traceProfilerThreadStart(names[w]);
        busyFor(2'000'000);
        nanoSleep(500'000);
        traceProfilerThreadEnd();
      }
    });
  }
  for (auto& t : workers) t.join();
  // Threads of the same name reused their entries.
  EXPECT_LE(traceProfilerEntryCount(), 4u);
  stop.store(true);
  drainer.join();
  traceProfilerShutdown();
  EXPECT_GT(popped.load(), 0u);
}
