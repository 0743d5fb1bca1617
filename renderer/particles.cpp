#include "renderer/particles.h"

#include <cmath>
#include <cstring>

#include "platform/memory.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"
#include "renderer/vram.h"

namespace {

constexpr VkShaderStageFlags kAllStages =
    VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT | VK_SHADER_STAGE_COMPUTE_BIT;
constexpr u32 kSpriteSize = 64;
constexpr VkMemoryPropertyFlags kHostMemory =
    VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
constexpr VkDeviceSize kUpdateChunk = 65536;  // vkCmdUpdateBuffer's limit per call

struct DrawCommand {
  u32 vertexCount, instanceCount, firstVertex, firstInstance;
};

mat4f32 identity4() {
  mat4f32 m{};
  m.m[0] = m.m[5] = m.m[10] = m.m[15] = 1.0f;
  return m;
}

b8 createBuffer(ParticleSystem* ps, ParticleBuffer* b, VkDeviceSize size, VkBufferUsageFlags usage, b8 host) {
  *b = ParticleBuffer{};
  if (!vramCreateBuffer(ps->device, size, usage, host ? kHostMemory : (VkMemoryPropertyFlags)VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT,
                        &b->buffer, &b->memory, &b->allocatedSize))
    return false;
  b->size = size;
  if (host) {
    if (vkMapMemory(ps->device, b->memory, 0, VK_WHOLE_SIZE, 0, &b->mapped) != VK_SUCCESS) return false;
    std::memset(b->mapped, 0, (size_t)size);
  }
  return true;
}

void destroyBuffer(ParticleSystem* ps, ParticleBuffer* b) {
  if (b->mapped) vkUnmapMemory(ps->device, b->memory);
  if (b->buffer) vkDestroyBuffer(ps->device, b->buffer, nullptr);
  if (b->memory) vramFree(b->memory, b->allocatedSize, b->mapped != nullptr);
  *b = ParticleBuffer{};
}

// The free list holds every index; the pool is cleared so that no stale life
// makes the first simulation push indices the free list already holds.
b8 uploadInitialContents(ParticleSystem* ps) {
  VkDeviceSize bytes = (VkDeviceSize)ps->maxParticles * sizeof(u32);
  ParticleBuffer staging{};
  if (!createBuffer(ps, &staging, bytes, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, true)) {
    destroyBuffer(ps, &staging);
    return false;
  }
  u32* idx = static_cast<u32*>(staging.mapped);
  for (u32 i = 0; i < ps->maxParticles; i++) idx[i] = i;
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(ps->renderer);
  if (!cmd) {
    destroyBuffer(ps, &staging);
    return false;
  }
  VkBufferCopy region{0, 0, bytes};
  vkCmdCopyBuffer(cmd, staging.buffer, ps->freeIndices.buffer, 1, &region);
  vkCmdFillBuffer(cmd, ps->particles.buffer, 0, VK_WHOLE_SIZE, 0);
  vkCmdFillBuffer(cmd, ps->drawIndices.buffer, 0, VK_WHOLE_SIZE, 0);
  vkCmdFillBuffer(cmd, ps->emitters.buffer, 0, VK_WHOLE_SIZE, 0);
  rendererEndOneTimeCommands(ps->renderer, cmd);
  destroyBuffer(ps, &staging);
  *static_cast<i32*>(ps->freeCount.mapped) = (i32)ps->maxParticles;
  *static_cast<DrawCommand*>(ps->indirect.mapped) = DrawCommand{6, 0, 0, 0};
  return true;
}

// A soft round spot, white, alpha falling off to the edge.
b8 createSprite(ParticleSystem* ps) {
  auto* px = static_cast<u8*>(memAlloc(kSpriteSize * kSpriteSize * 4));
  if (!px) return false;
  for (u32 y = 0; y < kSpriteSize; y++)
    for (u32 x = 0; x < kSpriteSize; x++) {
      f32 dx = ((f32)x + 0.5f) / kSpriteSize * 2.0f - 1.0f, dy = ((f32)y + 0.5f) / kSpriteSize * 2.0f - 1.0f;
      f32 r = std::sqrt(dx * dx + dy * dy);
      f32 a = r >= 1.0f ? 0.0f : (r <= 0.5f ? 1.0f : 1.0f - (r - 0.5f) * 2.0f);
      u8* p = px + (y * kSpriteSize + x) * 4;
      p[0] = p[1] = p[2] = 255;
      p[3] = (u8)std::lround(a * 255.0f);
    }
  b8 ok = textureCreateFromRgba(px, kSpriteSize, kSpriteSize, &ps->sprite, ps->renderer);
  memFree(px);
  return ok;
}

b8 createDescriptors(ParticleSystem* ps) {
  VkDescriptorSetLayoutBinding b[7] = {
      {0, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, kAllStages, nullptr},
      {1, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr},
      {2, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr},
      {3, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_COMPUTE_BIT, nullptr},
      {4, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr},
      {5, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr},
      {6, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1, VK_SHADER_STAGE_FRAGMENT_BIT, nullptr},
  };
  ps->setLayout = rendererCreateDescriptorSetLayout(ps->renderer, b, 7);
  if (!ps->setLayout) return false;
  VkDescriptorPoolSize sizes[2] = {{VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 6},
                                   {VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1}};
  ps->descriptorPool = rendererCreateDescriptorPool(ps->renderer, sizes, 2, 1);
  if (!ps->descriptorPool) return false;
  ps->descriptorSet = rendererAllocDescriptorSet(ps->renderer, ps->descriptorPool, ps->setLayout);
  if (!ps->descriptorSet) return false;
  const ParticleBuffer* bufs[6] = {&ps->particles, &ps->freeIndices, &ps->freeCount,
                                   &ps->drawIndices, &ps->emitters,    &ps->indirect};
  VkDescriptorBufferInfo infos[6];
  VkWriteDescriptorSet writes[6];
  for (u32 i = 0; i < 6; i++) {
    infos[i] = {bufs[i]->buffer, 0, VK_WHOLE_SIZE};
    writes[i] = VkWriteDescriptorSet{};
    writes[i].sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
    writes[i].dstSet = ps->descriptorSet;
    writes[i].dstBinding = i;
    writes[i].descriptorCount = 1;
    writes[i].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    writes[i].pBufferInfo = &infos[i];
  }
  vkUpdateDescriptorSets(ps->device, 6, writes, 0, nullptr);
  rendererUpdateDescriptorImage(ps->renderer, ps->descriptorSet, 6, ps->sprite.sampler, ps->sprite.view);
  return true;
}

b8 createPipelines(ParticleSystem* ps) {
  u64 vertSize = 0, fragSize = 0;
  const u32* vert = rendererLoadShader("shaders/particle.vert.spv", &vertSize);
  const u32* frag = rendererLoadShader("shaders/particle.frag.spv", &fragSize);
  if (!vert || !frag) return false;
  VkPushConstantRange push{kAllStages, 0, sizeof(ParticleFrame)};
  PipelineConfig c{};
  c.vertCode = vert;
  c.vertSize = vertSize;
  c.fragCode = frag;
  c.fragSize = fragSize;
  c.descriptorSetLayouts = &ps->setLayout;
  c.descriptorSetLayoutCount = 1;
  c.pushConstants = &push;
  c.pushConstantCount = 1;
  c.cullMode = VK_CULL_MODE_NONE;
  c.depthTest = true;
  c.depthWrite = false;
  c.blendEnable = true;
  c.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  // One layout (the set and the push range) serves the compute pipelines too.
  if (!rendererCreatePipeline(ps->renderer, &c, &ps->pipelineLayout, &ps->renderPipeline)) return false;
  if (!pipelineCreateCompute(ps->renderer, ps->pipelineLayout, "shaders/particle_emit.comp.spv", &ps->emitPipeline))
    return false;
  return pipelineCreateCompute(ps->renderer, ps->pipelineLayout, "shaders/particle_sim.comp.spv", &ps->simPipeline);
}

b8 validIndex(const ParticleSystem* ps, u32 index) { return ps && ps->runtimeEmitters && index < ps->emitterCount; }

void setVec(v4f* out, f32 x, f32 y, f32 z, f32 w) { *out = v4f{x, y, z, w}; }

ParticleEmitter preset(v3 position, const f32 maxOffset[3], const f32 minVel[3], const f32 maxVel[3],
                       const f32 minAcc[3], const f32 maxAcc[3], const f32 minColor[4], const f32 maxColor[4],
                       const f32 lifeSize[4], f32 rate, f32 shape) {
  ParticleEmitter e;
  particleEmitterInit(&e);
  e.model.m[12] = (f32)position.x, e.model.m[13] = (f32)position.y, e.model.m[14] = (f32)position.z;
  setVec(&e.maxOffset, maxOffset[0], maxOffset[1], maxOffset[2], 0);
  setVec(&e.minVelocity, minVel[0], minVel[1], minVel[2], 0);
  setVec(&e.maxVelocity, maxVel[0], maxVel[1], maxVel[2], 0);
  setVec(&e.minAccel, minAcc[0], minAcc[1], minAcc[2], 0);
  setVec(&e.maxAccel, maxAcc[0], maxAcc[1], maxAcc[2], 0);
  setVec(&e.minColor, minColor[0], minColor[1], minColor[2], minColor[3]);
  setVec(&e.maxColor, maxColor[0], maxColor[1], maxColor[2], maxColor[3]);
  setVec(&e.lifeSize, lifeSize[0], lifeSize[1], lifeSize[2], lifeSize[3]);
  setVec(&e.spawn, rate, 0, shape, 1);
  return e;
}

void pushFrame(const ParticleSystem* ps, VkCommandBuffer cmd, const ParticleFrame* f) {
  vkCmdPushConstants(cmd, ps->pipelineLayout, kAllStages, 0, sizeof(ParticleFrame), f);
}

void memoryBarrier(VkCommandBuffer cmd, VkPipelineStageFlags src, VkAccessFlags srcAccess, VkPipelineStageFlags dst,
                   VkAccessFlags dstAccess) {
  VkMemoryBarrier b{};
  b.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
  b.srcAccessMask = srcAccess;
  b.dstAccessMask = dstAccess;
  vkCmdPipelineBarrier(cmd, src, dst, 0, 1, &b, 0, nullptr, 0, nullptr);
}

}  // namespace

