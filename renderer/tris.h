// Lit, shadow-casting debug shapes (spheres, boxes, capsules, a ground quad): one
// instanced draw per shape kind, instance transforms read through a device address.
#pragma once

#include "platform/types.h"
#include "platform/vecmath.h"
#include "renderer/dynbuffer.h"
#include "renderer/vkloader.h"

struct Renderer;
struct Pipelines;
struct Lighting;

struct TrisVertex {
  f32 pos[3];
  f32 normal[3];
  u32 color;  // 0 in the unit meshes
};
static_assert(sizeof(TrisVertex) == 28);

// `_pad0` of a capsule holds halfHeight / radius - 1 as float bits: the vertex
// shaders move the unit capsule's halves apart by that before the uniform scale,
// so caps stay round.
struct TrisInstance {
  f32 model[16];  // column-major
  u32 color;
  u32 _pad0, _pad1, _pad2;
};
static_assert(sizeof(TrisInstance) == 80);

inline constexpr u32 kTrisPipelineSlot = 5;
inline constexpr u32 kTrisShapeKinds = 4;  // sphere, box, capsule, quad
// Capsule acceleration structures by quantised length ratio.
inline constexpr u32 kTrisCapsuleBlasCache = 8;

struct TrisCapsuleBlas {
  i32 key;  // quantised ratio; -1 when unused
  i32 blasId;
  DynBuffer verts;  // the unit capsule with its halves moved apart
};

struct Tris {
  VkDevice device;
  DynBuffer unitSphereVerts, unitBoxVerts, unitCapsuleVerts, unitQuadVerts;
  u32 sphereVtxCount, boxVtxCount, capsuleVtxCount, quadVtxCount;
  // One buffer per frame in flight: recording a frame never rewrites what the
  // previous one still reads.
  FrameDynBuffer sphereInstBuf, boxInstBuf, capsuleInstBuf, quadInstBuf;
  u32 sphereInstCount, boxInstCount, capsuleInstCount, quadInstCount;
  Renderer* renderer;
  // Ray query: bottom-level structures of the unit meshes (-1 when absent).
  i32 sphereBlas, boxBlas, quadBlas;
  TrisCapsuleBlas capsuleBlas[kTrisCapsuleBlasCache];
  u32 capsuleBlasNext;  // round-robin replacement
};

u32 trisColorRGBA(u8 r, u8 g, u8 b, u8 a);
void trisInit(Tris* t, Renderer* r);
// Registry slot 5; nothing is created when a shader is missing.
void trisCreatePipeline(Pipelines* p, Renderer* r, VkDescriptorSetLayout emptySetLayout,
                        VkDescriptorSetLayout lightSetLayout);
// Starts this frame's instance lists (after rendererBeginFrame).
void trisBeginFrame(Tris* t);
// Starts this frame's lists as a copy of the previous frame's (nothing changed).
void trisRepeatFrame(Tris* t);
void trisAddSphere(Tris* t, v3 center, f64 radius, v4 rotation, u32 color);
void trisAddBox(Tris* t, v3 center, v3 halfExtents, v4 rotation, u32 color);
void trisAddCapsule(Tris* t, v3 center, f64 radius, f64 halfHeight, v4 rotation, u32 color);
void trisAddGroundPlane(Tris* t, f64 size, f64 y, u32 color);
void trisDraw(Tris* t, Pipelines* p, VkCommandBuffer cmd, const mat4f32* mvp, VkDescriptorSet emptySet,
              VkDescriptorSet lightSet, VkDeviceAddress lightDataAddr);
void drawShapeBDA(VkCommandBuffer cmd, VkPipelineLayout layout, VkBuffer vertexBuf, u32 vertexCount,
                  u32 instanceCount, const void* pcBase, u32 pcSize, VkShaderStageFlags stages);
void trisDrawShadow(Tris* t, VkCommandBuffer cmd, VkPipelineLayout shadowLayout, VkDescriptorSet set0,
                    VkDescriptorSet set1, const mat4f32* shadowVP);
// Ray query: adds every instance of this frame to the lighting's instance list
// (bottom-level structures are made on first use).
void trisAddToTlas(Tris* t, Lighting* l);
void trisDestroy(Tris* t);
