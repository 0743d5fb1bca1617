// The model system on lavapipe, pixels read back: textured instances in one
// instanced draw, culling, a walking character, split-screen cells with their
// own visible sets, and a model's shadow in both lighting modes.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "components/model.h"
#include "gpu_fixture.h"
#include "platform/memory.h"
#include "renderer/lighting.h"
#include "renderer/texture.h"
#include "renderer/tris.h"

namespace {

constexpr u32 kSize = 128;

std::string sharedDir() {
  const char* env = std::getenv("TERRAIN_SHARED_DIR");
  return env ? env : TERRAIN_SHARED_DIR;
}

// Orthographic view straight down on x, z in [-h, h] (screen right +x, down +z).
mat4f32 topView(f32 h) {
  mat4f32 m{};
  m.m[0] = 1.0f / h;
  m.m[6] = -0.5f / h;
  m.m[9] = 1.0f / h;
  m.m[14] = 0.5f;
  m.m[15] = 1.0f;
  return m;
}

// Orthographic view from +z towards -z on x in [-h, h], y in [cy - h, cy + h]
// (screen up +y); depth from z = +10 (0) to -10 (1).
mat4f32 frontView(f32 h, f32 cy) {
  mat4f32 m{};
  m.m[0] = 1.0f / h;
  m.m[5] = -1.0f / h;
  m.m[13] = cy / h;
  m.m[10] = -0.05f;
  m.m[14] = 0.5f;
  m.m[15] = 1.0f;
  return m;
}

// Planes (a, b, c, d) keeping x in [minX, maxX], every y and z.
void slabPlanes(f64 minX, f64 maxX, v4 planes[6]) {
  planes[0] = V4(1, 0, 0, -minX);
  planes[1] = V4(-1, 0, 0, maxX);
  for (int i = 2; i < 6; i++) planes[i] = V4(0, 0, 0, 1);
}

struct ModelGpu : testing::Test {
  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    if (!gpuRendererHeadless(&r, &instance, &surface, 64, 64)) GTEST_SKIP() << "no Vulkan device";
    up = true;
    pipelinesInit(&p, &r);
    ASSERT_TRUE(lightingInit(&l, &r));
    lightingCreateShadowPipelines(&l);
    ASSERT_NE(l.shadowInstancedGltfPipeline, nullptr);
    ASSERT_NE(l.shadowSkinnedPipeline, nullptr);
    trisInit(&t, &r);
    trisCreatePipeline(&p, &r, l.emptySetLayout, l.setLayout);
    ASSERT_TRUE(textureEnsureBindless(&r));
    const VkBufferUsageFlags as =
        r.rayQuerySupported ? VK_BUFFER_USAGE_ACCELERATION_STRUCTURE_BUILD_INPUT_READ_ONLY_BIT_KHR : 0;
    meshPoolInit(&vp, r.device, r.physicalDevice, 1u << 22,
                 VK_BUFFER_USAGE_VERTEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT | as);
    meshPoolInit(&ip, r.device, r.physicalDevice, 1u << 22,
                 VK_BUFFER_USAGE_INDEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT | as);
    ASSERT_TRUE(ecsInit(&ecs, 256));
    ecsRegister(&ecs, ECS_SYS_MODEL, 64, 256);
    ecsRegister(&ecs, ECS_SYS_POSE, 16, 256);
    ecsRegister(&ecs, ECS_SYS_RAGDOLL, 8, 256);
    sys = modelSystemCreate(&r, &p, &vp, &ip, 64);
    ASSERT_NE(sys, nullptr);
    ASSERT_TRUE(modelSystemSetupGPU(sys, 6, 7, 8, 9, 10, 11, l.setLayout));
    ASSERT_TRUE(mainPassTargetCreate(&r, &st, kSize, kSize));
  }
  void TearDown() override {
    if (!up) return;
    rendererWaitIdle(&r);
    mainPassTargetDestroy(&r, &st);
    modelSystemDestroy(sys, &ecs);
    ecsDestroy(&ecs);
    trisDestroy(&t);
    lightingDestroy(&l);
    meshPoolDestroy(&vp);
    meshPoolDestroy(&ip);
    pipelinesDestroy(&p);
    textureShutdown(&r);
    gpuRendererRelease(&r, instance, surface);
  }

