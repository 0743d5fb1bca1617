// The model system: loading, spawning, animation, instanced and skinned draws.
#include "components/model.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/memory.h"
#include "renderer/lighting.h"
#include "renderer/texture.h"
#include "renderer/vram.h"

namespace {

struct StaticPush {
  mat4f32 mvp;
  f32 origin[3];
  f32 scale;
  f32 baseColorFactor[4];
  f32 alphaCutoff;
  u32 textureIndex;
  u64 lightDataAddr;
};
static_assert(sizeof(StaticPush) == 112);

struct InstancedPush {
  StaticPush s;
  u64 instanceAddr;
};
static_assert(sizeof(InstancedPush) == 120);

struct SkinnedPush {
  mat4f32 mvp;
  f32 origin[3];
  f32 scale;
  u64 boneAddr;
  u64 pad;
  f32 baseColorFactor[4];
  f32 alphaCutoff;
  u32 textureIndex;
  u64 lightDataAddr;
};
static_assert(sizeof(SkinnedPush) == 128);

struct ShadowPush {
  mat4f32 mvp;
  f32 origin[3];
  f32 scale;
  u64 addr;  // instances or bones; unused by the plain shadow shader (80 bytes pushed)
};
static_assert(sizeof(ShadowPush) == 88);

constexpr u32 kModelBit = 1u << ECS_SYS_MODEL;
constexpr u32 kPoseBit = 1u << ECS_SYS_POSE;

mat4f32 instanceMatrix(const ModelComp& c, b8 withScale) {
  f32 t[3] = {c.position.x, c.position.y, c.position.z};
  f32 q[4] = {c.rotation.x, c.rotation.y, c.rotation.z, c.rotation.w};
  f32 len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (len > 1e-10f && std::isfinite(len))
    for (f32& v : q) v /= len;
  else
    q[0] = q[1] = q[2] = 0, q[3] = 1;
  f32 s = withScale ? c.scale : 1.0f;
  f32 sc[3] = {s, s, s};
  return gltfMat4FromTrs(t, q, sc);
}

GltfModel* modelAt(const ModelSystem* sys, u32 index) {
  return (sys && index < sys->modelCount) ? sys->models[index] : nullptr;
}

void materialValues(const GltfModel* m, i32 materialIndex, f32 factor[4], f32* cutoff, u32* texture) {
  factor[0] = factor[1] = factor[2] = factor[3] = 1.0f;
  *cutoff = 0.0f;
  *texture = 0;
  if (materialIndex < 0 || (u32)materialIndex >= m->materialCount) return;
  const GltfMaterial& mat = m->materials[materialIndex];
  for (int i = 0; i < 4; i++) factor[i] = mat.baseColorFactor[i];
  if (mat.baseColorTextureIndex >= 0) {
    *texture = (u32)mat.baseColorTextureIndex;
    *cutoff = mat.alphaCutoff;
  } else {
    factor[3] = 1.0f;
  }
}

InstancePool* instancePoolCreate(VkDevice device, u32 maxInstances) {
  auto* p = static_cast<InstancePool*>(memCalloc(1, sizeof(InstancePool)));
  if (!p) return nullptr;
  p->device = device;
  p->maxInstances = maxInstances;
  const u64 matrices = (u64)maxInstances * kModelDrawRanges * kModelFrameSlots;
  p->size = matrices * sizeof(mat4f32);
  if (!vramCreateBuffer(device, p->size, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT,
                        VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT, &p->ssbo, &p->memory,
                        &p->allocatedSize)) {
    memFree(p);
    return nullptr;
  }
  void* mapped = nullptr;
  if (vkMapMemory(device, p->memory, 0, p->size, 0, &mapped) != VK_SUCCESS) {
    vkDestroyBuffer(device, p->ssbo, nullptr);
    vramFree(p->memory, p->allocatedSize, true);
    memFree(p);
    return nullptr;
  }
  p->cpuData = static_cast<mat4f32*>(mapped);
  const mat4f32 id = gltfMat4Identity();
  for (u64 i = 0; i < matrices; i++) p->cpuData[i] = id;
  VkBufferDeviceAddressInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_BUFFER_DEVICE_ADDRESS_INFO;
  ai.buffer = p->ssbo;
  p->ssboAddress = vkGetBufferDeviceAddress(device, &ai);
  return p;
}

void instancePoolDestroy(InstancePool* p) {
  if (!p) return;
  vkUnmapMemory(p->device, p->memory);
  vkDestroyBuffer(p->device, p->ssbo, nullptr);
  vramFree(p->memory, p->allocatedSize, true);
  memFree(p);
}

void createModelPipeline(ModelSystem* sys, u32 slot, const char* vertName, const char* fragName, b8 skinned,
                         VkPrimitiveTopology topology, u32 pushBytes, VkDescriptorSetLayout lightSetLayout) {
  Renderer* r = sys->renderer;
  u64 vertSize = 0, fragSize = 0;
  const u32* vert = rendererLoadShader(vertName, &vertSize);
  const u32* frag = rendererLoadShader(rendererLitShaderPath(r, fragName), &fragSize);
  if (!vert || !frag) return;
  VkVertexInputBindingDescription binding = skinned ? gltfGetSkinnedVertexBinding() : gltfGetVertexBinding();
  u32 attrCount = 0;
  const VkVertexInputAttributeDescription* attrs =
      skinned ? gltfGetSkinnedVertexAttributes(&attrCount) : gltfGetVertexAttributes(&attrCount);
  VkPushConstantRange push{VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, pushBytes};
  VkDescriptorSetLayout layouts[2] = {r->bindlessTextureSetLayout, lightSetLayout};
  PipelineConfig c{};
  c.vertCode = vert;
  c.vertSize = vertSize;
  c.fragCode = frag;
  c.fragSize = fragSize;
  c.litFragmentShader = fragName;
  c.vertexBindings = &binding;
  c.vertexBindingCount = 1;
  c.vertexAttributes = attrs;
  c.vertexAttributeCount = attrCount;
  c.descriptorSetLayouts = layouts;
  c.descriptorSetLayoutCount = 2;
  c.pushConstants = &push;
  c.pushConstantCount = 1;
  c.cullMode = VK_CULL_MODE_BACK_BIT;
  c.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
  c.depthTest = true;
  c.depthWrite = true;
  c.topology = topology;
  pipelinesCreate(sys->pipelines, slot, &c, nullptr, 0, nullptr, 0);
}

int compareStaticVisible(const void* a, const void* b) {
  const auto* x = static_cast<const StaticVisible*>(a);
  const auto* y = static_cast<const StaticVisible*>(b);
  return x->modelIndex < y->modelIndex ? -1 : (x->modelIndex > y->modelIndex ? 1 : 0);
}

// Where an instance is for culling: a ragdoll's pelvis, else its placement.
v3 cullCentre(const ModelSystem*, Ecs* ecs, Entity e, const ModelComp& c, const Snapshot* snap) {
  auto* rc = static_cast<RagdollComp*>(ecsGetComponent(ecs, ECS_SYS_RAGDOLL, e));
  v3 p;
  if (rc && rc->ragdoll && rc->ragdoll->isActive && ragdollGetRootPosition(rc->ragdoll, snap, &p)) return p;
  return V3(c.position.x, c.position.y, c.position.z);
}

b8 outsideFrustum(const v4* planes, v3 c, f64 radius) {
  if (!planes) return false;
  for (int i = 0; i < 6; i++)
    if (planes[i].x * c.x + planes[i].y * c.y + planes[i].z * c.z + planes[i].w < -radius) return true;
  return false;
}

// The lists one draw call works on (on the stack: no allocation per frame).
struct Visible {
  StaticVisible statics[kModelMaxVisible];
  Entity staticEntities[kModelMaxVisible];
  Entity skinned[kModelMaxVisible];
  u32 staticCount;
  u32 skinnedCount;
};

// The visible lists of the draw, shadow and ray-tracing passes live in plain
// statics: all three run on the frame thread. Thread-local ones would give
// every thread 3 x 64 KB of static TLS, more than the 64 KB stacks SDL gives
// its audio threads, whose creation then fails (no sound at all).
void collect(ModelSystem* sys, Ecs* ecs, const v4* planes, const Snapshot* snap, Visible* v) {
  Entity all[kModelMaxVisible];
  u32 n = ecsQuery(ecs, kModelBit, all, kModelMaxVisible);
  v->staticCount = v->skinnedCount = 0;
  for (u32 i = 0; i < n; i++) {
    const Entity e = all[i];
    const i32 idx = ecsGet(ecs, ECS_SYS_MODEL, e);
    const auto* c = static_cast<const ModelComp*>(ecsGetComponent(ecs, ECS_SYS_MODEL, e));
    const GltfModel* m = c ? modelAt(sys, c->modelIndex) : nullptr;
    if (!m) continue;
    if (planes && outsideFrustum(planes, cullCentre(sys, ecs, e, *c, snap), (f64)c->scale * m->boundingRadius)) continue;
    if (ecsHas(ecs, ECS_SYS_POSE, e)) {
      v->skinned[v->skinnedCount++] = e;
    } else {
      v->statics[v->staticCount] = StaticVisible{idx, c->modelIndex};
      v->staticEntities[v->staticCount++] = e;
    }
  }
  // Entities in model order; the entity list follows the same permutation.
  if (v->staticCount > 1) {
    for (u32 i = 0; i < v->staticCount; i++) v->statics[i].compIdx = (i32)i;  // index into staticEntities
    std::qsort(v->statics, v->staticCount, sizeof(StaticVisible), compareStaticVisible);
  } else if (v->staticCount == 1) {
    v->statics[0].compIdx = 0;
  }
}

// Takes the next matrix range of this frame, or null when all are spent.
mat4f32* takeRange(ModelSystem* sys, VkDeviceAddress* address) {
  if (!sys->instancePool || sys->rangeNext >= kModelDrawRanges) return nullptr;
  const u64 first = ((u64)sys->frameSlot * kModelDrawRanges + sys->rangeNext++) * sys->maxInstances;
  *address = sys->instancePool->ssboAddress + first * sizeof(mat4f32);
  return sys->instancePool->cpuData + first;
}

VkDeviceAddress boneAddress(const ModelSystem* sys, u32 slot) {
  return sys->bonePool->ssboAddress +
         ((u64)sys->frameSlot * sys->maxInstances + slot) * sys->bonesPerSkeleton * sizeof(mat4f32);
}

void bindGeometry(ModelSystem* sys, VkCommandBuffer cmd, const GltfPrimitive& p) {
  VkDeviceSize off = p.vertexAlloc.offset;
  vkCmdBindVertexBuffers(cmd, 0, 1, &sys->vertexPool->buffer, &off);
  vkCmdBindIndexBuffer(cmd, sys->indexPool->buffer, p.indexAlloc.offset, p.indexType);
}

b8 bindSlot(ModelSystem* sys, VkCommandBuffer cmd, u32 slot, u32* bound, VkDescriptorSet lightSet) {
  Pipeline* pl = pipelinesGet(sys->pipelines, slot);
  if (!pl || !pl->pipeline) return false;
  if (*bound != slot) {
    pipelineBind(sys->pipelines, slot, cmd);
    VkDescriptorSet sets[2] = {sys->renderer->bindlessTextureSet, lightSet};
    vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pl->layout, 0, lightSet ? 2 : 1, sets, 0, nullptr);
    *bound = slot;
  }
  return true;
}

}  // namespace

