// Ragdolls over the physics world, and FABRIK on poses.
#include "components/ragdoll.h"

#include <cmath>
#include <cstring>

#include "physics/dynamics.h"
#include "platform/hashmap.h"
#include "platform/memory.h"

namespace {

void* mapAlloc(void*, size_t bytes) { return memAlloc(bytes); }
void mapFree(void*, void* p) { memFree(p); }
// The map stores keys packed, not aligned: copy them out before reading.
u64 jointKeyHash(void*, const void* key, size_t) {
  JointKey k;
  std::memcpy(&k, key, sizeof k);
  return XXH3_64bits(k.name, k.len);
}
int jointKeyEq(void*, const void* a, const void* b, size_t) {
  JointKey x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  return x.len == y.len && std::memcmp(x.name, y.name, x.len) == 0;
}

// Body pose (rotation, position) times a per-axis scale, as a float matrix.
mat4f32 bodyMatrix(v3 pos, v4 rot, const f32 scale[3]) {
  f32 t[3] = {(f32)pos.x, (f32)pos.y, (f32)pos.z};
  f32 q[4] = {(f32)rot.x, (f32)rot.y, (f32)rot.z, (f32)rot.w};
  return gltfMat4FromTrs(t, q, scale);
}

// A part's body pose: from the snapshot when one is given (the part's last
// known pose while the snapshot predates its body), else from the live body.
b8 partPose(const Ragdoll* r, u32 part, const Snapshot* snap, v3* pos, v4* rot) {
  const i32 bodyId = r->parts[part].bodyId;
  if (bodyId < 0) return false;
  if (snap) {
    if ((u32)bodyId < snap->count && snap->xforms[bodyId].id != 0xFFFFFFFFu) {
      *pos = snap->xforms[bodyId].pos;
      *rot = snap->xforms[bodyId].rot;
    } else {
      *pos = r->lastPos[part];
      *rot = r->lastRot[part];
    }
    return true;
  }
  Body* b = worldGetBody(r->world, bodyId);
  if (!b) return false;
  *pos = b->position;
  *rot = b->rotation;
  return true;
}

}  // namespace

RagdollHumanoidConfig ragdollDefaultHumanoidConfig() {
  RagdollHumanoidConfig c{};
  c.pelvisHint = "pelvis";
  c.spineHint = "spine";
  c.chestHint = "chest";
  c.headHint = "head";
  c.upperArmLHint = "UpperArm.L";
  c.lowerArmLHint = "LowerArm.L";
  c.upperArmRHint = "UpperArm.R";
  c.lowerArmRHint = "LowerArm.R";
  c.upperLegLHint = "UpperLeg.L";
  c.lowerLegLHint = "LowerLeg.L";
  c.upperLegRHint = "UpperLeg.R";
  c.lowerLegRHint = "LowerLeg.R";
  c.pelvisSize = V3(0.15, 0.1, 0.1);
  c.spineSize = V3(0.12, 0.15, 0.08);
  c.chestSize = V3(0.18, 0.15, 0.1);
  c.headSize = V3(0.1, 0.12, 0.1);
  c.upperArmSize = V3(0.04, 0.15, 0.04);
  c.lowerArmSize = V3(0.035, 0.13, 0.035);
  c.upperLegSize = V3(0.06, 0.22, 0.06);
  c.lowerLegSize = V3(0.05, 0.2, 0.05);
  c.totalMass = 70.0;
  return c;
}

RagdollHumanoidConfig ragdollDefaultCharacterConfig() {
  RagdollHumanoidConfig c = ragdollDefaultHumanoidConfig();
  c.pelvisHint = "Skeleton_torso_joint_1";
  c.spineHint = "Skeleton_torso_joint_2";
  c.chestHint = "torso_joint_3";
  c.headHint = "Skeleton_neck_joint_2";
  c.upperArmLHint = "Skeleton_arm_joint_L__4_";
  c.lowerArmLHint = "Skeleton_arm_joint_L__3_";
  c.upperArmRHint = "Skeleton_arm_joint_R";
  c.lowerArmRHint = "Skeleton_arm_joint_R__2_";
  c.upperLegLHint = "leg_joint_L_1";
  c.lowerLegLHint = "leg_joint_L_2";
  c.upperLegRHint = "leg_joint_R_1";
  c.lowerLegRHint = "leg_joint_R_2";
  return c;
}