  u32 load(const std::string& path) {
    u32 idx = modelSystemLoadModel(sys, path.c_str());
    EXPECT_NE(idx, 0xFFFFFFFFu) << path;
    if (idx == 0xFFFFFFFFu) return idx;
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    gltfFlush(sys->models[idx], cmd);
    rendererEndOneTimeCommands(&r, cmd);
    modelSystemRebuildDescriptors(sys);
    return idx;
  }

  void setLight(b8 shadows) {
    l.data = LightUBOData{};
    l.data.ambient = v4f{0.3f, 0.3f, 0.3f, 1.0f};
    l.data.lightCount = 1;
    GPULight& g = l.data.lights[0];
    g.direction = v4f{(f32)kL.x, (f32)kL.y, (f32)kL.z, 0.0f};
    g.color = v4f{1, 1, 1, 0.7f};
    g.castsShadow = shadows ? 1 : 0;
    g.shadowIndex = 0;
    g.shadowVP = lightingComputeShadowVP(kL, V3(0, 0, 0), 20.0);
  }

  // One frame: update, shadow pass or structure, then `cells` draws into the
  // target, cell i in its own viewport with its own planes.
  void render(const mat4f32& view, u32 cells, const v4 (*planes)[6], b8 shadows, b8 floor = false) {
    setLight(shadows);
    modelSystemUpdate(sys, &ecs, 0.0f, nullptr);
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    lightingUpdate(&l);
    modelSystemBeginFrame(sys);
    trisBeginFrame(&t);
    if (floor) trisAddBox(&t, V3(0, -0.25, 0), V3(10, 0.25, 10), quatIdentity(), trisColorRGBA(200, 100, 50, 255));
    if (r.lightingMode == RENDERER_LIGHTING_RAY_QUERY) {
      lightingTlasBegin(&l);
      trisAddToTlas(&t, &l);
      modelSystemAddToTlas(sys, &ecs, &l);
      lightingRecordTlasBuild(&l, cmd);
    } else if (shadows) {
      VkClearValue clear{};
      clear.depthStencil = {1.0f, 0};
      VkRenderPassBeginInfo bi{};
      bi.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
      bi.renderPass = l.shadowRenderPass;
      bi.framebuffer = l.shadowFramebuffers[0];
      bi.renderArea = {{0, 0}, {kShadowMapSize, kShadowMapSize}};
      bi.clearValueCount = 1;
      bi.pClearValues = &clear;
      vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
      VkViewport vpt{0, 0, (f32)kShadowMapSize, (f32)kShadowMapSize, 0, 1};
      VkRect2D sc{{0, 0}, {kShadowMapSize, kShadowMapSize}};
      vkCmdSetViewport(cmd, 0, 1, &vpt);
      vkCmdSetScissor(cmd, 0, 1, &sc);
      modelSystemDrawShadow(sys, &ecs, cmd, l.data.lights[0].shadowVP, &l, nullptr);
      vkCmdEndRenderPass(cmd);
    }
    mainPassTargetBegin(&st, cmd);
    for (u32 c = 0; c < cells; c++) {
      const u32 w = kSize / cells;
      VkViewport vpt{(f32)(c * w), 0, (f32)w, (f32)kSize, 0, 1};
      VkRect2D sc{{(i32)(c * w), 0}, {w, kSize}};
      vkCmdSetViewport(cmd, 0, 1, &vpt);
      vkCmdSetScissor(cmd, 0, 1, &sc);
      if (floor) trisDraw(&t, &p, cmd, &view, l.emptyDescSet, l.descSet, lightingGetAddress(&l));
      modelSystemDraw(sys, &ecs, cmd, view, l.descSet, planes ? planes[c] : nullptr, lightingGetAddress(&l), nullptr);
    }
    mainPassTargetEnd(&st, cmd);
    rendererEndOneTimeCommands(&r, cmd);
  }

  b8 drawnAt(u32 x, u32 y) const {
    int rgb[3];
    mainPassTargetRGB(&st, x, y, rgb);
    return rgb[0] + rgb[1] + rgb[2] > 0;
  }
  void rgbAt(u32 x, u32 y, int rgb[3]) const { mainPassTargetRGB(&st, x, y, rgb); }
  // Pixel of world point (x, z) in a top view of half size h (one cell).
  static u32 px(f64 v, f64 h) { return (u32)((v + h) / (2 * h) * kSize); }