ModelSystem* modelSystemCreate(Renderer* r, Pipelines* pipelines, MeshPool* vertexPool, MeshPool* indexPool,
                               u32 maxInstances) {
  auto* sys = static_cast<ModelSystem*>(memCalloc(1, sizeof(ModelSystem)));
  if (!sys) return nullptr;
  sys->models = static_cast<GltfModel**>(memCalloc(16, sizeof(GltfModel*)));
  if (!sys->models) {
    memFree(sys);
    return nullptr;
  }
  sys->modelCapacity = 16;
  sys->maxInstances = maxInstances ? maxInstances : 1;
  sys->renderer = r;
  sys->pipelines = pipelines;
  sys->vertexPool = vertexPool;
  sys->indexPool = indexPool;
  return sys;
}

b8 modelSystemSetupGPU(ModelSystem* sys, u32 staticSlot, u32 staticStripSlot, u32 skinnedSlot, u32 skinnedStripSlot,
                       u32 instancedSlot, u32 instancedStripSlot, VkDescriptorSetLayout lightSetLayout) {
  if (!sys || !sys->renderer) return false;
  sys->pipelineStatic = staticSlot;
  sys->pipelineStaticStrip = staticStripSlot;
  sys->pipelineSkinned = skinnedSlot;
  sys->pipelineSkinnedStrip = skinnedStripSlot;
  sys->pipelineInstancedStatic = instancedSlot;
  sys->pipelineInstancedStaticStrip = instancedStripSlot;
  Renderer* r = sys->renderer;
  // The texture code owns the table and its fallback; it is made here if nobody has yet.
  if (!textureEnsureBindless(r) || !r->bindlessTextureSetLayout || !r->bindlessTextureSet) {
    std::fprintf(stderr, "Failed to initialize bindless texture descriptors\n");
    return false;
  }
  if (!sys->instancePool) sys->instancePool = instancePoolCreate(r->device, sys->maxInstances);
  const VkPrimitiveTopology list = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST, strip = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_STRIP;
  createModelPipeline(sys, staticSlot, "shaders/gltf.vert.spv", "shaders/gltf.frag.spv", false, list, 112, lightSetLayout);
  createModelPipeline(sys, staticStripSlot, "shaders/gltf.vert.spv", "shaders/gltf.frag.spv", false, strip, 112,
                      lightSetLayout);
  createModelPipeline(sys, skinnedSlot, "shaders/gltf_skinned.vert.spv", "shaders/gltf_skinned.frag.spv", true, list,
                      128, lightSetLayout);
  createModelPipeline(sys, skinnedStripSlot, "shaders/gltf_skinned.vert.spv", "shaders/gltf_skinned.frag.spv", true,
                      strip, 128, lightSetLayout);
  createModelPipeline(sys, instancedSlot, "shaders/gltf_instanced.vert.spv", "shaders/gltf.frag.spv", false, list, 120,
                      lightSetLayout);
  createModelPipeline(sys, instancedStripSlot, "shaders/gltf_instanced.vert.spv", "shaders/gltf.frag.spv", false,
                      strip, 120, lightSetLayout);
  sys->gpuReady = true;
  modelSystemRebuildDescriptors(sys);
  return true;
}

