// The model system: loaded glTF models and their instances in the entity
// registry. Static instances are drawn instanced, grouped by model; skinned
// instances are animated each frame (or driven by a ragdoll) and drawn one by
// one with their bone matrices in the shared bone pool.
//
// Instance and bone matrices are written per frame in flight and per draw call
// (one shadow pass and up to four split-screen cells), each call into its own
// range, so no draw reads matrices a later call of the same frame rewrote.
#pragma once

#include "components/ragdoll.h"
#include "ecs/ecs.h"
#include "physics/world.h"
#include "platform/types.h"
#include "platform/vecmath.h"
#include "renderer/gltf.h"
#include "renderer/meshpool.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"

struct Lighting;

// Draw calls per frame that write their own matrices: the shadow pass and four cells.
inline constexpr u32 kModelDrawRanges = 5;
inline constexpr u32 kModelFrameSlots = 2;
inline constexpr u32 kModelMaxVisible = 4096;

struct ModelComp {
  u32 modelIndex;
  v3f position;
  v4f rotation;  // x, y, z, w
  f32 scale;
  f32 animTime;  // seconds
  i32 animIndex;  // -1: no animation
  u32 _pad[1];
};
static_assert(sizeof(ModelComp) <= 64);

struct PoseComp {
  GltfPose* pose;
  u32 bonePoolSlot;
  u32 _pad;
};
static_assert(sizeof(PoseComp) == 16);

struct RagdollComp {
  Ragdoll* ragdoll;
};
static_assert(sizeof(RagdollComp) == 8);

// Host-visible matrices read by the instanced shaders through a device address:
// kModelFrameSlots x kModelDrawRanges ranges of maxInstances matrices.
struct InstancePool {
  VkBuffer ssbo;
  VkDeviceMemory memory;
  VkDeviceSize size;
  VkDeviceSize allocatedSize;
  mat4f32* cpuData;
  u32 maxInstances;  // per range
  VkDevice device;
  VkDeviceAddress ssboAddress;
};

struct StaticVisible {
  i32 compIdx;
  u32 modelIndex;
};

struct ModelSystem {
  GltfModel** models;
  u32 modelCount;
  u32 modelCapacity;
  // 2 x maxInstances skeletons: the first half for even frames, the second for odd.
  GltfBonePool* bonePool;
  u32 maxInstances;
  u32 bonePoolNextSlot;
  InstancePool* instancePool;
  u32 pipelineStatic, pipelineStaticStrip, pipelineSkinned, pipelineSkinnedStrip, pipelineInstancedStatic,
      pipelineInstancedStaticStrip;
  Renderer* renderer;
  Pipelines* pipelines;
  MeshPool* vertexPool;
  MeshPool* indexPool;
  b8 gpuReady;  // pipelines exist
  // Skin matrices written by the update (maxInstances x bonesPerSkeleton), copied
  // into the bone pool's frame half once that frame's fence has been waited for.
  mat4f32* bones;
  u32 bonesPerSkeleton;
  u32 frameSlot;  // 0 or 1: half of the bone pool and instance ranges in use
  u32 rangeNext;  // the instance range the next draw call takes
  u32 drawCalls;  // draws recorded since the frame began (statistics, benchmarks)
};

ModelSystem* modelSystemCreate(Renderer* r, Pipelines* pipelines, MeshPool* vertexPool, MeshPool* indexPool,
                               u32 maxInstances);
// Creates the six pipelines, the instance pool and the bone pool; false when the
// renderer has no bindless table (printed). lightSetLayout: the lighting set.
b8 modelSystemSetupGPU(ModelSystem* sys, u32 staticSlot, u32 staticStripSlot, u32 skinnedSlot, u32 skinnedStripSlot,
                       u32 instancedSlot, u32 instancedStripSlot, VkDescriptorSetLayout lightSetLayout);
u32 modelSystemLoadModel(ModelSystem* sys, const char* path);
void modelSystemRebuildDescriptors(ModelSystem* sys);
Entity modelSystemSpawn(ModelSystem* sys, Ecs* ecs, u32 modelIdx, v3f position, v4f rotation);
// snap: the frame's pinned snapshot, read for active ragdolls (null: live bodies).
void modelSystemUpdate(ModelSystem* sys, Ecs* ecs, f32 dt, const Snapshot* snap);
// Call once per frame before the first draw (after rendererBeginFrame): selects
// the frame slot of the instance and bone matrices.
void modelSystemBeginFrame(ModelSystem* sys);
void modelSystemDraw(ModelSystem* sys, Ecs* ecs, VkCommandBuffer cmd, const mat4f32& vpMatrix, VkDescriptorSet lightSet,
                     const v4* frustumPlanes, VkDeviceAddress lightDataAddr, const Snapshot* snap);
void modelSystemDrawShadow(ModelSystem* sys, Ecs* ecs, VkCommandBuffer cmd, const mat4f32& lightVP, Lighting* lighting,
                           const Snapshot* snap);
// Ray-query mode: this frame's static instances into the top-level structure
// (each static primitive gets its bottom-level structure on first use).
// Characters are left out: their shadows come from the shadow maps only.
void modelSystemAddToTlas(ModelSystem* sys, Ecs* ecs, Lighting* lighting);
// Turns a spawned skinned character into a ragdoll; the caller holds the world
// lock. False when the entity has no model or pose, the model no skin, or the
// skin no pelvis joint.
b8 modelSystemActivateRagdoll(ModelSystem* sys, Ecs* ecs, Entity entity, World* world, v3 velocity,
                              const RagdollHumanoidConfig* config);
// Before a scene is rebuilt: poses and ragdolls destroyed, bone slots reset.
// The caller holds the world lock when ragdolls exist.
void modelSystemCleanup(ModelSystem* sys, Ecs* ecs);
void modelSystemUnloadAll(ModelSystem* sys);
// Leaves the bindless table to textureShutdown.
void modelSystemDestroy(ModelSystem* sys, Ecs* ecs);
