// GPU particles: the CPU describes emitters and how many particles each spawns
// this frame; two compute passes spawn into a fixed pool and simulate it, keeping
// a free list and a compacted list of live particles on the GPU, and one indirect
// draw renders every live particle as a camera-facing quad.
#pragma once

#include "platform/types.h"
#include "platform/vecmath.h"
#include "renderer/texture.h"
#include "renderer/vkloader.h"

struct Renderer;

// Shared with the emit shader (std430): 288 bytes.
struct ParticleEmitter {
  mat4f32 model;     // translation = emitter position
  mat4f32 rotation;  // applied to offsets, velocities and accelerations
  v4f minOffset, maxOffset;
  v4f minVelocity, maxVelocity;
  v4f minAccel, maxAccel;
  v4f minColor, maxColor;  // start colour range; the end colour is maxColor with alpha 0
  v4f lifeSize;            // x, y: lifetime range (s); z, w: size range
  // x: particles per second; y: to spawn this frame (written per frame); z: shape
  // (0 point, 1 box, 2 sphere shell, 3 box with y >= 0); w: 1 when active.
  v4f spawn;
};
static_assert(sizeof(ParticleEmitter) == 288);

// The frame block, also the push constants of all three pipelines: 128 bytes.
struct ParticleFrame {
  mat4f32 viewProj;
  v4f cameraRight;
  v4f cameraUp;
  v4f cameraPosDt;  // camera position, frame time in seconds in w
  v4f dispatch;     // emit pass: emitter index, spawn count, frame seed, 0
};
static_assert(sizeof(ParticleFrame) == 128);

inline constexpr u32 kParticleBytes = 96;  // six vec4 per particle on the GPU
inline constexpr u32 kParticleNoEmitter = 0xFFFFFFFFu;
inline constexpr u32 kParticleGroupSize = 128;

struct ParticleBuffer {
  VkBuffer buffer;
  VkDeviceMemory memory;
  VkDeviceSize size;
  VkDeviceSize allocatedSize;
  void* mapped;  // null for device-local buffers
};

struct ParticleRuntimeEmitter {
  ParticleEmitter emitter;
  f32 accumulator;  // fractional particles carried to the next frame
  u32 pendingBurst;
  b8 enabled;
};

struct ParticleSystem {
  Renderer* renderer;
  VkDevice device;
  VkPhysicalDevice physicalDevice;
  u32 maxParticles;
  u32 maxEmitters;
  u32 emitterCount;
  ParticleBuffer particles;
  ParticleBuffer freeIndices;
  ParticleBuffer freeCount;
  ParticleBuffer drawIndices;
  ParticleBuffer emitters;
  ParticleBuffer indirect;
  ParticleRuntimeEmitter* runtimeEmitters;
  // This frame's emitter records, copied into `emitters` by the recorded
  // commands themselves: the frame still running keeps the data it was given.
  ParticleEmitter* frameEmitters;
  VkDescriptorSetLayout setLayout;
  VkDescriptorPool descriptorPool;
  VkDescriptorSet descriptorSet;
  VkPipelineLayout pipelineLayout;
  VkPipeline renderPipeline;
  VkPipeline emitPipeline;
  VkPipeline simPipeline;
  GltfTexture sprite;
  ParticleFrame frame;
  u32 frameSeed;  // 1 at start, +1 per frame
};

// False (and nothing left behind) on any buffer, descriptor, shader, pipeline or
// sprite failure.
b8 particleSystemInit(ParticleSystem* ps, Renderer* r, u32 maxParticles, u32 maxEmitters);
void particleSystemDestroy(ParticleSystem* ps);

void particleEmitterInit(ParticleEmitter* e);
ParticleEmitter particleEmitterFire(v3 position);
ParticleEmitter particleEmitterSmoke(v3 position);
ParticleEmitter particleEmitterCloud(v3 position);
ParticleEmitter particleEmitterWater(v3 position);
ParticleEmitter particleEmitterExplosion(v3 position);

// Index of the new emitter (enabled), or kParticleNoEmitter for a null emitter or
// when all are in use.
u32 particleSystemAddEmitter(ParticleSystem* ps, const ParticleEmitter* emitter);
// Replaces the description and enables it; out-of-range indices are ignored.
void particleSystemSetEmitter(ParticleSystem* ps, u32 index, const ParticleEmitter* emitter);
void particleSystemSetEmitterEnabled(ParticleSystem* ps, u32 index, b8 enabled);
// Spawned with the next frame in which the emitter is enabled.
void particleSystemBurst(ParticleSystem* ps, u32 index, u32 count);

// Once per frame, in this order: set the frame (spawn counts), record the
// compute passes (outside any render pass), draw (inside the main pass).
void particleSystemSetFrame(ParticleSystem* ps, const ParticleFrame* frame);
void particleSystemRecord(ParticleSystem* ps, VkCommandBuffer cmd);
void particleSystemDraw(ParticleSystem* ps, VkCommandBuffer cmd);
// The same live particles seen through another camera (a split-screen cell).
void particleSystemDrawView(ParticleSystem* ps, VkCommandBuffer cmd, const mat4f32* viewProj, v3 cameraRight,
                            v3 cameraUp, v3 cameraPos);
// A frame block from a camera: view-projection, right and up, position and dt.
ParticleFrame particleFrameFromCamera(const mat4f32* viewProj, v3 cameraRight, v3 cameraUp, v3 cameraPos, f32 dt);
