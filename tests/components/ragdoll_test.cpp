// Ragdolls: parts, masses and joints found from skin joint names; the pose
// handed over on activation; settling on a floor; FABRIK.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "components/ragdoll.h"
#include "physics/dynamics.h"
#include "platform/memory.h"

namespace {

std::string sharedDir() {
  const char* env = std::getenv("TERRAIN_SHARED_DIR");
  return env ? env : TERRAIN_SHARED_DIR;
}

// The generated default character, written by the build beside the program.
std::string generatedCharacter() {
  const char* env = std::getenv("TERRAIN_CHARACTER_GLTF");
  return env ? env : TERRAIN_CHARACTER_GLTF;
}

struct Loaded {
  MeshPool vp{}, ip{};
  GltfModel* model = nullptr;
  explicit Loaded(const std::string& path) {
    meshPoolInitRanges(&vp, 1u << 26);
    meshPoolInitRanges(&ip, 1u << 26);
    model = gltfLoad(path.c_str(), nullptr, &vp, &ip);
  }
  ~Loaded() {
    gltfDestroy(model);
    meshPoolDestroy(&vp);
    meshPoolDestroy(&ip);
  }
};

struct Physics {
  World* world;
  BoxShape floor;
  explicit Physics(b8 sleeping = true) {
    world = static_cast<World*>(memCalloc(1, sizeof(World)));
    WorldConfig c = worldDefaultConfig();
    c.isSleepingEnabled = sleeping;
    worldInit(world, &c);
  }
  ~Physics() {
    worldDestroy(world);
    memFree(world);
  }
  void addFloor() {
    boxInit(&floor, V3(50, 0.5, 50));
    i32 id = worldCreateBody(world);
    worldSetBodyType(world, id, BODY_STATIC);
    Body* b = worldGetBody(world, id);
    b->shape = &floor.base;
    b->friction = 0.8;
    worldSetBodyTransform(world, id, Transform{V3(0, -0.5, 0), quatIdentity()});
  }
};

f64 totalMass(World* w, const Ragdoll* r) {
  f64 m = 0;
  for (u32 i = 0; i < r->partCount; i++) m += worldGetBody(w, r->parts[i].bodyId)->mass;
  return m;
}

TEST(Ragdoll, PartsJointsAndMassFromJointNames) {
  struct Case {
    std::string path;
    RagdollHumanoidConfig config;
    b8 built;
    u32 parts, joints;
    f64 mass;
  };
  std::vector<Case> cases = {
      {generatedCharacter(), ragdollDefaultCharacterConfig(), true, 12, 11, 63.0},
      {sharedDir() + "/assets/gltf/CesiumMan/glTF/CesiumMan.gltf", ragdollDefaultCharacterConfig(), true, 12, 11, 63.0},
      {sharedDir() + "/assets/gltf/RiggedFigure/glTF/RiggedFigure.gltf", ragdollDefaultCharacterConfig(), false, 0, 0, 0},
      {sharedDir() + "/assets/gltf/Fox/glTF/Fox.gltf", ragdollDefaultCharacterConfig(), false, 0, 0, 0},
      {sharedDir() + "/assets/gltf/Fox/glTF/Fox.gltf", ragdollDefaultHumanoidConfig(), false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (!std::ifstream(c.path).good()) {
      ADD_FAILURE() << "missing " << c.path;
      continue;
    }
    Loaded l(c.path);
    ASSERT_NE(l.model, nullptr);
    Physics p;
    Ragdoll* r = ragdollCreateHumanoid(p.world, &l.model->skins[0], &c.config);
    EXPECT_EQ(r != nullptr, c.built);
    if (!r) continue;
    EXPECT_EQ(r->partCount, c.parts);
    EXPECT_NEAR(totalMass(p.world, r), c.mass, 1e-9);
    GltfPose* pose = gltfPoseCreate(l.model->skins[0].jointCount);
    gltfPoseReset(pose, &l.model->skins[0]);
    ragdollActivate(r, pose, &l.model->skins[0], V3(0, 0, 0), v3f{0, 0, 0, 0}, v4f{0, 0, 0, 1});
    EXPECT_EQ(r->jointCount, c.joints);
    gltfPoseDestroy(pose);
    ragdollDestroy(r);
  }
}

// A skin made of named joints only (no file needed).
struct NamedSkin {
  std::vector<GltfJoint> joints;
  std::vector<u32> order;
  GltfSkin skin{};
  NamedSkin(std::vector<const char*> names, std::vector<i32> parents) {
    for (size_t i = 0; i < names.size(); i++) {
      GltfJoint j{};
      j.parent = parents[i];
      j.localBindTransform = gltfMat4Identity();
      j.localBindTransform.m[13] = 0.3f;
      j.inverseBindMatrix = gltfMat4Identity();
      j.name = const_cast<char*>(names[i]);
      joints.push_back(j);
      order.push_back((u32)i);
    }
    skin.joints = joints.data();
    skin.jointCount = (u32)joints.size();
    skin.rootTransform = gltfMat4Identity();
    skin.order = order.data();
  }
};

TEST(Ragdoll, PartialSkeletons) {
  const RagdollHumanoidConfig def = ragdollDefaultHumanoidConfig();
  struct Case {
    const char* what;
    std::vector<const char*> names;
    std::vector<i32> parents;
    b8 built;
    std::vector<f64> masses;
    u32 joints;
  } cases[] = {
      {"no pelvis", {"spine", "chest"}, {-1, 0}, false, {}, 0},
      {"pelvis and left upper leg", {"pelvis", "UpperLeg.L"}, {-1, 0}, true, {10.5, 7.0}, 1},
      // The lower arm has no upper arm to hang from: a body without a joint.
      {"lower arm without its upper arm", {"pelvis", "LowerArm.L"}, {-1, 0}, true, {10.5, 1.4}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NamedSkin s(c.names, c.parents);
    Physics p;
    Ragdoll* r = ragdollCreateHumanoid(p.world, &s.skin, &def);
    ASSERT_EQ(r != nullptr, c.built);
    if (!r) continue;
    ASSERT_EQ(r->partCount, c.masses.size());
    for (u32 i = 0; i < r->partCount; i++) EXPECT_NEAR(worldGetBody(p.world, r->parts[i].bodyId)->mass, c.masses[i], 1e-9);
    GltfPose* pose = gltfPoseCreate(s.skin.jointCount);
    gltfPoseReset(pose, &s.skin);
    ragdollActivate(r, pose, &s.skin, V3(0, 0, 0), v3f{}, v4f{0, 0, 0, 1});
    EXPECT_EQ(r->jointCount, c.joints);
    // An impulse on a part index past the end changes nothing.
    v3 before = worldGetBody(p.world, r->parts[0].bodyId)->linearVelocity;
    ragdollApplyImpulse(r, r->partCount, V3(100, 0, 0), V3(0, 0, 0));
    EXPECT_EQ(worldGetBody(p.world, r->parts[0].bodyId)->linearVelocity.x, before.x);
    gltfPoseDestroy(pose);
    ragdollDestroy(r);
  }
}

// The character mid-walk, placed in the world turned and moved.
struct WalkingCharacter {
  Loaded l;
  GltfPose* pose;
  const GltfSkin* skin;
  v3f pos{3, 0.25f, -2, 0};
  v4f rot{0, 0.38268343f, 0, 0.92387953f};  // 45 degrees about +Y
  explicit WalkingCharacter(const std::string& path) : l(path) {
    skin = &l.model->skins[0];
    pose = gltfPoseCreate(skin->jointCount);
    gltfPoseReset(pose, skin);
    gltfAnimatePose(pose, skin, &l.model->animations[0], 0.7f);
    gltfComputeSkinMatrices(pose, skin);
  }
  ~WalkingCharacter() { gltfPoseDestroy(pose); }
  mat4f32 instance() const {
    f32 t[3] = {pos.x, pos.y, pos.z}, q[4] = {rot.x, rot.y, rot.z, rot.w}, s[3] = {1, 1, 1};
    return gltfMat4FromTrs(t, q, s);
  }
};

TEST(Ragdoll, ActivationKeepsTheDrawnPose) {
  for (const std::string& path :
       {generatedCharacter(), sharedDir() + "/assets/gltf/CesiumMan/glTF/CesiumMan.gltf"}) {
    SCOPED_TRACE(path);
    WalkingCharacter ch(path);
    std::vector<mat4f32> expect(ch.skin->jointCount);
    for (u32 j = 0; j < ch.skin->jointCount; j++) expect[j] = gltfMat4Mul(ch.instance(), ch.pose->skinMatrices[j]);
    Physics p;
    RagdollHumanoidConfig cfg = ragdollDefaultCharacterConfig();
    Ragdoll* r = ragdollCreateHumanoid(p.world, ch.skin, &cfg);
    ASSERT_NE(r, nullptr);
    ragdollActivate(r, ch.pose, ch.skin, V3(0, 0, 0), ch.pos, ch.rot);
    ragdollUpdatePose(r, ch.pose, ch.skin, nullptr);
    for (u32 j = 0; j < ch.skin->jointCount; j++)
      for (int e = 0; e < 16; e++) ASSERT_NEAR(ch.pose->skinMatrices[j].m[e], expect[j].m[e], 1e-4f) << j << " " << e;
    ragdollDestroy(r);
  }
}

v3 anchorError(World* w, JointHandle h) {
  JointBase* j = worldGetJoint(w, h);
  Body* a = worldGetBody(w, j->bodyIndexA);
  Body* b = worldGetBody(w, j->bodyIndexB);
  return (a->position + quatRotate(a->rotation, j->localAnchorA)) - (b->position + quatRotate(b->rotation, j->localAnchorB));
}

TEST(Ragdoll, DroppedFromTheWalkPoseItSettles) {
  for (const std::string& path :
       {generatedCharacter(), sharedDir() + "/assets/gltf/CesiumMan/glTF/CesiumMan.gltf"}) {
    SCOPED_TRACE(path);
    WalkingCharacter ch(path);
    ch.pos = v3f{0, 1.0f, 0, 0};
    ch.rot = v4f{0, 0, 0, 1};
    Physics p;
    p.addFloor();
    RagdollHumanoidConfig cfg = ragdollDefaultCharacterConfig();
    Ragdoll* r = ragdollCreateHumanoid(p.world, ch.skin, &cfg);
    ASSERT_NE(r, nullptr);
    ragdollActivate(r, ch.pose, ch.skin, V3(0.5, 0, 0), ch.pos, ch.rot);
    ASSERT_EQ(r->jointCount, 11u);
    for (int i = 0; i < 600; i++) worldStep(p.world, 1.0 / 120.0);
    for (u32 i = 0; i < r->partCount; i++) {
      Body* b = worldGetBody(p.world, r->parts[i].bodyId);
      ASSERT_TRUE(std::isfinite(b->position.x) && std::isfinite(b->position.y) && std::isfinite(b->position.z)) << i;
      EXPECT_LT(v3Length(b->linearVelocity), 0.1) << "part " << i;
      EXPECT_GT(b->position.y, -0.05) << "part " << i << " fell through the floor";
    }
    for (u32 k = 0; k < r->jointCount; k++) EXPECT_LT(v3Length(anchorError(p.world, r->jointHandles[k])), 0.02) << k;
    // The pose follows the bodies and stays finite.
    ragdollUpdatePose(r, ch.pose, ch.skin, nullptr);
    for (u32 j = 0; j < ch.skin->jointCount; j++)
      for (int e = 0; e < 16; e++) ASSERT_TRUE(std::isfinite(ch.pose->skinMatrices[j].m[e]));
    ragdollDestroy(r);
  }
}

TEST(Ragdoll, FabrikReachesAndStretches) {
  // Three joints up +Y, 0.3 apart.
  NamedSkin s({"a", "b", "c"}, {-1, 0, 1});
  GltfPose* pose = gltfPoseCreate(3);
  gltfPoseReset(pose, &s.skin);
  const i32 chain[3] = {0, 1, 2};
  // Reachable: the end lands on the target, segment lengths kept.
  ragdollSolveFabrikChain(pose, &s.skin, chain, 3, v3f{0.3f, 0.6f, 0, 0}, v3f{0, 0, 1, 0}, 20, 1e-4f);
  auto at = [&](int j) { return V3(pose->worldTransforms[j].m[12], pose->worldTransforms[j].m[13], pose->worldTransforms[j].m[14]); };
  EXPECT_LT(v3Length(at(2) - V3(0.3, 0.6, 0)), 1e-3);
  EXPECT_NEAR(v3Length(at(1) - at(0)), 0.3, 1e-4);
  EXPECT_NEAR(v3Length(at(2) - at(1)), 0.3, 1e-4);
  // Out of reach: a straight chain towards the target.
  gltfPoseReset(pose, &s.skin);
  ragdollSolveFabrikChain(pose, &s.skin, chain, 3, v3f{5, 0.3f, 0, 0}, v3f{0, 0, 1, 0}, 20, 1e-4f);
  v3 dir = v3Normalize(V3(5, 0.3, 0) - at(0));
  EXPECT_LT(v3Length(at(1) - (at(0) + dir * 0.3)), 1e-4);
  EXPECT_LT(v3Length(at(2) - (at(0) + dir * 0.6)), 1e-4);
  // Locals agree with the new worlds.
  mat4f32 w2 = gltfMat4Mul(gltfMat4Mul(pose->worldTransforms[0], pose->localTransforms[1]), pose->localTransforms[2]);
  for (int e = 0; e < 16; e++) EXPECT_NEAR(w2.m[e], pose->worldTransforms[2].m[e], 1e-4f);
  gltfPoseDestroy(pose);
}

}  // namespace

namespace {

// Joint-centred boxes of neighbouring parts overlap; their contacts would
// fight the joints, so a ragdoll's parts never touch each other.
TEST(Ragdoll, PartsOfARagdollMakeNoContactsWithEachOther) {
  Loaded l(generatedCharacter());
  ASSERT_NE(l.model, nullptr);
  Physics p;  // no floor: any contact is between parts
  const RagdollHumanoidConfig cfg = ragdollDefaultCharacterConfig();
  Ragdoll* r = ragdollCreateHumanoid(p.world, &l.model->skins[0], &cfg);
  ASSERT_NE(r, nullptr);
  GltfPose* pose = gltfPoseCreate(l.model->skins[0].jointCount);
  gltfPoseReset(pose, &l.model->skins[0]);
  ragdollActivate(r, pose, &l.model->skins[0], V3(0, 0, 0), v3f{0, 5, 0, 0}, v4f{0, 0, 0, 1});
  // The boxes do overlap (pelvis and spine are 0.14 m apart, 0.1 + 0.15 m deep).
  Body* pelvis = worldGetBody(p.world, r->parts[0].bodyId);
  Body* spine = worldGetBody(p.world, r->parts[1].bodyId);
  ASSERT_LT(v3Length(pelvis->position - spine->position), 0.25);
  for (int i = 0; i < 10; i++) {
    worldStep(p.world, 1.0 / 120.0);
    ASSERT_EQ(worldGetNumContacts(p.world), 0u) << "step " << i;
  }
  gltfPoseDestroy(pose);
  ragdollDestroy(r);
}

}  // namespace
