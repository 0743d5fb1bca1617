// GPU particles on lavapipe: spawn counts, bursts, capacity, the free list and the
// draw list read back after the compute passes, and particles drawn into pixels.
#include <algorithm>
#include <cmath>
#include <vector>

#include "components/camera.h"
#include "gpu_fixture.h"
#include "platform/memory.h"
#include "renderer/particles.h"
#include "renderer/texture.h"

namespace {

constexpr u32 kW = 96, kH = 64;

struct Particles : testing::Test {
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  ParticleSystem ps{};
  MainPassTarget target{};
  Camera cam{};

  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    if (!gpuRendererHeadless(&r, &instance, &surface, kW, kH)) GTEST_SKIP() << "no Vulkan device";
    ASSERT_TRUE(textureEnsureBindless(&r));
    ASSERT_TRUE(mainPassTargetCreate(&r, &target, kW, kH));
    cam = CameraCreateFull(V3(0, 0, 10), V3(0, 0, 0), V3(0, 1, 0), 1.0471975511965976, (f64)kW / kH, 0.1, 100.0);
  }
  void TearDown() override {
    if (!r.device) return;
    rendererWaitIdle(&r);
    particleSystemDestroy(&ps);
    mainPassTargetDestroy(&r, &target);
    textureShutdown(&r);
    gpuRendererRelease(&r, instance, surface);
  }

  ParticleFrame frameFor(f32 dt) {
    mat4f32 vp = mat4ToF32(cam.view_projection);
    return particleFrameFromCamera(&vp, CameraGetRight(&cam), CameraGetUp(&cam), cam.position, dt);
  }

  // One frame: set, record the compute passes, optionally draw into the target.
  void frame(f32 dt, b8 draw = false) {
    ParticleFrame f = frameFor(dt);
    particleSystemSetFrame(&ps, &f);
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    particleSystemRecord(&ps, cmd);
    if (draw) {
      mainPassTargetBegin(&target, cmd);
      particleSystemDraw(&ps, cmd);
      mainPassTargetEnd(&target, cmd);
    }
    rendererEndOneTimeCommands(&r, cmd);
  }

  u32 liveCount() const { return static_cast<const u32*>(ps.indirect.mapped)[1]; }
  i32 freeCount() const { return *static_cast<const i32*>(ps.freeCount.mapped); }

  std::vector<u32> readIndices(const ParticleBuffer& b, u32 count) {
    GpuBuffer host = gpuCreateHostBuffer(&r, b.size, VK_BUFFER_USAGE_TRANSFER_DST_BIT);
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    VkBufferCopy region{0, 0, b.size};
    vkCmdCopyBuffer(cmd, b.buffer, host.buffer, 1, &region);
    rendererEndOneTimeCommands(&r, cmd);
    const u32* p = static_cast<const u32*>(host.mapped);
    std::vector<u32> out(p, p + count);
    gpuDestroyBuffer(&r, &host);
    return out;
  }

  // A still red spot of the given size at p, living for `life` seconds.
  static ParticleEmitter spot(v3 p, f32 size, f32 life) {
    ParticleEmitter e;
    particleEmitterInit(&e);
    e.model.m[12] = (f32)p.x, e.model.m[13] = (f32)p.y, e.model.m[14] = (f32)p.z;
    e.minColor = v4f{1, 0, 0, 1};
    e.maxColor = v4f{1, 0, 0, 1};
    e.lifeSize = v4f{life, life, size, size};
    return e;
  }
};

TEST_F(Particles, ContinuousEmissionCarriesTheFraction) {
  ASSERT_TRUE(particleSystemInit(&ps, &r, 1024, 4));
  ParticleEmitter fire = particleEmitterFire(V3(0, 0, 0));
  ASSERT_EQ(particleSystemAddEmitter(&ps, &fire), 0u);
  const u32 expected[] = {1, 1, 2, 1, 1, 2};
  u32 total = 0;
  for (u32 want : expected) {
    frame(1.0f / 60.0f);
    EXPECT_EQ((u32)ps.frameEmitters[0].spawn.y, want);
    total += want;
  }
  EXPECT_NEAR(ps.runtimeEmitters[0].accumulator, 0.0f, 1e-4f);
  // Fire lives at least 0.45 s: everything spawned is alive and drawn.
  EXPECT_EQ(liveCount(), total);
  EXPECT_EQ(freeCount(), (i32)(1024 - total));
}

TEST_F(Particles, ABurstOnADisabledEmitterWaitsUntilItIsEnabled) {
  ASSERT_TRUE(particleSystemInit(&ps, &r, 1024, 4));
  ParticleEmitter boom = particleEmitterExplosion(V3(0, 0, 0));
  u32 id = particleSystemAddEmitter(&ps, &boom);
  ASSERT_EQ(id, 0u);
  particleSystemSetEmitterEnabled(&ps, id, false);
  particleSystemBurst(&ps, id, 50);
  frame(0.01f);
  frame(0.01f);
  EXPECT_EQ(liveCount(), 0u);
  EXPECT_EQ(ps.runtimeEmitters[id].pendingBurst, 50u);
  particleSystemSetEmitterEnabled(&ps, id, true);
  frame(0.01f);
  EXPECT_EQ(liveCount(), 50u);
  frame(0.01f);  // spawned once only
  EXPECT_EQ(liveCount(), 50u);
  // Out-of-range indices are ignored.
  particleSystemBurst(&ps, 7, 10);
  particleSystemSetEmitterEnabled(&ps, 7, false);
}