void particleEmitterInit(ParticleEmitter* e) {
  if (!e) return;
  *e = ParticleEmitter{};
  e->model = identity4();
  e->rotation = identity4();
  e->minColor = v4f{1, 1, 1, 1};
  e->maxColor = v4f{1, 1, 1, 0};
  e->lifeSize = v4f{1, 1, 0.1f, 0.1f};
}

ParticleEmitter particleEmitterFire(v3 p) {
  const f32 off[3] = {0.15f, 0.15f, 0.15f}, v0[3] = {-0.2f, 1.8f, -0.2f}, v1[3] = {0.2f, 3.2f, 0.2f};
  const f32 a0[3] = {0, 0.8f, 0}, a1[3] = {0, 1.8f, 0};
  const f32 c0[4] = {1, 0.75f, 0.15f, 1}, c1[4] = {0.1f, 0.02f, 0.01f, 0}, ls[4] = {0.45f, 1.05f, 0.05f, 0.12f};
  return preset(p, off, v0, v1, a0, a1, c0, c1, ls, 80, 3);
}

ParticleEmitter particleEmitterSmoke(v3 p) {
  const f32 off[3] = {0.25f, 0.12f, 0.25f}, v0[3] = {-0.18f, 0.35f, -0.18f}, v1[3] = {0.18f, 1.0f, 0.18f};
  const f32 a0[3] = {-0.02f, 0.05f, -0.02f}, a1[3] = {0.02f, 0.15f, 0.02f};
  const f32 c0[4] = {0.25f, 0.25f, 0.25f, 0.75f}, c1[4] = {0.06f, 0.06f, 0.06f, 0}, ls[4] = {2.5f, 5.5f, 0.18f, 0.6f};
  return preset(p, off, v0, v1, a0, a1, c0, c1, ls, 24, 1);
}