void* ragdollJointMapCreate(const GltfSkin* skin) {
  if (!skin) return nullptr;
  sm_allocator_t a{nullptr, mapAlloc, mapFree, jointKeyHash, jointKeyEq};
  void* map = sm_new(skin->jointCount ? skin->jointCount : 1, sizeof(JointKey), sizeof(i32), &a);
  if (!map) return nullptr;
  for (u32 j = 0; j < skin->jointCount; j++) {
    const char* name = skin->joints[j].name;
    if (!name) continue;
    JointKey key{name, (u32)std::strlen(name)};
    i32 v = (i32)j;
    // First joint of a name wins, as a linear search would find it.
    if (!sm_find_generic(map, &key)) sm_put(map, &key, &v);
  }
  return map;
}

void ragdollJointMapFree(void* map) {
  if (map) sm_free(map);
}

i32 findJointByName(void* map, const char* name) {
  if (!map || !name) return -1;
  JointKey key{name, (u32)std::strlen(name)};
  const void* v = sm_find_generic(map, &key);
  if (!v) return -1;
  i32 index;
  std::memcpy(&index, v, sizeof index);
  return index;
}

Ragdoll* ragdollCreate(World* world, const RagdollPartDef* defs, u32 partCount) {
  if (!world || !defs || partCount == 0 || partCount > kRagdollMaxParts) return nullptr;
  auto* r = static_cast<Ragdoll*>(memCalloc(1, sizeof(Ragdoll)));
  if (!r) return nullptr;
  r->world = world;
  r->partCount = partCount;
  for (u32 i = 0; i < kRagdollMaxParts; i++) r->parts[i].bodyId = -1;
  for (u32 i = 0; i < partCount; i++) {
    const RagdollPartDef& d = defs[i];
    RagdollPart& p = r->parts[i];
    p.jointIndex = d.jointIndex;
    p.parentPart = d.parentPart;
    p.bodyId = worldCreateBody(world);
    if (p.bodyId < 0) {
      ragdollDestroy(r);
      return nullptr;
    }
    worldSetBodyType(world, p.bodyId, BODY_DYNAMIC);
    Body* b = worldGetBody(world, p.bodyId);
    bodySetMass(b, d.mass);
    bodySetLocalInertiaTensor(b, bodyInertiaBox(d.mass, d.halfExtents));
    boxInit(&r->boxShapes[i], d.halfExtents);
    b->shape = &r->boxShapes[i].base;
    b->localAabb = boxComputeAabb(&r->boxShapes[i], Transform{V3(0, 0, 0), quatIdentity()});
    b->friction = d.friction;
    b->restitution = d.restitution;
    b->linearDamping = 0.5;
    b->angularDamping = 2.0;
    b->collisionCategory = kRagdollCollisionCategory;
    b->collisionMask &= ~kRagdollCollisionCategory;
    worldSetBodyTransform(world, p.bodyId, Transform{d.offset, quatIdentity()});
    for (int k = 0; k < 3; k++) r->partScale[i][k] = 1.0f;
  }
  r->firstPartModelInverse = gltfMat4Identity();
  return r;
}

