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