u32 modelSystemLoadModel(ModelSystem* sys, const char* path) {
  if (!sys || !path) return 0xFFFFFFFFu;
  if (sys->modelCount == sys->modelCapacity) {
    u32 cap = sys->modelCapacity * 2;
    auto* grown = static_cast<GltfModel**>(memRealloc(sys->models, sizeof(GltfModel*) * cap));
    if (!grown) return 0xFFFFFFFFu;
    sys->models = grown;
    sys->modelCapacity = cap;
  }
  GltfModel* m = gltfLoad(path, sys->renderer, sys->vertexPool, sys->indexPool);
  if (!m) return 0xFFFFFFFFu;
  sys->models[sys->modelCount] = m;
  return sys->modelCount++;
}

void modelSystemRebuildDescriptors(ModelSystem* sys) {
  if (!sys) return;
  u32 maxJoints = 0;
  for (u32 i = 0; i < sys->modelCount; i++) {
    const GltfModel* m = sys->models[i];
    if (m && m->skinCount && m->skins[0].jointCount > maxJoints) maxJoints = m->skins[0].jointCount;
  }
  if (maxJoints == 0 || maxJoints <= sys->bonesPerSkeleton) return;
  // A bigger skeleton arrived: a larger pool; the old one is freed once no frame reads it.
  auto* bones = static_cast<mat4f32*>(memAlloc(sizeof(mat4f32) * (u64)sys->maxInstances * maxJoints));
  if (!bones) return;
  GltfBonePool* pool = nullptr;
  if (sys->renderer && sys->renderer->device) {
    pool = gltfBonePoolCreate(sys->renderer->device, sys->maxInstances * kModelFrameSlots, maxJoints);
    if (!pool) {
      memFree(bones);
      return;
    }
  }
  const mat4f32 id = gltfMat4Identity();
  for (u64 i = 0; i < (u64)sys->maxInstances * maxJoints; i++) bones[i] = id;
  if (sys->bonePool) gltfBonePoolDeferDestroy(sys->bonePool);
  memFree(sys->bones);
  sys->bonePool = pool;
  sys->bones = bones;
  sys->bonesPerSkeleton = maxJoints;
}

