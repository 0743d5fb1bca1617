// Texture creation, the bindless table and the upload worker.
//
// The texture system has its own command pool, used only under its lock, so that
// uploads may be recorded on any thread and their buffers freed by the worker;
// queue submissions hold the renderer's queueMutex. Destroyed textures are kept
// until the GPU timeline says no frame in flight can still sample them.
#include "renderer/texture.h"

#include <stb/stb_image.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/memory.h"
#include "renderer/renderer.h"
#include "renderer/texture_upload.h"
#include "renderer/vram.h"

namespace {

struct RetiredTexture {
  VkImage image;
  VkImageView view;
  VkSampler sampler;
  VkDeviceMemory memory;
  VkDeviceSize memorySize;
  u64 serial;  // safe once the GPU timeline has completed it
};

struct TextureUploadState {
  Renderer* renderer;
  TextureUploadQueue queue;
  ThreadMutex lock;  // command pool, bindless writes, retired list
  VkCommandPool commandPool;
  b8 queueReady;
  GltfTexture fallbackTex;
  std::atomic<u32> nextBindlessIndex;
  RetiredTexture* retired;
  u32 retiredCount;
  u32 retiredCapacity;
};

TextureUploadState sTex;
std::atomic<b8> sInitialized{false};
std::atomic<b8> sBuildingFallback{false};
std::mutex sEnsureMutex;  // start-up and shutdown of the whole system

constexpr VkMemoryPropertyFlags kHostMemory = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;

void destroyObjects(VkDevice dev, VkImage image, VkImageView view, VkSampler sampler, VkDeviceMemory memory,
                    VkDeviceSize memorySize) {
  if (sampler) vkDestroySampler(dev, sampler, nullptr);
  if (view) vkDestroyImageView(dev, view, nullptr);
  if (image) vkDestroyImage(dev, image, nullptr);
  if (memory) vramFree(memory, memorySize, false);
}

void destroyNow(GltfTexture* t, Renderer* r) {
  destroyObjects(r->device, t->image, t->view, t->sampler, t->memory, t->memorySize);
  std::memset(static_cast<void*>(t), 0, sizeof(*t));
}

b8 createSampler(Renderer* r, VkFilter filter, VkSamplerMipmapMode mip, VkSampler* out) {
  VkSamplerCreateInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO;
  si.magFilter = filter;
  si.minFilter = filter;
  si.mipmapMode = mip;
  si.addressModeU = VK_SAMPLER_ADDRESS_MODE_REPEAT;
  si.addressModeV = VK_SAMPLER_ADDRESS_MODE_REPEAT;
  si.addressModeW = VK_SAMPLER_ADDRESS_MODE_REPEAT;
  si.maxAnisotropy = 1.0f;
  si.minLod = 0.0f;
  si.maxLod = 0.0f;
  return vkCreateSampler(r->device, &si, nullptr, out) == VK_SUCCESS;
}

// Whether the device can sample `format` at this size, and the data holds a level.
b8 acceptable(Renderer* r, u64 dataSize, u32 width, u32 height, VkFormat format) {
  if (width == 0 || height == 0) return false;
  u64 need = textureFormatLevelSize(format, width, height);
  if (need == 0 || dataSize < need) return false;
  VkPhysicalDeviceProperties props;
  vkGetPhysicalDeviceProperties(r->physicalDevice, &props);
  if (width > props.limits.maxImageDimension2D || height > props.limits.maxImageDimension2D) return false;
  VkFormatProperties fp;
  vkGetPhysicalDeviceFormatProperties(r->physicalDevice, format, &fp);
  const VkFormatFeatureFlags want = VK_FORMAT_FEATURE_SAMPLED_IMAGE_BIT | VK_FORMAT_FEATURE_TRANSFER_DST_BIT;
  return (fp.optimalTilingFeatures & want) == want;
}

// Steps shared by both creation paths: image, memory, view and a linear sampler.
b8 createImageObjects(Renderer* r, u32 width, u32 height, VkFormat format, GltfTexture* out) {
  std::memset(static_cast<void*>(out), 0, sizeof(*out));
  if (!vramCreateImage2D(r->device, VkExtent2D{width, height}, format,
                         VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_SAMPLED_BIT, &out->image, &out->memory,
                         &out->memorySize))
    return false;
  VkImageViewCreateInfo vi{};
  vi.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  vi.image = out->image;
  vi.viewType = VK_IMAGE_VIEW_TYPE_2D;
  vi.format = format;
  vi.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  if (vkCreateImageView(r->device, &vi, nullptr, &out->view) != VK_SUCCESS ||
      !createSampler(r, VK_FILTER_LINEAR, VK_SAMPLER_MIPMAP_MODE_LINEAR, &out->sampler)) {
    destroyNow(out, r);
    return false;
  }
  out->width = width;
  out->height = height;
  out->format = format;
  return true;
}

struct Staging {
  VkBuffer buffer;
  VkDeviceMemory memory;
  VkDeviceSize size;
};

b8 createStaging(Renderer* r, const void* data, u64 dataSize, Staging* s) {
  *s = Staging{};
  if (!vramCreateBuffer(r->device, dataSize, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, kHostMemory, &s->buffer, &s->memory,
                        &s->size))
    return false;
  void* mapped = nullptr;
  if (vkMapMemory(r->device, s->memory, 0, dataSize, 0, &mapped) != VK_SUCCESS) {
    vkDestroyBuffer(r->device, s->buffer, nullptr);
    vramFree(s->memory, s->size, true);
    return false;
  }
  std::memcpy(mapped, data, dataSize);
  vkUnmapMemory(r->device, s->memory);
  return true;
}

void destroyStaging(Renderer* r, VkBuffer buffer, VkDeviceMemory memory, VkDeviceSize size) {
  if (buffer) vkDestroyBuffer(r->device, buffer, nullptr);
  if (memory) vramFree(memory, size, true);
}

// Records the copy of level 0 with its layout transitions into a new buffer from
// the texture system's pool; null on failure.
VkCommandBuffer recordUpload(Renderer* r, const GltfTexture* t, VkBuffer staging) {
  threadMutexLock(&sTex.lock);
  VkCommandBufferAllocateInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
  ai.commandPool = sTex.commandPool;
  ai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
  ai.commandBufferCount = 1;
  VkCommandBuffer cmd = VK_NULL_HANDLE;
  if (!sTex.commandPool || vkAllocateCommandBuffers(r->device, &ai, &cmd) != VK_SUCCESS) {
    threadMutexUnlock(&sTex.lock);
    return VK_NULL_HANDLE;
  }
  VkCommandBufferBeginInfo bi{};
  bi.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
  bi.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  vkBeginCommandBuffer(cmd, &bi);
  VkImageMemoryBarrier b{};
  b.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
  b.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  b.newLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  b.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = t->image;
  b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  b.srcAccessMask = 0;
  b.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  VkBufferImageCopy copy{};
  copy.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  copy.imageExtent = {t->width, t->height, 1};
  vkCmdCopyBufferToImage(cmd, staging, t->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &copy);
  b.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  b.newLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
  b.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  b.dstAccessMask = VK_ACCESS_SHADER_READ_BIT;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  VkResult res = vkEndCommandBuffer(cmd);
  if (res != VK_SUCCESS) {
    vkFreeCommandBuffers(r->device, sTex.commandPool, 1, &cmd);
    cmd = VK_NULL_HANDLE;
  }
  threadMutexUnlock(&sTex.lock);
  return cmd;
}

void freeCommands(Renderer* r, VkCommandBuffer cmd) {
  if (!cmd) return;
  threadMutexLock(&sTex.lock);
  vkFreeCommandBuffers(r->device, sTex.commandPool, 1, &cmd);
  threadMutexUnlock(&sTex.lock);
}

b8 submit(Renderer* r, VkCommandBuffer cmd, VkFence fence) {
  VkSubmitInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
  si.commandBufferCount = 1;
  si.pCommandBuffers = &cmd;
  threadMutexLock(&r->queueMutex);
  VkResult res = vkQueueSubmit(r->graphicsQueue, 1, &si, fence);
  threadMutexUnlock(&r->queueMutex);
  return res == VK_SUCCESS;
}

VkFence createFence(Renderer* r) {
  VkFenceCreateInfo fi{};
  fi.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
  VkFence fence = VK_NULL_HANDLE;
  if (vkCreateFence(r->device, &fi, nullptr, &fence) != VK_SUCCESS) return VK_NULL_HANDLE;
  return fence;
}

// Runs on the worker: the copy has been submitted with the item's fence.
void completeUpload(PendingTextureUpload* item, void*) {
  Renderer* r = item->renderer;
  vkWaitForFences(r->device, 1, &item->fence, VK_TRUE, UINT64_MAX);
  textureWriteBindless(item->bindlessIndex, item->texture->sampler, item->texture->view);
  freeCommands(r, item->commandBuffer);
  vkDestroyFence(r->device, item->fence, nullptr);
  destroyStaging(r, item->stagingBuffer, item->stagingMemory, item->stagingMemorySize);
}

void writeSlot(u32 slot, VkSampler sampler, VkImageView view) {
  Renderer* r = sTex.renderer;
  VkDescriptorImageInfo ii{sampler, view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
  VkWriteDescriptorSet w{};
  w.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
  w.dstSet = r->bindlessTextureSet;
  w.dstBinding = 0;
  w.dstArrayElement = slot;
  w.descriptorCount = 1;
  w.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
  w.pImageInfo = &ii;
  vkUpdateDescriptorSets(r->device, 1, &w, 0, nullptr);
}

void destroyTable(Renderer* r) {
  if (r->bindlessTexturePool) vkDestroyDescriptorPool(r->device, r->bindlessTexturePool, nullptr);
  if (r->bindlessTextureSetLayout) vkDestroyDescriptorSetLayout(r->device, r->bindlessTextureSetLayout, nullptr);
  r->bindlessTexturePool = VK_NULL_HANDLE;
  r->bindlessTextureSetLayout = VK_NULL_HANDLE;
  r->bindlessTextureSet = VK_NULL_HANDLE;
}

b8 createTable(Renderer* r) {
  VkDescriptorSetLayoutBinding binding{0, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, kTextureBindlessSlots,
                                       VK_SHADER_STAGE_FRAGMENT_BIT, nullptr};
  // Slots are written while frames that never read them are in flight (the
  // worker publishing a new texture), hence update-unused-while-pending as well.
  VkDescriptorBindingFlags flags = VK_DESCRIPTOR_BINDING_PARTIALLY_BOUND_BIT |
                                   VK_DESCRIPTOR_BINDING_UPDATE_AFTER_BIND_BIT |
                                   VK_DESCRIPTOR_BINDING_UPDATE_UNUSED_WHILE_PENDING_BIT;
  VkDescriptorSetLayoutBindingFlagsCreateInfo fi{};
  fi.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_BINDING_FLAGS_CREATE_INFO;
  fi.bindingCount = 1;
  fi.pBindingFlags = &flags;
  VkDescriptorSetLayoutCreateInfo li{};
  li.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
  li.pNext = &fi;
  li.flags = VK_DESCRIPTOR_SET_LAYOUT_CREATE_UPDATE_AFTER_BIND_POOL_BIT;
  li.bindingCount = 1;
  li.pBindings = &binding;
  if (vkCreateDescriptorSetLayout(r->device, &li, nullptr, &r->bindlessTextureSetLayout) != VK_SUCCESS) {
    r->bindlessTextureSetLayout = VK_NULL_HANDLE;
    return false;
  }
  VkDescriptorPoolSize size{VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, kTextureBindlessSlots};
  VkDescriptorPoolCreateInfo pi{};
  pi.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
  pi.flags = VK_DESCRIPTOR_POOL_CREATE_UPDATE_AFTER_BIND_BIT;
  pi.maxSets = 1;
  pi.poolSizeCount = 1;
  pi.pPoolSizes = &size;
  if (vkCreateDescriptorPool(r->device, &pi, nullptr, &r->bindlessTexturePool) != VK_SUCCESS) {
    r->bindlessTexturePool = VK_NULL_HANDLE;
    destroyTable(r);
    return false;
  }
  VkDescriptorSetAllocateInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
  ai.descriptorPool = r->bindlessTexturePool;
  ai.descriptorSetCount = 1;
  ai.pSetLayouts = &r->bindlessTextureSetLayout;
  if (vkAllocateDescriptorSets(r->device, &ai, &r->bindlessTextureSet) != VK_SUCCESS) {
    destroyTable(r);
    return false;
  }
  return true;
}

// Every slot shows the fallback until a texture is published into it.
b8 fillWithFallback(Renderer* r) {
  auto* infos = static_cast<VkDescriptorImageInfo*>(memAlloc(sizeof(VkDescriptorImageInfo) * kTextureBindlessSlots));
  if (!infos) return false;
  for (u32 i = 0; i < kTextureBindlessSlots; i++)
    infos[i] = VkDescriptorImageInfo{r->bindlessTextureFallbackSampler, r->bindlessTextureFallbackView,
                                     VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
  VkWriteDescriptorSet w{};
  w.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
  w.dstSet = r->bindlessTextureSet;
  w.descriptorCount = kTextureBindlessSlots;
  w.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
  w.pImageInfo = infos;
  vkUpdateDescriptorSets(r->device, 1, &w, 0, nullptr);
  memFree(infos);
  return true;
}

void releaseState() {
  Renderer* r = sTex.renderer;
  if (sTex.commandPool) vkDestroyCommandPool(r->device, sTex.commandPool, nullptr);
  memFree(sTex.retired);
  threadMutexDestroy(&sTex.lock);
  sTex.renderer = nullptr;
  sTex.commandPool = VK_NULL_HANDLE;
  sTex.retired = nullptr;
  sTex.retiredCount = sTex.retiredCapacity = 0;
  sTex.queueReady = false;
  sTex.fallbackTex = GltfTexture{};
  sTex.nextBindlessIndex.store(0);
}

// Synchronous upload of level 0 into an image already made.
b8 uploadNow(Renderer* r, GltfTexture* t, const void* data, u64 dataSize) {
  Staging s;
  if (!createStaging(r, data, dataSize, &s)) return false;
  VkCommandBuffer cmd = recordUpload(r, t, s.buffer);
  VkFence fence = cmd ? createFence(r) : VK_NULL_HANDLE;
  b8 ok = fence && submit(r, cmd, fence);
  if (ok) vkWaitForFences(r->device, 1, &fence, VK_TRUE, UINT64_MAX);
  if (fence) vkDestroyFence(r->device, fence, nullptr);
  freeCommands(r, cmd);
  destroyStaging(r, s.buffer, s.memory, s.size);
  return ok;
}

b8 hasTable(const Renderer* r) {
  return r->bindlessTextureSetLayout && r->bindlessTexturePool && r->bindlessTextureSet;
}

}  // namespace

b8 textureEnsureBindless(Renderer* r) {
  if (!r || !r->device) return false;
  if (sInitialized.load(std::memory_order_acquire)) return sTex.renderer == r;
  std::lock_guard<std::mutex> guard(sEnsureMutex);
  if (sInitialized.load(std::memory_order_acquire)) return sTex.renderer == r;
  sTex.renderer = r;
  sTex.nextBindlessIndex.store(0);
  if (threadMutexInit(&sTex.lock) != 0) return false;
  VkCommandPoolCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
  ci.flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT;
  ci.queueFamilyIndex = r->graphicsFamily;
  if (vkCreateCommandPool(r->device, &ci, nullptr, &sTex.commandPool) != VK_SUCCESS) {
    sTex.commandPool = VK_NULL_HANDLE;
    releaseState();
    return false;
  }
  b8 madeTable = false;
  if (!hasTable(r)) {
    destroyTable(r);
    if (!createTable(r)) {
      releaseState();
      return false;
    }
    madeTable = true;
  }
  if (!r->bindlessTextureFallbackSampler || !r->bindlessTextureFallbackView) {
    sBuildingFallback.store(true);
    b8 ok = textureCreateFallback(&sTex.fallbackTex, r, 8, 8);
    sBuildingFallback.store(false);
    if (!ok) {
      if (madeTable) destroyTable(r);
      releaseState();
      return false;
    }
    r->bindlessTextureFallbackSampler = sTex.fallbackTex.sampler;
    r->bindlessTextureFallbackView = sTex.fallbackTex.view;
  }
  fillWithFallback(r);
  sTex.nextBindlessIndex.store(1);
  sTex.queueReady = textureUploadQueueInit(&sTex.queue, completeUpload, nullptr);
  b8 workerOk = sTex.queueReady && textureUploadQueueStart(&sTex.queue);
  sInitialized.store(true, std::memory_order_release);
  return workerOk;
}

void textureShutdown(Renderer* r) {
  if (!r || !r->device) return;
  std::lock_guard<std::mutex> guard(sEnsureMutex);
  if (sInitialized.load(std::memory_order_acquire) && sTex.renderer == r) {
    if (sTex.queueReady) textureUploadQueueShutdown(&sTex.queue);
    rendererWaitIdle(r);
    textureCollect(true);
    if (sTex.fallbackTex.image) {
      if (r->bindlessTextureFallbackView == sTex.fallbackTex.view) {
        r->bindlessTextureFallbackView = VK_NULL_HANDLE;
        r->bindlessTextureFallbackSampler = VK_NULL_HANDLE;
      }
      destroyNow(&sTex.fallbackTex, r);
    }
    sInitialized.store(false, std::memory_order_release);
    releaseState();
  }
  destroyTable(r);
}

u32 textureReserveBindlessSlot() {
  if (!sInitialized.load(std::memory_order_acquire)) return 0;
  u32 v = sTex.nextBindlessIndex.load(std::memory_order_relaxed);
  do {
    if (v == 0 || v >= kTextureBindlessSlots) return 0;
  } while (!sTex.nextBindlessIndex.compare_exchange_weak(v, v + 1, std::memory_order_relaxed));
  return v;
}

void textureWriteBindless(u32 slot, VkSampler sampler, VkImageView view) {
  if (!sInitialized.load(std::memory_order_acquire) || slot >= kTextureBindlessSlots) return;
  Renderer* r = sTex.renderer;
  if (!r || !hasTable(r)) return;
  if (!sampler || !view) {
    sampler = r->bindlessTextureFallbackSampler;
    view = r->bindlessTextureFallbackView;
  }
  if (!sampler || !view) return;
  threadMutexLock(&sTex.lock);
  writeSlot(slot, sampler, view);
  threadMutexUnlock(&sTex.lock);
}

b8 textureCreateFallback(GltfTexture* out, Renderer* r, u32 width, u32 height) {
  if (!out || !r) return false;
  if (width == 0) width = 8;
  if (height == 0) height = 8;
  auto* px = static_cast<u8*>(memAlloc((u64)width * height * 4));
  if (!px) return false;
  for (u32 y = 0; y < height; y++)
    for (u32 x = 0; x < width; x++) {
      u8* p = px + ((u64)y * width + x) * 4;
      b8 even = ((x + y) & 1) == 0;
      p[0] = even ? 255 : 0;
      p[1] = 0;
      p[2] = even ? 255 : 0;
      p[3] = 255;
    }
  b8 ok = textureCreateFromRgba(px, width, height, out, r);
  memFree(px);
  if (!ok) return false;
  VkSampler nearest = VK_NULL_HANDLE;
  if (!createSampler(r, VK_FILTER_NEAREST, VK_SAMPLER_MIPMAP_MODE_NEAREST, &nearest)) {
    textureDestroy(out, r);
    return false;
  }
  VkSampler old = out->sampler;
  out->sampler = nearest;
  if (out->bindlessIndex) textureWriteBindless(out->bindlessIndex, out->sampler, out->view);
  vkDestroySampler(r->device, old, nullptr);
  return true;
}

b8 textureCreateFromRgba(const u8* pixels, u32 width, u32 height, GltfTexture* out, Renderer* r) {
  if (!pixels || !out || !r) return false;
  u8* data = nullptr;
  u64 size = 0;
  if (!textureCompressRgbaToBc7(pixels, width, height, &data, &size)) return false;
  b8 ok = textureCreateFromCompressed(data, size, width, height, VK_FORMAT_BC7_UNORM_BLOCK, out, r);
  memFree(data);
  return ok;
}

b8 textureCreateFromCompressed(const void* data, u64 dataSize, u32 width, u32 height, VkFormat format,
                               GltfTexture* out, Renderer* r) {
  if (!data || !out || !r || !r->device) return false;
  if (!acceptable(r, dataSize, width, height, format)) return false;
  // Before the image exists: the upload needs the texture system's command pool.
  if (!sBuildingFallback.load() && !sInitialized.load(std::memory_order_acquire) && !textureEnsureBindless(r))
    return false;
  if (!createImageObjects(r, width, height, format, out)) return false;
  if (!uploadNow(r, out, data, textureFormatLevelSize(format, width, height))) {
    destroyNow(out, r);
    return false;
  }
  if (sBuildingFallback.load() || !hasTable(r)) return true;
  if (!textureEnsureBindless(r)) return true;
  u32 slot = textureReserveBindlessSlot();
  out->bindlessIndex = slot;
  if (slot) textureWriteBindless(slot, out->sampler, out->view);
  return true;
}

b8 textureCreateFromCompressedAsync(const void* data, u64 dataSize, u32 width, u32 height, VkFormat format,
                                    GltfTexture* out, Renderer* r) {
  if (!data || !out || !r || !r->device) return false;
  if (!acceptable(r, dataSize, width, height, format)) return false;
  if (!textureEnsureBindless(r) || !sTex.queueReady) return false;
  if (!createImageObjects(r, width, height, format, out)) return false;
  u32 slot = textureReserveBindlessSlot();
  if (!slot) {
    destroyNow(out, r);
    return false;
  }
  out->bindlessIndex = slot;
  textureWriteBindless(slot, VK_NULL_HANDLE, VK_NULL_HANDLE);
  Staging s;
  if (!createStaging(r, data, textureFormatLevelSize(format, width, height), &s)) {
    destroyNow(out, r);
    return false;
  }
  auto* item = static_cast<PendingTextureUpload*>(memCalloc(1, sizeof(PendingTextureUpload)));
  VkCommandBuffer cmd = item ? recordUpload(r, out, s.buffer) : VK_NULL_HANDLE;
  VkFence fence = cmd ? createFence(r) : VK_NULL_HANDLE;
  if (!fence || !submit(r, cmd, fence)) {
    // Nothing reached the GPU (or the submission failed): release it all here.
    if (fence) vkDestroyFence(r->device, fence, nullptr);
    freeCommands(r, cmd);
    memFree(item);
    destroyStaging(r, s.buffer, s.memory, s.size);
    destroyNow(out, r);
    return false;
  }
  *item = PendingTextureUpload{out, r, fence, s.buffer, s.memory, s.size, slot, cmd, nullptr};
  textureUploadQueuePush(&sTex.queue, item);
  return true;
}

void textureCollect(b8 force) {
  if (!sInitialized.load(std::memory_order_acquire)) return;
  Renderer* r = sTex.renderer;
  u64 done = gpuSerialDone();
  threadMutexLock(&sTex.lock);
  u32 kept = 0;
  for (u32 i = 0; i < sTex.retiredCount; i++) {
    RetiredTexture& t = sTex.retired[i];
    if (force || done >= t.serial)
      destroyObjects(r->device, t.image, t.view, t.sampler, t.memory, t.memorySize);
    else
      sTex.retired[kept++] = t;
  }
  sTex.retiredCount = kept;
  threadMutexUnlock(&sTex.lock);
}

void textureDestroy(GltfTexture* t, Renderer* r) {
  if (!t || !r || !r->device) return;
  b8 live = sInitialized.load(std::memory_order_acquire) && sTex.renderer == r;
  if (live && sTex.queueReady) textureUploadQueueWait(&sTex.queue, t);
  if (live && t->bindlessIndex && t->bindlessIndex < kTextureBindlessSlots)
    textureWriteBindless(t->bindlessIndex, VK_NULL_HANDLE, VK_NULL_HANDLE);
  u64 serial = gpuSerialCurrent();
  if (!live || gpuSerialDone() >= serial) {
    destroyNow(t, r);
    if (live) textureCollect(false);
    return;
  }
  // A frame in flight may still sample it: release once that frame is done.
  threadMutexLock(&sTex.lock);
  if (sTex.retiredCount == sTex.retiredCapacity) {
    u32 cap = sTex.retiredCapacity ? sTex.retiredCapacity * 2 : 16;
    auto* grown = static_cast<RetiredTexture*>(memRealloc(sTex.retired, sizeof(RetiredTexture) * cap));
    if (!grown) {
      // Without room to wait, wait for the device instead of freeing under it.
      threadMutexUnlock(&sTex.lock);
      rendererWaitIdle(r);
      destroyNow(t, r);
      textureCollect(false);
      return;
    }
    sTex.retired = grown;
    sTex.retiredCapacity = cap;
  }
  sTex.retired[sTex.retiredCount++] = RetiredTexture{t->image, t->view, t->sampler, t->memory, t->memorySize, serial};
  threadMutexUnlock(&sTex.lock);
  std::memset(static_cast<void*>(t), 0, sizeof(*t));
  textureCollect(false);
}

b8 textureReadFile(const char* path, u8** outData, u64* outSize) {
  return textureReadFileMax(path, ~0ull, outData, outSize);
}

b8 textureReadFileMax(const char* path, u64 maxBytes, u8** outData, u64* outSize) {
  if (!path || !outData || !outSize) return false;
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  b8 ok = false;
  u8* data = nullptr;
  long size = 0;
  if (std::fseek(f, 0, SEEK_END) == 0 && (size = std::ftell(f)) > 0 && (u64)size <= maxBytes &&
      std::fseek(f, 0, SEEK_SET) == 0) {
    data = static_cast<u8*>(memAlloc((size_t)size));
    ok = data && std::fread(data, 1, (size_t)size, f) == (size_t)size;
  }
  std::fclose(f);
  if (!ok) {
    memFree(data);
    return false;
  }
  *outData = data;
  *outSize = (u64)size;
  return true;
}

namespace {

b8 loadCandidate(const char* path, GltfTexture* out, Renderer* r, b8 async) {
  u8* file = nullptr;
  u64 size = 0;
  if (!textureReadFile(path, &file, &size)) return false;
  b8 ok = false;
  if (textureIsKtx2(file, size)) {
    u8* data = nullptr;
    u64 dataSize = 0;
    u32 w = 0, h = 0;
    VkFormat fmt = VK_FORMAT_UNDEFINED;
    if (textureReadKtx2(file, size, &data, &dataSize, &w, &h, &fmt)) {
      ok = async ? textureCreateFromCompressedAsync(data, dataSize, w, h, fmt, out, r)
                 : textureCreateFromCompressed(data, dataSize, w, h, fmt, out, r);
      memFree(data);
    }
  } else if (size <= 0x7FFFFFFF) {
    int w = 0, h = 0, channels = 0;
    // stb_image keeps its own (system) heap: the pixels live only until compressed.
    stbi_uc* px = stbi_load_from_memory(file, (int)size, &w, &h, &channels, 4);
    u8* data = nullptr;
    u64 dataSize = 0;
    if (px && w > 0 && h > 0 && textureCompressRgbaToBc7(px, (u32)w, (u32)h, &data, &dataSize)) {
      ok = async ? textureCreateFromCompressedAsync(data, dataSize, (u32)w, (u32)h, VK_FORMAT_BC7_UNORM_BLOCK, out, r)
                 : textureCreateFromCompressed(data, dataSize, (u32)w, (u32)h, VK_FORMAT_BC7_UNORM_BLOCK, out, r);
      memFree(data);
    }
    if (px) stbi_image_free(px);
  }
  memFree(file);
  return ok;
}

b8 loadFile(const char* filename, const char* basePath, GltfTexture* out, Renderer* r, b8 async) {
  if (!filename || !out || !r) return false;
  char dir[512] = "";
  if (basePath) {
    const char* slash = nullptr;
    for (const char* p = basePath; *p; p++)
      if (*p == '/' || *p == '\\') slash = p;
    if (slash) {
      size_t len = (size_t)(slash - basePath) + 1;
      if (len > 511) return false;
      std::memcpy(dir, basePath, len);
      dir[len] = 0;
    }
  }
  static const char* const kSuffixes[] = {"", ".png", ".jpg", ".ktx2"};
  u32 count = std::strchr(filename, '.') ? 1 : 4;
  for (u32 i = 0; i < count; i++) {
    char path[512];
    int n = std::snprintf(path, sizeof(path), "%s%s%s", dir, filename, kSuffixes[i]);
    if (n < 0 || n > 511) continue;
    if (loadCandidate(path, out, r, async)) return true;
  }
  return false;
}

}  // namespace

b8 textureLoadFile(const char* filename, const char* basePath, GltfTexture* out, Renderer* r) {
  return loadFile(filename, basePath, out, r, false);
}

b8 textureLoadFileAsync(const char* filename, const char* basePath, GltfTexture* out, Renderer* r) {
  if (!textureEnsureBindless(r)) return false;
  return loadFile(filename, basePath, out, r, true);
}

void textureLock() {
  if (sInitialized.load(std::memory_order_acquire)) threadMutexLock(&sTex.lock);
}

void textureUnlock() {
  if (sInitialized.load(std::memory_order_acquire)) threadMutexUnlock(&sTex.lock);
}

b8 textureUploadIsPending(const GltfTexture* texture) {
  if (!texture || !sInitialized.load(std::memory_order_acquire) || !sTex.queueReady) return false;
  return textureUploadQueuePending(&sTex.queue, texture);
}
