// Models: main-thread CPU of recording static instances (shadow light on)
// against one draw per instance, and 64 walking characters' update against a
// plain evaluation written here (TRS per joint from its channels, local =
// T * R * S, world in parent order, skin = world * inverse bind).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "components/model.h"
#include "platform/memory.h"
#include "renderer/lighting.h"
#include "renderer/texture.h"

namespace {

std::string characterPath() {
  const char* env = std::getenv("TERRAIN_CHARACTER_GLTF");
  return env ? env : TERRAIN_CHARACTER_GLTF;
}

// ---- 64 walking characters ----------------------------------------------------

struct Walkers {
  MeshPool vp{}, ip{};
  Ecs ecs{};
  ModelSystem* sys = nullptr;
  const GltfModel* model = nullptr;
  // The plain evaluation's state.
  std::vector<f32> bindTrs;  // 10 per joint
  std::vector<mat4f32> local, world, out;
  std::vector<Entity> entities;
  b8 ok = false;
};

Walkers* gWalkers = nullptr;

Walkers* walkers() {
  if (gWalkers) return gWalkers->ok ? gWalkers : nullptr;
  gWalkers = new Walkers;
  Walkers* w = gWalkers;
  meshPoolInitRanges(&w->vp, 1u << 26);
  meshPoolInitRanges(&w->ip, 1u << 26);
  ecsInit(&w->ecs, 256);
  ecsRegister(&w->ecs, ECS_SYS_MODEL, 64, 256);
  ecsRegister(&w->ecs, ECS_SYS_POSE, 16, 256);
  ecsRegister(&w->ecs, ECS_SYS_RAGDOLL, 8, 256);
  w->sys = modelSystemCreate(nullptr, nullptr, &w->vp, &w->ip, 64);
  if (!w->sys || modelSystemLoadModel(w->sys, characterPath().c_str()) != 0) return nullptr;
  modelSystemRebuildDescriptors(w->sys);
  w->model = w->sys->models[0];
  for (u32 i = 0; i < 64; i++) {
    v3f pos{(f32)(i % 8) * 2.0f, 0, (f32)(i / 8) * 2.0f, 0};
    v4f rot{0, std::sin(0.1f * (f32)i), 0, std::cos(0.1f * (f32)i)};
    Entity e = modelSystemSpawn(w->sys, &w->ecs, 0, pos, rot);
    if (!e) return nullptr;
    w->entities.push_back(e);
  }
  const GltfSkin& skin = w->model->skins[0];
  w->bindTrs.resize(skin.jointCount * 10);
  for (u32 j = 0; j < skin.jointCount; j++) {
    f32* t = &w->bindTrs[j * 10];
    gltfMat4Decompose(skin.joints[j].localBindTransform, t, t + 3, t + 7);
  }
  w->local.resize(skin.jointCount);
  w->world.resize(skin.jointCount);
  w->out.resize(64 * (size_t)skin.jointCount);
  w->ok = true;
  return w;
}

// The plain evaluation of one character at time t into out (model * skin).
void plainEvaluate(Walkers* w, const ModelComp& c, f32 time, mat4f32* out) {
  const GltfSkin& skin = w->model->skins[0];
  const GltfAnimation& anim = w->model->animations[0];
  const u32 n = skin.jointCount;
  f32 trs[64][10];
  for (u32 j = 0; j < n; j++)
    for (int k = 0; k < 10; k++) trs[j][k] = w->bindTrs[j * 10 + k];
  const f32 t = std::fmod(time, anim.duration);
  for (u32 ci = 0; ci < anim.channelCount; ci++) {
    const GltfAnimChannel& ch = anim.channels[ci];
    const GltfAnimSampler& s = anim.samplers[ch.samplerIndex];
    u32 k = 0;
    while (k + 1 < s.count && s.times[k + 1] <= t) k++;
    const u32 k1 = k + 1 < s.count ? k + 1 : k;
    const f32 f = k1 == k ? 0.0f : (t - s.times[k]) / (s.times[k1] - s.times[k]);
    const f32* a = s.values + k * s.components;
    const f32* b = s.values + k1 * s.components;
    f32* d = ch.path == GLTF_ANIM_TRANSLATION ? trs[ch.jointIndex] : ch.path == GLTF_ANIM_ROTATION ? trs[ch.jointIndex] + 3 : trs[ch.jointIndex] + 7;
    if (ch.path == GLTF_ANIM_ROTATION) {
      f32 bb[4] = {b[0], b[1], b[2], b[3]};
      f32 dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
      if (dot < 0) {
        for (f32& v : bb) v = -v;
        dot = -dot;
      }
      f32 wa = 1 - f, wb = f;
      if (dot <= 0.9995f) {
        f32 th = std::acos(std::fmin(dot, 1.0f)), st = std::sin(th);
        wa = std::sin((1 - f) * th) / st;
        wb = std::sin(f * th) / st;
      }
      f32 len = 0;
      for (int i = 0; i < 4; i++) {
        d[i] = a[i] * wa + bb[i] * wb;
        len += d[i] * d[i];
      }
      len = std::sqrt(len);
      for (int i = 0; i < 4; i++) d[i] /= len;
    } else {
      for (int i = 0; i < 3; i++) d[i] = a[i] * (1 - f) + b[i] * f;
    }
  }
  f32 pt[3] = {c.position.x, c.position.y, c.position.z}, pq[4] = {c.rotation.x, c.rotation.y, c.rotation.z, c.rotation.w},
      ps[3] = {1, 1, 1};
  const mat4f32 model = gltfMat4FromTrs(pt, pq, ps);
  for (u32 j = 0; j < n; j++) {
    w->local[j] = gltfMat4FromTrs(trs[j], trs[j] + 3, trs[j] + 7);
    const i32 p = skin.joints[j].parent;
    w->world[j] = p >= 0 ? gltfMat4Mul(w->world[p], w->local[j]) : gltfMat4Mul(skin.rootTransform, w->local[j]);
    out[j] = gltfMat4Mul(model, gltfMat4Mul(w->world[j], skin.joints[j].inverseBindMatrix));
  }
}

void plainFrame(Walkers* w, f32 dt) {
  const u32 n = w->model->skins[0].jointCount;
  for (size_t i = 0; i < w->entities.size(); i++) {
    auto* c = static_cast<ModelComp*>(ecsGetComponent(&w->ecs, ECS_SYS_MODEL, w->entities[i]));
    c->animTime += dt;
    plainEvaluate(w, *c, c->animTime, &w->out[i * n]);
  }
}

// Both ways agree before anything is timed.
b8 walkersAgree(Walkers* w) {
  const u32 n = w->model->skins[0].jointCount;
  modelSystemUpdate(w->sys, &w->ecs, 0.37f, nullptr);
  std::vector<f32> times;
  for (Entity e : w->entities) {
    auto* c = static_cast<ModelComp*>(ecsGetComponent(&w->ecs, ECS_SYS_MODEL, e));
    times.push_back(c->animTime);
  }
  f32 worst = 0;
  for (size_t i = 0; i < w->entities.size(); i++) {
    auto* c = static_cast<ModelComp*>(ecsGetComponent(&w->ecs, ECS_SYS_MODEL, w->entities[i]));
    auto* pc = static_cast<PoseComp*>(ecsGetComponent(&w->ecs, ECS_SYS_POSE, w->entities[i]));
    plainEvaluate(w, *c, times[i], &w->out[i * n]);
    const mat4f32* ours = w->sys->bones + (u64)pc->bonePoolSlot * w->sys->bonesPerSkeleton;
    for (u32 j = 0; j < n; j++)
      for (int k = 0; k < 16; k++) worst = std::fmax(worst, std::fabs(ours[j].m[k] - w->out[i * n + j].m[k]));
  }
  std::printf("walkers: largest difference from the plain evaluation %.2e (must be <= 1e-5)\n", worst);
  return worst <= 1e-5f;
}

void BM_Walkers(benchmark::State& state) {
  Walkers* w = walkers();
  if (!w) {
    state.SkipWithError("default character missing");
    return;
  }
  static b8 checked = false;
  if (!checked) {
    if (!walkersAgree(w)) {
      state.SkipWithError("the update disagrees with the plain evaluation");
      return;
    }
    checked = true;
  }
  for (auto _ : state) modelSystemUpdate(w->sys, &w->ecs, 1.0f / 60.0f, nullptr);
}

void BM_WalkersPlain(benchmark::State& state) {
  Walkers* w = walkers();
  if (!w) {
    state.SkipWithError("default character missing");
    return;
  }
  for (auto _ : state) plainFrame(w, 1.0f / 60.0f);
}

// Five repetitions each; the table takes the fastest (least disturbed) one.
BENCHMARK(BM_Walkers)->Name("walk64/update")->Repetitions(5);
BENCHMARK(BM_WalkersPlain)->Name("walk64/anchor_plain")->Repetitions(5);

// ---- Static instances on lavapipe -----------------------------------------------

struct Gpu {
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  Pipelines pipelines{};
  Lighting lighting{};
  MeshPool vp{}, ip{};
  Ecs ecs{};
  ModelSystem* sys = nullptr;
  std::vector<Entity> spawned;
  b8 ok = false;
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
  g->r.targetFrameTimeNs = 0;  // the work of a frame, not the pacing sleep
  pipelinesInit(&g->pipelines, &g->r);
  if (!lightingInit(&g->lighting, &g->r)) return nullptr;
  lightingCreateShadowPipelines(&g->lighting);
  meshPoolInit(&g->vp, g->r.device, g->r.physicalDevice, 1u << 24,
               VK_BUFFER_USAGE_VERTEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT);
  meshPoolInit(&g->ip, g->r.device, g->r.physicalDevice, 1u << 24,
               VK_BUFFER_USAGE_INDEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT);
  ecsInit(&g->ecs, 8192);
  ecsRegister(&g->ecs, ECS_SYS_MODEL, 64, 4096);
  ecsRegister(&g->ecs, ECS_SYS_POSE, 16, 256);
  ecsRegister(&g->ecs, ECS_SYS_RAGDOLL, 8, 256);
  g->sys = modelSystemCreate(&g->r, &g->pipelines, &g->vp, &g->ip, 4096);
  if (!g->sys || !modelSystemSetupGPU(g->sys, 6, 7, 8, 9, 10, 11, g->lighting.setLayout)) return nullptr;
  const std::string box = std::string(TERRAIN_SHARED_DIR) + "/assets/gltf/BoxTextured/glTF/BoxTextured.gltf";
  if (modelSystemLoadModel(g->sys, box.c_str()) != 0) return nullptr;
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(&g->r);
  gltfFlush(g->sys->models[0], cmd);
  rendererEndOneTimeCommands(&g->r, cmd);
  g->ok = true;
  return g;
}

// Exactly n instances on a grid.
void setInstances(Gpu* g, u32 n) {
  while (g->spawned.size() > n) {
    ecsEntityDestroy(&g->ecs, g->spawned.back());
    g->spawned.pop_back();
  }
  while (g->spawned.size() < n) {
    const u32 i = (u32)g->spawned.size();
    v3f pos{(f32)(i % 64) * 1.5f - 48.0f, 0.5f, (f32)(i / 64) * 1.5f - 48.0f, 0};
    g->spawned.push_back(modelSystemSpawn(g->sys, &g->ecs, 0, pos, v4f{0, 0, 0, 1}));
  }
}

// One frame: update, shadow pass, main pass; the anchor records one draw per
// instance with the static pipeline (full matrix pushed), shadows likewise.
void frame(Gpu* g, b8 perInstance) {
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
  modelSystemUpdate(g->sys, &g->ecs, 1.0f / 60.0f, nullptr);
  modelSystemBeginFrame(g->sys);
  const mat4f32 vp = lightingComputeShadowVP(V3(0.2, 1, 0.6), V3(0, 0, 0), 80.0);
  const GltfModel* m = g->sys->models[0];
  const GltfPrimitive& prim = m->meshes[0].primitives[0];
  Entity list[4096];
  const u32 n = perInstance ? ecsQuery(&g->ecs, 1u << ECS_SYS_MODEL, list, 4096) : 0;
  auto instanceMatrix = [&](Entity e) {
    const auto* c = static_cast<const ModelComp*>(ecsGetComponent(&g->ecs, ECS_SYS_MODEL, e));
    f32 t[3] = {c->position.x, c->position.y, c->position.z}, q[4] = {c->rotation.x, c->rotation.y, c->rotation.z, c->rotation.w},
        s[3] = {c->scale, c->scale, c->scale};
    return gltfMat4FromTrs(t, q, s);
  };
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
  VkDeviceSize voff = prim.vertexAlloc.offset;
  if (perInstance) {
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, l->shadowGltfPipeline);
    VkDescriptorSet sets[2] = {l->emptyDescSet, l->emptyDescSet};
    vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, l->shadowGltfLayout, 0, 2, sets, 0, nullptr);
    for (u32 i = 0; i < n; i++) {
      struct {
        mat4f32 mvp;
        f32 origin[3];
        f32 scale;
      } push{gltfMat4Mul(l->data.lights[0].shadowVP, instanceMatrix(list[i])),
             {prim.transform.origin.x, prim.transform.origin.y, prim.transform.origin.z},
             prim.transform.scale};
      vkCmdPushConstants(cmd, l->shadowGltfLayout, VK_SHADER_STAGE_VERTEX_BIT, 0, 80, &push);
      vkCmdBindVertexBuffers(cmd, 0, 1, &g->vp.buffer, &voff);
      vkCmdBindIndexBuffer(cmd, g->ip.buffer, prim.indexAlloc.offset, prim.indexType);
      vkCmdDrawIndexed(cmd, prim.indexCount, 1, 0, 0, 0);
    }
  } else {
    modelSystemDrawShadow(g->sys, &g->ecs, cmd, l->data.lights[0].shadowVP, l, nullptr);
  }
  vkCmdEndRenderPass(cmd);
  rendererBeginRenderPass(&g->r, image);
  if (perInstance) {
    Pipeline* p = pipelinesGet(&g->pipelines, 6);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, p->pipeline);
    VkDescriptorSet sets[2] = {g->r.bindlessTextureSet, l->descSet};
    vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, p->layout, 0, 2, sets, 0, nullptr);
    for (u32 i = 0; i < n; i++) {
      struct {
        mat4f32 mvp;
        f32 origin[3];
        f32 scale;
        f32 factor[4];
        f32 cutoff;
        u32 texture;
        u64 light;
      } push{gltfMat4Mul(vp, instanceMatrix(list[i])),
             {prim.transform.origin.x, prim.transform.origin.y, prim.transform.origin.z},
             prim.transform.scale,
             {1, 1, 1, 1},
             0.0f,
             (u32)m->materials[0].baseColorTextureIndex,
             lightingGetAddress(l)};
      vkCmdPushConstants(cmd, p->layout, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, 112, &push);
      vkCmdBindVertexBuffers(cmd, 0, 1, &g->vp.buffer, &voff);
      vkCmdBindIndexBuffer(cmd, g->ip.buffer, prim.indexAlloc.offset, prim.indexType);
      vkCmdDrawIndexed(cmd, prim.indexCount, 1, 0, 0, 0);
    }
  } else {
    v4 planes[6];
    for (v4& pl : planes) pl = V4(0, 0, 0, 1);
    modelSystemDraw(g->sys, &g->ecs, cmd, vp, l->descSet, planes, lightingGetAddress(l), nullptr);
  }
  rendererEndFrame(&g->r, image);
}

