// The sampling profiler against `perf record -F 1000 --call-graph fp` on the same
// busy program: the main thread spins through four known functions (40/30/20/10
// per cent of its work) while a "world" thread steps the demo scene as fast as
// it can. Each round runs that program three times for the same wall time:
// unprofiled, under our profiler at 1 ms (draining its queue into flame graphs
// every ~16 ms as the frame loop does) and under perf. Printed: the throughput
// each profiler costs (median of the rounds) and the top five self-time
// functions of each with their shares of the user-space, on-CPU samples
// (samples stopped at profiler frames and root-only ones left out).
//
// bench_profiler [rounds [seconds]]; perf must be on the PATH.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "demo_scene.h"
#include "physics/world.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/trace_profiler.h"
#include "ui/flamegraph.h"

volatile u64 gBenchSink;

// The known functions: the same loop with different constants (identical
// bodies would be merged into one function by the compiler).
__attribute__((noinline)) void benchAlpha(u64 n) {
  for (u64 i = 0; i < n; ++i) gBenchSink = gBenchSink * 31 + i;
}
__attribute__((noinline)) void benchBeta(u64 n) {
  for (u64 i = 0; i < n; ++i) gBenchSink = gBenchSink * 37 + i;
}
__attribute__((noinline)) void benchGamma(u64 n) {
  for (u64 i = 0; i < n; ++i) gBenchSink = gBenchSink * 41 + i;
}
__attribute__((noinline)) void benchDelta(u64 n) {
  for (u64 i = 0; i < n; ++i) gBenchSink = gBenchSink * 43 + i;
}

namespace {

f64 cpuSeconds(clockid_t clock);

constexpr u64 kUnit = 100'000;  // iterations
constexpr u64 kStepsPerScene = 120;

// "f(int)", "f(int) [clone .constprop.0]", "void f<4u>(int)" and perf's "f" become "f".
std::string baseName(const std::string& name) {
  std::string s = name;
  const size_t clone = s.find(" [clone");
  if (clone != std::string::npos) s.resize(clone);
  size_t from = 0;
  for (;;) {
    const size_t paren = s.find('(', from);
    if (paren == std::string::npos) break;
    if (s.compare(paren, 20, "(anonymous namespace") == 0) {
      from = paren + 1;
      continue;
    }
    s.resize(paren);
    break;
  }
  // Template functions demangle with their return type first ("void ns::f<4u>"):
  // keep what follows the last space outside brackets.
  int depth = 0;
  size_t lastSpace = std::string::npos;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '<' || s[i] == '(') ++depth;
    if (s[i] == '>' || s[i] == ')') --depth;
    if (s[i] == ' ' && depth == 0) lastSpace = i;
  }
  return lastSpace == std::string::npos ? s : s.substr(lastSpace + 1);
}

bool isStop(const char* label) {
  for (const char* stop : {"nanoSleep", "traceSignalHandler", "samplerMain", "traceProfiler"})
    if (std::strstr(label, stop)) return true;
  return false;
}

struct ChildResult {
  f64 mainRate = 0, worldRate = 0;  // work units and steps per second
  f64 units = 0, steps = 0;  // work done
  f64 mainCpu = 0, worldCpu = 0, processCpu = 0;  // seconds
  std::map<std::string, f64> top;  // base name -> share
};

