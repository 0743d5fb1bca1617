// The sandbox program: start-up in a fixed order, the frame loop, shutdown in
// reverse order.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/state.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "renderer/texture.h"
#include "renderer/validation.h"
#include "renderer/vkloader.h"

namespace {

constexpr u64 kMemoryLimit = 0x200000000ull;  // 8 GiB of heap and of GPU memory
constexpr VkDeviceSize kMeshPoolSize = 0x4000000;  // 64 MiB
constexpr u32 kVulkanApi12 = 0x402000;
constexpr u64 kProfilerIntervalNs = 1'000'000;
constexpr u32 kMaxParticles = 32768, kMaxEmitters = 16;

void setInitialValues(State* s) {
  s->windowW = 1280;
  s->windowH = 720;
  s->fps = 60.0;
  s->windowVisible = true;
  s->localPlayerCount = 1;
  s->heightfieldBodyId = -1;
  s->tornadoFieldIdx = -1;
  s->cesiumManModelIndex = 0xFFFFFFFFu;
  s->explosionParticleEmitterId = kParticleNoEmitter;
  s->terrainBrushRadius = 12.0f;
  s->terrainBrushStrength = 1.0f;
  s->terrainSplatStrength = 0.35f;
  std::snprintf(s->newWorldName, sizeof s->newWorldName, "world.qel");
}

// The fire above the scene and the (disabled) emitter the blast fires.
b8 initParticles(State* s) {
  if (!particleSystemInit(&s->particles, &s->renderer, kMaxParticles, kMaxEmitters)) return false;
  ParticleEmitter fire = particleEmitterFire(V3(0, 18, 0));
  u32 fireId = particleSystemAddEmitter(&s->particles, &fire);
  particleSystemBurst(&s->particles, fireId, 128);
  ParticleEmitter boom = particleEmitterExplosion(V3(0, 0, 0));
  boom.spawn.x = 0.0f;
  u32 id = particleSystemAddEmitter(&s->particles, &boom);
  if (id != kParticleNoEmitter) particleSystemSetEmitterEnabled(&s->particles, id, false);
  s->explosionParticleEmitterId = id;
  return true;
}

VkInstance createInstance() {
  u32 extCount = 0;
  const char** exts = platformGetRequiredExtensions(&extCount);
  VkApplicationInfo app{};
  app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
  app.pApplicationName = "Terrain";
  app.pEngineName = "Terrain";
  app.apiVersion = kVulkanApi12;
  VkInstanceCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
  ci.pApplicationInfo = &app;
  ci.enabledExtensionCount = extCount;
  ci.ppEnabledExtensionNames = exts;
  ValidationSetup validation;
  // A run that asked for checks must not pass silently without them.
  if (validationRequested() && !validationPrepare(&validation, &ci)) {
    std::fprintf(stderr, "validation: the Khronos validation layer is not installed\n");
    return VK_NULL_HANDLE;
  }
  VkInstance instance = VK_NULL_HANDLE;
  if (vkCreateInstance(&ci, nullptr, &instance) != VK_SUCCESS) return VK_NULL_HANDLE;
  return instance;
}

}  // namespace

