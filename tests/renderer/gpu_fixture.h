// A real Vulkan device on lavapipe for the GPU tests: a renderer on a headless
// surface or on an SDL window under X, an offscreen target to draw into and read
// back, and small buffer and image helpers.
#pragma once

#include <gtest/gtest.h>

#include "platform/window.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"
#include "renderer/shader_table.h"

extern const ShaderData test_shader_table[];
extern const u32 test_shader_table_count;

struct GpuBuffer {
  VkBuffer buffer;
  VkDeviceMemory memory;
  VkDeviceSize size;
  void* mapped;
};

struct GpuImage {
  VkImage image;
  VkDeviceMemory memory;
  VkImageView view;
  VkDeviceSize size;
};

// An RGBA8 colour target with its own render pass (cleared to black, kept for
// readback) and framebuffer.
struct Offscreen {
  GpuImage color;
  VkRenderPass renderPass;
  VkFramebuffer framebuffer;
  GpuBuffer readback;
  u32 width, height;
};

// The validation hook of every GPU test: each error message fails the test.
void gpuFailOnValidationError(const char* message);
// Instance with the surface extensions given, under validation; null on failure.
VkInstance gpuCreateInstance(const char* const* extensions, u32 count);
// A renderer on a headless surface of the given size; false (test skipped) when
// the machine has no Vulkan.
b8 gpuRendererHeadless(Renderer* r, VkInstance* instance, VkSurfaceKHR* surface, u32 width, u32 height);
void gpuRendererRelease(Renderer* r, VkInstance instance, VkSurfaceKHR surface);

GpuBuffer gpuCreateHostBuffer(Renderer* r, VkDeviceSize size, VkBufferUsageFlags usage);
void gpuDestroyBuffer(Renderer* r, GpuBuffer* b);
// A 4x4 RGBA8 image filled with one colour (0xAABBGGRR), ready for sampling.
GpuImage gpuCreateSolidImage(Renderer* r, u32 rgba);
void gpuDestroyImage(Renderer* r, GpuImage* img);
VkSampler gpuCreateSampler(Renderer* r);

b8 offscreenCreate(Renderer* r, Offscreen* o, u32 width, u32 height);
void offscreenDestroy(Renderer* r, Offscreen* o);
// Begins the offscreen pass on cmd with viewport and scissor set.
void offscreenBegin(Offscreen* o, VkCommandBuffer cmd);
// Ends the pass and copies the image to the readback buffer.
void offscreenEnd(Offscreen* o, VkCommandBuffer cmd);
u32 offscreenPixel(const Offscreen* o, u32 x, u32 y);  // 0xAABBGGRR

// A colour and depth target compatible with the renderer's main pass, so that
// the registry's pipelines draw into it; read back after each pass.
struct MainPassTarget {
  VkImage color, depth;
  VkDeviceMemory colorMem, depthMem;
  VkDeviceSize colorSize, depthSize;
  VkImageView colorView, depthView;
  VkRenderPass pass;
  VkFramebuffer fb;
  GpuBuffer readback;
  VkFormat format;
  u32 width, height;
};

b8 mainPassTargetCreate(Renderer* r, MainPassTarget* t, u32 width, u32 height);
void mainPassTargetDestroy(Renderer* r, MainPassTarget* t);
// Begins the pass (black, depth 1) with viewport and scissor on the whole target.
void mainPassTargetBegin(MainPassTarget* t, VkCommandBuffer cmd);
// Ends the pass and copies the colour to the readback buffer.
void mainPassTargetEnd(MainPassTarget* t, VkCommandBuffer cmd);
// The read-back pixel as r, g, b whatever the swapchain's channel order.
void mainPassTargetRGB(const MainPassTarget* t, u32 x, u32 y, int rgb[3]);

// A pipeline config for the test shaders drawing one fullscreen triangle.
PipelineConfig gpuFullscreenConfig(const char* fragName, VkRenderPass renderPass);
const ShaderData* gpuTestShader(const char* name);