  static constexpr v3 kL = V3(0.5, 1.0, 0.3);
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  b8 up = false;
  Pipelines p{};
  Lighting l{};
  Tris t{};
  MeshPool vp{}, ip{};
  Ecs ecs{};
  ModelSystem* sys = nullptr;
  MainPassTarget st{};
};

TEST_F(ModelGpu, TwoTexturedInstancesInOneDraw) {
  const u32 box = load(sharedDir() + "/assets/gltf/BoxTextured/glTF/BoxTextured.gltf");
  ASSERT_NE(box, 0xFFFFFFFFu);
  ASSERT_GT(sys->models[box]->textures[0].bindlessIndex, 0u) << "the texture took no slot";
  modelSystemSpawn(sys, &ecs, box, v3f{-4, 0, 0, 0}, v4f{0, 0, 0, 1});
  modelSystemSpawn(sys, &ecs, box, v3f{4, 0, 0, 0}, v4f{0, 0, 0, 1});
  render(topView(10), 1, nullptr, false);
  EXPECT_EQ(sys->drawCalls, 1u);
  int a[3], b[3];
  rgbAt(px(-4, 10), px(0, 10), a);
  rgbAt(px(4, 10), px(0, 10), b);
  EXPECT_GT(a[0] + a[1] + a[2], 60) << "left box missing";
  for (int c = 0; c < 3; c++) EXPECT_NEAR(a[c], b[c], 2) << "same texel of the same model, channel " << c;
  // Textured, not the fallback checkerboard (magenta or black).
  EXPECT_FALSE(a[0] > 150 && a[1] < 60 && a[2] > 150);
  EXPECT_FALSE(drawnAt(px(0, 10), px(0, 10))) << "nothing between the boxes";
}

TEST_F(ModelGpu, ACulledInstanceLeavesTheClearColour) {
  const u32 box = load(sharedDir() + "/assets/gltf/BoxTextured/glTF/BoxTextured.gltf");
  ASSERT_NE(box, 0xFFFFFFFFu);
  modelSystemSpawn(sys, &ecs, box, v3f{0, 0, 0, 0}, v4f{0, 0, 0, 1});
  modelSystemSpawn(sys, &ecs, box, v3f{7, 0, 0, 0}, v4f{0, 0, 0, 1});
  // The planes keep x <= 5: the second box's sphere (radius 1) lies 1 m past it.
  v4 planes[1][6];
  slabPlanes(-100, 5, planes[0]);
  render(topView(10), 1, planes, false);
  EXPECT_TRUE(drawnAt(px(0, 10), px(0, 10)));
  EXPECT_FALSE(drawnAt(px(7, 10), px(0, 10)));
  // Just inside by less than its radius: drawn.
  slabPlanes(-100, 6.5, planes[0]);
  render(topView(10), 1, planes, false);
  EXPECT_TRUE(drawnAt(px(7, 10), px(0, 10)));
}

TEST_F(ModelGpu, TwoCellsEachShowTheirOwnVisibleSet) {
  const u32 box = load(sharedDir() + "/assets/gltf/BoxTextured/glTF/BoxTextured.gltf");
  ASSERT_NE(box, 0xFFFFFFFFu);
  modelSystemSpawn(sys, &ecs, box, v3f{-4, 0, 0, 0}, v4f{0, 0, 0, 1});
  modelSystemSpawn(sys, &ecs, box, v3f{4, 0, 0, 0}, v4f{0, 0, 0, 1});
  // Cell 0 sees only x < 0, cell 1 only x > 0; both cells use the same view.
  v4 planes[2][6];
  slabPlanes(-100, 0, planes[0]);
  slabPlanes(0, 100, planes[1]);
  render(topView(10), 2, planes, false);
  const u32 half = kSize / 2;
  auto cellX = [&](u32 cell, f64 x) { return cell * half + (u32)((x + 10) / 20 * half); };
  EXPECT_TRUE(drawnAt(cellX(0, -4), kSize / 2)) << "cell 0 lost its box";
  EXPECT_FALSE(drawnAt(cellX(0, 4), kSize / 2)) << "cell 0 shows cell 1's box";
  EXPECT_TRUE(drawnAt(cellX(1, 4), kSize / 2)) << "cell 1 lost its box";
  EXPECT_FALSE(drawnAt(cellX(1, -4), kSize / 2)) << "cell 1 shows cell 0's box";
}