ParticleEmitter particleEmitterCloud(v3 p) {
  const f32 off[3] = {1.5f, 0.5f, 1.5f}, v0[3] = {-0.05f, 0.02f, -0.05f}, v1[3] = {0.05f, 0.12f, 0.05f};
  const f32 a0[3] = {-0.01f, 0, -0.01f}, a1[3] = {0.01f, 0.03f, 0.01f};
  const f32 c0[4] = {0.9f, 0.9f, 0.95f, 0.6f}, c1[4] = {0.75f, 0.75f, 0.8f, 0}, ls[4] = {6, 14, 0.6f, 2.2f};
  return preset(p, off, v0, v1, a0, a1, c0, c1, ls, 5, 1);
}

ParticleEmitter particleEmitterWater(v3 p) {
  const f32 off[3] = {0.15f, 0.15f, 0.15f}, v0[3] = {-0.15f, -2.5f, -0.15f}, v1[3] = {0.15f, -1.0f, 0.15f};
  const f32 a0[3] = {0, -4, 0}, a1[3] = {0, -2, 0};
  const f32 c0[4] = {0.35f, 0.65f, 1, 1}, c1[4] = {0.08f, 0.18f, 0.5f, 0}, ls[4] = {0.4f, 1.0f, 0.04f, 0.12f};
  return preset(p, off, v0, v1, a0, a1, c0, c1, ls, 120, 2);
}

