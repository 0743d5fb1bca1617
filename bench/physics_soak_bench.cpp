// 100,000 steps (about 14 minutes of simulated time at 1/120 s) of a closed arena
// of 58 mixed bodies and 11 joints under a pseudo-random impulse every fourth step:
// the world must stay finite and inside the arena, and keep its step time.
// Prints step time per 10,000-step block (CPU time of this single-threaded run, so
// other load on the machine counts little) and the figures of the whole run.
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "physics/world.h"
#include "platform/memory.h"
#include "soak_scene.h"

namespace {

f64 cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return (f64)ts.tv_sec + (f64)ts.tv_nsec * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  u32 steps = 100000;
  if (argc > 1) steps = (u32)std::strtoul(argv[1], nullptr, 10);
  World* w = static_cast<World*>(memCalloc(1, sizeof(World)));
  SoakScene* s = static_cast<SoakScene*>(memCalloc(1, sizeof(SoakScene)));
  if (!w || !s || !worldInit(w, nullptr) || !soakSceneBuild(s, w)) {
    std::fprintf(stderr, "bench_physics_soak: cannot build the arena\n");
    return 1;
  }
  const f64 dt = 1.0 / 120.0;
  const u32 block = 10000;
  std::vector<f64> blockMs;
  SoakFigures worst{true, 0.0, 0.0};
  u32 firstNonFinite = 0;
  u64 peakContacts = 0;
  f64 t0 = cpuSeconds();
  f64 blockStart = t0;
  for (u32 i = 0; i < steps; ++i) {
    soakSceneShake(s, w, i);
    worldStep(w, dt);
    peakContacts = std::max<u64>(peakContacts, worldGetNumContacts(w));
    if (i % 100 == 99) {
      SoakFigures f = soakSceneMeasure(s, w);
      if (!f.allFinite && worst.allFinite) firstNonFinite = i + 1;
      worst.allFinite = worst.allFinite && f.allFinite;
      worst.farthestOutside = std::max(worst.farthestOutside, f.farthestOutside);
      worst.fastest = std::max(worst.fastest, f.fastest);
    }
    if ((i + 1) % block == 0 || i + 1 == steps) {
      f64 now = cpuSeconds();
      u32 n = (i + 1) % block ? (i + 1) % block : block;
      blockMs.push_back((now - blockStart) * 1e3 / n);
      blockStart = now;
    }
  }
  f64 total = cpuSeconds() - t0;
  std::printf("soak: %u steps (%.0f s simulated) in %.1f s of CPU\n", steps, steps * dt, total);
  std::printf("| block | CPU ms/step |\n|---|---|\n");
  for (size_t k = 0; k < blockMs.size(); ++k)
    std::printf("| %zu | %.4f |\n", k + 1, blockMs[k]);
  std::vector<f64> sorted = blockMs;
  std::sort(sorted.begin(), sorted.end());
  std::printf("median block %.4f ms/step, slowest %.4f\n", sorted[sorted.size() / 2], sorted.back());
  std::printf("all finite: %s%s\n", worst.allFinite ? "yes" : "NO, from step ",
              worst.allFinite ? "" : std::to_string(firstNonFinite).c_str());
  std::printf("farthest outside the arena: %.4f m\nfastest body: %.2f m/s\n",
              worst.farthestOutside, worst.fastest);
  std::printf("non-finite resets: %llu\npeak manifolds: %llu\n",
              (unsigned long long)worldGetNonFiniteResets(w), (unsigned long long)peakContacts);
  worldDestroy(w);
  memFree(s);
  memFree(w);
  return worst.allFinite && worst.farthestOutside < 0.5 ? 0 : 1;
}
