// Lit debug shapes on lavapipe: colours against the lighting sum, shadows where
// the light's direction puts them (shadow maps and ray queries), capsule size,
// and per-frame instance data.
#include <cmath>
#include <cstring>
#include <vector>

#include "gpu_fixture.h"
#include "platform/memory.h"
#include "renderer/lighting.h"
#include "renderer/lines.h"
#include "renderer/tris.h"
#include "renderer/vram.h"

namespace {

constexpr u32 kSize = 128;
constexpr f64 kHalfView = 10.0;  // the top view shows x and z in [-10, 10]

struct LitScene : testing::Test {
  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    if (!gpuRendererHeadless(&r, &instance, &surface, 64, 64)) GTEST_SKIP() << "no Vulkan device";
    up = true;
    pipelinesInit(&p, &r);
    ASSERT_TRUE(lightingInit(&l, &r));
    lightingCreateShadowPipelines(&l);
    ASSERT_NE(l.shadowTrisPipeline, nullptr);
    trisInit(&t, &r);
    trisCreatePipeline(&p, &r, l.emptySetLayout, l.setLayout);
    ASSERT_NE(pipelinesGet(&p, kTrisPipelineSlot), nullptr);
    linesInit(&lines, &r);
    linesCreatePipeline(&p, &r);
    ASSERT_TRUE(mainPassTargetCreate(&r, &st, kSize, kSize));
  }
  void TearDown() override {
    if (!up) return;
    rendererWaitIdle(&r);
    mainPassTargetDestroy(&r, &st);
    linesDestroy(&lines);
    trisDestroy(&t);
    lightingDestroy(&l);
    pipelinesDestroy(&p);
    gpuRendererRelease(&r, instance, surface);
  }

  // The program's light: ambient 0.3, one white light at 0.7 toward (0.5, 1, 0.3).
  void setLight() {
    l.data = LightUBOData{};
    l.data.ambient = v4f{0.3f, 0.3f, 0.3f, 1.0f};
    l.data.lightCount = 1;
    GPULight& g = l.data.lights[0];
    g.direction = v4f{(f32)kL.x, (f32)kL.y, (f32)kL.z, 0.0f};
    g.color = v4f{1, 1, 1, 0.7f};
    g.castsShadow = 1;
    g.shadowIndex = 0;
    g.shadowVP = lightingComputeShadowVP(kL, V3(0, 0, 0), 20.0);
  }

  // Straight down on x, z in [-10, 10]; y from 10 (depth 0) to -10 (depth 1). Screen
  // right is +x and screen down is +z: a true (unmirrored) view from above.
  static mat4f32 topView() {
    mat4f32 m{};
    m.m[0] = (f32)(1.0 / kHalfView);
    m.m[6] = (f32)(-0.5 / kHalfView);
    m.m[9] = (f32)(1.0 / kHalfView);
    m.m[14] = 0.5f;
    m.m[15] = 1.0f;
    return m;
  }