Entity modelSystemSpawn(ModelSystem* sys, Ecs* ecs, u32 modelIdx, v3f position, v4f rotation) {
  GltfModel* m = modelAt(sys, modelIdx);
  if (!m || !ecs || m->meshCount == 0) return 0;
  const b8 skinned = m->skinCount > 0;
  if (skinned && sys->bonePoolNextSlot >= sys->maxInstances) return 0;
  Entity e = ecsCreate(ecs);
  if (!e) return 0;
  if (ecsAttach(ecs, ECS_SYS_MODEL, e) < 0) {
    ecsEntityDestroy(ecs, e);
    return 0;
  }
  auto* c = static_cast<ModelComp*>(ecsGetComponent(ecs, ECS_SYS_MODEL, e));
  *c = ModelComp{};
  c->modelIndex = modelIdx;
  c->position = position;
  c->rotation = rotation;
  c->scale = 1.0f;
  c->animIndex = m->animationCount ? 0 : -1;
  if (skinned) {
    GltfPose* pose = gltfPoseCreate(m->skins[0].jointCount);
    if (!pose || ecsAttach(ecs, ECS_SYS_POSE, e) < 0) {
      gltfPoseDestroy(pose);
      ecsEntityDestroy(ecs, e);
      return 0;
    }
    gltfPoseReset(pose, &m->skins[0]);
    auto* pc = static_cast<PoseComp*>(ecsGetComponent(ecs, ECS_SYS_POSE, e));
    pc->pose = pose;
    pc->bonePoolSlot = sys->bonePoolNextSlot++;
    c->animTime = (f32)pc->bonePoolSlot * 0.5f;
  }
  return e;
}

