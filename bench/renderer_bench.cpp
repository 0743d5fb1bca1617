// CPU cost of one empty frame (begin, pool flushes, render pass, one player cell,
// submit, present) against the smallest GPU round trip on the same device (one
// empty command buffer submitted and waited for); main-thread CPU of a frame of
// N lit, shadowed boxes (instanced, both lighting modes) against one draw per
// body; and mesh-pool allocations and frees per second against malloc/free with
// the same size mix.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "renderer/lighting.h"
#include "renderer/meshpool.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"
#include "renderer/tris.h"

namespace {

struct Gpu {
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  MeshPool vertexPool{}, indexPool{};
  VkFence fence = VK_NULL_HANDLE;
  VkCommandBuffer cmd = VK_NULL_HANDLE;
  bool ok = false;
  // The debug-shape scene, made on first use.
  Pipelines pipelines{};
  Lighting lighting{};
  Tris tris{};
  bool sceneOk = false;
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
    if (gGpu->sceneOk) {
      trisDestroy(&gGpu->tris);
      lightingDestroy(&gGpu->lighting);
      pipelinesDestroy(&gGpu->pipelines);
    }
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

// --- debug shapes: N bodies per frame ----------------------------------------

Gpu* sceneGpu(RendererLightingMode mode) {
  Gpu* g = gpu();
  if (!g) return nullptr;
  if (!g->sceneOk) {
    pipelinesInit(&g->pipelines, &g->r);
    if (!lightingInit(&g->lighting, &g->r)) return nullptr;
    lightingCreateShadowPipelines(&g->lighting);
    trisInit(&g->tris, &g->r);
    trisCreatePipeline(&g->pipelines, &g->r, g->lighting.emptySetLayout, g->lighting.setLayout);
    if (!pipelinesGet(&g->pipelines, kTrisPipelineSlot) || !g->lighting.shadowTrisPipeline) return nullptr;
    g->sceneOk = true;
  }
  if (g->r.lightingMode != mode) {
    rendererWaitIdle(&g->r);
    rendererSetLightingMode(&g->r, mode);
    if (g->r.lightingMode != mode) return nullptr;
    VkDescriptorSetLayout oldSet = g->lighting.setLayout, oldEmpty = g->lighting.emptySetLayout;
    if (!lightingRebuildDescriptors(&g->lighting)) return nullptr;
    pipelinesReplaceDescriptorSetLayout(&g->pipelines, oldSet, g->lighting.setLayout);
    pipelinesReplaceDescriptorSetLayout(&g->pipelines, oldEmpty, g->lighting.emptySetLayout);
    if (!pipelinesRebuildAll(&g->pipelines)) return nullptr;
  }
  return g;
}

struct ShapePush {
  mat4f32 mvp;
  VkDeviceAddress lightDataAddr;
  VkDeviceAddress instanceAddr;
};

VkDeviceAddress bufferAddress(VkDevice d, VkBuffer b) {
  VkBufferDeviceAddressInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_BUFFER_DEVICE_ADDRESS_INFO;
  ai.buffer = b;
  return vkGetBufferDeviceAddress(d, &ai);
}

// The anchor's way: every body its own draw, its instance picked by address.
void drawEachBody(Gpu* g, VkCommandBuffer cmd, VkPipelineLayout layout, const mat4f32* mvp, bool shadow) {
  VkDeviceAddress inst = bufferAddress(g->r.device, frameDynBufferCurrent(&g->tris.boxInstBuf)->buffer);
  ShapePush pc{*mvp, lightingGetAddress(&g->lighting), 0};
  VkDeviceSize offset = 0;
  for (u32 i = 0; i < g->tris.boxInstCount; i++) {
    if (shadow) {
      struct {
        mat4f32 mvp;
        VkDeviceAddress inst;
      } sp{*mvp, inst + (VkDeviceAddress)i * sizeof(TrisInstance)};
      vkCmdPushConstants(cmd, layout, VK_SHADER_STAGE_VERTEX_BIT, 0, 72, &sp);
    } else {
      pc.instanceAddr = inst + (VkDeviceAddress)i * sizeof(TrisInstance);
      vkCmdPushConstants(cmd, layout, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof pc, &pc);
    }
    vkCmdBindVertexBuffers(cmd, 0, 1, &g->tris.unitBoxVerts.buffer, &offset);
    vkCmdDraw(cmd, g->tris.boxVtxCount, 1, 0, 0);
  }
}

// One frame as the program records it: light data, N boxes (new poses each
// frame), the shadow pass or the ray-query structure, the main pass.
void shapesFrame(Gpu* g, u32 bodies, u32 frame, bool perBody) {
  VkCommandBuffer cmd;
  u32 image;
  if (!rendererBeginFrame(&g->r, &cmd, &image)) return;
  Lighting* l = &g->lighting;
  l->data.ambient = v4f{0.3f, 0.3f, 0.3f, 1.0f};
  l->data.lightCount = 1;
  l->data.lights[0].direction = v4f{0.5f, 1.0f, 0.3f, 0.0f};
  l->data.lights[0].color = v4f{1, 1, 1, 0.7f};
  l->data.lights[0].castsShadow = 1;
  l->data.lights[0].shadowVP = lightingComputeShadowVP(V3(0.5, 1, 0.3), V3(0, 0, 0), 150.0);
  lightingUpdate(l);
  trisBeginFrame(&g->tris);
  u32 side = 64;
  f64 turn = frame * 0.01;
  for (u32 i = 0; i < bodies; i++) {
    v3 pos = V3((f64)(i % side) * 1.5 - 48.0, 0.5 + (f64)(i / (side * side)) * 1.5, (f64)((i / side) % side) * 1.5 - 48.0);
    trisAddBox(&g->tris, pos, V3(0.5, 0.5, 0.5), quatFromAxisAngle(V3(0, 1, 0), turn + i), 0xff8080c0u);
  }
  mat4f32 vp = lightingComputeShadowVP(V3(0.2, 1, 0.6), V3(0, 0, 0), 80.0);
  if (g->r.lightingMode == RENDERER_LIGHTING_RAY_QUERY) {
    lightingTlasBegin(l);
    trisAddToTlas(&g->tris, l);
    lightingRecordTlasBuild(l, cmd);
  } else {
    VkClearValue clear{};
    clear.depthStencil = {1.0f, 0};
    VkRenderPassBeginInfo bi{};
    bi.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
    bi.renderPass = l->shadowRenderPass;
    bi.framebuffer = l->shadowFramebuffers[0];
    bi.renderArea = {{0, 0}, {kShadowMapSize, kShadowMapSize}};
    bi.clearValueCount = 1;
    bi.pClearValues = &clear;
    vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
    VkViewport svp{0, 0, (f32)kShadowMapSize, (f32)kShadowMapSize, 0, 1};
    VkRect2D ssc{{0, 0}, {kShadowMapSize, kShadowMapSize}};
    vkCmdSetViewport(cmd, 0, 1, &svp);
    vkCmdSetScissor(cmd, 0, 1, &ssc);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, l->shadowTrisPipeline);
    if (perBody) {
      VkDescriptorSet sets[2] = {l->emptyDescSet, l->emptyDescSet};
      vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, l->shadowTrisLayout, 0, 2, sets, 0, nullptr);
      drawEachBody(g, cmd, l->shadowTrisLayout, &l->data.lights[0].shadowVP, true);
    } else {
      trisDrawShadow(&g->tris, cmd, l->shadowTrisLayout, l->emptyDescSet, l->emptyDescSet, &l->data.lights[0].shadowVP);
    }
    vkCmdEndRenderPass(cmd);
  }
  rendererBeginRenderPass(&g->r, image);
  if (perBody) {
    Pipeline* p = pipelinesGet(&g->pipelines, kTrisPipelineSlot);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, p->pipeline);
    VkDescriptorSet sets[2] = {l->emptyDescSet, l->descSet};
    vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, p->layout, 0, 2, sets, 0, nullptr);
    drawEachBody(g, cmd, p->layout, &vp, false);
  } else {
    trisDraw(&g->tris, &g->pipelines, cmd, &vp, l->emptyDescSet, l->descSet, lightingGetAddress(l));
  }
  rendererEndFrame(&g->r, image);
}

