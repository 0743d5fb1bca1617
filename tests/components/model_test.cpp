// The model system without a GPU: spawning, bone slots, the bone pool's size,
// animation times, cleanup.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "components/model.h"
#include "platform/memory.h"

namespace {

std::string sharedDir() {
  const char* env = std::getenv("TERRAIN_SHARED_DIR");
  return env ? env : TERRAIN_SHARED_DIR;
}

struct CpuModels : testing::Test {
  void SetUp() override {
    meshPoolInitRanges(&vp, 1u << 26);
    meshPoolInitRanges(&ip, 1u << 26);
    ASSERT_TRUE(ecsInit(&ecs, 64));
    ecsRegister(&ecs, ECS_SYS_MODEL, 64, 64);
    ecsRegister(&ecs, ECS_SYS_POSE, 16, 64);
    ecsRegister(&ecs, ECS_SYS_RAGDOLL, 8, 64);
    sys = modelSystemCreate(nullptr, nullptr, &vp, &ip, 3);
    ASSERT_NE(sys, nullptr);
  }
  void TearDown() override {
    modelSystemDestroy(sys, &ecs);
    ecsDestroy(&ecs);
    meshPoolDestroy(&vp);
    meshPoolDestroy(&ip);
  }
  u32 load(const std::string& path) {
    u32 i = modelSystemLoadModel(sys, path.c_str());
    modelSystemRebuildDescriptors(sys);
    return i;
  }
  MeshPool vp{}, ip{};
  Ecs ecs{};
  ModelSystem* sys = nullptr;
};

TEST_F(CpuModels, SpentBoneSlotsFailSkinnedSpawnsOnly) {
  const u32 man = load(TERRAIN_CHARACTER_GLTF);
  const u32 box = load(sharedDir() + "/assets/gltf/Box/glTF/Box.gltf");
  ASSERT_NE(man, 0xFFFFFFFFu);
  ASSERT_NE(box, 0xFFFFFFFFu);
  for (u32 i = 0; i < 3; i++) {
    Entity e = modelSystemSpawn(sys, &ecs, man, v3f{(f32)i, 0, 0, 0}, v4f{0, 0, 0, 1});
    ASSERT_NE(e, 0u);
    // Successive characters start half a second apart.
    EXPECT_FLOAT_EQ(static_cast<ModelComp*>(ecsGetComponent(&ecs, ECS_SYS_MODEL, e))->animTime, 0.5f * (f32)i);
  }
  EXPECT_EQ(modelSystemSpawn(sys, &ecs, man, v3f{}, v4f{0, 0, 0, 1}), 0u);
  EXPECT_NE(modelSystemSpawn(sys, &ecs, box, v3f{}, v4f{0, 0, 0, 1}), 0u);
  EXPECT_EQ(modelSystemSpawn(sys, &ecs, 7, v3f{}, v4f{0, 0, 0, 1}), 0u) << "unknown model";
  // A scene reset hands the slots out again.
  modelSystemCleanup(sys, &ecs);
  EXPECT_EQ(sys->bonePoolNextSlot, 0u);
}

TEST_F(CpuModels, ABiggerSkeletonGrowsTheBonePool) {
  ASSERT_NE(load(sharedDir() + "/assets/gltf/SimpleSkin/glTF/SimpleSkin.gltf"), 0xFFFFFFFFu);
  EXPECT_EQ(sys->bonesPerSkeleton, 2u);
  ASSERT_NE(load(TERRAIN_CHARACTER_GLTF), 0xFFFFFFFFu);
  EXPECT_EQ(sys->bonesPerSkeleton, 17u);
  ASSERT_NE(load(sharedDir() + "/assets/gltf/SimpleSkin/glTF/SimpleSkin.gltf"), 0xFFFFFFFFu);
  EXPECT_EQ(sys->bonesPerSkeleton, 17u) << "a smaller skeleton never shrinks the pool";
  // Every character's matrices stay inside its own slot: spawn all three slots
  // and update; the matrices of slot 0 are the small skin's, then identity.
  Entity small = modelSystemSpawn(sys, &ecs, 0, v3f{}, v4f{0, 0, 0, 1});
  Entity big = modelSystemSpawn(sys, &ecs, 1, v3f{5, 0, 0, 0}, v4f{0, 0, 0, 1});
  ASSERT_NE(small, 0u);
  ASSERT_NE(big, 0u);
  modelSystemUpdate(sys, &ecs, 0.1f, nullptr);
  const mat4f32* slot1 = sys->bones + 17;
  for (u32 j = 2; j < 17; j++)
    for (int k = 0; k < 16; k++) EXPECT_EQ(sys->bones[j].m[k], k % 5 == 0 ? 1.0f : 0.0f) << "slot 0 joint " << j;
  // The big character's root sits at its placement (x = 5).
  EXPECT_NEAR(slot1[0].m[12], 5.0f, 0.5f);
}

}  // namespace