TEST_F(ModelGpu, AWalkingCharacterMovesItsLegs) {
  const u32 man = load(TERRAIN_CHARACTER_GLTF);
  ASSERT_NE(man, 0xFFFFFFFFu);
  Entity e = modelSystemSpawn(sys, &ecs, man, v3f{0, 0, 0, 0}, v4f{0, 0, 0, 1});
  ASSERT_NE(e, 0u);
  auto* c = static_cast<ModelComp*>(ecsGetComponent(&ecs, ECS_SYS_MODEL, e));
  const mat4f32 view = frontView(1.0f, 0.9f);  // y from -0.1 to 1.9
  auto snapshot = [&](f32 time, std::vector<int>& out) {
    c->animTime = time;
    render(view, 1, nullptr, false);
    out.assign(kSize * kSize, 0);
    for (u32 y = 0; y < kSize; y++)
      for (u32 x = 0; x < kSize; x++) out[y * kSize + x] = drawnAt(x, y) ? 1 : 0;
  };
  std::vector<int> a, b;
  snapshot(0.0f, a);
  snapshot(0.3f, b);
  // Rows of the legs: below the hips at y 0.93.
  auto rowOf = [&](f32 y) { return (u32)((1.9f - y) / 2.0f * kSize); };
  u32 legDiff = 0, drawn = 0;
  for (u32 y = 0; y < kSize; y++)
    for (u32 x = 0; x < kSize; x++) {
      drawn += a[y * kSize + x];
      const b8 differs = a[y * kSize + x] != b[y * kSize + x];
      if (y > rowOf(0.85f) && y < rowOf(0.05f)) legDiff += differs;
    }
  EXPECT_GT(drawn, 400u) << "the character is missing";
  EXPECT_GT(legDiff, 30u) << "the legs did not move";
}

TEST_F(ModelGpu, AModelsShadowFallsOnTheFloorInBothModes) {
  const u32 box = load(sharedDir() + "/assets/gltf/BoxTextured/glTF/BoxTextured.gltf");
  ASSERT_NE(box, 0xFFFFFFFFu);
  // A box 3 m up: its shadow lands at (-1.5, -0.9) away from the light.
  modelSystemSpawn(sys, &ecs, box, v3f{0, 3, 0, 0}, v4f{0, 0, 0, 1});
  const f64 t = 3.0 / kL.y;
  const f64 sx = -kL.x * t, sz = -kL.z * t;
  const f64 lit = 0.3 + 0.7 / v3Length(kL);
  auto check = [&](const char* mode) {
    SCOPED_TRACE(mode);
    int shade[3], open[3];
    rgbAt(px(sx, 10), px(sz, 10), shade);
    rgbAt(px(-7, 10), px(7, 10), open);
    EXPECT_NEAR(open[0], 200 * lit, 3);
    EXPECT_NEAR(shade[0], 200 * 0.3, 3) << "no shadow under the light's line through the box";
  };
  render(topView(10), 1, nullptr, true, true);
  check("shadow maps");
  if (!r.rayQuerySupported) GTEST_SKIP() << "no ray query on this device";
  rendererWaitIdle(&r);
  rendererSetLightingMode(&r, RENDERER_LIGHTING_RAY_QUERY);
  VkDescriptorSetLayout oldSet = l.setLayout, oldEmpty = l.emptySetLayout;
  ASSERT_TRUE(lightingRebuildDescriptors(&l));
  pipelinesReplaceDescriptorSetLayout(&p, oldSet, l.setLayout);
  pipelinesReplaceDescriptorSetLayout(&p, oldEmpty, l.emptySetLayout);
  ASSERT_TRUE(pipelinesRebuildAll(&p));
  render(topView(10), 1, nullptr, true, true);
  check("ray query");
}

}  // namespace