void modelSystemUpdate(ModelSystem* sys, Ecs* ecs, f32 dt, const Snapshot* snap) {
  if (!sys || !ecs) return;
  Entity list[kModelMaxVisible];
  const u32 n = ecsQuery(ecs, kModelBit | kPoseBit, list, kModelMaxVisible);
  for (u32 i = 0; i < n; i++) {
    const Entity e = list[i];
    auto* c = static_cast<ModelComp*>(ecsGetComponent(ecs, ECS_SYS_MODEL, e));
    auto* pc = static_cast<PoseComp*>(ecsGetComponent(ecs, ECS_SYS_POSE, e));
    GltfModel* m = c ? modelAt(sys, c->modelIndex) : nullptr;
    if (!m || !pc || !pc->pose || m->skinCount == 0) continue;
    const GltfSkin* skin = &m->skins[0];
    auto* rc = static_cast<RagdollComp*>(ecsGetComponent(ecs, ECS_SYS_RAGDOLL, e));
    const b8 ragdoll = rc && rc->ragdoll && rc->ragdoll->isActive;
    if (ragdoll) {
      ragdollUpdatePose(rc->ragdoll, pc->pose, skin, snap);
    } else if (c->animIndex >= 0 && (u32)c->animIndex < m->animationCount) {
      c->animTime += dt;
      gltfPoseResetLocals(pc->pose, skin);
      gltfAnimatePose(pc->pose, skin, &m->animations[c->animIndex], c->animTime);
    }
    if (!sys->bones || pc->bonePoolSlot >= sys->maxInstances || pc->pose->jointCount == 0) continue;
    mat4f32* dst = sys->bones + (u64)pc->bonePoolSlot * sys->bonesPerSkeleton;
    // Never past this slot's matrices, whatever the pose holds.
    const u32 count = pc->pose->jointCount < sys->bonesPerSkeleton ? pc->pose->jointCount : sys->bonesPerSkeleton;
    if (ragdoll) {
      std::memcpy(dst, pc->pose->skinMatrices, sizeof(mat4f32) * count);
      continue;
    }
    // World matrices straight in world space (the placement folded into the
    // root), then skin = world * inverse bind into the bone slot. The pose's
    // world matrices are left in world space; activation recomputes model space.
    GltfPose* pose = pc->pose;
    const u32 n = pose->jointCount < skin->jointCount ? pose->jointCount : skin->jointCount;
    const mat4f32 root = gltfMat4Mul(instanceMatrix(*c, false), skin->rootTransform);
    for (u32 k = 0; k < skin->jointCount; k++) {
      const u32 j = skin->order ? skin->order[k] : k;
      if (j >= n) continue;
      const i32 parent = skin->joints[j].parent;
      pose->worldTransforms[j] = gltfMat4Mul((parent >= 0 && (u32)parent < n) ? pose->worldTransforms[parent] : root,
                                             pose->localTransforms[j]);
      if (j < count) dst[j] = gltfMat4Mul(pose->worldTransforms[j], skin->joints[j].inverseBindMatrix);
    }
  }
}

void modelSystemBeginFrame(ModelSystem* sys) {
  if (!sys || !sys->renderer) return;
  sys->frameSlot = (u32)(sys->renderer->currentFrame % kModelFrameSlots);
  sys->rangeNext = 0;
  sys->drawCalls = 0;
  // This frame's fence has been waited for: its half of the bone pool is free.
  if (sys->bonePool && sys->bones && sys->bonePoolNextSlot > 0) {
    mat4f32* dst = gltfBonePoolGetInstance(sys->bonePool, sys->frameSlot * sys->maxInstances);
    if (dst) std::memcpy(dst, sys->bones, sizeof(mat4f32) * (u64)sys->bonePoolNextSlot * sys->bonesPerSkeleton);
  }
}

