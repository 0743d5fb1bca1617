// Capture on the main thread while the sampler interrupts registered threads
// that start, work and end (also run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "ui/flamegraph.h"

namespace {

__attribute__((noinline)) void flameBusy(u64 ns) {
  volatile u64 sink = 0;
  const f64 end = clockNanos() + (f64)ns;
  while (clockNanos() < end)
    for (u32 i = 0; i < 1000; ++i) sink = sink * 13 + i;
}

}  // namespace

TEST(FlameGraphThreaded, CaptureWhileThreadsRegisterAndAreSampled) {
  ASSERT_TRUE(traceProfilerInit(500'000));
  FlameGraph graph;
  flameGraphInit(&graph);
  flameGraphSetEnabled(&graph, true);
  std::atomic<u32> done{0};
  const char* names[3] = {"alpha", "beta", "gamma"};
  std::vector<std::thread> workers;
  for (u32 w = 0; w < 3; ++w)
    workers.emplace_back([&, w] {
      for (u32 round = 0; round < 20; ++round) {
        traceProfilerThreadStart(names[w]);
        flameBusy(3'000'000);
        traceProfilerThreadEnd();
      }
      done.fetch_add(1);
    });
  while (done.load() < 3) {
    flameGraphCapture(&graph);
    nanoSleep(2'000'000);
  }
  for (auto& t : workers) t.join();
  flameGraphCapture(&graph);
  traceProfilerShutdown();
  EXPECT_GE(graph.threadCount, 1u);
  EXPECT_LE(graph.threadCount, 3u);  // one panel per name, however often it restarted
  for (u32 i = 0; i < graph.threadCount; ++i) {
    const FlameThreadGraph& t = graph.threads[i];
    EXPECT_EQ(t.nodes[0].hits, t.samples);
    u64 children = 0;
    for (u32 c = 0; c < t.nodes[0].childCount; ++c) children += t.nodes[t.nodes[0].children[c]].hits;
    EXPECT_LE(children, t.nodes[0].hits);
  }
  flameGraphDestroy(&graph);
}
