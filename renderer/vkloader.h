// Vulkan entry points reached through function pointers. The program does not link
// the Vulkan loader: volkInitialize opens it at run time, so a machine without it
// gets a clear start-up failure instead of a dynamic-link error.
#pragma once

#ifndef VK_NO_PROTOTYPES
#define VK_NO_PROTOTYPES
#endif
#include <vulkan/vulkan.h>

// Loader-level functions, available after volkInitialize.
#define TERRAIN_VK_GLOBAL_FUNCS(X)          \
  X(vkCreateInstance)                       \
  X(vkEnumerateInstanceExtensionProperties) \
  X(vkEnumerateInstanceLayerProperties)     \
  X(vkEnumerateInstanceVersion)

// Instance-level functions, available after volkLoadInstance.
#define TERRAIN_VK_INSTANCE_FUNCS(X)              \
  X(vkDestroyInstance)                            \
  X(vkEnumeratePhysicalDevices)                   \
  X(vkGetPhysicalDeviceProperties)                \
  X(vkGetPhysicalDeviceProperties2)               \
  X(vkGetPhysicalDeviceFeatures)                  \
  X(vkGetPhysicalDeviceFeatures2)                 \
  X(vkGetPhysicalDeviceQueueFamilyProperties)     \
  X(vkGetPhysicalDeviceMemoryProperties)          \
  X(vkGetPhysicalDeviceFormatProperties)          \
  X(vkGetPhysicalDeviceImageFormatProperties)     \
  X(vkGetPhysicalDeviceSparseImageFormatProperties) \
  X(vkEnumerateDeviceExtensionProperties)         \
  X(vkCreateDevice)                               \
  X(vkGetDeviceProcAddr)                          \
  X(vkDestroySurfaceKHR)                          \
  X(vkGetPhysicalDeviceSurfaceSupportKHR)         \
  X(vkGetPhysicalDeviceSurfaceCapabilitiesKHR)    \
  X(vkGetPhysicalDeviceSurfaceFormatsKHR)         \
  X(vkGetPhysicalDeviceSurfacePresentModesKHR)    \
  X(vkCreateHeadlessSurfaceEXT)                  \
  X(vkCreateDebugUtilsMessengerEXT)              \
  X(vkDestroyDebugUtilsMessengerEXT)