void BM_Shapes(benchmark::State& state, RendererLightingMode mode, bool perBody) {
  Gpu* g = sceneGpu(mode);
  if (!g) {
    state.SkipWithError(mode == RENDERER_LIGHTING_RAY_QUERY ? "no ray query" : "no Vulkan device");
    return;
  }
  u32 bodies = (u32)state.range(0);
  u32 frame = 0;
  for (int i = 0; i < 3; i++) shapesFrame(g, bodies, frame++, perBody);  // buffers grown, structures made
  for (auto _ : state) shapesFrame(g, bodies, frame++, perBody);
  state.counters["bodies"] = bodies;
}

void shapeArgs(benchmark::internal::Benchmark* b) {
  for (int n : {1, 236, 1000, 4000}) b->Arg(n);
  // The GPU work dwarfs the recording on lavapipe: a fixed frame count keeps the
  // run short while the thread CPU clock still measures recording alone.
  b->Iterations(40);
}

BENCHMARK_CAPTURE(BM_Shapes, shadow_maps, RENDERER_LIGHTING_SHADOW_MAPS, false)->Apply(shapeArgs);
BENCHMARK_CAPTURE(BM_Shapes, shadow_maps_per_body, RENDERER_LIGHTING_SHADOW_MAPS, true)->Apply(shapeArgs);
BENCHMARK_CAPTURE(BM_Shapes, ray_query, RENDERER_LIGHTING_RAY_QUERY, false)->Apply(shapeArgs);
BENCHMARK_CAPTURE(BM_Shapes, ray_query_per_body, RENDERER_LIGHTING_RAY_QUERY, true)->Apply(shapeArgs);
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
      {
        double perIteration = r.cpu_accumulated_time / (double)r.iterations;
        cpuSeconds[r.run_name.function_name] = perIteration;
        cpuSeconds[r.benchmark_name()] = perIteration;  // with its arguments
      }
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
  // Shapes: ms per frame at each body count and the cost per added body (slope
  // from 1 to 4000 bodies), instanced against one draw per body.
  std::printf("\nMain-thread CPU per frame of N lit, shadowed boxes (ms); slope = per added body (us)\n");
  for (const char* mode : {"shadow_maps", "ray_query"}) {
    std::string ours = std::string("BM_Shapes/") + mode + "/";
    std::string anchor = std::string("BM_Shapes/") + mode + "_per_body/";
    std::printf("%-12s", mode);
    bool all = true;
    for (int n : {1, 236, 1000, 4000}) {
      std::string a = ours + std::to_string(n) + "/iterations:40", b = anchor + std::to_string(n) + "/iterations:40";
      if (!s.count(a) || !s.count(b)) {
        all = false;
        continue;
      }
      std::printf("  %d: %.3f (anchor %.3f)", n, s[a] * 1e3, s[b] * 1e3);
    }
    std::printf("\n");
    if (!all) continue;
    auto key = [](const std::string& base, int n) { return base + std::to_string(n) + "/iterations:40"; };
    double slope = (s[key(ours, 4000)] - s[key(ours, 1)]) / 3999.0;
    double slopeAnchor = (s[key(anchor, 4000)] - s[key(anchor, 1)]) / 3999.0;
    std::printf("%-12s  slope %.3f us/body, anchor %.3f us/body, ratio %.2f (goal <= 0.25)\n", mode, slope * 1e6,
                slopeAnchor * 1e6, slope / slopeAnchor);
  }
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
