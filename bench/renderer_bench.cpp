// CPU cost of one empty frame (begin, pool flushes, render pass, one player cell,
// submit, present) against the smallest GPU round trip on the same device (one
// empty command buffer submitted and waited for), and mesh-pool allocations and
// frees per second against malloc/free with the same size mix.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "renderer/meshpool.h"
#include "renderer/renderer.h"

namespace {

struct Gpu {
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  MeshPool vertexPool{}, indexPool{};
  VkFence fence = VK_NULL_HANDLE;
  VkCommandBuffer cmd = VK_NULL_HANDLE;
  bool ok = false;
};

Gpu* gGpu = nullptr;

Gpu* gpu() {
  if (gGpu) return gGpu->ok ? gGpu : nullptr;
  gGpu = new Gpu;
  Gpu* g = gGpu;
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
  if (!rendererInit(&g->r, g->instance, g->surface, 1280, 720)) return nullptr;
  // Measure the work of a frame, not the pacing sleep.
  g->r.targetFrameTimeNs = 0;
  meshPoolInit(&g->vertexPool, g->r.device, g->r.physicalDevice, 0x4000000,
               VK_BUFFER_USAGE_VERTEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT);
  meshPoolInit(&g->indexPool, g->r.device, g->r.physicalDevice, 0x4000000,
               VK_BUFFER_USAGE_INDEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT);
  VkFenceCreateInfo fi{};
  fi.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
  vkCreateFence(g->r.device, &fi, nullptr, &g->fence);
  VkCommandBufferAllocateInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
  ai.commandPool = g->r.commandPool;
  ai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
  ai.commandBufferCount = 1;
  vkAllocateCommandBuffers(g->r.device, &ai, &g->cmd);
  g->ok = true;
  return g;
}

void releaseGpu() {
  if (!gGpu) return;
  if (gGpu->ok) {
    rendererWaitIdle(&gGpu->r);
    vkDestroyFence(gGpu->r.device, gGpu->fence, nullptr);
    meshPoolDestroy(&gGpu->vertexPool);
    meshPoolDestroy(&gGpu->indexPool);
    rendererDestroy(&gGpu->r);
    vkDestroySurfaceKHR(gGpu->instance, gGpu->surface, nullptr);
    vkDestroyInstance(gGpu->instance, nullptr);
  }
  delete gGpu;
  gGpu = nullptr;
}

void BM_EmptyFrame(benchmark::State& state) {
  Gpu* g = gpu();
  if (!g) {
    state.SkipWithError("no Vulkan device with a headless surface");
    return;
  }
  for (auto _ : state) {
    VkCommandBuffer cmd;
    u32 image;
    if (!rendererBeginFrame(&g->r, &cmd, &image)) continue;
    meshPoolFlush(&g->vertexPool, cmd);
    meshPoolFlush(&g->indexPool, cmd);
    rendererBeginRenderPass(&g->r, image);
    VkViewport vp{0, 0, 1280, 720, 0, 1};
    VkRect2D sc{{0, 0}, {1280, 720}};
    vkCmdSetViewport(cmd, 0, 1, &vp);
    vkCmdSetScissor(cmd, 0, 1, &sc);
    rendererEndFrame(&g->r, image);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SubmitWait(benchmark::State& state) {
  Gpu* g = gpu();
  if (!g) {
    state.SkipWithError("no Vulkan device with a headless surface");
    return;
  }
  rendererWaitIdle(&g->r);
  for (auto _ : state) {
    VkCommandBufferBeginInfo bi{};
    bi.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    vkBeginCommandBuffer(g->cmd, &bi);
    vkEndCommandBuffer(g->cmd);
    VkSubmitInfo si{};
    si.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    si.commandBufferCount = 1;
    si.pCommandBuffers = &g->cmd;
    vkQueueSubmit(g->r.graphicsQueue, 1, &si, g->fence);
    vkWaitForFences(g->r.device, 1, &g->fence, VK_TRUE, UINT64_MAX);
    vkResetFences(g->r.device, 1, &g->fence);
  }
  state.SetItemsProcessed(state.iterations());
}

// Sizes of what shares the pools: terrain tiles (fixed vertex and index blocks),
// models (a few KB to a few MB), decals and small props.
VkDeviceSize mixSize(std::mt19937& rng) {
  u32 k = rng() % 100;
  if (k < 40) return rng() % 2 ? 65 * 65 * 32 : 64 * 64 * 6 * 4;  // terrain tile
  if (k < 70) return 256 + rng() % 4096;  // decal, small prop
  if (k < 95) return 8192 + rng() % (256 * 1024);  // model part
  return 512 * 1024 + rng() % (2 * 1024 * 1024);  // large model
}

constexpr u32 kLive = 400;  // about half of a 64 MiB pool

template <typename Alloc, typename Free>
void churn(benchmark::State& state, Alloc alloc, Free release) {
  std::mt19937 rng(7);
  std::vector<VkDeviceSize> sizes(4096);
  for (auto& s : sizes) s = mixSize(rng);
  std::vector<u32> picks(4096);
  for (auto& p : picks) p = rng() % kLive;
  using Handle = decltype(alloc(VkDeviceSize(0)));
  std::vector<Handle> live(kLive);
  for (u32 i = 0; i < kLive; i++) live[i] = alloc(sizes[i]);
  u32 n = 0;
  for (auto _ : state) {
    u32 i = picks[n & 4095];
    release(live[i]);
    live[i] = alloc(sizes[n & 4095]);
    benchmark::DoNotOptimize(live[i]);
    n++;
  }
  for (auto& h : live) release(h);
  state.SetItemsProcessed(state.iterations() * 2);  // one free and one allocation
}

void BM_MeshPoolChurn(benchmark::State& state) {
  MeshPool pool;
  meshPoolInitRanges(&pool, 0x4000000);
  churn(state, [&](VkDeviceSize s) { return meshPoolAlloc(&pool, s); },
        [&](MeshAlloc a) { meshPoolFree(&pool, a); });
  meshPoolDestroy(&pool);
}

void BM_MallocChurn(benchmark::State& state) {
  churn(state, [](VkDeviceSize s) { return std::malloc(s); }, [](void* p) { std::free(p); });
}

BENCHMARK(BM_EmptyFrame)->Name("frame/empty_loop")->MinTime(2.0);
BENCHMARK(BM_EmptyFrame)->Name("frame/empty_loop_process")->MeasureProcessCPUTime()->MinTime(2.0);
BENCHMARK(BM_SubmitWait)->Name("frame/anchor_submit_wait")->MinTime(2.0);
BENCHMARK(BM_SubmitWait)->Name("frame/anchor_submit_wait_process")->MeasureProcessCPUTime()->MinTime(2.0);
BENCHMARK(BM_MeshPoolChurn)->Name("meshpool/alloc_free");
BENCHMARK(BM_MallocChurn)->Name("meshpool/anchor_malloc_free");

struct Collector : benchmark::ConsoleReporter {
  std::map<std::string, double> cpuSeconds;  // per iteration
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred && r.run_type == Run::RT_Iteration && r.iterations > 0)
        cpuSeconds[r.run_name.function_name] = r.cpu_accumulated_time / (double)r.iterations;
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  memoryInit(~0ull, ~0ull);
  benchmark::Initialize(&argc, argv);
  Collector rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  auto& s = rep.cpuSeconds;
  auto row = [&](const char* what, const char* a, const char* b, double scale, const char* unit) {
    if (!s.count(a) || !s.count(b)) return;
    std::printf("%-34s %10.3f %s   anchor %10.3f %s   ratio %.2f\n", what, s[a] * scale, unit, s[b] * scale, unit,
                s[a] / s[b]);
  };
  std::printf("\nCPU per frame on lavapipe, 1280x720 (ratio = frame / one bare submit-and-wait)\n");
  row("main thread", "frame/empty_loop", "frame/anchor_submit_wait", 1e3, "ms");
  row("whole process (driver threads too)", "frame/empty_loop_process", "frame/anchor_submit_wait_process", 1e3,
      "ms");
  if (s.count("meshpool/alloc_free") && s.count("meshpool/anchor_malloc_free")) {
    double pool = 2.0 / s["meshpool/alloc_free"], mall = 2.0 / s["meshpool/anchor_malloc_free"];
    std::printf("\nMesh pool, 64 MiB, ~%u live ranges of a terrain/model/decal size mix\n", kLive);
    std::printf("%-34s %10.2f M ops/s   anchor malloc/free %10.2f M ops/s   ratio %.2f\n", "alloc + free", pool / 1e6,
                mall / 1e6, pool / mall);
  }
  releaseGpu();
  benchmark::Shutdown();
  return 0;
}
