// Ragdolls: a skinned character as box bodies linked by ball-and-socket joints.
// The humanoid builder finds twelve named joints in a skin; activation places
// the bodies on the current pose and links them; each frame the pose is rebuilt
// from the bodies. A FABRIK solver for joint chains is offered alongside.
//
// Creation, activation, deactivation and destruction change the world's bodies
// and joints: the caller holds the world lock (or the physics thread is stopped).
#pragma once

#include "physics/shapes.h"
#include "physics/world.h"
#include "platform/types.h"
#include "platform/vecmath.h"
#include "renderer/gltf.h"

inline constexpr u32 kRagdollMaxParts = 32;

// Ragdoll parts collide with the world but not with each other: joint-centred
// boxes of neighbouring parts overlap, and contacts between them would fight
// the joints. Bit 0 is never handed out to other bodies.
inline constexpr u32 kRagdollCollisionCategory = 1u;

struct RagdollPart {
  i32 bodyId;  // -1: none
  i32 jointIndex;  // skin joint the part follows
  i32 parentPart;  // -1: none
};

struct Ragdoll {
  RagdollPart parts[kRagdollMaxParts];
  u32 partCount;
  BoxShape boxShapes[kRagdollMaxParts];  // the bodies point here: the record never moves
  JointHandle jointHandles[kRagdollMaxParts];
  u32 jointCount;
  b8 isActive;
  World* world;
  // Captured at activation: each driven joint's scale (column lengths), so an
  // armature with scaled joints keeps its size; and the model-space matrix of
  // the first part's joint, inverted, which carries the joints that no part
  // drives along with it.
  f32 partScale[kRagdollMaxParts][3];
  mat4f32 firstPartModelInverse;
  // Each part's last known body pose: what a snapshot published before the
  // activation (which does not hold the new bodies yet) stands in with, so that
  // nothing reads live bodies while the physics thread runs.
  v3 lastPos[kRagdollMaxParts];
  v4 lastRot[kRagdollMaxParts];
};

struct RagdollPartDef {
  i32 jointIndex;
  i32 parentPart;
  v3 halfExtents;
  v3 offset;
  f64 mass;
  f64 friction;
  f64 restitution;
};

struct RagdollHumanoidConfig {
  const char* pelvisHint;
  const char* spineHint;
  const char* chestHint;
  const char* headHint;
  const char* upperArmLHint;
  const char* lowerArmLHint;
  const char* upperArmRHint;
  const char* lowerArmRHint;
  const char* upperLegLHint;
  const char* lowerLegLHint;
  const char* upperLegRHint;
  const char* lowerLegRHint;
  v3 pelvisSize;
  v3 spineSize;
  v3 chestSize;
  v3 headSize;
  v3 upperArmSize;
  v3 lowerArmSize;
  v3 upperLegSize;
  v3 lowerLegSize;
  f64 totalMass;
};

// Key of the temporary name map (name not owned).
struct JointKey {
  const char* name;
  u32 len;
};

RagdollHumanoidConfig ragdollDefaultHumanoidConfig();
// The hints of the program's default character (asset/CesiumMan.gltf).
RagdollHumanoidConfig ragdollDefaultCharacterConfig();

Ragdoll* ragdollCreate(World* world, const RagdollPartDef* parts, u32 partCount);
Ragdoll* ragdollCreateHumanoid(World* world, const GltfSkin* skin, const RagdollHumanoidConfig* config);
void ragdollDestroy(Ragdoll* ragdoll);
// worldPos / worldRot: the instance transform of the character.
void ragdollActivate(Ragdoll* ragdoll, const GltfPose* pose, const GltfSkin* skin, v3 velocity, v3f worldPos,
                     v4f worldRot);
void ragdollDeactivate(Ragdoll* ragdoll);
// World-space world and skin matrices from the bodies (the snapshot's poses when
// given, else the live bodies).
void ragdollUpdatePose(Ragdoll* ragdoll, GltfPose* pose, const GltfSkin* skin, const Snapshot* snap);
void ragdollApplyImpulse(Ragdoll* ragdoll, u32 partIndex, v3 impulse, v3 worldPoint);
// Where the ragdoll is now: its first part's body (the pelvis), from the
// snapshot when given. False without a body.
b8 ragdollGetRootPosition(const Ragdoll* ragdoll, const Snapshot* snap, v3* out);
void ragdollSolveFabrikChain(GltfPose* pose, const GltfSkin* skin, const i32* chain, u32 chainCount, v3f target,
                             v3f pole, u32 iterations, f32 tolerance);

// The temporary name -> joint index map of the humanoid builder.
void* ragdollJointMapCreate(const GltfSkin* skin);
void ragdollJointMapFree(void* map);
i32 findJointByName(void* map, const char* name);