int main(int argc, char** argv) {
  memoryInit(kMemoryLimit, kMemoryLimit);
  auto* s = static_cast<State*>(memCalloc(1, sizeof(State)));
  if (!s) return 1;
  setInitialValues(s);
  gizmoInit(&s->gizmo);

  s->plat = platformCreate(s->windowW, s->windowH, "Terrain");
  if (!s->plat) return 1;
  if (volkInitialize() != VK_SUCCESS) return 1;
  VkInstance instance = createInstance();
  // Without an instance nothing can be drawn: stop here rather than carry on.
  if (!instance) return 1;
  volkLoadInstance(instance);
  if (validationRequested()) validationStart(instance);
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  if (platformCreateSurface(s->plat, instance, &surface) != VK_SUCCESS) return 1;
  platformGetSize(s->plat, &s->windowW, &s->windowH);
  if (!rendererInit(&s->renderer, instance, surface, (u32)s->windowW, (u32)s->windowH)) return 1;
  // The sampler runs for the whole program; threads started from here on
  // register themselves through the profiler hook. The "Trace" window starts
  // hidden ("Show trace" turns capture and window on) so that it does not
  // cover the other windows at start-up.
  if (!traceProfilerInit(kProfilerIntervalNs)) return 1;
  traceProfilerThreadStart("main");
  flameGraphInit(&s->flameGraph);
  // Sampling only while the flame graph captures: otherwise every registered
  // thread is woken a thousand times a second for samples nobody reads.
  traceProfilerSetPaused(!flameGraphIsEnabled(&s->flameGraph));
  rendererSetRefreshRate(&s->renderer, (f32)s->fps);
  pipelinesInit(&s->pipelines, &s->renderer);
  if (!lightingInit(&s->lighting, &s->renderer)) return 1;
  trisInit(&s->tris, &s->renderer);
  trisCreatePipeline(&s->pipelines, &s->renderer, s->lighting.emptySetLayout, s->lighting.setLayout);
  linesInit(&s->lines, &s->renderer);
  linesCreatePipeline(&s->pipelines, &s->renderer);
  // The bindless texture table (slot 0: the fallback) before anything draws textures.
  textureEnsureBindless(&s->renderer);
  // The interface font (its atlas takes a bindless slot) and the debug UI.
  fontCreatePipeline(&s->pipelines, &s->renderer);
  if (!fontInitRuntime(&s->font, &s->renderer, &s->pipelines, PIPELINE_FONT, kFontPath, kFontPixelHeight,
                       kFontBakeSize, kFontBakeSize))
    return 1;
  uiCreatePipeline(&s->pipelines, &s->renderer);
  uiInit(&s->ui, &s->renderer, &s->pipelines, &s->font, PIPELINE_UI);
  uiUpdateScale(&s->ui, s->windowW, s->windowH);
  // Before the audio engine: its callbacks feed the panel's meters.
  s->voipPanel = voipPanelCreate();
  if (!decalSystemInit(&s->fileDialogDecals, &s->renderer, &s->pipelines, kFileDialogDecalPipeline, false, false,
                       false, VK_NULL_HANDLE, nullptr))
    return 1;
  // After the texture table: the particle sprite is a texture.
  if (!initParticles(s)) return 1;
  // Sound is optional: without a device the program runs silent.
  appAudioStart(s, nullptr, nullptr);

  // Whenever ray query is supported, not only in its mode: a later switch builds
  // structures straight from the pools.
  VkBufferUsageFlags asInput =
      s->renderer.rayQuerySupported ? VK_BUFFER_USAGE_ACCELERATION_STRUCTURE_BUILD_INPUT_READ_ONLY_BIT_KHR : 0;
  meshPoolInit(&s->vertexPool, s->renderer.device, s->renderer.physicalDevice, kMeshPoolSize,
               VK_BUFFER_USAGE_VERTEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT | asInput);
  meshPoolInit(&s->indexPool, s->renderer.device, s->renderer.physicalDevice, kMeshPoolSize,
               VK_BUFFER_USAGE_INDEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT | asInput);
  ecsInit(&s->ecs, kAppMaxEntities);
  appRegisterComponents(&s->ecs);
  lightingCreateShadowPipelines(&s->lighting);
  // Models: the six pipelines in slots 6 to 11 and the default character. A
  // missing character only leaves its index all ones.
  s->modelSys = modelSystemCreate(&s->renderer, &s->pipelines, &s->vertexPool, &s->indexPool, kAppMaxEntities);
  if (s->modelSys && modelSystemSetupGPU(s->modelSys, 6, 7, 8, 9, 10, 11, s->lighting.setLayout))
    s->cesiumManModelIndex = loadModelAsset(s, "asset/CesiumMan.gltf");
  appFileDialogInit(s);
  WorldConfig worldConfig = worldDefaultConfig();
  if (!worldInit(&s->world, &worldConfig)) return 1;

  Camera camera = CameraCreateFull(V3(0, 80, 100), V3(0, 25, 0), V3(0, 1, 0), 1.0471975511965976,
                                   (f64)s->windowW / (f64)(s->windowH > 0 ? s->windowH : 1), 0.1, 500000.0);
  camera.move_speed = 30.0;
  localPlayerInit(&s->player, &camera, 0);
  s->localPlayerCount = 1;
  s->keyboardPlayer = 0;
  sceneSetup(s);
  // One character walking in front of the start camera, so the first view shows it.
  spawnCesiumMan(s);
  // A world named on the command line (or in TERRAIN_WORLD) opens at once; the
  // demo scene alone otherwise.
  const char* startWorld = argc > 1 ? argv[1] : std::getenv("TERRAIN_WORLD");
  if (startWorld && startWorld[0]) loadWorld(s, startWorld);
  // Only opens and binds its sockets; without it voice chat is not found.
  s->discovery = discoveryCreate(0, nullptr);

  b8 quit = false;
  f64 prev = clockNanos();
  f64 fpsAccum = 0.0;
  u32 fpsFrames = 0;
  while (!platformShouldClose(s->plat) && !quit) {
    f64 now = clockNanos();
    f64 dt = (now - prev) * 1e-9;
    fpsAccum += dt;
    fpsFrames++;
    if (fpsAccum >= 1.0) {
      s->curfps = fpsFrames / fpsAccum;
      fpsAccum = 0.0;
      fpsFrames = 0;
    }

    platformPoll(s->plat);
    InputEvent ev;
    while (platformPollInput(s->plat, &ev)) handleInputEvent(s, s->plat, &ev, &quit, dt);
    if (!s->windowVisible) {
      // Minimised: draw nothing and sleep until the window system has news, or
      // at most ~100 ms, so that discovery keeps answering and announcing. The
      // time spent here is not a frame's dt (a held key would fling the camera).
      platformWaitEventTimeout(s->plat, 100);
      if (s->discovery) discoveryTick(s->discovery, nullptr);
      prev = clockNanos();
      continue;
    }
    flameGraphCapture(&s->flameGraph);
    handleInputEvent(s, s->plat, nullptr, &quit, dt);
    // A skipped frame (no image to draw into) keeps prev: its time counts next frame.
    if (!renderFrame(s, dt)) continue;
    prev = now;
  }

  rendererWaitIdle(&s->renderer);
  physicsStop(s);
  // Unsaved edits are dropped: the file keeps the last save.
  closeWorld(s);
  // Joins the loader threads, queued loads or not.
  decalSystemDestroy(&s->fileDialogDecals);
  // Leaves the bindless table to textureShutdown.
  fileDialogDestroy(&s->fileDialog);
  modelSystemDestroy(s->modelSys, &s->ecs);
  ecsDestroy(&s->ecs);
  worldDestroy(&s->world);
  voipSessionClose(s);
  appVoipBootstrapRelease(s);
  discoveryDestroy(s->discovery);
  s->discovery = nullptr;
  appAudioShutdown(s);
  voipPanelDestroy(s->voipPanel);
  s->voipPanel = nullptr;
  uiDestroy(&s->ui);
  fontDestroy(&s->font);
  particleSystemDestroy(&s->particles);
  trisDestroy(&s->tris);
  linesDestroy(&s->lines);
  lightingDestroy(&s->lighting);
  meshPoolDestroy(&s->vertexPool);
  meshPoolDestroy(&s->indexPool);
  pipelinesDestroy(&s->pipelines);
  textureShutdown(&s->renderer);
  rendererDestroy(&s->renderer);
  vkDestroySurfaceKHR(instance, surface, nullptr);
  validationStop(instance);
  vkDestroyInstance(instance, nullptr);
  platformDestroy(s->plat);
  // Every other sampled thread has ended by now.
  traceProfilerThreadEnd();
  traceProfilerShutdown();
  flameGraphDestroy(&s->flameGraph);
  memFree(s);
  if (validationErrorCount() > 0) {
    std::fprintf(stderr, "validation: %u errors\n", validationErrorCount());
    return 1;
  }
  return 0;
}
