// Particles per millisecond through one full life on lavapipe: N spawned by the
// emit pass into an empty pool, one simulation step that keeps them all alive
// (appended to the draw list), one that ends them all (back onto the free list).
// The anchor does the same work in a plain CPU loop over the same 96-byte
// records in the same run; the submit overhead is an empty command buffer's
// submit and wait.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "bench/bench_table.h"
#include "platform/memory.h"
#include "renderer/particles.h"
#include "renderer/renderer.h"
#include "renderer/texture.h"

namespace {

constexpr f32 kLife = 1.0f;

struct Gpu {
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  bool ok = false;
};

Gpu* gpu() {
  static Gpu* g = nullptr;
  if (g) return g->ok ? g : nullptr;
  g = new Gpu;
  if (volkInitialize() != VK_SUCCESS) return nullptr;
  const char* exts[] = {VK_KHR_SURFACE_EXTENSION_NAME, VK_EXT_HEADLESS_SURFACE_EXTENSION_NAME};
  VkApplicationInfo app{};
  app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
  app.apiVersion = VK_API_VERSION_1_2;
  VkInstanceCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
  ci.pApplicationInfo = &app;
  ci.enabledExtensionCount = 2;
  ci.ppEnabledExtensionNames = exts;
  if (vkCreateInstance(&ci, nullptr, &g->instance) != VK_SUCCESS) return nullptr;
  volkLoadInstance(g->instance);
  VkHeadlessSurfaceCreateInfoEXT si{};
  si.sType = VK_STRUCTURE_TYPE_HEADLESS_SURFACE_CREATE_INFO_EXT;
  if (!vkCreateHeadlessSurfaceEXT || vkCreateHeadlessSurfaceEXT(g->instance, &si, nullptr, &g->surface) != VK_SUCCESS)
    return nullptr;
  if (!rendererInit(&g->r, g->instance, g->surface, 64, 64)) return nullptr;
  if (!textureEnsureBindless(&g->r)) return nullptr;
  g->ok = true;
  return g;
}

ParticleEmitter benchEmitter() {
  ParticleEmitter e = particleEmitterExplosion(V3(0, 1, 0));
  e.lifeSize = v4f{kLife, kLife, 0.05f, 0.1f};
  return e;
}

ParticleFrame frameWithDt(f32 dt) {
  mat4f32 id{};
  id.m[0] = id.m[5] = id.m[10] = id.m[15] = 1.0f;
  return particleFrameFromCamera(&id, V3(1, 0, 0), V3(0, 1, 0), V3(0, 0, 10), dt);
}

void BM_Gpu(benchmark::State& state) {
  Gpu* g = gpu();
  if (!g) {
    state.SkipWithError("no Vulkan device");
    return;
  }
  u32 n = (u32)state.range(0);
  ParticleSystem ps{};
  if (!particleSystemInit(&ps, &g->r, n, 1)) {
    state.SkipWithError("particle system");
    return;
  }
  ParticleEmitter e = benchEmitter();
  u32 id = particleSystemAddEmitter(&ps, &e);
  ParticleFrame live = frameWithDt(kLife * 0.5f), die = frameWithDt(kLife * 2.0f);
  u64 checked = 0;
  for (auto _ : state) {
    particleSystemBurst(&ps, id, n);
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&g->r);
    particleSystemSetFrame(&ps, &live);
    particleSystemRecord(&ps, cmd);
    particleSystemSetFrame(&ps, &die);
    particleSystemRecord(&ps, cmd);
    rendererEndOneTimeCommands(&g->r, cmd);
    checked += *static_cast<const i32*>(ps.freeCount.mapped) == (i32)n;
  }
  if (checked != (u64)state.iterations()) state.SkipWithError("the pool did not come back empty");
  state.SetItemsProcessed((i64)state.iterations() * n);
  particleSystemDestroy(&ps);
}

void BM_SubmitOverhead(benchmark::State& state) {
  Gpu* g = gpu();
  if (!g) {
    state.SkipWithError("no Vulkan device");
    return;
  }
  for (auto _ : state) rendererEndOneTimeCommands(&g->r, rendererBeginOneTimeCommands(&g->r));
}

// The same records and steps on the CPU: pop, random fill, two updates, push.
struct CpuParticle {
  f32 color[4], startColor[4], endColor[4], posLife[4], velInitLife[4], accelScale[4];
};
static_assert(sizeof(CpuParticle) == kParticleBytes);

struct Rng {
  u32 x;
  f32 next() {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return (f32)x * (1.0f / 4294967296.0f);
  }
};

inline f32 mix(f32 a, f32 b, f32 t) { return a + (b - a) * t; }

