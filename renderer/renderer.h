// The Vulkan device and everything that exists once per window: GPU choice, queues,
// swapchain and depth buffer, the main render pass, two frames in flight, frame
// pacing, the lighting-mode switch and the shader table.
#pragma once

#include "platform/threads.h"
#include "platform/types.h"
#include "renderer/dynbuffer.h"
#include "renderer/vkloader.h"

struct PipelineConfig;

enum RendererLightingMode : u32 {
  RENDERER_LIGHTING_SHADOW_MAPS = 0,
  RENDERER_LIGHTING_RAY_QUERY = 1,
};

inline constexpr u32 kRendererFramesInFlight = kFrameDynBufferSlots;

struct Renderer {
  VkInstance instance;
  VkSurfaceKHR surface;
  VkPhysicalDevice physicalDevice;
  VkDevice device;
  VkQueue graphicsQueue;
  VkQueue presentQueue;
  u32 graphicsFamily;
  u32 presentFamily;
  // The bindless texture table; created and owned by the texture code.
  VkDescriptorSetLayout bindlessTextureSetLayout;
  VkDescriptorPool bindlessTexturePool;
  VkDescriptorSet bindlessTextureSet;
  VkSampler bindlessTextureFallbackSampler;
  VkImageView bindlessTextureFallbackView;
  VkSwapchainKHR swapchain;
  VkImage* swapchainImages;
  VkImageView* swapchainImageViews;
  u32 swapchainImageCount;
  VkFormat swapchainFormat;
  VkExtent2D swapchainExtent;
  VkImage depthImage;
  VkDeviceMemory depthMemory;
  VkImageView depthView;
  VkFormat depthFormat;
  VkDeviceSize depthMemorySize;
  VkFramebuffer* framebuffers;
  VkRenderPass renderPass;
  VkCommandPool commandPool;
  VkCommandBuffer commandBuffers[kRendererFramesInFlight];
  VkSemaphore imageAvailableSemaphores[kRendererFramesInFlight];
  // One per swapchain image (memAlloc, rebuilt with the swapchain): the present
  // of an image waits on it, and only the next acquire of that same image
  // guarantees the wait is over.
  VkSemaphore* renderFinishedSemaphores;
  VkFence inFlightFences[kRendererFramesInFlight];
  u64 currentFrame;
  b8 framebufferResized;
  u32 vendorId;
  f64 targetFrameTimeNs;  // 0 disables pacing
  f64 lastFrameTimeNs;
  b8 sparseBinding;
  b8 sparseResidencyImage2D;
  VkQueue sparseQueue;
  ThreadMutex queueMutex;  // every submit, queue wait and present
  b8 rayQuerySupported;
  RendererLightingMode lightingMode;
  b8 meshShaderSupported;
  u32 maxMeshWorkGroupInvocations;
  u32 maxMeshOutputVertices;
  u32 maxMeshOutputPrimitives;
  u32 maxMeshWorkGroupCount[3];
  // Present mode in use; pacing sleeps whenever it does not wait for vertical sync.
  VkPresentModeKHR presentMode;
  // GPU-timeline serial of the frame last recorded in each slot.
  u64 frameSerial[kRendererFramesInFlight];
  // Between rendererBeginFrame and rendererEndFrame; written on the frame thread
  // under queueMutex and read under it by uploads from other threads.
  b8 frameRecording;
  // The last swapchain rebuild failed: frames are skipped, each one retries, and
  // the failure is reported once until a rebuild succeeds.
  b8 swapchainFailed;
  // Swapchain images can be copied out (a screenshot of the presented picture).
  b8 swapchainTransferSrc;
  // A capture asked for the next presented frame (see rendererRequestCapture).
  void (*captureFn)(void* user, const u8* rgba, u32 width, u32 height);
  void* captureUser;
};

// The next frame that is presented is copied out and, once the GPU is done with
// it, handed to fn as tightly packed RGBA8 (null pixels when the copy could not
// be made). False when the swapchain images cannot be copied.
b8 rendererRequestCapture(Renderer* r, void (*fn)(void* user, const u8* rgba, u32 width, u32 height), void* user);

// Tests: when set, the frame's submit or present is not made and the hook's
// result is used instead (VK_SUCCESS: made as usual).
enum RendererQueueOp : u32 { RENDERER_OP_SUBMIT = 0, RENDERER_OP_PRESENT = 1 };
void rendererSetFaultHook(VkResult (*hook)(RendererQueueOp op));

struct QueueFamilyIndices {
  u32 graphicsFamily;
  u32 presentFamily;
  b8 hasGraphics;
  b8 hasPresent;
};

b8 rendererInit(Renderer* r, VkInstance instance, VkSurfaceKHR surface, u32 width, u32 height);
void rendererDestroy(Renderer* r);
// Flags a rebuild; the next present rebuilds from the surface's current extent.
void rendererResize(Renderer* r, u32 width, u32 height);
void rendererSetRefreshRate(Renderer* r, f32 hz);
void rendererSetLightingMode(Renderer* r, RendererLightingMode mode);
// The ray-query twin of a lit fragment shader path in ray-query mode, else path.
// The result may live in a static buffer that the next call overwrites.
const char* rendererLitShaderPath(const Renderer* r, const char* path);
const u32* rendererLoadShader(const char* path, u64* outSize);
VkShaderModule rendererCreateShaderModule(Renderer* r, const u32* code, u64 size);
b8 rendererCreatePipeline(Renderer* r, const PipelineConfig* config, VkPipelineLayout* outLayout,
                          VkPipeline* outPipeline);
u32 rendererFindMemoryType(Renderer* r, u32 typeFilter, VkMemoryPropertyFlags properties);
VkDescriptorSetLayout rendererCreateDescriptorSetLayout(Renderer* r, const VkDescriptorSetLayoutBinding* bindings,
                                                        u32 count);
VkDescriptorPool rendererCreateDescriptorPool(Renderer* r, const VkDescriptorPoolSize* poolSizes, u32 poolSizeCount,
                                              u32 maxSets);
VkDescriptorSet rendererAllocDescriptorSet(Renderer* r, VkDescriptorPool pool, VkDescriptorSetLayout layout);
void rendererUpdateDescriptorImage(Renderer* r, VkDescriptorSet set, u32 binding, VkSampler sampler,
                                   VkImageView view);
// One-time uploads: the end call submits, waits for the queue and frees the buffer.
VkCommandBuffer rendererBeginOneTimeCommands(Renderer* r);
void rendererEndOneTimeCommands(Renderer* r, VkCommandBuffer cmd);
// Waits for the device under the queue lock and marks all GPU work complete.
void rendererWaitIdle(Renderer* r);
// Per frame: begin (false: skip the frame), render pass, draws, end (submit, present).
b8 rendererBeginFrame(Renderer* r, VkCommandBuffer* outCmd, u32* outImageIndex);
void rendererBeginRenderPass(Renderer* r, u32 imageIndex);
void rendererEndFrame(Renderer* r, u32 imageIndex);

// The main render pass's one dependency. A pass whose pipelines must also work
// in the main pass (or the other way round) has to use exactly this one: render
// passes with different dependencies are not compatible.
VkSubpassDependency rendererMainPassDependency();

// Building blocks of rendererInit, callable on their own by tests and tools.
QueueFamilyIndices findQueueFamilies(VkPhysicalDevice device, VkSurfaceKHR surface);
b8 selectPhysicalDevice(Renderer* r);
b8 createLogicalDevice(Renderer* r);
