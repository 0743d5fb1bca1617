#include "renderer/vram.h"

#include <atomic>

#include "platform/hashmap.h"
#include "platform/memory.h"

namespace {

struct DeferredFree {
  VkBuffer buffer;
  VkDeviceMemory memory;
  VkDeviceSize size;
  u64 serial;
  b8 hostVisible;
};

std::atomic<u64> gSerialCurrent{0};
std::atomic<u64> gSerialDone{0};

// Short critical sections from the main thread and the occasional worker.
std::atomic_flag gDeferredLock = ATOMIC_FLAG_INIT;
DeferredFree* gDeferred = nullptr;
u32 gDeferredCount = 0;
u32 gDeferredCapacity = 0;

void lockDeferred() {
  while (gDeferredLock.test_and_set(std::memory_order_acquire)) {
  }
}
void unlockDeferred() { gDeferredLock.clear(std::memory_order_release); }

// Host-visible allocations, so that a free subtracts from the staging counter
// exactly what the allocation added (on unified memory a "device-local" request
// may well get a host-visible type).
std::atomic_flag gHostVisibleLock = ATOMIC_FLAG_INIT;
void* gHostVisible = nullptr;

void* accountedAlloc(void*, size_t bytes) { return memAlloc(bytes); }
void accountedFree(void*, void* p) { memFree(p); }

void lockHostVisible() {
  while (gHostVisibleLock.test_and_set(std::memory_order_acquire)) {
  }
}
void unlockHostVisible() { gHostVisibleLock.clear(std::memory_order_release); }

b8 rememberHostVisible(VkDeviceMemory memory) {
  lockHostVisible();
  if (!gHostVisible) {
    sm_allocator_t a{nullptr, accountedAlloc, accountedFree, nullptr, nullptr};
    gHostVisible = sm_new(16, sizeof(VkDeviceMemory), 1, &a);
  }
  u8 one = 1;
  b8 ok = gHostVisible && sm_put(gHostVisible, &memory, &one) >= 0;
  unlockHostVisible();
  return ok;
}

b8 forgetHostVisible(VkDeviceMemory memory) {
  lockHostVisible();
  b8 was = gHostVisible && sm_delete(gHostVisible, &memory) == 0;
  if (gHostVisible && sm_size(gHostVisible) == 0) {
    sm_free(gHostVisible);
    gHostVisible = nullptr;
  }
  unlockHostVisible();
  return was;
}

// How to wait for the whole device: the renderer's own wait, which holds the
// queue lock (a bare vkDeviceWaitIdle would race with other threads' submits).
std::atomic<void (*)(void*)> gIdleWait{nullptr};
std::atomic<void*> gIdleWaitContext{nullptr};

VkDevice device() { return reinterpret_cast<VkDevice>(memoryGet()->device); }
VkPhysicalDevice physicalDevice() { return reinterpret_cast<VkPhysicalDevice>(memoryGet()->physicalDevice); }

void releaseNow(VkBuffer buffer, VkDeviceMemory memory, VkDeviceSize size, b8 hostVisible) {
  if (buffer && device()) vkDestroyBuffer(device(), buffer, nullptr);
  vramFree(memory, size, hostVisible);
}

}  // namespace

void vramInit(VkDevice dev, VkPhysicalDevice phys) {
  Memory* m = memoryGet();
  m->device = reinterpret_cast<VkDevice_T*>(dev);
  m->physicalDevice = reinterpret_cast<VkPhysicalDevice_T*>(phys);
  m->vramUsed.store(0);
  m->stagingUsed.store(0);
}

u32 vramFindMemoryType(u32 typeFilter, VkMemoryPropertyFlags properties) {
  if (!physicalDevice() || !vkGetPhysicalDeviceMemoryProperties) return 0;
  VkPhysicalDeviceMemoryProperties props;
  vkGetPhysicalDeviceMemoryProperties(physicalDevice(), &props);
  for (u32 i = 0; i < props.memoryTypeCount; i++) {
    if ((typeFilter & (1u << i)) && (props.memoryTypes[i].propertyFlags & properties) == properties) return i;
  }
  return 0;
}

