#include "renderer/dynbuffer.h"

#include <cstring>

#include "platform/memory.h"
#include "renderer/vram.h"

namespace {

b8 hostVisible(const DynBuffer* buf) { return (buf->memoryFlags & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT) != 0; }

// Creates buffer and memory of `capacity` bytes into the record's handle fields.
b8 createBuffer(DynBuffer* buf, VkDeviceSize capacity) {
  VkBuffer buffer = VK_NULL_HANDLE;
  VkDeviceMemory memory = VK_NULL_HANDLE;
  VkDeviceSize allocated = 0;
  if (!vramCreateBuffer(buf->device, capacity, buf->usage, buf->memoryFlags, &buffer, &memory, &allocated))
    return false;
  void* mapped = nullptr;
  if (hostVisible(buf) && vkMapMemory(buf->device, memory, 0, capacity, 0, &mapped) != VK_SUCCESS) {
    vkDestroyBuffer(buf->device, buffer, nullptr);
    vramFree(memory, allocated, true);
    return false;
  }
  buf->buffer = buffer;
  buf->memory = memory;
  buf->mapped = mapped;
  buf->capacity = capacity;
  buf->allocatedSize = allocated;
  return true;
}

// Hands the current buffer to the deferred release: frames in flight may read it.
void retireBuffer(DynBuffer* buf) {
  if (buf->mapped) vkUnmapMemory(buf->device, buf->memory);
  vramDeferFree(buf->buffer, buf->memory, buf->allocatedSize, hostVisible(buf));
  buf->buffer = VK_NULL_HANDLE;
  buf->memory = VK_NULL_HANDLE;
  buf->mapped = nullptr;
  buf->allocatedSize = 0;
}

}  // namespace

void dynBufferInit(DynBuffer* buf, VkDevice device, VkPhysicalDevice physicalDevice, VkDeviceSize initialCapacity,
                   VkBufferUsageFlags usage, VkMemoryPropertyFlags memoryFlags) {
  if (!buf) return;
  *buf = DynBuffer{};
  buf->device = device;
  buf->physicalDevice = physicalDevice;
  buf->usage = usage;
  buf->memoryFlags = memoryFlags;
  if (initialCapacity > 0 && device) createBuffer(buf, initialCapacity);
}

void dynBufferDestroy(DynBuffer* buf) {
  if (!buf || !buf->device) return;
  if (buf->buffer || buf->memory) retireBuffer(buf);
  *buf = DynBuffer{};
}

void dynBufferReset(DynBuffer* buf) {
  if (buf) buf->used = 0;
}

b8 dynBufferReserve(DynBuffer* buf, VkDeviceSize minCapacity) {
  if (!buf || !buf->device) return false;
  if (buf->buffer && buf->capacity >= minCapacity) return true;
  VkDeviceSize cap = buf->buffer ? buf->capacity * 2 : 1024;
  while (cap < minCapacity) {
    if (cap > (~VkDeviceSize(0)) / 2) return false;
    cap *= 2;
  }
  DynBuffer old = *buf;
  if (!createBuffer(buf, cap)) {
    *buf = old;
    return false;
  }
  DynBuffer fresh = *buf;
  if (old.buffer) {
    if (old.mapped && fresh.mapped && old.used > 0) std::memcpy(fresh.mapped, old.mapped, old.used);
    *buf = old;
    retireBuffer(buf);
  }
  *buf = fresh;
  buf->used = old.used;
  return true;
}

void* dynBufferAlloc(DynBuffer* buf, VkDeviceSize size) {
  if (!buf || !buf->device) return nullptr;
  if (size > (~VkDeviceSize(0)) - buf->used) return nullptr;
  if (!buf->buffer || buf->used + size > buf->capacity) {
    if (!dynBufferReserve(buf, buf->used + size)) return nullptr;
  }
  if (!buf->mapped) return nullptr;
  void* p = static_cast<u8*>(buf->mapped) + buf->used;
  buf->used += size;
  return p;
}

void frameDynBufferInit(FrameDynBuffer* buf, VkDevice device, VkPhysicalDevice physicalDevice,
                        VkDeviceSize initialCapacity, VkBufferUsageFlags usage, VkMemoryPropertyFlags memoryFlags) {
  if (!buf) return;
  for (DynBuffer& f : buf->frames) dynBufferInit(&f, device, physicalDevice, initialCapacity, usage, memoryFlags);
  buf->current = 0;
}

void frameDynBufferDestroy(FrameDynBuffer* buf) {
  if (!buf) return;
  for (DynBuffer& f : buf->frames) dynBufferDestroy(&f);
  buf->current = 0;
}

DynBuffer* frameDynBufferBegin(FrameDynBuffer* buf, u64 frame) {
  if (!buf) return nullptr;
  buf->current = (u32)(frame % kFrameDynBufferSlots);
  dynBufferReset(&buf->frames[buf->current]);
  return &buf->frames[buf->current];
}

DynBuffer* frameDynBufferCurrent(FrameDynBuffer* buf) { return buf ? &buf->frames[buf->current] : nullptr; }