// The busy program. With `ours`, both threads are sampled and the main thread
// drains the queue between work cycles, counting leaf functions.
int runChild(b8 ours, f64 seconds) {
  memoryInit(0x100000000ull, 0x100000000ull);
  World* world = (World*)memCalloc(1, sizeof(World));
  DemoScene* scene = (DemoScene*)memCalloc(1, sizeof(DemoScene));
  const DemoSceneOptions opt = demoSceneFull();
  if (!world || !scene || !worldInit(world, nullptr) || !demoSceneBuild(scene, world, &opt)) {
    std::fprintf(stderr, "bench_profiler: cannot build the demo scene\n");
    return 1;
  }
  if (ours && !traceProfilerInit(1'000'000)) {
    std::fprintf(stderr, "bench_profiler: profiler did not start\n");
    return 1;
  }
  FlameGraph graph;
  flameGraphInit(&graph);
  flameGraphSetEnabled(&graph, true);
  std::map<std::string, u64> leaves;
  u64 onCpu = 0;
  auto drain = [&] {
    TraceSample s;
    const char* labels[TRACE_MAX_FRAMES];
    while (traceProfilerPopSample(&s)) {
      const u32 n = (u32)s.count;
      b8 stopped = false;
      for (u32 i = 0; i < n; ++i) {
        const u32 inner = n - 1 - i;
        labels[i] = traceSymbolName(inner == 0 ? s.items[0] : s.items[inner] - 1);
        stopped = stopped || isStop(labels[i]);
      }
      flameGraphAddStack(&graph, s.threadToken, s.threadName, labels, n);
      if (stopped || n == 0) continue;
      ++onCpu;
      ++leaves[baseName(labels[n - 1])];
    }
  };

  std::atomic<b8> stop{false};
  std::atomic<u64> steps{0};
  f64 worldCpu = 0;
  std::thread worldThread([&] {
    if (ours) traceProfilerThreadStart("world");
    // The scene is rebuilt every simulated second: its bodies fall asleep and
    // steps get cheaper, which would make runs of different lengths cost
    // different amounts per step.
    while (!stop.load(std::memory_order_relaxed)) {
      if (steps.load(std::memory_order_relaxed) % kStepsPerScene == 0 && steps.load() > 0) {
        worldDestroy(world);
        if (!worldInit(world, nullptr) || !demoSceneBuild(scene, world, &opt)) break;
      }
      worldStep(world, 1.0 / 120.0);
      steps.fetch_add(1, std::memory_order_relaxed);
    }
    if (ours) traceProfilerThreadEnd();
    worldCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  });
  if (ours) traceProfilerThreadStart("main");
  const f64 start = clockNanos();
  const f64 end = start + seconds * 1e9;
  u64 units = 0;
  f64 lastDrain = start;
  while (clockNanos() < end) {
    benchAlpha(4 * kUnit);
    benchBeta(3 * kUnit);
    benchGamma(2 * kUnit);
    benchDelta(1 * kUnit);
    units += 10;
    if (ours && clockNanos() - lastDrain > 16e6) {
      drain();
      lastDrain = clockNanos();
    }
  }
  const f64 elapsed = (clockNanos() - start) * 1e-9;
  const f64 mainCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  stop.store(true);
  worldThread.join();
  if (ours) {
    drain();
    traceProfilerThreadEnd();
    traceProfilerShutdown();
  }
  std::printf("rate %.3f %.3f\n", (f64)units / elapsed, (f64)steps.load() / elapsed);
  std::printf("work %llu %llu %.6f %.6f %.6f\n", (unsigned long long)units, (unsigned long long)steps.load(), mainCpu,
              worldCpu, cpuSeconds(CLOCK_PROCESS_CPUTIME_ID));
  std::vector<std::pair<u64, std::string>> sorted;
  for (const auto& [name, n] : leaves) sorted.push_back({n, name});
  std::sort(sorted.rbegin(), sorted.rend());
  for (size_t i = 0; i < sorted.size() && i < 8; ++i)
    std::printf("top %.4f %s\n", (f64)sorted[i].first / (f64)std::max<u64>(onCpu, 1), sorted[i].second.c_str());
  flameGraphDestroy(&graph);
  worldDestroy(world);
  memFree(scene);
  memFree(world);
  return 0;
}

ChildResult parseChild(FILE* f) {
  ChildResult r;
  char line[4096];
  while (std::fgets(line, sizeof line, f)) {
    line[std::strcspn(line, "\n")] = 0;
    f64 share = 0;
    if (std::sscanf(line, "rate %lf %lf", &r.mainRate, &r.worldRate) == 2) continue;
    if (std::sscanf(line, "work %lf %lf %lf %lf %lf", &r.units, &r.steps, &r.mainCpu, &r.worldCpu, &r.processCpu) == 5)
      continue;
    int consumed = 0;
    if (std::sscanf(line, "top %lf %n", &share, &consumed) == 1 && consumed > 0) r.top[line + consumed] = share;
  }
  return r;
}