// Device-level functions, available after volkLoadDevice (extension entries stay
// null when the device does not enable them).
#define TERRAIN_VK_DEVICE_FUNCS(X)               \
  X(vkDestroyDevice)                             \
  X(vkGetDeviceQueue)                            \
  X(vkDeviceWaitIdle)                            \
  X(vkQueueSubmit)                               \
  X(vkQueueWaitIdle)                             \
  X(vkQueueBindSparse)                           \
  X(vkQueuePresentKHR)                           \
  X(vkCreateSwapchainKHR)                        \
  X(vkDestroySwapchainKHR)                       \
  X(vkGetSwapchainImagesKHR)                     \
  X(vkAcquireNextImageKHR)                       \
  X(vkAllocateMemory)                            \
  X(vkFreeMemory)                                \
  X(vkMapMemory)                                 \
  X(vkUnmapMemory)                               \
  X(vkFlushMappedMemoryRanges)                   \
  X(vkInvalidateMappedMemoryRanges)              \
  X(vkCreateBuffer)                              \
  X(vkDestroyBuffer)                             \
  X(vkGetBufferMemoryRequirements)               \
  X(vkBindBufferMemory)                          \
  X(vkGetBufferDeviceAddress)                    \
  X(vkCreateImage)                               \
  X(vkDestroyImage)                              \
  X(vkGetImageMemoryRequirements)                \
  X(vkGetImageSparseMemoryRequirements)          \
  X(vkBindImageMemory)                           \
  X(vkCreateImageView)                           \
  X(vkDestroyImageView)                          \
  X(vkCreateSampler)                             \
  X(vkDestroySampler)                            \
  X(vkCreateRenderPass)                          \
  X(vkDestroyRenderPass)                         \
  X(vkCreateFramebuffer)                         \
  X(vkDestroyFramebuffer)                        \
  X(vkCreateCommandPool)                         \
  X(vkDestroyCommandPool)                        \
  X(vkResetCommandPool)                          \
  X(vkAllocateCommandBuffers)                    \
  X(vkFreeCommandBuffers)                        \
  X(vkBeginCommandBuffer)                        \
  X(vkEndCommandBuffer)                          \
  X(vkResetCommandBuffer)                        \
  X(vkCreateSemaphore)                           \
  X(vkDestroySemaphore)                          \
  X(vkCreateFence)                               \
  X(vkDestroyFence)                              \
  X(vkWaitForFences)                             \
  X(vkResetFences)                               \
  X(vkGetFenceStatus)                            \
  X(vkCreateShaderModule)                        \
  X(vkDestroyShaderModule)                       \
  X(vkCreatePipelineLayout)                      \
  X(vkDestroyPipelineLayout)                     \
  X(vkCreateGraphicsPipelines)                   \
  X(vkCreateComputePipelines)                    \
  X(vkDestroyPipeline)                           \
  X(vkCreateDescriptorSetLayout)                 \
  X(vkDestroyDescriptorSetLayout)                \
  X(vkCreateDescriptorPool)                      \
  X(vkDestroyDescriptorPool)                     \
  X(vkResetDescriptorPool)                       \
  X(vkAllocateDescriptorSets)                    \
  X(vkFreeDescriptorSets)                        \
  X(vkUpdateDescriptorSets)                      \
  X(vkCmdBeginRenderPass)                        \
  X(vkCmdEndRenderPass)                          \
  X(vkCmdBindPipeline)                           \
  X(vkCmdBindDescriptorSets)                     \
  X(vkCmdBindVertexBuffers)                      \
  X(vkCmdBindIndexBuffer)                        \
  X(vkCmdDraw)                                   \
  X(vkCmdDrawIndexed)                            \
  X(vkCmdDrawIndirect)                           \
  X(vkCmdDrawIndexedIndirect)                    \
  X(vkCmdDispatch)                               \
  X(vkCmdDispatchIndirect)                       \
  X(vkCmdSetViewport)                            \
  X(vkCmdSetScissor)                             \
  X(vkCmdSetDepthBias)                           \
  X(vkCmdPushConstants)                          \
  X(vkCmdCopyBuffer)                             \
  X(vkCmdCopyBufferToImage)                      \
  X(vkCmdCopyImageToBuffer)                      \
  X(vkCmdCopyImage)                              \
  X(vkCmdBlitImage)                              \
  X(vkCmdFillBuffer)                             \
  X(vkCmdUpdateBuffer)                           \
  X(vkCmdClearColorImage)                        \
  X(vkCmdClearAttachments)                       \
  X(vkCmdPipelineBarrier)                        \
  X(vkCreateAccelerationStructureKHR)            \
  X(vkDestroyAccelerationStructureKHR)           \
  X(vkGetAccelerationStructureBuildSizesKHR)     \
  X(vkGetAccelerationStructureDeviceAddressKHR)  \
  X(vkCmdBuildAccelerationStructuresKHR)         \
  X(vkCmdDrawMeshTasksEXT)

// Hidden: the program is linked with -rdynamic, and exported data symbols with the
// loader's function names would be picked up by the loader's own internal calls.
#define TERRAIN_VK_HIDDEN __attribute__((visibility("hidden")))
#define TERRAIN_VK_DECLARE(name) extern TERRAIN_VK_HIDDEN PFN_##name name;
extern TERRAIN_VK_HIDDEN PFN_vkGetInstanceProcAddr vkGetInstanceProcAddr;
TERRAIN_VK_GLOBAL_FUNCS(TERRAIN_VK_DECLARE)
TERRAIN_VK_INSTANCE_FUNCS(TERRAIN_VK_DECLARE)
TERRAIN_VK_DEVICE_FUNCS(TERRAIN_VK_DECLARE)
#undef TERRAIN_VK_DECLARE

// Opens "libvulkan.so.1" and loads the loader-level functions. VK_SUCCESS, or
// VK_ERROR_INITIALIZATION_FAILED when the loader is missing or incomplete.
VkResult volkInitialize();
// Loads the instance-level functions (and, until volkLoadDevice, the device-level
// ones through the instance's dispatch).
void volkLoadInstance(VkInstance instance);
// Loads the device-level functions straight from the device, skipping the loader's
// dispatch trampolines.
void volkLoadDevice(VkDevice device);
// The instance and device last loaded; null before.
VkInstance volkGetLoadedInstance();
VkDevice volkGetLoadedDevice();