Ragdoll* ragdollCreateHumanoid(World* world, const GltfSkin* skin, const RagdollHumanoidConfig* c) {
  if (!world || !skin || !c) return nullptr;
  void* map = ragdollJointMapCreate(skin);
  if (!map) return nullptr;
  const i32 pelvis = findJointByName(map, c->pelvisHint), spine = findJointByName(map, c->spineHint),
            chest = findJointByName(map, c->chestHint), head = findJointByName(map, c->headHint),
            uaL = findJointByName(map, c->upperArmLHint), laL = findJointByName(map, c->lowerArmLHint),
            uaR = findJointByName(map, c->upperArmRHint), laR = findJointByName(map, c->lowerArmRHint),
            ulL = findJointByName(map, c->upperLegLHint), llL = findJointByName(map, c->lowerLegLHint),
            ulR = findJointByName(map, c->upperLegRHint), llR = findJointByName(map, c->lowerLegRHint);
  ragdollJointMapFree(map);
  if (pelvis < 0) return nullptr;
  RagdollPartDef defs[12];
  u32 n = 0;
  auto add = [&](i32 joint, v3 size, f64 fraction, i32 parent) -> i32 {
    if (joint < 0) return -1;
    defs[n] = RagdollPartDef{joint, parent, size, V3(0, 0, 0), c->totalMass * fraction, 0.6, 0.1};
    return (i32)n++;
  };
  const i32 pPelvis = add(pelvis, c->pelvisSize, 0.15, -1);
  const i32 pSpine = add(spine, c->spineSize, 0.12, pPelvis);
  const i32 pChest = add(chest, c->chestSize, 0.15, pSpine >= 0 ? pSpine : pPelvis);
  const i32 torso = pChest >= 0 ? pChest : (pSpine >= 0 ? pSpine : pPelvis);
  add(head, c->headSize, 0.08, torso);
  const i32 pUaL = add(uaL, c->upperArmSize, 0.03, torso);
  add(laL, c->lowerArmSize, 0.02, pUaL);
  const i32 pUaR = add(uaR, c->upperArmSize, 0.03, torso);
  add(laR, c->lowerArmSize, 0.02, pUaR);
  const i32 pUlL = add(ulL, c->upperLegSize, 0.10, pPelvis);
  add(llL, c->lowerLegSize, 0.05, pUlL);
  const i32 pUlR = add(ulR, c->upperLegSize, 0.10, pPelvis);
  add(llR, c->lowerLegSize, 0.05, pUlR);
  return ragdollCreate(world, defs, n);
}

void ragdollDestroy(Ragdoll* r) {
  if (!r) return;
  for (u32 i = r->jointCount; i-- > 0;) worldDestroyJoint(r->world, r->jointHandles[i]);
  r->jointCount = 0;
  for (u32 i = 0; i < r->partCount; i++)
    if (r->parts[i].bodyId >= 0) worldDestroyBody(r->world, r->parts[i].bodyId);
  memFree(r);
}

void ragdollActivate(Ragdoll* r, const GltfPose* pose, const GltfSkin* skin, v3 velocity, v3f worldPos, v4f worldRot) {
  if (!r || !pose || !skin) return;
  // Joints from an earlier activation go first: activation may repeat.
  for (u32 i = r->jointCount; i-- > 0;) worldDestroyJoint(r->world, r->jointHandles[i]);
  r->isActive = true;
  r->jointCount = 0;
  const v4 instRot = quatNormalize(V4(worldRot.x, worldRot.y, worldRot.z, worldRot.w));
  const v3 instPos = V3(worldPos.x, worldPos.y, worldPos.z);
  r->firstPartModelInverse = gltfMat4Identity();
  for (u32 i = 0; i < r->partCount; i++) {
    RagdollPart& p = r->parts[i];
    if (p.bodyId < 0 || p.jointIndex < 0 || (u32)p.jointIndex >= pose->jointCount) continue;
    const mat4f32& m = pose->worldTransforms[p.jointIndex];
    f32 t[3], q[4], s[3];
    gltfMat4Decompose(m, t, q, s);
    for (int k = 0; k < 3; k++) r->partScale[i][k] = s[k];
    if (i == 0) r->firstPartModelInverse = gltfMat4InverseAffine(m);
    const v4 rot = quatNormalize(quatMul(instRot, V4(q[0], q[1], q[2], q[3])));
    const v3 pos = instPos + quatRotate(instRot, V3(t[0], t[1], t[2]));
    worldSetBodyTransform(r->world, p.bodyId, Transform{pos, rot});
    r->lastPos[i] = pos;
    r->lastRot[i] = rot;
    Body* b = worldGetBody(r->world, p.bodyId);
    if (!b) continue;
    b->linearVelocity = velocity;
    b->angularVelocity = V3(0, 0, 0);
    bodySetAwake(b, true);
    bodyUpdateInertiaWorld(b);
  }
  for (u32 i = 0; i < r->partCount; i++) {
    const RagdollPart& p = r->parts[i];
    if (p.parentPart < 0 || (u32)p.parentPart >= r->partCount || p.bodyId < 0) continue;
    const i32 parentBody = r->parts[p.parentPart].bodyId;
    if (parentBody < 0) continue;
    Body* b = worldGetBody(r->world, p.bodyId);
    if (!b) continue;
    JointHandle h = worldCreateBallSocketJoint(r->world, parentBody, p.bodyId, b->position);
    if (h.index >= 0 && r->jointCount < kRagdollMaxParts) r->jointHandles[r->jointCount++] = h;
  }
}