// perf's flat self-time report of user-space samples ("[.]"), shares renormalised
// over those.
std::map<std::string, f64> perfTop(const std::string& data) {
  std::map<std::string, f64> top;
  const std::string cmd = "perf report -i " + data + " --no-children --sort sym --stdio -q -g none 2>/dev/null";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return top;
  char line[4096];
  f64 userTotal = 0;
  while (std::fgets(line, sizeof line, f)) {
    line[std::strcspn(line, "\n")] = 0;
    f64 pct = 0;
    int consumed = 0;
    if (std::sscanf(line, " %lf%% [.] %n", &pct, &consumed) != 1 || consumed == 0) continue;
    top[baseName(line + consumed)] += pct;
    userTotal += pct;
  }
  pclose(f);
  for (auto& [name, share] : top) share /= std::max(userTotal, 1e-9);
  return top;
}

f64 cpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return (f64)ts.tv_sec + (f64)ts.tv_nsec * 1e-9;
}

// Processor time of everything the driver has waited for (children, and
// their children such as perf's target).
f64 childrenCpu() {
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  return (f64)ru.ru_utime.tv_sec + (f64)ru.ru_utime.tv_usec * 1e-6 + (f64)ru.ru_stime.tv_sec +
         (f64)ru.ru_stime.tv_usec * 1e-6;
}

// Processor time spent beyond what the same work costs unprofiled: the
// workload threads' own slow-down plus the profiler's own time (our sampler
// thread, or the perf process). On a machine shared with other work the
// wall-clock rates swing with load; processor time per unit of work does not.
f64 cpuOverhead(const ChildResult& base, const ChildResult& run, f64 profilerOwnCpu) {
  const f64 mainCost = base.mainCpu / std::max(base.units, 1.0);
  const f64 worldCost = base.worldCpu / std::max(base.steps, 1.0);
  const f64 expected = run.units * mainCost + run.steps * worldCost;
  const f64 actual = run.mainCpu + run.worldCpu + profilerOwnCpu;
  return actual / std::max(expected, 1e-9) - 1.0;
}