ParticleEmitter particleEmitterExplosion(v3 p) {
  const f32 off[3] = {0.18f, 0.18f, 0.18f}, v0[3] = {-10, -2, -10}, v1[3] = {10, 8, 10};
  const f32 a0[3] = {0, -4, 0}, a1[3] = {0, -1, 0};
  const f32 c0[4] = {1, 0.9f, 0.25f, 1}, c1[4] = {0.15f, 0.05f, 0.01f, 0}, ls[4] = {0.2f, 0.8f, 0.04f, 0.14f};
  return preset(p, off, v0, v1, a0, a1, c0, c1, ls, 0, 2);
}

b8 particleSystemInit(ParticleSystem* ps, Renderer* r, u32 maxParticles, u32 maxEmitters) {
  if (!ps) return false;
  *ps = ParticleSystem{};
  if (!r || !r->device || maxParticles == 0 || maxEmitters == 0 || maxParticles > (1u << 26) ||
      maxEmitters > (1u << 16))
    return false;
  ps->renderer = r;
  ps->device = r->device;
  ps->physicalDevice = r->physicalDevice;
  ps->maxParticles = maxParticles;
  ps->maxEmitters = maxEmitters;
  ps->frameSeed = 1;
  ps->runtimeEmitters =
      static_cast<ParticleRuntimeEmitter*>(memCalloc(maxEmitters, sizeof(ParticleRuntimeEmitter)));
  ps->frameEmitters = static_cast<ParticleEmitter*>(memCalloc(maxEmitters, sizeof(ParticleEmitter)));
  VkDeviceSize indexBytes = ((VkDeviceSize)maxParticles * 4 + 15) & ~(VkDeviceSize)15;
  constexpr VkBufferUsageFlags kStorage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
  // Transfer usage on the device-local ones: filled at start, read back by tests.
  constexpr VkBufferUsageFlags kCopy = VK_BUFFER_USAGE_TRANSFER_DST_BIT | VK_BUFFER_USAGE_TRANSFER_SRC_BIT;
  b8 ok = ps->runtimeEmitters && ps->frameEmitters &&
          createBuffer(ps, &ps->particles, (VkDeviceSize)maxParticles * kParticleBytes, kStorage | kCopy, false) &&
          createBuffer(ps, &ps->freeIndices, indexBytes, kStorage | kCopy, false) &&
          createBuffer(ps, &ps->freeCount, 4, kStorage, true) &&
          createBuffer(ps, &ps->drawIndices, indexBytes, kStorage | kCopy, false) &&
          createBuffer(ps, &ps->emitters, (VkDeviceSize)maxEmitters * sizeof(ParticleEmitter), kStorage | kCopy,
                       false) &&
          createBuffer(ps, &ps->indirect, sizeof(DrawCommand),
                       kStorage | VK_BUFFER_USAGE_INDIRECT_BUFFER_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT, true) &&
          uploadInitialContents(ps) && createSprite(ps) && createDescriptors(ps) && createPipelines(ps);
  if (!ok) particleSystemDestroy(ps);
  return ok;
}