void ragdollDeactivate(Ragdoll* r) {
  if (!r) return;
  r->isActive = false;
  for (u32 i = r->jointCount; i-- > 0;) worldDestroyJoint(r->world, r->jointHandles[i]);
  r->jointCount = 0;
  for (u32 i = 0; i < r->partCount; i++) {
    Body* b = r->parts[i].bodyId >= 0 ? worldGetBody(r->world, r->parts[i].bodyId) : nullptr;
    if (b) bodySetAwake(b, false);
  }
}

b8 ragdollGetRootPosition(const Ragdoll* r, const Snapshot* snap, v3* out) {
  if (!r || !out || r->partCount == 0) return false;
  v4 rot;
  return partPose(r, 0, snap, out, &rot);
}

void ragdollUpdatePose(Ragdoll* r, GltfPose* pose, const GltfSkin* skin, const Snapshot* snap) {
  if (!r || !pose || !skin || !r->isActive) return;
  const u32 n = pose->jointCount < skin->jointCount ? pose->jointCount : skin->jointCount;
  // Which joints a part drives (their world matrix comes from the body).
  constexpr u32 kNone = 0xFFFFFFFFu;
  u32 drivenBy[256];
  const u32 tracked = n < 256 ? n : 256;
  for (u32 j = 0; j < tracked; j++) drivenBy[j] = kNone;
  for (u32 i = 0; i < r->partCount; i++) {
    const RagdollPart& p = r->parts[i];
    if (p.jointIndex < 0 || (u32)p.jointIndex >= n) continue;
    v3 pos;
    v4 rot;
    if (!partPose(r, i, snap, &pos, &rot)) continue;
    r->lastPos[i] = pos;
    r->lastRot[i] = rot;
    pose->worldTransforms[p.jointIndex] = bodyMatrix(pos, rot, r->partScale[i]);
    if ((u32)p.jointIndex < tracked) drivenBy[p.jointIndex] = i;
  }
  // Joints no part drives and with no driven ancestor follow the first part
  // rigidly: model space carried by that part's motion since activation.
  mat4f32 follow = gltfMat4Identity();
  if (r->partCount > 0 && r->parts[0].jointIndex >= 0 && (u32)r->parts[0].jointIndex < n)
    follow = gltfMat4Mul(pose->worldTransforms[r->parts[0].jointIndex], r->firstPartModelInverse);
  // 0: not visited, 1: has a driven joint at or above it, 2: free.
  u8 state[256];
  for (u32 j = 0; j < tracked; j++) state[j] = 0;
  for (u32 k = 0; k < skin->jointCount; k++) {
    const u32 j = skin->order ? skin->order[k] : k;
    if (j >= n) continue;
    const i32 parent = skin->joints[j].parent;
    const b8 parentOk = parent >= 0 && (u32)parent < n;
    if (j < tracked && drivenBy[j] != kNone) {
      state[j] = 1;
      continue;
    }
    const b8 parentDriven = parentOk && ((u32)parent >= tracked || state[parent] == 1);
    if (parentDriven) {
      pose->worldTransforms[j] = gltfMat4Mul(pose->worldTransforms[parent], pose->localTransforms[j]);
      if (j < tracked) state[j] = 1;
    } else {
      // The model-space matrix of this free joint, then carried along.
      const mat4f32 base = parentOk ? pose->worldTransforms[parent] : gltfMat4Mul(follow, skin->rootTransform);
      pose->worldTransforms[j] = gltfMat4Mul(base, pose->localTransforms[j]);
      if (j < tracked) state[j] = 2;
    }
  }
  for (u32 j = 0; j < n; j++)
    pose->skinMatrices[j] = gltfMat4Mul(pose->worldTransforms[j], skin->joints[j].inverseBindMatrix);
}

void ragdollApplyImpulse(Ragdoll* r, u32 partIndex, v3 impulse, v3 worldPoint) {
  if (!r || partIndex >= r->partCount) return;
  Body* b = r->parts[partIndex].bodyId >= 0 ? worldGetBody(r->world, r->parts[partIndex].bodyId) : nullptr;
  if (!b) return;
  bodyApplyImpulseAtPoint(b, impulse, worldPoint);
  bodySetAwake(b, true);
}