VkResult vramAlloc(const VkMemoryAllocateInfo* allocInfo, VkDeviceMemory* outMemory) {
  if (!allocInfo || !outMemory) return VK_ERROR_INITIALIZATION_FAILED;
  Memory* m = memoryGet();
  u64 size = allocInfo->allocationSize;
  size_t used = m->vramUsed.load();
  if (used > m->vramLimit || size > m->vramLimit - used) return VK_ERROR_OUT_OF_DEVICE_MEMORY;
  if (!device()) return VK_ERROR_INITIALIZATION_FAILED;
  VkResult res = vkAllocateMemory(device(), allocInfo, nullptr, outMemory);
  if (res != VK_SUCCESS) return res;
  m->vramUsed.fetch_add(size);
  VkPhysicalDeviceMemoryProperties props;
  vkGetPhysicalDeviceMemoryProperties(physicalDevice(), &props);
  if (allocInfo->memoryTypeIndex < props.memoryTypeCount &&
      (props.memoryTypes[allocInfo->memoryTypeIndex].propertyFlags & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT) &&
      rememberHostVisible(*outMemory))
    m->stagingUsed.fetch_add(size);
  return VK_SUCCESS;
}

void vramFree(VkDeviceMemory memory, VkDeviceSize size, b8 hostVisible) {
  (void)hostVisible;  // the allocation's own memory type decides, see rememberHostVisible
  if (!memory) return;
  if (device()) vkFreeMemory(device(), memory, nullptr);
  Memory* m = memoryGet();
  m->vramUsed.fetch_sub(size);
  if (forgetHostVisible(memory)) m->stagingUsed.fetch_sub(size);
}

b8 vramCreateBuffer(VkDevice dev, VkDeviceSize size, VkBufferUsageFlags usage, VkMemoryPropertyFlags memoryFlags,
                    VkBuffer* outBuffer, VkDeviceMemory* outMemory, VkDeviceSize* outAllocated) {
  VkBufferCreateInfo bi{};
  bi.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
  bi.size = size;
  bi.usage = usage;
  bi.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  VkBuffer buffer = VK_NULL_HANDLE;
  if (vkCreateBuffer(dev, &bi, nullptr, &buffer) != VK_SUCCESS) return false;
  VkMemoryRequirements req;
  vkGetBufferMemoryRequirements(dev, buffer, &req);
  VkMemoryAllocateFlagsInfo flags{};
  flags.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_FLAGS_INFO;
  flags.flags = VK_MEMORY_ALLOCATE_DEVICE_ADDRESS_BIT;
  VkMemoryAllocateInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  ai.pNext = (usage & VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT) ? &flags : nullptr;
  ai.allocationSize = req.size;
  ai.memoryTypeIndex = vramFindMemoryType(req.memoryTypeBits, memoryFlags);
  VkDeviceMemory memory = VK_NULL_HANDLE;
  if (vramAlloc(&ai, &memory) != VK_SUCCESS) {
    vkDestroyBuffer(dev, buffer, nullptr);
    return false;
  }
  vkBindBufferMemory(dev, buffer, memory, 0);
  *outBuffer = buffer;
  *outMemory = memory;
  *outAllocated = req.size;
  return true;
}

