// One large device-local buffer sub-allocated first-fit, filled through a staging
// buffer and a list of pending copies. Shared by models, terrain and decals.
#pragma once

#include "platform/types.h"
#include "renderer/dynbuffer.h"
#include "renderer/vkloader.h"

// A free range; the list is sorted by offset, ranges never overlap or touch.
struct MeshBlock {
  VkDeviceSize offset;
  VkDeviceSize size;
  MeshBlock* next;
};

// Size 0: nothing allocated. Offsets and sizes are multiples of 16.
struct MeshAlloc {
  VkDeviceSize offset;
  VkDeviceSize size;
};

struct MeshPendingCopy {
  VkDeviceSize srcOffset;
  VkDeviceSize dstOffset;
  VkDeviceSize size;
};

// A freed range that frames in flight may still draw from.
struct MeshDeferredFree {
  MeshAlloc alloc;
  u64 serial;
};

// Staging buffers taking turns, so that one frame's copies can still be read by the
// GPU while the next frame stages into another.
inline constexpr u32 kMeshPoolStagingBuffers = 3;

struct MeshPool {
  VkDevice device;
  VkPhysicalDevice physicalDevice;
  VkBuffer buffer;
  VkDeviceMemory memory;
  VkDeviceSize capacity;  // multiple of 16
  VkDeviceSize allocatedSize;
  VkDeviceSize usedBytes;  // live allocations, including frees still in flight
  MeshBlock* freeList;
  u32 freeBlockCount;
  DynBuffer staging;  // the one being filled
  MeshPendingCopy* pendingCopies;
  u32 pendingCount;
  u32 pendingCapacity;
  VkBufferUsageFlags usage;
  // Staging buffers whose copies were recorded, each busy until its serial is done.
  DynBuffer stagingSpare[kMeshPoolStagingBuffers - 1];
  u64 stagingSpareSerial[kMeshPoolStagingBuffers - 1];
  u64 stagingSerial;  // serial of the last flush out of `staging`
  MeshDeferredFree* deferredFrees;
  u32 deferredCount;
  u32 deferredCapacity;
};

// The capacity is rounded up to 16; the staging buffer starts at 64 KiB.
void meshPoolInit(MeshPool* pool, VkDevice device, VkPhysicalDevice physicalDevice, VkDeviceSize initialCapacity,
                  VkBufferUsageFlags usage);
// Range bookkeeping only, without GPU objects: one free range [0, capacity).
void meshPoolInitRanges(MeshPool* pool, VkDeviceSize capacity);
void meshPoolDestroy(MeshPool* pool);
MeshAlloc meshPoolAlloc(MeshPool* pool, VkDeviceSize size);
// The range returns to the free list once no frame in flight can draw from it.
void meshPoolFree(MeshPool* pool, MeshAlloc alloc);
// Where the caller writes alloc.size bytes that will land at alloc.offset.
void* meshPoolStage(MeshPool* pool, MeshAlloc alloc);
// Records the pending copies into cmd; the staging bytes stay untouched until the
// GPU has finished cmd.
void meshPoolFlush(MeshPool* pool, VkCommandBuffer cmd);
b8 meshPoolReserve(MeshPool* pool, VkDeviceSize minCapacity, VkCommandBuffer cmd);
b8 meshPoolGrow(MeshPool* pool, VkDeviceSize newCapacity, VkCommandBuffer cmd);
VkDeviceSize meshPoolFreeSpace(const MeshPool* pool);
VkDeviceSize meshPoolLargestFree(const MeshPool* pool);
void meshPoolDebugPrint(const MeshPool* pool);
