// Growable, persistently mapped buffer: a per-frame bump allocator and the staging
// area of the mesh pools.
#pragma once

#include "platform/types.h"
#include "renderer/vkloader.h"

struct DynBuffer {
  VkDevice device;
  VkPhysicalDevice physicalDevice;
  VkBuffer buffer;
  VkDeviceMemory memory;
  void* mapped;  // whole buffer while it exists; null when not host-visible
  VkDeviceSize capacity;  // bytes requested
  VkDeviceSize used;  // bump offset
  VkDeviceSize allocatedSize;  // bytes allocated (accounting)
  VkBufferUsageFlags usage;
  VkMemoryPropertyFlags memoryFlags;
};

void dynBufferInit(DynBuffer* buf, VkDevice device, VkPhysicalDevice physicalDevice, VkDeviceSize initialCapacity,
                   VkBufferUsageFlags usage, VkMemoryPropertyFlags memoryFlags);
void dynBufferDestroy(DynBuffer* buf);
void dynBufferReset(DynBuffer* buf);
// Grows (doubling) when capacity < minCapacity; keeps the first `used` bytes. A
// replaced buffer is released only once the GPU is done with it. False on failure
// (the old buffer then stays).
b8 dynBufferReserve(DynBuffer* buf, VkDeviceSize minCapacity);
// Pointer to `size` fresh bytes at offset `used` (no alignment); null when the
// record has no device, is not mapped or cannot grow.
void* dynBufferAlloc(DynBuffer* buf, VkDeviceSize size);

// Per-frame data (debug shapes and lines, interface vertices): one DynBuffer per
// frame in flight, so that recording a frame never rewrites bytes the previous
// frame is still reading. Begin after rendererBeginFrame with the renderer's
// currentFrame: that slot's fence has just been waited for.
inline constexpr u32 kFrameDynBufferSlots = 2;

struct FrameDynBuffer {
  DynBuffer frames[kFrameDynBufferSlots];
  u32 current;
};

void frameDynBufferInit(FrameDynBuffer* buf, VkDevice device, VkPhysicalDevice physicalDevice,
                        VkDeviceSize initialCapacity, VkBufferUsageFlags usage, VkMemoryPropertyFlags memoryFlags);
void frameDynBufferDestroy(FrameDynBuffer* buf);
// Selects and resets the buffer of frame slot `frame`; returns it.
DynBuffer* frameDynBufferBegin(FrameDynBuffer* buf, u64 frame);
// The buffer of the frame being recorded.
DynBuffer* frameDynBufferCurrent(FrameDynBuffer* buf);