void particleSystemDestroy(ParticleSystem* ps) {
  if (!ps || !ps->device) {
    if (ps) {
      memFree(ps->runtimeEmitters);
      memFree(ps->frameEmitters);
      *ps = ParticleSystem{};
    }
    return;
  }
  VkDevice d = ps->device;
  if (ps->renderPipeline) vkDestroyPipeline(d, ps->renderPipeline, nullptr);
  if (ps->emitPipeline) vkDestroyPipeline(d, ps->emitPipeline, nullptr);
  if (ps->simPipeline) vkDestroyPipeline(d, ps->simPipeline, nullptr);
  if (ps->pipelineLayout) vkDestroyPipelineLayout(d, ps->pipelineLayout, nullptr);
  if (ps->descriptorPool) vkDestroyDescriptorPool(d, ps->descriptorPool, nullptr);
  if (ps->setLayout) vkDestroyDescriptorSetLayout(d, ps->setLayout, nullptr);
  ParticleBuffer* bufs[6] = {&ps->particles, &ps->freeIndices, &ps->freeCount,
                             &ps->drawIndices, &ps->emitters,    &ps->indirect};
  for (ParticleBuffer* b : bufs) destroyBuffer(ps, b);
  if (ps->sprite.image) textureDestroy(&ps->sprite, ps->renderer);
  memFree(ps->runtimeEmitters);
  memFree(ps->frameEmitters);
  *ps = ParticleSystem{};
}

u32 particleSystemAddEmitter(ParticleSystem* ps, const ParticleEmitter* emitter) {
  if (!ps || !emitter || !ps->runtimeEmitters || ps->emitterCount >= ps->maxEmitters) return kParticleNoEmitter;
  ParticleRuntimeEmitter& rt = ps->runtimeEmitters[ps->emitterCount];
  rt.emitter = *emitter;
  rt.accumulator = 0.0f;
  rt.pendingBurst = 0;
  rt.enabled = true;
  return ps->emitterCount++;
}

void particleSystemSetEmitter(ParticleSystem* ps, u32 index, const ParticleEmitter* emitter) {
  if (!validIndex(ps, index) || !emitter) return;
  ps->runtimeEmitters[index].emitter = *emitter;
  ps->runtimeEmitters[index].enabled = true;
}

void particleSystemSetEmitterEnabled(ParticleSystem* ps, u32 index, b8 enabled) {
  if (!validIndex(ps, index)) return;
  ps->runtimeEmitters[index].enabled = enabled;
  ps->runtimeEmitters[index].emitter.spawn.w = enabled ? 1.0f : 0.0f;
}

void particleSystemBurst(ParticleSystem* ps, u32 index, u32 count) {
  if (!validIndex(ps, index)) return;
  u32& pending = ps->runtimeEmitters[index].pendingBurst;
  pending = count > ps->maxParticles - pending ? ps->maxParticles : pending + count;  // no wrap-around
}

void particleSystemSetFrame(ParticleSystem* ps, const ParticleFrame* frame) {
  if (!ps || !frame || !ps->runtimeEmitters) return;
  ps->frame = *frame;
  ps->frameSeed++;
  f32 dt = frame->cameraPosDt.w;
  for (u32 i = 0; i < ps->maxEmitters; i++) {
    ParticleEmitter& out = ps->frameEmitters[i];
    ParticleRuntimeEmitter& rt = ps->runtimeEmitters[i];
    if (i >= ps->emitterCount || !rt.enabled) {
      out = ParticleEmitter{};
      continue;
    }
    f32 rate = rt.emitter.spawn.x;
    f32 total = rt.accumulator + (rate > 0.0f && dt > 0.0f ? rate * dt : 0.0f);
    f32 whole = std::floor(total);
    rt.accumulator = total - whole;
    u64 count = (u64)whole + rt.pendingBurst;
    rt.pendingBurst = 0;
    if (count > ps->maxParticles) count = ps->maxParticles;  // more could never find a free slot
    out = rt.emitter;
    out.spawn.y = (f32)count;
    out.spawn.w = 1.0f;
  }
}

