#include "renderer/meshpool.h"

#include <cstdio>

#include "platform/memory.h"
#include "renderer/vram.h"

namespace {

constexpr VkDeviceSize kStagingInitial = 0x10000;

VkDeviceSize roundUp16(VkDeviceSize v) { return (v + 15) & ~VkDeviceSize(15); }

MeshBlock* newBlock(VkDeviceSize offset, VkDeviceSize size, MeshBlock* next) {
  auto* b = static_cast<MeshBlock*>(memAlloc(sizeof(MeshBlock)));
  if (!b) return nullptr;
  b->offset = offset;
  b->size = size;
  b->next = next;
  return b;
}

b8 createPoolBuffer(MeshPool* pool, VkDeviceSize capacity, VkBuffer* outBuffer, VkDeviceMemory* outMemory,
                    VkDeviceSize* outAllocated) {
  // Transfer both ways: uploads land in it and a grown pool copies out of the old one.
  return vramCreateBuffer(pool->device, capacity,
                          pool->usage | VK_BUFFER_USAGE_TRANSFER_DST_BIT | VK_BUFFER_USAGE_TRANSFER_SRC_BIT,
                          VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, outBuffer, outMemory, outAllocated);
}

// Returns a range to the sorted free list, merging with the neighbours it touches.
// Ranges outside the pool or overlapping free space (a double free) are ignored.
void releaseRange(MeshPool* pool, MeshAlloc a) {
  if (a.offset > pool->capacity || a.size > pool->capacity - a.offset) return;
  VkDeviceSize end = a.offset + a.size;
  MeshBlock* prev = nullptr;
  MeshBlock* cur = pool->freeList;
  while (cur && cur->offset < a.offset) {
    prev = cur;
    cur = cur->next;
  }
  if ((prev && prev->offset + prev->size > a.offset) || (cur && cur->offset < end)) return;
  pool->usedBytes -= a.size;
  b8 touchesPrev = prev && prev->offset + prev->size == a.offset;
  b8 touchesNext = cur && cur->offset == end;
  if (touchesPrev) {
    prev->size += a.size;
    if (touchesNext) {
      prev->size += cur->size;
      prev->next = cur->next;
      memFree(cur);
      pool->freeBlockCount--;
    }
    return;
  }
  if (touchesNext) {
    cur->offset = a.offset;
    cur->size += a.size;
    return;
  }
  MeshBlock* b = newBlock(a.offset, a.size, cur);
  if (!b) return;  // out of heap: the range is lost to the pool, never handed out twice
  if (prev)
    prev->next = b;
  else
    pool->freeList = b;
  pool->freeBlockCount++;
}

// Releases deferred frees whose frames have completed.
void collectFrees(MeshPool* pool) {
  if (pool->deferredCount == 0) return;
  u64 done = gpuSerialDone();
  u32 kept = 0;
  for (u32 i = 0; i < pool->deferredCount; i++) {
    MeshDeferredFree d = pool->deferredFrees[i];
    if (d.serial <= done)
      releaseRange(pool, d.alloc);
    else
      pool->deferredFrees[kept++] = d;
  }
  pool->deferredCount = kept;
}

// Makes `staging` writable from its start when nothing in it is waiting: no pending
// copies and the last flush out of it has completed on the GPU. Otherwise swaps in a
// spare that is idle, or keeps appending.
void recycleStaging(MeshPool* pool) {
  if (pool->pendingCount > 0 || pool->staging.used == 0) return;
  u64 done = gpuSerialDone();
  if (pool->stagingSerial <= done) {
    dynBufferReset(&pool->staging);
    return;
  }
  for (u32 i = 0; i < kMeshPoolStagingBuffers - 1; i++) {
    if (pool->stagingSpareSerial[i] > done) continue;
    DynBuffer busy = pool->staging;
    pool->staging = pool->stagingSpare[i];
    pool->stagingSpare[i] = busy;
    pool->stagingSpareSerial[i] = pool->stagingSerial;
    pool->stagingSerial = 0;
    dynBufferReset(&pool->staging);
    if (!pool->staging.buffer) dynBufferReserve(&pool->staging, kStagingInitial);
    return;
  }
}

}  // namespace

void meshPoolInitRanges(MeshPool* pool, VkDeviceSize capacity) {
  if (!pool) return;
  *pool = MeshPool{};
  pool->capacity = roundUp16(capacity);
  if (pool->capacity == 0) return;
  pool->freeList = newBlock(0, pool->capacity, nullptr);
  pool->freeBlockCount = pool->freeList ? 1 : 0;
}