namespace {

v3 toV3(const mat4f32& m) { return V3(m.m[12], m.m[13], m.m[14]); }

// Rotation whose +Y axis runs along dir, with the up reference fixing the roll
// (+Z towards it). A reference parallel to dir is replaced by another axis.
mat3 lookAlong(v3 dir, v3 up) {
  v3 y = v3Normalize(dir);
  v3 ref = v3Normalize(up);
  if (std::fabs(v3Dot(y, ref)) > 0.9) ref = std::fabs(y.x) < 0.9 ? V3(1, 0, 0) : V3(0, 0, 1);
  v3 x = v3Normalize(v3Cross(y, ref));
  v3 z = v3Cross(x, y);
  return mat3{{x, y, z}};
}

}  // namespace

void ragdollSolveFabrikChain(GltfPose* pose, const GltfSkin* skin, const i32* chain, u32 chainCount, v3f target,
                             v3f pole, u32 iterations, f32 tolerance) {
  if (!pose || !skin || !chain || chainCount < 2 || chainCount > 32) return;
  for (u32 i = 0; i < chainCount; i++)
    if (chain[i] < 0 || (u32)chain[i] >= pose->jointCount || (u32)chain[i] >= skin->jointCount) return;
  v3 p[32];
  f64 len[32];
  f32 scale[32][3];
  for (u32 i = 0; i < chainCount; i++) {
    const mat4f32& m = pose->worldTransforms[chain[i]];
    p[i] = toV3(m);
    for (int c = 0; c < 3; c++)
      scale[i][c] = std::sqrt(m.m[c * 4] * m.m[c * 4] + m.m[c * 4 + 1] * m.m[c * 4 + 1] + m.m[c * 4 + 2] * m.m[c * 4 + 2]);
  }
  f64 total = 0.0;
  for (u32 i = 0; i + 1 < chainCount; i++) {
    len[i] = std::fmax(1e-5, v3Length(p[i + 1] - p[i]));
    total += len[i];
  }
  const v3 tgt = V3(target.x, target.y, target.z);
  const u32 last = chainCount - 1;
  if (v3Length(tgt - p[0]) >= total) {
    v3 d = tgt - p[0];
    v3 dir = v3Length(d) <= 1e-10 ? V3(0, 1, 0) : v3Normalize(d);
    for (u32 i = 0; i < last; i++) p[i + 1] = p[i] + dir * len[i];
  } else if (iterations > 0) {
    const v3 root = p[0];
    const f64 tol2 = (f64)tolerance * tolerance;
    for (u32 it = 0; it < iterations; it++) {
      p[last] = tgt;
      for (u32 i = last; i-- > 0;) p[i] = p[i + 1] + v3Normalize(p[i] - p[i + 1]) * len[i];
      p[0] = root;
      for (u32 i = 0; i < last; i++) p[i + 1] = p[i] + v3Normalize(p[i + 1] - p[i]) * len[i];
      if (v3LengthSq(p[last] - tgt) <= tol2) break;
    }
  }
  v3 up = V3(pole.x, pole.y, pole.z);
  if (v3LengthSq(up) < 1e-10) up = V3(0, 1, 0);
  for (u32 i = 0; i < chainCount; i++) {
    v3 dir = i < last ? p[i + 1] - p[i] : p[i] - p[i - 1];
    mat4f32 w = pose->worldTransforms[chain[i]];
    if (v3LengthSq(dir) >= 1e-10) {
      mat3 rot = lookAlong(dir, up);
      for (int c = 0; c < 3; c++) {
        w.m[c * 4 + 0] = (f32)rot.c[c].x * scale[i][c];
        w.m[c * 4 + 1] = (f32)rot.c[c].y * scale[i][c];
        w.m[c * 4 + 2] = (f32)rot.c[c].z * scale[i][c];
      }
    }
    w.m[12] = (f32)p[i].x;
    w.m[13] = (f32)p[i].y;
    w.m[14] = (f32)p[i].z;
    const u32 j = (u32)chain[i];
    pose->worldTransforms[j] = w;
    const i32 parent = skin->joints[j].parent;
    const mat4f32 parentWorld = (parent >= 0 && (u32)parent < pose->jointCount)
                                    ? pose->worldTransforms[parent]
                                    : skin->rootTransform;
    pose->localTransforms[j] = gltfMat4Mul(gltfMat4InverseAffine(parentWorld), w);
  }
  pose->trsFresh = false;  // the locals changed behind the sampling scratch
}