void particleSystemRecord(ParticleSystem* ps, VkCommandBuffer cmd) {
  if (!ps || !cmd || !ps->emitPipeline) return;
  // The previous frame's passes and draw are done with these buffers before this
  // frame rewrites the emitters and the count and spawns into the pool.
  memoryBarrier(cmd,
                VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT | VK_PIPELINE_STAGE_DRAW_INDIRECT_BIT |
                    VK_PIPELINE_STAGE_VERTEX_SHADER_BIT | VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT,
                VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT | VK_ACCESS_INDIRECT_COMMAND_READ_BIT,
                VK_PIPELINE_STAGE_TRANSFER_BIT | VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT,
                VK_ACCESS_TRANSFER_WRITE_BIT | VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT);
  // Emitter data and the reset draw command travel inside the command buffer, so
  // a frame still in flight keeps what it was given.
  VkDeviceSize emitterBytes = (VkDeviceSize)ps->maxEmitters * sizeof(ParticleEmitter);
  const u8* src = reinterpret_cast<const u8*>(ps->frameEmitters);
  for (VkDeviceSize off = 0; off < emitterBytes; off += kUpdateChunk) {
    VkDeviceSize n = emitterBytes - off < kUpdateChunk ? emitterBytes - off : kUpdateChunk;
    vkCmdUpdateBuffer(cmd, ps->emitters.buffer, off, n, src + off);
  }
  DrawCommand reset{6, 0, 0, 0};
  vkCmdUpdateBuffer(cmd, ps->indirect.buffer, 0, sizeof reset, &reset);
  memoryBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_ACCESS_TRANSFER_WRITE_BIT,
                VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT);

  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, ps->emitPipeline);
  vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, ps->pipelineLayout, 0, 1, &ps->descriptorSet, 0,
                          nullptr);
  for (u32 i = 0; i < ps->emitterCount; i++) {
    u32 count = (u32)ps->frameEmitters[i].spawn.y;
    if (!ps->runtimeEmitters[i].enabled || count == 0) continue;
    ParticleFrame f = ps->frame;
    f.dispatch = v4f{(f32)i, (f32)count, (f32)ps->frameSeed, 0.0f};
    pushFrame(ps, cmd, &f);
    vkCmdDispatch(cmd, (count + kParticleGroupSize - 1) / kParticleGroupSize, 1, 1);
  }
  memoryBarrier(cmd, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_ACCESS_SHADER_WRITE_BIT,
                VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT);
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, ps->simPipeline);
  pushFrame(ps, cmd, &ps->frame);
  vkCmdDispatch(cmd, (ps->maxParticles + kParticleGroupSize - 1) / kParticleGroupSize, 1, 1);
  memoryBarrier(cmd, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_ACCESS_SHADER_WRITE_BIT,
                VK_PIPELINE_STAGE_DRAW_INDIRECT_BIT | VK_PIPELINE_STAGE_VERTEX_SHADER_BIT |
                    VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT,
                VK_ACCESS_INDIRECT_COMMAND_READ_BIT | VK_ACCESS_SHADER_READ_BIT);
}

void particleSystemDraw(ParticleSystem* ps, VkCommandBuffer cmd) {
  if (!ps || !cmd || !ps->renderPipeline) return;
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, ps->renderPipeline);
  vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, ps->pipelineLayout, 0, 1, &ps->descriptorSet, 0,
                          nullptr);
  pushFrame(ps, cmd, &ps->frame);
  vkCmdDrawIndirect(cmd, ps->indirect.buffer, 0, 1, sizeof(DrawCommand));
}

ParticleFrame particleFrameFromCamera(const mat4f32* viewProj, v3 right, v3 up, v3 pos, f32 dt) {
  ParticleFrame f{};
  if (viewProj) f.viewProj = *viewProj;
  f.cameraRight = v4f{(f32)right.x, (f32)right.y, (f32)right.z, 0.0f};
  f.cameraUp = v4f{(f32)up.x, (f32)up.y, (f32)up.z, 0.0f};
  f.cameraPosDt = v4f{(f32)pos.x, (f32)pos.y, (f32)pos.z, dt};
  f.dispatch = v4f{0.0f, 0.0f, 0.0f, -1.0f};
  return f;
}

void particleSystemDrawView(ParticleSystem* ps, VkCommandBuffer cmd, const mat4f32* viewProj, v3 right, v3 up,
                            v3 pos) {
  if (!ps || !cmd || !viewProj || !ps->renderPipeline) return;
  ParticleFrame saved = ps->frame;
  ps->frame = particleFrameFromCamera(viewProj, right, up, pos, saved.cameraPosDt.w);
  particleSystemDraw(ps, cmd);
  ps->frame = saved;
}