void meshPoolInit(MeshPool* pool, VkDevice device, VkPhysicalDevice physicalDevice, VkDeviceSize initialCapacity,
                  VkBufferUsageFlags usage) {
  if (!pool) return;
  *pool = MeshPool{};
  pool->device = device;
  pool->physicalDevice = physicalDevice;
  pool->usage = usage;
  pool->capacity = roundUp16(initialCapacity);
  if (device && pool->capacity > 0 &&
      createPoolBuffer(pool, pool->capacity, &pool->buffer, &pool->memory, &pool->allocatedSize)) {
    pool->freeList = newBlock(0, pool->capacity, nullptr);
    pool->freeBlockCount = pool->freeList ? 1 : 0;
  }
  const VkBufferUsageFlags stagingUsage = VK_BUFFER_USAGE_TRANSFER_SRC_BIT;
  const VkMemoryPropertyFlags stagingMemory =
      VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
  dynBufferInit(&pool->staging, device, physicalDevice, kStagingInitial, stagingUsage, stagingMemory);
  // Spares get their memory on first use.
  for (DynBuffer& spare : pool->stagingSpare) dynBufferInit(&spare, device, physicalDevice, 0, stagingUsage, stagingMemory);
}

void meshPoolDestroy(MeshPool* pool) {
  if (!pool) return;
  MeshBlock* b = pool->freeList;
  while (b) {
    MeshBlock* next = b->next;
    memFree(b);
    b = next;
  }
  if (pool->buffer || pool->memory) vramDeferFree(pool->buffer, pool->memory, pool->allocatedSize, false);
  dynBufferDestroy(&pool->staging);
  for (DynBuffer& spare : pool->stagingSpare) dynBufferDestroy(&spare);
  memFree(pool->pendingCopies);
  memFree(pool->deferredFrees);
  *pool = MeshPool{};
}

MeshAlloc meshPoolAlloc(MeshPool* pool, VkDeviceSize size) {
  if (!pool || size == 0 || size > ~VkDeviceSize(0) - 15) return MeshAlloc{0, 0};
  collectFrees(pool);
  size = roundUp16(size);
  MeshBlock* prev = nullptr;
  for (MeshBlock* b = pool->freeList; b; prev = b, b = b->next) {
    if (b->size < size) continue;
    MeshAlloc a{b->offset, size};
    if (b->size == size) {
      if (prev)
        prev->next = b->next;
      else
        pool->freeList = b->next;
      memFree(b);
      pool->freeBlockCount--;
    } else {
      b->offset += size;
      b->size -= size;
    }
    pool->usedBytes += size;
    return a;
  }
  return MeshAlloc{0, 0};
}

void meshPoolFree(MeshPool* pool, MeshAlloc alloc) {
  if (!pool || alloc.size == 0) return;
  u64 serial = gpuSerialCurrent();
  if (serial <= gpuSerialDone()) {
    releaseRange(pool, alloc);
    return;
  }
  if (pool->deferredCount == pool->deferredCapacity) {
    u32 cap = pool->deferredCapacity ? pool->deferredCapacity * 2 : 64;
    auto* grown = static_cast<MeshDeferredFree*>(memRealloc(pool->deferredFrees, sizeof(MeshDeferredFree) * cap));
    if (!grown) return;  // out of heap: the range stays allocated rather than reused too early
    pool->deferredFrees = grown;
    pool->deferredCapacity = cap;
  }
  pool->deferredFrees[pool->deferredCount++] = MeshDeferredFree{alloc, serial};
}

void* meshPoolStage(MeshPool* pool, MeshAlloc alloc) {
  if (!pool || alloc.size == 0) return nullptr;
  recycleStaging(pool);
  VkDeviceSize srcOffset = pool->staging.used;
  void* p = dynBufferAlloc(&pool->staging, alloc.size);
  if (!p) return nullptr;
  if (pool->pendingCount == pool->pendingCapacity) {
    u32 cap = pool->pendingCapacity ? pool->pendingCapacity * 2 : 64;
    auto* grown = static_cast<MeshPendingCopy*>(memRealloc(pool->pendingCopies, sizeof(MeshPendingCopy) * cap));
    if (!grown) {
      pool->staging.used = srcOffset;
      return nullptr;
    }
    pool->pendingCopies = grown;
    pool->pendingCapacity = cap;
  }
  pool->pendingCopies[pool->pendingCount++] = MeshPendingCopy{srcOffset, alloc.offset, alloc.size};
  return p;
}

