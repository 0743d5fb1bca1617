// The sandbox program: start-up in a fixed order, the frame loop, shutdown in
// reverse order.
#include <cstdio>
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
constexpr u32 kMaxEntities = 4096;

void setInitialValues(State* s) {
  s->windowW = 1280;
  s->windowH = 720;
  s->fps = 60.0;
  s->windowVisible = true;
  s->localPlayerCount = 1;
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

void registerComponents(Ecs* ecs) {
  ecsRegister(ecs, ECS_SYS_MODEL, 64, kMaxEntities);
  ecsRegister(ecs, ECS_SYS_POSE, 16, 256);
  ecsRegister(ecs, ECS_SYS_RAGDOLL, 8, 256);
  ecsRegister(ecs, ECS_SYS_PHYSICS_BODY, 8, kMaxEntities);
  ecsRegisterReverse(ecs, ECS_SYS_PHYSICS_BODY, kMaxEntities);
  ecsRegister(ecs, ECS_SYS_AUDIO, 4, 256);
  ecsRegister(ecs, ECS_SYS_RENDER, 4, 512);
  ecsRegister(ecs, ECS_SYS_TERRAIN, 4, 256);
}

void drawPlayers(State* s, VkCommandBuffer cmd) {
  for (u32 i = 0; i < s->localPlayerCount; i++) {
    LocalPlayer* p = statePlayer(s, i);
    SplitViewport cell = splitViewport(s->windowW, s->windowH, s->localPlayerCount, i);
    if (cell.width <= 0 || cell.height <= 0) continue;
    CameraSetAspect(&p->camera, (f64)cell.width / (f64)cell.height);
    VkViewport vp{(f32)cell.x, (f32)cell.y, (f32)cell.width, (f32)cell.height, 0.0f, 1.0f};
    VkRect2D scissor{{cell.x, cell.y}, {(u32)cell.width, (u32)cell.height}};
    vkCmdSetViewport(cmd, 0, 1, &vp);
    vkCmdSetScissor(cmd, 0, 1, &scissor);
  }
}

}  // namespace

int main() {
  memoryInit(kMemoryLimit, kMemoryLimit);
  auto* s = static_cast<State*>(memCalloc(1, sizeof(State)));
  if (!s) return 1;
  setInitialValues(s);

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
  rendererSetRefreshRate(&s->renderer, (f32)s->fps);
  pipelinesInit(&s->pipelines, &s->renderer);
  // The bindless texture table (slot 0: the fallback) before anything draws textures.
  textureEnsureBindless(&s->renderer);

  VkBufferUsageFlags asInput = s->renderer.lightingMode == RENDERER_LIGHTING_RAY_QUERY
                                   ? VK_BUFFER_USAGE_ACCELERATION_STRUCTURE_BUILD_INPUT_READ_ONLY_BIT_KHR
                                   : 0;
  meshPoolInit(&s->vertexPool, s->renderer.device, s->renderer.physicalDevice, kMeshPoolSize,
               VK_BUFFER_USAGE_VERTEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT | asInput);
  meshPoolInit(&s->indexPool, s->renderer.device, s->renderer.physicalDevice, kMeshPoolSize,
               VK_BUFFER_USAGE_INDEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT | asInput);
  ecsInit(&s->ecs, kMaxEntities);
  registerComponents(&s->ecs);

  Camera camera = CameraCreateFull(V3(0, 80, 100), V3(0, 25, 0), V3(0, 1, 0), 1.0471975511965976,
                                   (f64)s->windowW / (f64)(s->windowH > 0 ? s->windowH : 1), 0.1, 500000.0);
  camera.move_speed = 30.0;
  localPlayerInit(&s->player, &camera, 0);
  s->localPlayerCount = 1;
  s->keyboardPlayer = 0;

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
      // Minimised: draw nothing and sleep until the window system has news. The
      // time spent here is not a frame's dt (a held key would fling the camera).
      platformWaitEvent(s->plat);
      prev = clockNanos();
      continue;
    }
    handleInputEvent(s, s->plat, nullptr, &quit, dt);

    VkCommandBuffer cmd = VK_NULL_HANDLE;
    u32 imageIndex = 0;
    if (!rendererBeginFrame(&s->renderer, &cmd, &imageIndex)) continue;
    meshPoolFlush(&s->vertexPool, cmd);
    meshPoolFlush(&s->indexPool, cmd);
    rendererBeginRenderPass(&s->renderer, imageIndex);
    drawPlayers(s, cmd);
    VkViewport full{0.0f, 0.0f, (f32)s->windowW, (f32)s->windowH, 0.0f, 1.0f};
    VkRect2D fullScissor{{0, 0}, {(u32)s->windowW, (u32)s->windowH}};
    vkCmdSetViewport(cmd, 0, 1, &full);
    vkCmdSetScissor(cmd, 0, 1, &fullScissor);
    rendererEndFrame(&s->renderer, imageIndex);
    prev = now;
  }

  rendererWaitIdle(&s->renderer);
  ecsDestroy(&s->ecs);
  meshPoolDestroy(&s->vertexPool);
  meshPoolDestroy(&s->indexPool);
  pipelinesDestroy(&s->pipelines);
  textureShutdown(&s->renderer);
  rendererDestroy(&s->renderer);
  vkDestroySurfaceKHR(instance, surface, nullptr);
  validationStop(instance);
  vkDestroyInstance(instance, nullptr);
  platformDestroy(s->plat);
  memFree(s);
  if (validationErrorCount() > 0) {
    std::fprintf(stderr, "validation: %u errors\n", validationErrorCount());
    return 1;
  }
  return 0;
}