TEST_F(Particles, EmittersBeyondTheCapacityAreRefused) {
  ASSERT_TRUE(particleSystemInit(&ps, &r, 256, 4));
  ParticleEmitter e = particleEmitterSmoke(V3(0, 0, 0));
  for (u32 i = 0; i < 4; i++) EXPECT_EQ(particleSystemAddEmitter(&ps, &e), i);
  EXPECT_EQ(particleSystemAddEmitter(&ps, &e), kParticleNoEmitter);
  EXPECT_EQ(particleSystemAddEmitter(&ps, nullptr), kParticleNoEmitter);
}

TEST_F(Particles, NothingLiveDrawsNoInstances) {
  ASSERT_TRUE(particleSystemInit(&ps, &r, 512, 2));
  frame(0.016f, true);
  EXPECT_EQ(liveCount(), 0u);
  EXPECT_EQ(static_cast<const u32*>(ps.indirect.mapped)[0], 6u);
  int rgb[3];
  for (u32 y = 0; y < kH; y += 4)
    for (u32 x = 0; x < kW; x += 4) {
      mainPassTargetRGB(&target, x, y, rgb);
      ASSERT_EQ(rgb[0] + rgb[1] + rgb[2], 0) << x << "," << y;
    }
}

TEST_F(Particles, LiveParticlesAreDrawnWhereTheCameraSeesThem) {
  ASSERT_TRUE(particleSystemInit(&ps, &r, 512, 2));
  ParticleEmitter e = spot(V3(2, 0, 0), 0.6f, 5.0f);
  u32 id = particleSystemAddEmitter(&ps, &e);
  particleSystemBurst(&ps, id, 1);
  frame(0.016f, true);
  ASSERT_EQ(liveCount(), 1u);
  f64 sx = (mat4MulV4(cam.view_projection, V4(2, 0, 0, 1)).x / mat4MulV4(cam.view_projection, V4(2, 0, 0, 1)).w *
                0.5 +
            0.5) *
           kW;
  int rgb[3];
  mainPassTargetRGB(&target, (u32)sx, kH / 2, rgb);
  EXPECT_GT(rgb[0], 200);
  EXPECT_LT(rgb[1] + rgb[2], 20);
  // The left half (world x < 0) stays black.
  for (u32 y = 0; y < kH; y += 2)
    for (u32 x = 0; x < kW / 2; x += 2) {
      mainPassTargetRGB(&target, x, y, rgb);
      ASSERT_EQ(rgb[0], 0) << x << "," << y;
    }
  // After its life the particle is gone from the picture.
  frame(5.0f, true);
  EXPECT_EQ(liveCount(), 0u);
  mainPassTargetRGB(&target, (u32)sx, kH / 2, rgb);
  EXPECT_EQ(rgb[0], 0);
}

TEST_F(Particles, EveryIndexIsFreeOrLiveExactlyOnceAfterManyFrames) {
  constexpr u32 kMax = 2048;
  ASSERT_TRUE(particleSystemInit(&ps, &r, kMax, 4));
  ParticleEmitter fire = particleEmitterFire(V3(0, 0, 0));
  ParticleEmitter water = particleEmitterWater(V3(1, 0, 0));
  ParticleEmitter boom = particleEmitterExplosion(V3(0, 1, 0));
  particleSystemAddEmitter(&ps, &fire);
  particleSystemAddEmitter(&ps, &water);
  u32 b = particleSystemAddEmitter(&ps, &boom);
  u32 peak = 0;
  for (u32 f = 0; f < 90; f++) {
    // Bursts larger than the pool: pops must stop cleanly when the list is empty.
    if (f % 15 == 0) particleSystemBurst(&ps, b, f % 30 == 0 ? 3000 : 400);
    frame(f % 7 == 0 ? 0.1f : 1.0f / 60.0f);
    peak = std::max(peak, liveCount());
    ASSERT_GE(freeCount(), 0);
    ASSERT_EQ((u32)freeCount() + liveCount(), kMax) << "frame " << f;
  }
  EXPECT_EQ(peak, kMax);  // the oversize bursts filled the pool
  u32 live = liveCount(), free = (u32)freeCount();
  std::vector<u32> all = readIndices(ps.freeIndices, free);
  std::vector<u32> drawn = readIndices(ps.drawIndices, live);
  all.insert(all.end(), drawn.begin(), drawn.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), kMax);
  for (u32 i = 0; i < kMax; i++) ASSERT_EQ(all[i], i);
}

TEST_F(Particles, PresetsMatchTheirTable) {
  ParticleEmitter e = particleEmitterExplosion(V3(1, 2, 3));
  EXPECT_EQ(e.model.m[12], 1.0f);
  EXPECT_EQ(e.model.m[14], 3.0f);
  EXPECT_EQ(e.spawn.x, 0.0f);
  EXPECT_EQ(e.spawn.z, 2.0f);
  EXPECT_EQ(e.spawn.w, 1.0f);
  EXPECT_EQ(e.minVelocity.x, -10.0f);
  EXPECT_EQ(e.maxVelocity.y, 8.0f);
  ParticleEmitter f = particleEmitterFire(V3(0, 18, 0));
  EXPECT_EQ(f.spawn.x, 80.0f);
  EXPECT_EQ(f.spawn.z, 3.0f);
  EXPECT_EQ(f.lifeSize.y, 1.05f);
  ParticleEmitter d;
  particleEmitterInit(&d);
  EXPECT_EQ(d.maxColor.w, 0.0f);
  EXPECT_EQ(d.spawn.x, 0.0f);
  EXPECT_EQ(d.rotation.m[5], 1.0f);
}

}  // namespace