  // One frame of the program's order: light data, structure build, shadow pass,
  // then the main pass into the target.
  void render(void (*addShapes)(LitScene*)) {
    setLight();
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    lightingUpdate(&l);
    trisBeginFrame(&t);
    linesBeginFrame(&lines);
    addShapes(this);
    if (r.lightingMode == RENDERER_LIGHTING_RAY_QUERY) {
      lightingTlasBegin(&l);
      trisAddToTlas(&t, &l);
      lightingRecordTlasBuild(&l, cmd);
    } else {
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
      VkViewport vp{0, 0, (f32)kShadowMapSize, (f32)kShadowMapSize, 0, 1};
      VkRect2D sc{{0, 0}, {kShadowMapSize, kShadowMapSize}};
      vkCmdSetViewport(cmd, 0, 1, &vp);
      vkCmdSetScissor(cmd, 0, 1, &sc);
      vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, l.shadowTrisPipeline);
      trisDrawShadow(&t, cmd, l.shadowTrisLayout, l.emptyDescSet, l.emptyDescSet, &l.data.lights[0].shadowVP);
      vkCmdEndRenderPass(cmd);
    }
    mainPassTargetBegin(&st, cmd);
    mat4f32 view = topView();
    trisDraw(&t, &p, cmd, &view, l.emptyDescSet, l.descSet, lightingGetAddress(&l));
    linesDraw(&lines, &p, kLinesPipelineSlot, cmd, &view, kSize, kSize, 1.0f, V3(0, 10, 0));
    mainPassTargetEnd(&st, cmd);
    rendererEndOneTimeCommands(&r, cmd);
  }

  // Pixel under world point (x, z), as r, g, b.
  void at(f64 x, f64 z, int rgb[3]) const {
    u32 px = (u32)((x + kHalfView) / (2 * kHalfView) * kSize);
    u32 py = (u32)((z + kHalfView) / (2 * kHalfView) * kSize);
    mainPassTargetRGB(&st, px, py, rgb);
  }
  void expectLit(f64 x, f64 z, const u8 albedo[3], f64 factor, const char* what) const {
    int got[3];
    at(x, z, got);
    for (int c = 0; c < 3; c++)
      EXPECT_NEAR(got[c], albedo[c] * factor, 2.0) << what << " at (" << x << ", " << z << ") channel " << c;
  }

  void switchToRayQuery() {
    rendererWaitIdle(&r);
    rendererSetLightingMode(&r, RENDERER_LIGHTING_RAY_QUERY);
    VkDescriptorSetLayout oldSet = l.setLayout, oldEmpty = l.emptySetLayout;
    ASSERT_TRUE(lightingRebuildDescriptors(&l));
    pipelinesReplaceDescriptorSetLayout(&p, oldSet, l.setLayout);
    pipelinesReplaceDescriptorSetLayout(&p, oldEmpty, l.emptySetLayout);
    ASSERT_TRUE(pipelinesRebuildAll(&p));
  }

  static constexpr v3 kL = V3(0.5, 1.0, 0.3);
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  b8 up = false;
  Pipelines p{};
  Lighting l{};
  Tris t{};
  Lines lines{};
  MainPassTarget st{};
  v3 cube = V3(0, 3, 0);
};

constexpr u8 kFloor[3] = {200, 100, 50};
constexpr u8 kCube[3] = {60, 180, 240};

void floorAndCube(LitScene* s) {
  trisAddBox(&s->t, V3(0, 0, 0), V3(10, 0.25, 10), quatIdentity(), trisColorRGBA(200, 100, 50, 255));
  trisAddBox(&s->t, s->cube, V3(1, 1, 1), quatIdentity(), trisColorRGBA(60, 180, 240, 255));
}

// Where a ray from the floor top toward the light meets the cube's centre.
v3 shadowCentre(v3 cube) {
  f64 t = (cube.y - 0.25) / LitScene::kL.y;
  return V3(cube.x - LitScene::kL.x * t, 0.25, cube.z - LitScene::kL.z * t);
}

void checkScene(LitScene* s, const char* mode) {
  SCOPED_TRACE(mode);
  f64 lit = 0.3 + 0.7 * (1.0 / v3Length(LitScene::kL));  // N = up
  v3 c = shadowCentre(s->cube);
  s->expectLit(c.x, c.z, kFloor, 0.3, "floor in the cube's shadow");
  s->expectLit(s->cube.x, s->cube.z, kCube, lit, "cube top");
  // Beside the cube on the far side from the shadow, and well away from it.
  s->expectLit(s->cube.x + 2.5, s->cube.z + 2.0, kFloor, lit, "floor toward the light");
  s->expectLit(-7.0, 7.0, kFloor, lit, "open floor");
}

TEST_F(LitScene, ShadowMapsLightFacesAndShadeWhereTheLightPutsTheShadow) {
  render(floorAndCube);
  checkScene(this, "shadow maps");
}

TEST_F(LitScene, RayQueryShadowFollowsAMovedBoxAfterAModeSwitch) {
  if (!r.rayQuerySupported) GTEST_SKIP() << "no ray query on this device";
  render(floorAndCube);
  switchToRayQuery();
  ASSERT_EQ(r.lightingMode, RENDERER_LIGHTING_RAY_QUERY);
  render(floorAndCube);
  checkScene(this, "ray query");
  // Move the cube: the old shadow spot is lit again, the new one dark.
  v3 oldShadow = shadowCentre(cube);
  cube = V3(4, 3, 4);
  render(floorAndCube);
  f64 lit = 0.3 + 0.7 * (1.0 / v3Length(kL));
  expectLit(oldShadow.x, oldShadow.z, kFloor, lit, "old shadow spot");
  checkScene(this, "ray query, moved cube");
}

TEST_F(LitScene, NothingDrawnLeavesAnEmptyStructureAndTheClearColour) {
  if (r.rayQuerySupported) switchToRayQuery();
  render([](LitScene*) {});
  int got[3];
  at(0, 0, got);
  EXPECT_EQ(got[0] + got[1] + got[2], 0);
}

