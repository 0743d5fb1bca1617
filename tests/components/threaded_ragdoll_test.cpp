// Ragdolls beside the running physics thread: activation and removal under
// the world lock, poses read from pinned snapshots every frame. Checked for
// races (ThreadSanitizer in CI) and for finite matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "components/model.h"
#include "platform/clock.h"
#include "platform/memory.h"

namespace {

TEST(RagdollThreaded, ActivatedAndReadWhileThePhysicsThreadRuns) {
  MeshPool vp{}, ip{};
  meshPoolInitRanges(&vp, 1u << 26);
  meshPoolInitRanges(&ip, 1u << 26);
  Ecs ecs{};
  ASSERT_TRUE(ecsInit(&ecs, 64));
  ecsRegister(&ecs, ECS_SYS_MODEL, 64, 64);
  ecsRegister(&ecs, ECS_SYS_POSE, 16, 64);
  ecsRegister(&ecs, ECS_SYS_RAGDOLL, 8, 64);
  ModelSystem* sys = modelSystemCreate(nullptr, nullptr, &vp, &ip, 8);
  ASSERT_NE(sys, nullptr);
  ASSERT_EQ(modelSystemLoadModel(sys, TERRAIN_CHARACTER_GLTF), 0u);
  modelSystemRebuildDescriptors(sys);
  auto* world = static_cast<World*>(memCalloc(1, sizeof(World)));
  WorldConfig config = worldDefaultConfig();
  ASSERT_TRUE(worldInit(world, &config));
  BoxShape floor;
  boxInit(&floor, V3(50, 0.5, 50));
  i32 floorId = worldCreateBody(world);
  worldSetBodyType(world, floorId, BODY_STATIC);
  worldGetBody(world, floorId)->shape = &floor.base;
  worldSetBodyTransform(world, floorId, Transform{V3(0, -0.5, 0), quatIdentity()});
  worldPublishSnapshot(world);
  ASSERT_TRUE(worldStartThread(world, 1.0 / 120.0));

  Entity chars[4];
  for (u32 i = 0; i < 4; i++) {
    chars[i] = modelSystemSpawn(sys, &ecs, 0, v3f{(f32)i * 2.0f, 1.0f, 0, 0}, v4f{0, 0, 0, 1});
    ASSERT_NE(chars[i], 0u);
  }
  const RagdollHumanoidConfig cfg = ragdollDefaultCharacterConfig();
  const f64 end = clockNanos() + 1.0e9;
  u32 frames = 0, activated = 0;
  while (clockNanos() < end) {
    const Snapshot* snap = worldAcquireSnapshot(world);
    modelSystemUpdate(sys, &ecs, 1.0f / 60.0f, snap);
    worldReleaseSnapshot(world);
    // One more character becomes a ragdoll every few frames.
    if (frames % 10 == 5 && activated < 4) {
      worldLock(world);
      EXPECT_TRUE(modelSystemActivateRagdoll(sys, &ecs, chars[activated], world, V3(0, 1, 0), &cfg));
      worldUnlock(world);
      activated++;
    }
    for (u32 k = 0; k < 4 * sys->bonesPerSkeleton; k++)
      for (int e = 0; e < 16; e++) ASSERT_TRUE(std::isfinite(sys->bones[k].m[e])) << "frame " << frames;
    frames++;
    nanoSleep(8000000);
  }
  EXPECT_EQ(activated, 4u);
  EXPECT_GT(frames, 20u);
  // Removal while the thread runs, under the lock.
  worldLock(world);
  modelSystemCleanup(sys, &ecs);
  worldUnlock(world);
  worldStopThread(world);
  modelSystemDestroy(sys, &ecs);
  ecsDestroy(&ecs);
  worldDestroy(world);
  memFree(world);
  meshPoolDestroy(&vp);
  meshPoolDestroy(&ip);
}

}  // namespace
