// What every lit shader needs: the light data block (read through its device
// address), the lighting descriptor set (shadow-map array and, in ray-query mode,
// the top-level acceleration structure), two directional shadow maps with their
// pass and the depth-only shadow pipelines, and the scene's acceleration
// structures for ray-query shadows.
#pragma once

#include "platform/types.h"
#include "platform/vecmath.h"
#include "renderer/dynbuffer.h"
#include "renderer/vkloader.h"

struct Renderer;

struct GPULight {
  v4f direction;  // xyz: toward the light
  v4f color;  // rgb times a
  mat4f32 shadowVP;
  i32 castsShadow;
  i32 shadowIndex;  // shadow-map layer 0 or 1
  f32 _pad[2];
};
static_assert(sizeof(GPULight) == 112);

inline constexpr u32 kMaxLights = 8;
inline constexpr u32 kShadowMapSize = 2048;
inline constexpr u32 kShadowMapLayers = 2;

struct LightUBOData {
  v4f ambient;  // rgb times a
  f32 cameraPos[3];
  i32 lightCount;
  GPULight lights[kMaxLights];
};
static_assert(sizeof(LightUBOData) == 928);

// Bottom-level structures registered once; the per-frame instance list feeds one
// top-level structure rebuilt in place each frame.
inline constexpr u32 kLightingMaxBlas = 64;
inline constexpr u32 kLightingMaxTlasInstances = 16384;

struct LightingBlas {
  VkAccelerationStructureKHR as;
  VkBuffer buffer;
  VkDeviceMemory memory;
  VkDeviceSize memorySize;
  VkDeviceAddress address;
};

struct Lighting {
  LightUBOData data;  // filled by the application each frame
  // Light data per frame in flight: a frame never rewrites bytes the previous one reads.
  FrameDynBuffer ubo;
  VkDeviceAddress uboAddress;  // of the frame being recorded
  VkDescriptorSetLayout setLayout;
  VkDescriptorSetLayout emptySetLayout;
  VkDescriptorPool descPool;
  VkDescriptorSet descSet;
  VkDescriptorSet emptyDescSet;
  b8 setHasTlas;  // setLayout was made with the acceleration-structure binding
  VkAccelerationStructureKHR rayQueryTlas;  // remembered for binding 1
  VkImage shadowImage;
  VkDeviceMemory shadowMemory;
  VkDeviceSize shadowMemorySize;
  VkImageView shadowLayerViews[kShadowMapLayers];
  VkImageView shadowArrayView;
  VkSampler shadowSampler;
  VkRenderPass shadowRenderPass;
  VkFramebuffer shadowFramebuffers[kShadowMapLayers];
  VkPipeline shadowTrisPipeline;
  VkPipelineLayout shadowTrisLayout;
  VkPipeline shadowGltfPipeline;
  VkPipelineLayout shadowGltfLayout;
  VkPipeline shadowSkinnedPipeline;
  VkPipelineLayout shadowSkinnedLayout;
  VkPipeline shadowInstancedGltfPipeline;
  VkPipelineLayout shadowInstancedGltfLayout;
  Renderer* renderer;
  // Ray query (only when the device supports it).
  LightingBlas blas[kLightingMaxBlas];
  u32 blasCount;
  LightingBlas tlas;  // built in place every frame
  VkBuffer scratch;
  VkDeviceMemory scratchMemory;
  VkDeviceSize scratchSize;
  VkDeviceAddress scratchAddress;
  FrameDynBuffer tlasInstances;  // VkAccelerationStructureInstanceKHR per frame in flight
  u32 tlasInstanceCount;
};

b8 lightingInit(Lighting* l, Renderer* r);
// Creates each shadow pipeline whose vertex shader exists (with the shared
// fragment shader); the draws skip the missing ones.
void lightingCreateShadowPipelines(Lighting* l);
// Copies `data` into this frame's light buffer; after rendererBeginFrame.
void lightingUpdate(Lighting* l);
VkDeviceAddress lightingGetAddress(const Lighting* l);
void lightingBind(Lighting* l, VkCommandBuffer cmd, VkPipelineLayout layout);
void lightingSetRayQueryTlas(Lighting* l, VkAccelerationStructureKHR tlas);
// New layouts, pool and sets for the renderer's current mode. They are made
// before the old ones go: on failure the old stay (false).
b8 lightingRebuildDescriptors(Lighting* l);
mat4f32 lightingComputeShadowVP(v3 lightDir, v3 focusPoint, f64 radius);
// The focus moved to whole shadow texels across the light's view, so that the
// map does not shimmer as the camera moves.
v3 lightingSnapShadowFocus(v3 lightDir, v3 focusPoint, f64 radius);
void lightingDestroy(Lighting* l);

// Ray-query scene. A bottom-level structure over a non-indexed triangle list read
// from device memory (positions at `vertexAddress`, `stride` bytes apart, in
// `format`); built at once. Returns its id, or -1 (no ray query, full, failed).
i32 lightingRegisterBlas(Lighting* l, VkDeviceAddress vertexAddress, VkFormat format, u32 stride,
                         u32 vertexCount);
// The same over an indexed triangle list (16- or 32-bit indices at indexAddress).
i32 lightingRegisterBlasIndexed(Lighting* l, VkDeviceAddress vertexAddress, VkFormat format, u32 stride,
                                u32 vertexCount, VkDeviceAddress indexAddress, VkIndexType indexType, u32 indexCount);
// This frame's instances: begin after rendererBeginFrame, add any number, then
// record the build before the render pass. `transform` is a row-major 3x4 matrix.
void lightingTlasBegin(Lighting* l);
void lightingTlasAdd(Lighting* l, i32 blasId, const f32 transform[12]);
// Rebuilds the top-level structure in place from this frame's instances (empty
// when none), behind barriers against the previous frame's shader reads.
void lightingRecordTlasBuild(Lighting* l, VkCommandBuffer cmd);