TEST_F(LitScene, CapsuleIsTwoHalfHeightsPlusTwoRadiiLong) {
  struct Case {
    f64 radius, halfHeight;
  };
  for (Case c : {Case{0.5, 2.0}, Case{1.0, 1.0}, Case{1.5, 4.0}}) {
    static Case current;
    current = c;
    // Lying along x, seen from above.
    render([](LitScene* s) {
      trisAddCapsule(&s->t, V3(0, 0, 0), current.radius, current.halfHeight,
                     quatFromAxisAngle(V3(0, 0, 1), kPi / 2), trisColorRGBA(255, 255, 255, 255));
    });
    auto covered = [&](f64 x, f64 z) {
      int got[3];
      at(x, z, got);
      return got[0] > 0;
    };
    f64 step = 2 * kHalfView / kSize;
    f64 minX = 99, maxX = -99, minZ = 99, maxZ = -99;
    for (u32 i = 0; i < kSize; i++) {
      f64 w = -kHalfView + (i + 0.5) * step;
      if (covered(w, 0)) minX = std::fmin(minX, w), maxX = std::fmax(maxX, w);
      if (covered(0, w)) minZ = std::fmin(minZ, w), maxZ = std::fmax(maxZ, w);
    }
    f64 length = maxX - minX + step, width = maxZ - minZ + step;
    EXPECT_NEAR(length, 2 * c.halfHeight + 2 * c.radius, 2 * step) << c.radius << " " << c.halfHeight;
    // Six sides around: seen side-on the wall is 2 r sin(60 degrees) wide.
    EXPECT_NEAR(width, 2 * c.radius * std::sin(kPi / 3), 2 * step) << c.radius << " " << c.halfHeight;
  }
}

TEST_F(LitScene, LinesAreDrawnUnlitInTheirColour) {
  // Along the centres of one pixel row.
  constexpr f64 z = (76.5 / kSize) * 2 * kHalfView - kHalfView;
  render([](LitScene* s) { linesAdd(&s->lines, V3(-8, 0, z), V3(8, 0, z), trisColorRGBA(10, 250, 30, 255)); });
  int got[3];
  at(0, z, got);
  EXPECT_EQ(got[0], 10);
  EXPECT_EQ(got[1], 250);
  EXPECT_EQ(got[2], 30);
  at(0, 5, got);
  EXPECT_EQ(got[1], 0);
}

TEST_F(LitScene, FrameDataOfTheFrameInFlightStaysIntactWhileTheNextRecords) {
  // Frame slot 0 records two boxes and is "in flight"; slot 1 records others.
  r.currentFrame = 0;
  trisBeginFrame(&t);
  trisAddBox(&t, V3(1, 2, 3), V3(1, 1, 1), quatIdentity(), 0xff0000ffu);
  trisAddBox(&t, V3(4, 5, 6), V3(1, 1, 1), quatIdentity(), 0xff00ff00u);
  linesBeginFrame(&lines);
  linesAdd(&lines, V3(0, 0, 0), V3(1, 1, 1), 0xffffffffu);
  const DynBuffer* slot0 = &t.boxInstBuf.frames[0];
  std::vector<u8> before(static_cast<const u8*>(slot0->mapped),
                         static_cast<const u8*>(slot0->mapped) + 2 * sizeof(TrisInstance));
  LineSegment line0 = *static_cast<const LineSegment*>(lines.segments.frames[0].mapped);
  r.currentFrame = 1;
  trisBeginFrame(&t);
  for (int i = 0; i < 300; i++) trisAddBox(&t, V3(i, i, i), V3(2, 2, 2), quatIdentity(), 0xffffffffu);
  linesBeginFrame(&lines);
  linesAdd(&lines, V3(9, 9, 9), V3(8, 8, 8), 0xff000000u);
  EXPECT_EQ(std::memcmp(before.data(), slot0->mapped, before.size()), 0);
  EXPECT_EQ(std::memcmp(&line0, lines.segments.frames[0].mapped, sizeof line0), 0);
  EXPECT_EQ(t.boxInstCount, 300u);
  // Nothing changed at the next frame: the lists carry over to the other slot.
  r.currentFrame = 0;
  trisRepeatFrame(&t);
  EXPECT_EQ(t.boxInstCount, 300u);
  EXPECT_EQ(std::memcmp(t.boxInstBuf.frames[0].mapped, t.boxInstBuf.frames[1].mapped, 300 * sizeof(TrisInstance)),
            0);
  r.currentFrame = 0;
}

}  // namespace
