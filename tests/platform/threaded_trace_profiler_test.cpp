#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/trace_profiler.h"

namespace {

std::atomic<b8> gStop{false};
volatile u64 gSink;

__attribute__((noinline)) void spinStaticWork() {
  for (u64 i = 0; i < 200000 && !gStop.load(std::memory_order_relaxed); ++i) gSink = gSink * 31 + i;
}

}  // namespace

__attribute__((noinline)) void traceTestExportedWork() {
  for (u64 i = 0; i < 200000 && !gStop.load(std::memory_order_relaxed); ++i) gSink = gSink * 17 + i;
}

TEST(TraceProfiler, NamesExportedAndStaticFunctionsOfASpinningThread) {
  ASSERT_TRUE(traceProfilerInit(1'000'000));
  gStop.store(false);
  std::thread worker([] {
    traceProfilerThreadStart("spinner");
    while (!gStop.load()) {
      spinStaticWork();
      traceTestExportedWork();
    }
    traceProfilerThreadEnd();
  });
  u32 stat = 0, exported = 0, total = 0;
  for (int round = 0; round < 300 && total < 200; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    TraceSample s{};
    while (traceProfilerPopSample(&s)) {
      EXPECT_STREQ(s.threadName, "spinner");
      ++total;
      for (u64 i = 0; i < s.count; ++i) {
        const std::string name = traceSymbolName(i == 0 ? s.items[i] : s.items[i] - 1);
        if (name.find("spinStaticWork") != std::string::npos) ++stat;
        if (name.find("traceTestExportedWork") != std::string::npos) ++exported;
      }
      traceSampleFree(&s);
    }
  }
  gStop.store(true);
  worker.join();
  traceProfilerShutdown();
  EXPECT_GE(total, 100u);
  EXPECT_GT(stat, total / 5);
  EXPECT_GT(exported, total / 5);
}