void meshPoolFlush(MeshPool* pool, VkCommandBuffer cmd) {
  if (!pool) return;
  collectFrees(pool);
  if (pool->pendingCount == 0 || !cmd || !pool->buffer || !pool->staging.buffer) return;
  for (u32 i = 0; i < pool->pendingCount; i++) {
    const MeshPendingCopy& c = pool->pendingCopies[i];
    VkBufferCopy region{c.srcOffset, c.dstOffset, c.size};
    vkCmdCopyBuffer(cmd, pool->staging.buffer, pool->buffer, 1, &region);
  }
  VkMemoryBarrier barrier{};
  barrier.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
  barrier.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  barrier.dstAccessMask = VK_ACCESS_INDEX_READ_BIT | VK_ACCESS_VERTEX_ATTRIBUTE_READ_BIT;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_VERTEX_INPUT_BIT, 0, 1, &barrier, 0,
                       nullptr, 0, nullptr);
  pool->pendingCount = 0;
  // The bytes are read when cmd executes; they are rewritten only after that.
  pool->stagingSerial = gpuSerialUse();
}

b8 meshPoolGrow(MeshPool* pool, VkDeviceSize newCapacity, VkCommandBuffer cmd) {
  if (!pool || !pool->device) return false;
  if (newCapacity > ~VkDeviceSize(0) - 15) return false;
  newCapacity = roundUp16(newCapacity);
  if (newCapacity <= pool->capacity) return true;
  if (!cmd && pool->buffer) return false;
  VkBuffer buffer;
  VkDeviceMemory memory;
  VkDeviceSize allocated;
  if (!createPoolBuffer(pool, newCapacity, &buffer, &memory, &allocated)) return false;
  VkDeviceSize oldCapacity = pool->capacity;
  if (pool->buffer) {
    if (oldCapacity > 0) {
      VkBufferCopy region{0, 0, oldCapacity};
      vkCmdCopyBuffer(cmd, pool->buffer, buffer, 1, &region);
      VkMemoryBarrier barrier{};
      barrier.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
      barrier.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
      barrier.dstAccessMask =
          VK_ACCESS_INDEX_READ_BIT | VK_ACCESS_VERTEX_ATTRIBUTE_READ_BIT | VK_ACCESS_TRANSFER_WRITE_BIT;
      vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT,
                           VK_PIPELINE_STAGE_VERTEX_INPUT_BIT | VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 1, &barrier, 0,
                           nullptr, 0, nullptr);
    }
    // Read by cmd and perhaps by frames in flight: released once those are done.
    gpuSerialUse();
    vramDeferFree(pool->buffer, pool->memory, pool->allocatedSize, false);
  }
  pool->buffer = buffer;
  pool->memory = memory;
  pool->allocatedSize = allocated;
  pool->capacity = newCapacity;
  VkDeviceSize tail = newCapacity - oldCapacity;
  MeshBlock* last = pool->freeList;
  while (last && last->next) last = last->next;
  if (last && last->offset + last->size == oldCapacity) {
    last->size += tail;
  } else {
    MeshBlock* b = newBlock(oldCapacity, tail, nullptr);
    if (b) {
      if (last)
        last->next = b;
      else
        pool->freeList = b;
      pool->freeBlockCount++;
    }
  }
  return true;
}

b8 meshPoolReserve(MeshPool* pool, VkDeviceSize minCapacity, VkCommandBuffer cmd) {
  if (!pool) return false;
  if (pool->capacity >= minCapacity) return true;
  VkDeviceSize cap = pool->capacity ? pool->capacity : 0x10000;
  while (cap < minCapacity) {
    if (cap > (~VkDeviceSize(0)) / 2) return false;
    cap *= 2;
  }
  return meshPoolGrow(pool, cap, cmd);
}

VkDeviceSize meshPoolFreeSpace(const MeshPool* pool) {
  VkDeviceSize total = 0;
  for (const MeshBlock* b = pool ? pool->freeList : nullptr; b; b = b->next) total += b->size;
  return total;
}

VkDeviceSize meshPoolLargestFree(const MeshPool* pool) {
  VkDeviceSize best = 0;
  for (const MeshBlock* b = pool ? pool->freeList : nullptr; b; b = b->next)
    if (b->size > best) best = b->size;
  return best;
}

void meshPoolDebugPrint(const MeshPool* pool) {
  if (!pool) return;
  std::printf("MeshPool: capacity=%llu used=%llu freeBlocks=%u\n", (unsigned long long)pool->capacity,
              (unsigned long long)pool->usedBytes, pool->freeBlockCount);
  std::printf("Free list:\n");
  for (const MeshBlock* b = pool->freeList; b; b = b->next)
    std::printf("  [%llu - %llu] size=%llu\n", (unsigned long long)b->offset,
                (unsigned long long)(b->offset + b->size), (unsigned long long)b->size);
}