void modelSystemDraw(ModelSystem* sys, Ecs* ecs, VkCommandBuffer cmd, const mat4f32& vp, VkDescriptorSet lightSet,
                     const v4* planes, VkDeviceAddress lightDataAddr, const Snapshot* snap) {
  if (!sys || !ecs || !cmd || !sys->gpuReady || !sys->vertexPool->buffer || !sys->indexPool->buffer) return;
  static Visible v;  // frame thread only: see collect()
  collect(sys, ecs, planes, snap, &v);
  u32 bound = 0xFFFFFFFFu;
  // Static instances, one draw per primitive per model.
  VkDeviceAddress rangeAddr = 0;
  mat4f32* range = v.staticCount ? takeRange(sys, &rangeAddr) : nullptr;
  if (range) {
    u32 offset = 0;
    for (u32 i = 0; i < v.staticCount && offset < sys->maxInstances;) {
      const u32 modelIndex = v.statics[i].modelIndex;
      u32 end = i;
      while (end < v.staticCount && v.statics[end].modelIndex == modelIndex) end++;
      u32 count = end - i;
      if (offset + count > sys->maxInstances) count = sys->maxInstances - offset;
      for (u32 k = 0; k < count; k++) {
        const Entity e = v.staticEntities[v.statics[i + k].compIdx];
        const auto* c = static_cast<const ModelComp*>(ecsGetComponent(ecs, ECS_SYS_MODEL, e));
        range[offset + k] = instanceMatrix(*c, true);
      }
      const GltfModel* m = sys->models[modelIndex];
      for (u32 mi = 0; mi < m->meshCount; mi++)
        for (u32 pi = 0; pi < m->meshes[mi].primitiveCount; pi++) {
          const GltfPrimitive& p = m->meshes[mi].primitives[pi];
          if (p.isSkinned) continue;
          const u32 slot = p.topology == VK_PRIMITIVE_TOPOLOGY_TRIANGLE_STRIP ? sys->pipelineInstancedStaticStrip
                                                                             : sys->pipelineInstancedStatic;
          if (!bindSlot(sys, cmd, slot, &bound, lightSet)) continue;
          InstancedPush push{};
          push.s.mvp = vp;
          push.s.origin[0] = p.transform.origin.x, push.s.origin[1] = p.transform.origin.y;
          push.s.origin[2] = p.transform.origin.z, push.s.scale = p.transform.scale;
          materialValues(m, p.materialIndex, push.s.baseColorFactor, &push.s.alphaCutoff, &push.s.textureIndex);
          push.s.lightDataAddr = lightDataAddr;
          push.instanceAddr = rangeAddr;
          vkCmdPushConstants(cmd, pipelinesGet(sys->pipelines, slot)->layout,
                             VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof push, &push);
          bindGeometry(sys, cmd, p);
          vkCmdDrawIndexed(cmd, p.indexCount, count, 0, 0, offset);
          sys->drawCalls++;
        }
      offset += count;
      i = end;
    }
  }
  // Skinned (and other posed) instances one by one.
  for (u32 i = 0; i < v.skinnedCount; i++) {
    const Entity e = v.skinned[i];
    const auto* c = static_cast<const ModelComp*>(ecsGetComponent(ecs, ECS_SYS_MODEL, e));
    const auto* pc = static_cast<const PoseComp*>(ecsGetComponent(ecs, ECS_SYS_POSE, e));
    const GltfModel* m = modelAt(sys, c->modelIndex);
    const b8 haveBones = pc && sys->bonePool && pc->bonePoolSlot < sys->maxInstances;
    const mat4f32 mvp = gltfMat4Mul(vp, instanceMatrix(*c, true));
    for (u32 mi = 0; mi < m->meshCount; mi++)
      for (u32 pi = 0; pi < m->meshes[mi].primitiveCount; pi++) {
        const GltfPrimitive& p = m->meshes[mi].primitives[pi];
        const b8 strip = p.topology == VK_PRIMITIVE_TOPOLOGY_TRIANGLE_STRIP;
        if (p.isSkinned) {
          if (!haveBones) continue;
          const u32 slot = strip ? sys->pipelineSkinnedStrip : sys->pipelineSkinned;
          if (!bindSlot(sys, cmd, slot, &bound, lightSet)) continue;
          SkinnedPush push{};
          push.mvp = vp;
          push.origin[0] = p.transform.origin.x, push.origin[1] = p.transform.origin.y;
          push.origin[2] = p.transform.origin.z, push.scale = p.transform.scale;
          push.boneAddr = boneAddress(sys, pc->bonePoolSlot);
          materialValues(m, p.materialIndex, push.baseColorFactor, &push.alphaCutoff, &push.textureIndex);
          push.lightDataAddr = lightDataAddr;
          vkCmdPushConstants(cmd, pipelinesGet(sys->pipelines, slot)->layout,
                             VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof push, &push);
        } else {
          const u32 slot = strip ? sys->pipelineStaticStrip : sys->pipelineStatic;
          if (!bindSlot(sys, cmd, slot, &bound, lightSet)) continue;
          StaticPush push{};
          push.mvp = mvp;
          push.origin[0] = p.transform.origin.x, push.origin[1] = p.transform.origin.y;
          push.origin[2] = p.transform.origin.z, push.scale = p.transform.scale;
          materialValues(m, p.materialIndex, push.baseColorFactor, &push.alphaCutoff, &push.textureIndex);
          push.lightDataAddr = lightDataAddr;
          vkCmdPushConstants(cmd, pipelinesGet(sys->pipelines, slot)->layout,
                             VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof push, &push);
        }
        bindGeometry(sys, cmd, p);
        vkCmdDrawIndexed(cmd, p.indexCount, 1, 0, 0, 0);
        sys->drawCalls++;
      }
  }
}