f64 median(std::vector<f64> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

std::vector<std::pair<f64, std::string>> topFive(const std::map<std::string, f64>& m) {
  std::vector<std::pair<f64, std::string>> v;
  for (const auto& [name, share] : m) v.push_back({share, name});
  std::sort(v.rbegin(), v.rend());
  if (v.size() > 5) v.resize(5);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--child") == 0)
    return runChild(std::strcmp(argv[2], "ours") == 0, std::atof(argv[3]));
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const f64 seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
  char self[4096];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  if (len <= 0) return 1;
  self[len] = 0;
  char dataPath[] = "/tmp/bench_profiler_XXXXXX";
  const int fd = mkstemp(dataPath);
  if (fd < 0) return 1;
  close(fd);

  std::vector<f64> oursMain, oursWorld, perfMain, perfWorld, oursCpu, perfCpu;
  std::map<std::string, f64> oursShares, perfShares;  // summed over rounds
  for (int round = 0; round < rounds; ++round) {
    char cmd[8192];
    std::snprintf(cmd, sizeof cmd, "'%s' --child none %.3f", self, seconds);
    FILE* f = popen(cmd, "r");
    const ChildResult base = parseChild(f);
    pclose(f);
    std::snprintf(cmd, sizeof cmd, "'%s' --child ours %.3f", self, seconds);
    f = popen(cmd, "r");
    const ChildResult ours = parseChild(f);
    pclose(f);
    std::snprintf(cmd, sizeof cmd, "perf record -F 1000 --call-graph fp -q -o %s -- '%s' --child none %.3f 2>/dev/null",
                  dataPath, self, seconds);
    const f64 before = childrenCpu();
    f = popen(cmd, "r");
    const ChildResult perf = parseChild(f);
    const int perfStatus = pclose(f);
    const f64 perfOwn = std::max(0.0, childrenCpu() - before - perf.processCpu);
    if (base.mainRate <= 0 || ours.mainRate <= 0 || perf.mainRate <= 0 || perfStatus != 0) {
      std::fprintf(stderr, "bench_profiler: a run failed (is perf installed?)\n");
      unlink(dataPath);
      return 1;
    }
    oursMain.push_back(1.0 - ours.mainRate / base.mainRate);
    oursWorld.push_back(1.0 - ours.worldRate / base.worldRate);
    perfMain.push_back(1.0 - perf.mainRate / base.mainRate);
    perfWorld.push_back(1.0 - perf.worldRate / base.worldRate);
    // Ours: the process's time beyond its two workload threads is the sampler's.
    oursCpu.push_back(cpuOverhead(base, ours, ours.processCpu - ours.mainCpu - ours.worldCpu));
    perfCpu.push_back(cpuOverhead(base, perf, perfOwn));
    for (const auto& [name, share] : ours.top) oursShares[name] += share / rounds;
    for (const auto& [name, share] : perfTop(dataPath)) perfShares[name] += share / rounds;
    std::printf("round %d: main %.0f/%.0f/%.0f units/s, world %.0f/%.0f/%.0f steps/s (none/ours/perf)\n", round + 1,
                base.mainRate, ours.mainRate, perf.mainRate, base.worldRate, ours.worldRate, perf.worldRate);
    std::fflush(stdout);
  }
  unlink(dataPath);

  const f64 om = median(oursMain) * 100, ow = median(oursWorld) * 100;
  const f64 pm = median(perfMain) * 100, pw = median(perfWorld) * 100;
  const f64 oursAll = (om + ow) / 2, perfAll = (pm + pw) / 2;
  const f64 goal = std::max(2 * perfAll, perfAll + 2.0);
  const f64 oc = median(oursCpu) * 100, pc = median(perfCpu) * 100;
  const f64 cpuGoal = std::max(2 * pc, pc + 2.0);
  std::printf("\nthroughput lost, median of %d rounds of %.1f s:\n", rounds, seconds);
  std::printf("| measure | ours | perf |\n|---|---|---|\n");
  std::printf("| processor time per unit of work (workload + profiler) | %.2f %% | %.2f %% |\n", oc, pc);
  std::printf("| wall-clock rate, main | %.2f %% | %.2f %% |\n| wall-clock rate, world | %.2f %% | %.2f %% |\n", om, pm,
              ow, pw);
  std::printf("| wall-clock rate, both | %.2f %% | %.2f %% |\n", oursAll, perfAll);
  std::printf("goal (processor time): ours <= max(2 x perf, perf + 2) = %.2f %%: %s\n", cpuGoal,
              oc <= cpuGoal ? "met" : "MISSED");
  std::printf("goal (wall clock, noisy under load): %.2f %%: %s\n", goal, oursAll <= goal ? "met" : "MISSED");

  const auto ot = topFive(oursShares), pt = topFive(perfShares);
  std::printf("\ntop five self time (shares of on-CPU user samples, mean of rounds):\n");
  std::printf("| # | ours | share | perf | share |\n|---|---|---|---|---|\n");
  for (size_t i = 0; i < 5; ++i) {
    std::printf("| %zu | %s | %.1f %% | %s | %.1f %% |\n", i + 1, i < ot.size() ? ot[i].second.c_str() : "-",
                i < ot.size() ? ot[i].first * 100 : 0.0, i < pt.size() ? pt[i].second.c_str() : "-",
                i < pt.size() ? pt[i].first * 100 : 0.0);
  }
  b8 same = ot.size() == pt.size();
  f64 worst = 0;
  for (const auto& [share, name] : ot) {
    b8 found = false;
    for (const auto& p : pt) found = found || p.second == name;
    same = same && found;
    const auto it = perfShares.find(name);
    worst = std::max(worst, std::abs(share - (it == perfShares.end() ? 0.0 : it->second)) * 100);
  }
  std::printf("same five: %s; largest share difference %.1f points (goal 5): %s\n", same ? "yes" : "NO", worst,
              same && worst <= 5.0 ? "met" : "MISSED");
  return 0;
}
