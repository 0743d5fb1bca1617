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

namespace {

// The update's own path (placement folded into the root, bind parts reused)
// against the general one: reset, sample, compose, then placement times skin.
TEST_F(CpuModels, UpdateMatchesTheGeneralPoseEvaluation) {
  const u32 man = load(TERRAIN_CHARACTER_GLTF);
  ASSERT_NE(man, 0xFFFFFFFFu);
  const GltfModel* m = sys->models[man];
  const GltfSkin& skin = m->skins[0];
  Entity e[3];
  for (u32 i = 0; i < 3; i++) {
    const f32 a = 0.7f * (f32)i;
    e[i] = modelSystemSpawn(sys, &ecs, man, v3f{(f32)i * 3.0f, 0.5f, -1.0f, 0}, v4f{0, std::sin(a), 0, std::cos(a)});
    ASSERT_NE(e[i], 0u);
  }
  GltfPose* ref = gltfPoseCreate(skin.jointCount);
  for (int frame = 0; frame < 5; frame++) {
    modelSystemUpdate(sys, &ecs, 0.137f, nullptr);
    for (u32 i = 0; i < 3; i++) {
      const auto* c = static_cast<const ModelComp*>(ecsGetComponent(&ecs, ECS_SYS_MODEL, e[i]));
      const auto* pc = static_cast<const PoseComp*>(ecsGetComponent(&ecs, ECS_SYS_POSE, e[i]));
      gltfPoseReset(ref, &skin);
      gltfAnimatePose(ref, &skin, &m->animations[0], c->animTime);
      gltfComputeSkinMatrices(ref, &skin);
      const f32 t[3] = {c->position.x, c->position.y, c->position.z};
      const f32 q[4] = {c->rotation.x, c->rotation.y, c->rotation.z, c->rotation.w};
      const f32 s[3] = {1, 1, 1};
      const mat4f32 place = gltfMat4FromTrs(t, q, s);
      const mat4f32* got = sys->bones + (u64)pc->bonePoolSlot * sys->bonesPerSkeleton;
      for (u32 j = 0; j < skin.jointCount; j++) {
        const mat4f32 want = gltfMat4Mul(place, ref->skinMatrices[j]);
        for (int k = 0; k < 16; k++) ASSERT_NEAR(got[j].m[k], want.m[k], 1e-5f) << "frame " << frame << " joint " << j;
      }
    }
  }
  gltfPoseDestroy(ref);
}

// A joint above the pelvis that no part drives follows the pelvis rigidly.
TEST_F(CpuModels, JointsWithoutADrivenAncestorFollowThePelvis) {
  // A hand-made skin: "root" above "pelvis", the pelvis moved up 1 m.
  GltfJoint joints[2]{};
  joints[0].parent = -1;
  joints[0].localBindTransform = gltfMat4Identity();
  joints[0].inverseBindMatrix = gltfMat4Identity();
  joints[0].name = const_cast<char*>("root");
  joints[1].parent = 0;
  joints[1].localBindTransform = gltfMat4Identity();
  joints[1].localBindTransform.m[13] = 1.0f;
  joints[1].inverseBindMatrix = gltfMat4Identity();
  joints[1].inverseBindMatrix.m[13] = -1.0f;
  joints[1].name = const_cast<char*>("pelvis");
  u32 order[2] = {0, 1};
  GltfSkin skin{};
  skin.joints = joints;
  skin.jointCount = 2;
  skin.rootTransform = gltfMat4Identity();
  skin.order = order;
  World* world = static_cast<World*>(memCalloc(1, sizeof(World)));
  WorldConfig cfg = worldDefaultConfig();
  ASSERT_TRUE(worldInit(world, &cfg));
  const RagdollHumanoidConfig hum = ragdollDefaultHumanoidConfig();
  Ragdoll* r = ragdollCreateHumanoid(world, &skin, &hum);
  ASSERT_NE(r, nullptr);
  GltfPose* pose = gltfPoseCreate(2);
  gltfPoseReset(pose, &skin);
  ragdollActivate(r, pose, &skin, V3(0, 0, 0), v3f{5, 0, 0, 0}, v4f{0, 0, 0, 1});
  // Move the pelvis body: the root goes with it, one metre below.
  Body* b = worldGetBody(world, r->parts[0].bodyId);
  b->position = V3(5, 3, 2);
  ragdollUpdatePose(r, pose, &skin, nullptr);
  EXPECT_NEAR(pose->worldTransforms[0].m[12], 5.0f, 1e-5f);
  EXPECT_NEAR(pose->worldTransforms[0].m[13], 2.0f, 1e-5f);
  EXPECT_NEAR(pose->worldTransforms[0].m[14], 2.0f, 1e-5f);
  gltfPoseDestroy(pose);
  ragdollDestroy(r);
  worldDestroy(world);
  memFree(world);
}

}  // namespace