void modelSystemDrawShadow(ModelSystem* sys, Ecs* ecs, VkCommandBuffer cmd, const mat4f32& lightVP, Lighting* l,
                           const Snapshot* snap) {
  if (!sys || !ecs || !cmd || !l || !sys->vertexPool->buffer || !sys->indexPool->buffer) return;
  static Visible v;  // frame thread only: see collect()
  collect(sys, ecs, nullptr, snap, &v);
  VkPipeline boundPipe = VK_NULL_HANDLE;
  auto bindShadow = [&](VkPipeline p, VkPipelineLayout layout) {
    if (!p) return false;
    if (boundPipe != p) {
      vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, p);
      VkDescriptorSet sets[2] = {l->emptyDescSet, l->emptyDescSet};
      vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, layout, 0, 2, sets, 0, nullptr);
      boundPipe = p;
    }
    return true;
  };
  VkDeviceAddress rangeAddr = 0;
  mat4f32* range = v.staticCount ? takeRange(sys, &rangeAddr) : nullptr;
  if (range) {
    u32 offset = 0;
    for (u32 i = 0; i < v.staticCount && offset < sys->maxInstances;) {
      const u32 modelIndex = v.statics[i].modelIndex;
      u32 end = i;
      while (end < v.staticCount && v.statics[end].modelIndex == modelIndex) end++;
      u32 count = end - i;
      if (offset + count > sys->maxInstances) count = sys->maxInstances - offset;
      for (u32 k = 0; k < count; k++) {
        const Entity e = v.staticEntities[v.statics[i + k].compIdx];
        range[offset + k] = instanceMatrix(*static_cast<const ModelComp*>(ecsGetComponent(ecs, ECS_SYS_MODEL, e)), true);
      }
      const GltfModel* m = sys->models[modelIndex];
      for (u32 mi = 0; mi < m->meshCount; mi++)
        for (u32 pi = 0; pi < m->meshes[mi].primitiveCount; pi++) {
          const GltfPrimitive& p = m->meshes[mi].primitives[pi];
          // The shadow pipelines draw triangle lists only.
          if (p.isSkinned || p.topology != VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST) continue;
          if (!bindShadow(l->shadowInstancedGltfPipeline, l->shadowInstancedGltfLayout)) continue;
          ShadowPush push{lightVP, {p.transform.origin.x, p.transform.origin.y, p.transform.origin.z}, p.transform.scale,
                          rangeAddr};
          vkCmdPushConstants(cmd, l->shadowInstancedGltfLayout, VK_SHADER_STAGE_VERTEX_BIT, 0, 88, &push);
          bindGeometry(sys, cmd, p);
          vkCmdDrawIndexed(cmd, p.indexCount, count, 0, 0, offset);
          sys->drawCalls++;
        }
      offset += count;
      i = end;
    }
  }
  for (u32 i = 0; i < v.skinnedCount; i++) {
    const Entity e = v.skinned[i];
    const auto* c = static_cast<const ModelComp*>(ecsGetComponent(ecs, ECS_SYS_MODEL, e));
    const auto* pc = static_cast<const PoseComp*>(ecsGetComponent(ecs, ECS_SYS_POSE, e));
    const GltfModel* m = modelAt(sys, c->modelIndex);
    const b8 haveBones = pc && sys->bonePool && pc->bonePoolSlot < sys->maxInstances;
    const mat4f32 mvp = gltfMat4Mul(lightVP, instanceMatrix(*c, true));
    for (u32 mi = 0; mi < m->meshCount; mi++)
      for (u32 pi = 0; pi < m->meshes[mi].primitiveCount; pi++) {
        const GltfPrimitive& p = m->meshes[mi].primitives[pi];
        if (p.topology != VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST) continue;
        ShadowPush push{p.isSkinned ? lightVP : mvp,
                        {p.transform.origin.x, p.transform.origin.y, p.transform.origin.z},
                        p.transform.scale,
                        0};
        if (p.isSkinned) {
          if (!haveBones || !bindShadow(l->shadowSkinnedPipeline, l->shadowSkinnedLayout)) continue;
          push.addr = boneAddress(sys, pc->bonePoolSlot);
          vkCmdPushConstants(cmd, l->shadowSkinnedLayout, VK_SHADER_STAGE_VERTEX_BIT, 0, 88, &push);
        } else {
          if (!bindShadow(l->shadowGltfPipeline, l->shadowGltfLayout)) continue;
          vkCmdPushConstants(cmd, l->shadowGltfLayout, VK_SHADER_STAGE_VERTEX_BIT, 0, 80, &push);
        }
        bindGeometry(sys, cmd, p);
        vkCmdDrawIndexed(cmd, p.indexCount, 1, 0, 0, 0);
        sys->drawCalls++;
      }
  }
}

namespace {
VkDeviceAddress poolAddress(VkDevice device, VkBuffer buffer) {
  VkBufferDeviceAddressInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_BUFFER_DEVICE_ADDRESS_INFO;
  ai.buffer = buffer;
  return vkGetBufferDeviceAddress(device, &ai);
}
}  // namespace