b8 vramCreateImage2D(VkDevice dev, VkExtent2D extent, VkFormat format, VkImageUsageFlags usage, VkImage* outImage,
                     VkDeviceMemory* outMemory, VkDeviceSize* outAllocated) {
  VkImageCreateInfo ii{};
  ii.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
  ii.imageType = VK_IMAGE_TYPE_2D;
  ii.format = format;
  ii.extent = {extent.width, extent.height, 1};
  ii.mipLevels = 1;
  ii.arrayLayers = 1;
  ii.samples = VK_SAMPLE_COUNT_1_BIT;
  ii.tiling = VK_IMAGE_TILING_OPTIMAL;
  ii.usage = usage;
  ii.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  ii.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  VkImage image = VK_NULL_HANDLE;
  if (vkCreateImage(dev, &ii, nullptr, &image) != VK_SUCCESS) return false;
  VkMemoryRequirements req;
  vkGetImageMemoryRequirements(dev, image, &req);
  VkMemoryAllocateInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  ai.allocationSize = req.size;
  ai.memoryTypeIndex = vramFindMemoryType(req.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
  VkDeviceMemory memory = VK_NULL_HANDLE;
  if (vramAlloc(&ai, &memory) != VK_SUCCESS) {
    vkDestroyImage(dev, image, nullptr);
    return false;
  }
  vkBindImageMemory(dev, image, memory, 0);
  *outImage = image;
  *outMemory = memory;
  *outAllocated = req.size;
  return true;
}

void vramSetIdleWait(void (*wait)(void* context), void* context) {
  gIdleWait.store(nullptr, std::memory_order_release);
  gIdleWaitContext.store(context, std::memory_order_release);
  gIdleWait.store(wait, std::memory_order_release);
}

u64 gpuSerialCurrent() { return gSerialCurrent.load(std::memory_order_acquire); }
u64 gpuSerialDone() { return gSerialDone.load(std::memory_order_acquire); }

u64 gpuSerialBeginFrame() { return gSerialCurrent.fetch_add(1, std::memory_order_acq_rel) + 1; }

void gpuSerialComplete(u64 serial) {
  u64 done = gSerialDone.load(std::memory_order_acquire);
  while (serial > done && !gSerialDone.compare_exchange_weak(done, serial, std::memory_order_acq_rel)) {
  }
}

void gpuSerialQueueIdle(b8 frameRecording) {
  u64 cur = gSerialCurrent.load(std::memory_order_acquire);
  // A frame being recorded is not submitted yet; everything before it is done.
  gpuSerialComplete(frameRecording && cur > 0 ? cur - 1 : cur);
}

u64 gpuSerialUse() {
  u64 cur = gSerialCurrent.load(std::memory_order_acquire);
  for (;;) {
    u64 done = gSerialDone.load(std::memory_order_acquire);
    if (cur > done) return cur;
    // Nothing in flight: open a serial that the next completion will cover.
    if (gSerialCurrent.compare_exchange_weak(cur, done + 1, std::memory_order_acq_rel)) return done + 1;
  }
}

void vramDeferFree(VkBuffer buffer, VkDeviceMemory memory, VkDeviceSize size, b8 hostVisible) {
  if (!buffer && !memory) return;
  u64 serial = gpuSerialCurrent();
  if (serial <= gpuSerialDone()) {
    releaseNow(buffer, memory, size, hostVisible);
    return;
  }
  lockDeferred();
  if (gDeferredCount == gDeferredCapacity) {
    u32 cap = gDeferredCapacity ? gDeferredCapacity * 2 : 16;
    auto* grown = static_cast<DeferredFree*>(memRealloc(gDeferred, sizeof(DeferredFree) * cap));
    if (!grown) {
      unlockDeferred();
      // Out of heap: waiting for the device is the only safe way left.
      if (auto wait = gIdleWait.load(std::memory_order_acquire))
        wait(gIdleWaitContext.load(std::memory_order_acquire));
      else if (device())
        vkDeviceWaitIdle(device());
      releaseNow(buffer, memory, size, hostVisible);
      return;
    }
    gDeferred = grown;
    gDeferredCapacity = cap;
  }
  gDeferred[gDeferredCount++] = DeferredFree{buffer, memory, size, serial, hostVisible};
  unlockDeferred();
}

void vramCollect(b8 force) {
  u64 done = gpuSerialDone();
  lockDeferred();
  u32 kept = 0;
  for (u32 i = 0; i < gDeferredCount; i++) {
    DeferredFree d = gDeferred[i];
    if (force || d.serial <= done)
      releaseNow(d.buffer, d.memory, d.size, d.hostVisible);
    else
      gDeferred[kept++] = d;
  }
  gDeferredCount = kept;
  if (kept == 0 && gDeferred) {
    memFree(gDeferred);
    gDeferred = nullptr;
    gDeferredCapacity = 0;
  }
  unlockDeferred();
}

u32 vramDeferredCount() {
  lockDeferred();
  u32 n = gDeferredCount;
  unlockDeferred();
  return n;
}