void BM_CpuAnchor(benchmark::State& state) {
  u32 n = (u32)state.range(0);
  std::vector<CpuParticle> pool(n);
  std::vector<u32> freeList(n), drawList(n);
  for (u32 i = 0; i < n; i++) freeList[i] = i;
  u32 freeCount = n, seed = 1;
  ParticleEmitter e = benchEmitter();
  auto simulate = [&](f32 dt, u32* drawCount) {
    for (u32 i = 0; i < n; i++) {
      CpuParticle& p = pool[i];
      if (p.posLife[3] <= 0.0f) continue;
      for (int k = 0; k < 3; k++) {
        p.posLife[k] += p.velInitLife[k] * dt;
        p.velInitLife[k] += p.accelScale[k] * dt;
      }
      p.posLife[3] -= dt;
      if (p.posLife[3] <= 0.0f) {
        p.posLife[3] = 0.0f;
        p.color[3] = 0.0f;
        freeList[freeCount++] = i;
        continue;
      }
      f32 t = p.posLife[3] / std::fmax(p.velInitLife[3], 0.0001f);
      t = t < 0.0f ? 0.0f : (t > 1.0f ? 1.0f : t);
      for (int k = 0; k < 4; k++) p.color[k] = mix(p.endColor[k], p.startColor[k], t);
      drawList[(*drawCount)++] = i;
    }
  };
  for (auto _ : state) {
    seed++;
    for (u32 inv = 0; inv < n && freeCount > 0; inv++) {
      u32 idx = freeList[--freeCount];
      Rng r{seed ^ idx ^ inv ^ (idx * 747796405u)};
      if (!r.x) r.x = 0x9e3779b9u;
      CpuParticle& p = pool[idx];
      f32 life = std::fmax(0.05f, mix(e.lifeSize.x, e.lifeSize.y, r.next()));
      f32 size = std::fmax(0.01f, mix(e.lifeSize.z, e.lifeSize.w, r.next()));
      f32 z = r.next() * 2.0f - 1.0f, a = r.next() * 6.2831853f, s = std::sqrt(std::fmax(0.0f, 1.0f - z * z));
      f32 rad = mix(e.minOffset.x, e.maxOffset.x, r.next());
      f32 off[3] = {s * std::cos(a) * rad, s * std::sin(a) * rad, z * rad};
      const f32* lo = &e.minVelocity.x;
      const f32* hi = &e.maxVelocity.x;
      const f32* alo = &e.minAccel.x;
      const f32* ahi = &e.maxAccel.x;
      f32 vel[3], acc[3];
      for (int k = 0; k < 3; k++) vel[k] = mix(lo[k], hi[k], r.next());
      for (int k = 0; k < 3; k++) acc[k] = mix(alo[k], ahi[k], r.next());
      f32 t = r.next();
      const f32* m = e.rotation.m;
      for (int k = 0; k < 3; k++) {
        p.posLife[k] = e.model.m[12 + k] + m[k] * off[0] + m[4 + k] * off[1] + m[8 + k] * off[2];
        p.velInitLife[k] = m[k] * vel[0] + m[4 + k] * vel[1] + m[8 + k] * vel[2];
        p.accelScale[k] = m[k] * acc[0] + m[4 + k] * acc[1] + m[8 + k] * acc[2];
      }
      const f32* c0 = &e.minColor.x;
      const f32* c1 = &e.maxColor.x;
      for (int k = 0; k < 4; k++) p.color[k] = p.startColor[k] = mix(c0[k], c1[k], t);
      for (int k = 0; k < 3; k++) p.endColor[k] = c1[k];
      p.endColor[3] = 0.0f;
      p.posLife[3] = life;
      p.velInitLife[3] = life;
      p.accelScale[3] = size;
    }
    u32 drawn = 0;
    simulate(kLife * 0.5f, &drawn);
    benchmark::DoNotOptimize(drawn);
    drawn = 0;
    simulate(kLife * 2.0f, &drawn);
    benchmark::DoNotOptimize(pool.data());
  }
  if (freeCount != n) state.SkipWithError("the pool did not come back empty");
  state.SetItemsProcessed((i64)state.iterations() * n);
}

BENCHMARK(BM_Gpu)->Name("particles/gpu")->Arg(1024)->Arg(8192)->Arg(32768)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CpuAnchor)->Name("particles/anchor_cpu")->Arg(1024)->Arg(8192)->Arg(32768)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SubmitOverhead)->Name("particles/submit_wait_empty")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  memoryInit(~0ull, ~0ull);
  benchInitialize(argc, argv);
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& s = reporter.results;
  std::printf("\nParticles per ms through emit + two simulation steps (ratio = GPU / CPU anchor throughput)\n");
  f64 submit = s["particles/submit_wait_empty"].seconds;
  for (const char* n : {"1024", "8192", "32768"}) {
    f64 gpuS = s[std::string("particles/gpu/") + n].seconds, cpuS = s[std::string("particles/anchor_cpu/") + n].seconds;
    if (gpuS <= 0 || cpuS <= 0) continue;
    f64 count = std::atof(n);
    std::printf("%6s live: gpu %8.1f /ms (%.3f ms, %.3f ms without submit)   anchor %8.1f /ms   ratio %.2fx%s\n", n,
                count / (gpuS * 1e3), gpuS * 1e3, (gpuS - submit) * 1e3, count / (cpuS * 1e3), cpuS / gpuS,
                std::string(n) == "32768" ? " (goal >= 0.15x)" : "");
  }
  std::printf("submit overhead (empty command buffer, submit and wait): %.3f ms\n", submit * 1e3);
  if (gpu()) textureShutdown(&gpu()->r);
  return 0;
}