void modelSystemAddToTlas(ModelSystem* sys, Ecs* ecs, Lighting* l) {
  if (!sys || !ecs || !l || !l->tlas.as || !sys->vertexPool->buffer || !sys->indexPool->buffer) return;
  static Visible v;  // frame thread only: see collect()
  collect(sys, ecs, nullptr, nullptr, &v);
  VkDevice dev = sys->renderer->device;
  const VkDeviceAddress vbase = poolAddress(dev, sys->vertexPool->buffer);
  const VkDeviceAddress ibase = poolAddress(dev, sys->indexPool->buffer);
  for (u32 i = 0; i < v.staticCount; i++) {
    GltfModel* m = sys->models[v.statics[i].modelIndex];
    const Entity e = v.staticEntities[v.statics[i].compIdx];
    const mat4f32 inst = instanceMatrix(*static_cast<const ModelComp*>(ecsGetComponent(ecs, ECS_SYS_MODEL, e)), true);
    for (u32 mi = 0; mi < m->meshCount; mi++)
      for (u32 pi = 0; pi < m->meshes[mi].primitiveCount; pi++) {
        GltfPrimitive& p = m->meshes[mi].primitives[pi];
        if (p.isSkinned || p.topology != VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST) continue;
        // -1: not tried yet; -2: refused (full or failed), not tried again.
        if (p.blasId == -1) {
          // Positions are the first three of four signed 16-bit values (the
          // fourth is the normal's bytes): the structure spans the unit box.
          i32 id = lightingRegisterBlasIndexed(l, vbase + p.vertexAlloc.offset, VK_FORMAT_R16G16B16A16_SNORM, 12,
                                               p.vertexCount, ibase + p.indexAlloc.offset, p.indexType, p.indexCount);
          p.blasId = id >= 0 ? id : -2;
        }
        if (p.blasId < 0) continue;
        const f32 t[3] = {p.transform.origin.x, p.transform.origin.y, p.transform.origin.z};
        const f32 q[4] = {0, 0, 0, 1};
        const f32 sc[3] = {p.transform.scale, p.transform.scale, p.transform.scale};
        const mat4f32 mm = gltfMat4Mul(inst, gltfMat4FromTrs(t, q, sc));
        const f32 x[12] = {mm.m[0], mm.m[4], mm.m[8],  mm.m[12], mm.m[1], mm.m[5],
                           mm.m[9], mm.m[13], mm.m[2], mm.m[6],  mm.m[10], mm.m[14]};
        lightingTlasAdd(l, p.blasId, x);
      }
  }
}

b8 modelSystemActivateRagdoll(ModelSystem* sys, Ecs* ecs, Entity entity, World* world, v3 velocity,
                              const RagdollHumanoidConfig* config) {
  if (!sys || !ecs || !world || !config) return false;
  auto* c = static_cast<ModelComp*>(ecsGetComponent(ecs, ECS_SYS_MODEL, entity));
  auto* pc = static_cast<PoseComp*>(ecsGetComponent(ecs, ECS_SYS_POSE, entity));
  GltfModel* m = c ? modelAt(sys, c->modelIndex) : nullptr;
  if (!m || !pc || !pc->pose || m->skinCount == 0) return false;
  if (ecsHas(ecs, ECS_SYS_RAGDOLL, entity)) return false;  // already a ragdoll
  Ragdoll* r = ragdollCreateHumanoid(world, &m->skins[0], config);
  if (!r) return false;
  if (ecsAttach(ecs, ECS_SYS_RAGDOLL, entity) < 0) {
    ragdollDestroy(r);
    return false;
  }
  static_cast<RagdollComp*>(ecsGetComponent(ecs, ECS_SYS_RAGDOLL, entity))->ragdoll = r;
  // The update leaves world matrices in world space: model space again first.
  gltfComputeSkinMatrices(pc->pose, &m->skins[0]);
  ragdollActivate(r, pc->pose, &m->skins[0], velocity, c->position, c->rotation);
  return true;
}

void modelSystemCleanup(ModelSystem* sys, Ecs* ecs) {
  if (!sys || !ecs) return;
  Entity list[kModelMaxVisible];
  u32 n = ecsQuery(ecs, kPoseBit, list, kModelMaxVisible);
  for (u32 i = 0; i < n; i++) {
    auto* pc = static_cast<PoseComp*>(ecsGetComponent(ecs, ECS_SYS_POSE, list[i]));
    if (pc) {
      gltfPoseDestroy(pc->pose);
      pc->pose = nullptr;
    }
  }
  n = ecsQuery(ecs, 1u << ECS_SYS_RAGDOLL, list, kModelMaxVisible);
  for (u32 i = 0; i < n; i++) {
    auto* rc = static_cast<RagdollComp*>(ecsGetComponent(ecs, ECS_SYS_RAGDOLL, list[i]));
    if (rc) {
      ragdollDestroy(rc->ragdoll);
      rc->ragdoll = nullptr;
    }
  }
  sys->bonePoolNextSlot = 0;
}

void modelSystemUnloadAll(ModelSystem* sys) {
  if (!sys) return;
  for (u32 i = 0; i < sys->modelCount; i++) gltfDestroy(sys->models[i]);
  sys->modelCount = 0;
  if (sys->bonePool) gltfBonePoolDeferDestroy(sys->bonePool);
  sys->bonePool = nullptr;
  memFree(sys->bones);
  sys->bones = nullptr;
  sys->bonesPerSkeleton = 0;
  sys->bonePoolNextSlot = 0;
}

void modelSystemDestroy(ModelSystem* sys, Ecs* ecs) {
  if (!sys) return;
  modelSystemCleanup(sys, ecs);
  for (u32 i = 0; i < sys->modelCount; i++) gltfDestroy(sys->models[i]);
  gltfBonePoolDestroy(sys->bonePool);
  instancePoolDestroy(sys->instancePool);
  memFree(sys->bones);
  memFree(sys->models);
  memFree(sys);
}