void BM_Static(benchmark::State& state, b8 perInstance) {
  Gpu* g = gpu();
  if (!g) {
    state.SkipWithError("no Vulkan device or sample model");
    return;
  }
  setInstances(g, (u32)state.range(0));
  for (int i = 0; i < 3; i++) frame(g, perInstance);
  for (auto _ : state) frame(g, perInstance);
  state.counters["instances"] = (double)g->spawned.size();
}

void staticArgs(benchmark::internal::Benchmark* b) {
  for (int n : {1, 1000, 4000}) b->Arg(n);
  b->Iterations(40);
}

BENCHMARK_CAPTURE(BM_Static, instanced, false)->Apply(staticArgs);
BENCHMARK_CAPTURE(BM_Static, anchor_per_instance, true)->Apply(staticArgs);

struct Collector : benchmark::ConsoleReporter {
  std::map<std::string, double> cpuSeconds;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred && r.iterations > 0 && r.run_type == Run::RT_Iteration) {
        double s = r.cpu_accumulated_time / (double)r.iterations;
        auto it = cpuSeconds.find(r.benchmark_name());
        if (it == cpuSeconds.end() || s < it->second) cpuSeconds[r.benchmark_name()] = s;
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
  std::printf("\n");
  if (s.count("walk64/update/repeats:5") && s.count("walk64/anchor_plain/repeats:5"))
    std::printf("64 walking characters: update %.1f us, plain evaluation %.1f us, ratio %.2f (goal <= 1.0)\n",
                s["walk64/update/repeats:5"] * 1e6, s["walk64/anchor_plain/repeats:5"] * 1e6, s["walk64/update/repeats:5"] / s["walk64/anchor_plain/repeats:5"]);
  for (int n : {1, 1000, 4000}) {
    std::string a = "BM_Static/instanced/" + std::to_string(n) + "/iterations:40";
    std::string b = "BM_Static/anchor_per_instance/" + std::to_string(n) + "/iterations:40";
    if (s.count(a) && s.count(b))
      std::printf("%5d static instances, shadow light on: instanced %.3f ms, one draw each %.3f ms, ratio %.2f%s\n", n,
                  s[a] * 1e3, s[b] * 1e3, s[a] / s[b], n == 1000 ? " (goal <= 0.25)" : "");
  }
  return 0;
}
