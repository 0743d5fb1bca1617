#include "renderer/decal.h"

#include <stb/stb_image.h>

#include <climits>
#include <cstring>

#include "platform/hashmap.h"
#include "platform/memory.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"
#include "renderer/texture.h"
#include "renderer/vram.h"

const DecalVertex gDecalQuad[4] = {{{-0.5f, -0.5f, 0.0f}, {0.0f, 1.0f}},
                                   {{0.5f, -0.5f, 0.0f}, {1.0f, 1.0f}},
                                   {{0.5f, 0.5f, 0.0f}, {1.0f, 0.0f}},
                                   {{-0.5f, 0.5f, 0.0f}, {0.0f, 0.0f}}};
const u16 gDecalQuadIndices[6] = {0, 1, 2, 0, 2, 3};

namespace {

constexpr VkMemoryPropertyFlags kHostMemory =
    VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
constexpr const char* kVertShader = "shaders/decal.vert.spv";
constexpr const char* kFragShader = "shaders/decal.frag.spv";
constexpr const char* kLitFragShader = "shaders/decal_lit.frag.spv";
// Pixels decoded at most per picture (stb keeps them on the system heap while
// they are filtered and compressed): 128 MiB of RGBA.
constexpr u64 kMaxDecodePixels = 1ull << 25;
constexpr u32 kInitialInstances = 256;  // the per-frame buffers grow from here

struct DecalPush {
  mat4f32 viewProj;
  u64 lightDataAddr;
};
static_assert(sizeof(DecalPush) == 72);

void* accountedAlloc(void*, size_t bytes) { return memAlloc(bytes); }
void accountedFree(void*, void* p) { memFree(p); }
const sm_allocator_t kAccounted = {nullptr, accountedAlloc, accountedFree, nullptr, nullptr};

u32 maxU32(u32 a, u32 b) { return a > b ? a : b; }

// ---- Loader threads ----

i32 decalAsyncWorker(void* user) {
  auto* s = static_cast<DecalAsyncState*>(user);
  for (;;) {
    threadMutexLock(&s->mutex);
    while (s->running && !s->jobHead) threadCondWait(&s->cond, &s->mutex);
    if (!s->running) {
      threadMutexUnlock(&s->mutex);
      return 0;
    }
    DecalLoadJob* job = s->jobHead;
    s->jobHead = job->next;
    if (!s->jobHead) s->jobTail = nullptr;
    s->busy++;
    threadMutexUnlock(&s->mutex);

    auto* res = static_cast<DecalLoadResult*>(memCalloc(1, sizeof(DecalLoadResult)));
    b8 ok = res && decalLoadImage(job->path, &res->data, &res->dataSize, &res->width, &res->height, &res->format);
    if (ok) {
      std::memcpy(res->path, job->path, sizeof res->path);
      res->slot = job->slot;
    } else {
      memFree(res);
      res = nullptr;
    }
    memFree(job);

    threadMutexLock(&s->mutex);
    if (res) {
      if (s->doneTail)
        s->doneTail->next = res;
      else
        s->doneHead = res;
      s->doneTail = res;
    }
    s->busy--;
    threadMutexUnlock(&s->mutex);
  }
}

// ---- Texture array ----

b8 formatUsable(Renderer* r, VkFormat format) {
  VkFormatProperties fp;
  vkGetPhysicalDeviceFormatProperties(r->physicalDevice, format, &fp);
  const VkFormatFeatureFlags want = VK_FORMAT_FEATURE_SAMPLED_IMAGE_BIT | VK_FORMAT_FEATURE_TRANSFER_DST_BIT;
  return (fp.optimalTilingFeatures & want) == want;
}

void destroyArray(Renderer* r, DecalTextureArray* a) {
  if (a->sampler) vkDestroySampler(r->device, a->sampler, nullptr);
  if (a->view) vkDestroyImageView(r->device, a->view, nullptr);
  if (a->image) vkDestroyImage(r->device, a->image, nullptr);
  if (a->memory) vramFree(a->memory, a->memorySize, false);
  *a = DecalTextureArray{};
}

// One image of DECAL_MAX_TEXTURES layers. Refused past DECAL_MAX_ARRAY_BYTES, for
// formats the device cannot sample and past the VRAM budget.
b8 decalCreateArray(Renderer* r, u32 width, u32 height, VkFormat format, DecalTextureArray* out) {
  *out = DecalTextureArray{};
  u64 layerBytes = textureFormatLevelSize(format, width, height);
  if (width == 0 || height == 0 || layerBytes == 0 || layerBytes > DECAL_MAX_ARRAY_BYTES / DECAL_MAX_TEXTURES)
    return false;
  VkPhysicalDeviceProperties props;
  vkGetPhysicalDeviceProperties(r->physicalDevice, &props);
  if (width > props.limits.maxImageDimension2D || height > props.limits.maxImageDimension2D ||
      DECAL_MAX_TEXTURES > props.limits.maxImageArrayLayers || !formatUsable(r, format))
    return false;
  VkImageCreateInfo ii{};
  ii.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
  ii.imageType = VK_IMAGE_TYPE_2D;
  ii.format = format;
  ii.extent = {width, height, 1};
  ii.mipLevels = 1;
  ii.arrayLayers = DECAL_MAX_TEXTURES;
  ii.samples = VK_SAMPLE_COUNT_1_BIT;
  ii.tiling = VK_IMAGE_TILING_OPTIMAL;
  ii.usage = VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_SAMPLED_BIT;
  ii.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  ii.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  if (vkCreateImage(r->device, &ii, nullptr, &out->image) != VK_SUCCESS) {
    out->image = VK_NULL_HANDLE;
    return false;
  }
  VkMemoryRequirements req;
  vkGetImageMemoryRequirements(r->device, out->image, &req);
  VkMemoryAllocateInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  ai.allocationSize = req.size;
  ai.memoryTypeIndex = vramFindMemoryType(req.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
  if (vramAlloc(&ai, &out->memory) != VK_SUCCESS) {
    out->memory = VK_NULL_HANDLE;
    destroyArray(r, out);
    return false;
  }
  out->memorySize = req.size;
  VkImageViewCreateInfo vi{};
  vi.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  vi.image = out->image;
  vi.viewType = VK_IMAGE_VIEW_TYPE_2D_ARRAY;
  vi.format = format;
  vi.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, DECAL_MAX_TEXTURES};
  VkSamplerCreateInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO;
  si.magFilter = si.minFilter = VK_FILTER_LINEAR;
  si.mipmapMode = VK_SAMPLER_MIPMAP_MODE_LINEAR;
  si.addressModeU = si.addressModeV = si.addressModeW = VK_SAMPLER_ADDRESS_MODE_REPEAT;
  si.minLod = si.maxLod = 0.0f;
  if (vkBindImageMemory(r->device, out->image, out->memory, 0) != VK_SUCCESS ||
      vkCreateImageView(r->device, &vi, nullptr, &out->view) != VK_SUCCESS ||
      vkCreateSampler(r->device, &si, nullptr, &out->sampler) != VK_SUCCESS) {
    destroyArray(r, out);
    return false;
  }
  return true;
}

VkImageMemoryBarrier layerBarrier(VkImage image, u32 layer, u32 layers, VkImageLayout from, VkImageLayout to,
                                  VkAccessFlags src, VkAccessFlags dst) {
  VkImageMemoryBarrier b{};
  b.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
  b.oldLayout = from;
  b.newLayout = to;
  b.srcAccessMask = src;
  b.dstAccessMask = dst;
  b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = image;
  b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, layer, layers};
  return b;
}

// Copies the levels of the given entries into their layers. A new array
// (`wholeArray`) has every layer moved out of UNDEFINED; otherwise only the
// listed layers are rewritten and the others keep what frames in flight read.
// The one-time submit waits for the queue, so nothing submitted before still
// reads the array afterwards.
b8 decalRepackTextures(DecalSystem* d, const DecalTextureArray* a, const u32* slots, u32 slotCount, b8 wholeArray) {
  Renderer* r = d->renderer;
  VkDeviceSize total = 0;
  for (u32 i = 0; i < slotCount; i++) total += (d->textures[slots[i]].dataSize + 15) & ~(VkDeviceSize)15;
  VkBuffer staging = VK_NULL_HANDLE;
  VkDeviceMemory stagingMem = VK_NULL_HANDLE;
  VkDeviceSize stagingSize = 0;
  void* mapped = nullptr;
  if (total > 0) {
    if (!vramCreateBuffer(r->device, total, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, kHostMemory, &staging, &stagingMem,
                          &stagingSize))
      return false;
    if (vkMapMemory(r->device, stagingMem, 0, VK_WHOLE_SIZE, 0, &mapped) != VK_SUCCESS) {
      vramDeferFree(staging, stagingMem, stagingSize, true);
      return false;
    }
  }
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(r);
  if (!cmd) {
    if (mapped) vkUnmapMemory(r->device, stagingMem);
    if (staging) vramDeferFree(staging, stagingMem, stagingSize, true);
    return false;
  }
  const VkImageLayout dstLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  const VkImageLayout readLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
  if (wholeArray) {
    VkImageMemoryBarrier b = layerBarrier(a->image, 0, DECAL_MAX_TEXTURES, VK_IMAGE_LAYOUT_UNDEFINED, dstLayout, 0,
                                          VK_ACCESS_TRANSFER_WRITE_BIT);
    vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0,
                         nullptr, 1, &b);
  }
  VkDeviceSize offset = 0;
  for (u32 i = 0; i < slotCount; i++) {
    const DecalTextureEntry& e = d->textures[slots[i]];
    std::memcpy(static_cast<u8*>(mapped) + offset, e.data, (size_t)e.dataSize);
    if (!wholeArray) {
      // Earlier frames' reads of this layer finish before it is overwritten.
      VkImageMemoryBarrier b =
          layerBarrier(a->image, e.layer, 1, VK_IMAGE_LAYOUT_UNDEFINED, dstLayout, 0, VK_ACCESS_TRANSFER_WRITE_BIT);
      vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr,
                           0, nullptr, 1, &b);
    }
    VkBufferImageCopy c{};
    c.bufferOffset = offset;
    c.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, e.layer, 1};
    c.imageExtent = {e.blockWidth, e.blockHeight, 1};
    vkCmdCopyBufferToImage(cmd, staging, a->image, dstLayout, 1, &c);
    if (!wholeArray) {
      VkImageMemoryBarrier b = layerBarrier(a->image, e.layer, 1, dstLayout, readLayout, VK_ACCESS_TRANSFER_WRITE_BIT,
                                            VK_ACCESS_SHADER_READ_BIT);
      vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, 0, 0, nullptr,
                           0, nullptr, 1, &b);
    }
    offset += (e.dataSize + 15) & ~(VkDeviceSize)15;
  }
  if (wholeArray) {
    VkImageMemoryBarrier b = layerBarrier(a->image, 0, DECAL_MAX_TEXTURES, dstLayout, readLayout,
                                          VK_ACCESS_TRANSFER_WRITE_BIT, VK_ACCESS_SHADER_READ_BIT);
    vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, 0, 0, nullptr, 0,
                         nullptr, 1, &b);
  }
  rendererEndOneTimeCommands(r, cmd);
  if (mapped) vkUnmapMemory(r->device, stagingMem);
  if (staging) vramDeferFree(staging, stagingMem, stagingSize, true);
  return true;
}

// Puts a finished texture (ownership of data passes on success) into entry slot:
// into its layer of the array when the array is large enough, else into a new
// array of the larger size with every texture copied again. False (entry left
// without a texture) for another format than the array's, an unknown format or
// a growth that is refused; the old array then stays as it was. With `pending`,
// a texture that fits is only noted there, for one upload of the whole batch
// (each upload waits for the queue); a growth uploads the noted ones too and
// empties the list.
b8 decalApplyTexture(DecalSystem* d, u32 slot, u8* data, u64 dataSize, u32 width, u32 height, VkFormat format,
                     u32* pending = nullptr, u32* pendingCount = nullptr) {
  Renderer* r = d->renderer;
  u32 bw = 1, bh = 1;
  if (!textureFormatBlockExtent(format, &bw, &bh) || width == 0 || height == 0) return false;
  // Whole blocks: a copy into a larger layer must cover complete blocks.
  u32 blockWidth = (width + bw - 1) / bw * bw, blockHeight = (height + bh - 1) / bh * bh;
  if (dataSize < textureFormatLevelSize(format, blockWidth, blockHeight)) return false;
  if (d->textureArray.image && format != d->textureArrayFormat) return false;
  DecalTextureEntry* e = &d->textures[slot];
  DecalTextureEntry previous = *e;
  e->data = data;
  e->dataSize = textureFormatLevelSize(format, blockWidth, blockHeight);
  e->width = width;
  e->height = height;
  e->blockWidth = blockWidth;
  e->blockHeight = blockHeight;
  e->format = format;
  b8 ok;
  if (d->textureArray.image && d->textureArrayWidth >= blockWidth && d->textureArrayHeight >= blockHeight) {
    if (pending) {
      pending[(*pendingCount)++] = slot;
      ok = true;
    } else {
      ok = decalRepackTextures(d, &d->textureArray, &slot, 1, false);
    }
  } else {
    u32 w = d->textureArray.image ? maxU32(d->textureArrayWidth, blockWidth) : blockWidth;
    u32 h = d->textureArray.image ? maxU32(d->textureArrayHeight, blockHeight) : blockHeight;
    DecalTextureArray grown;
    ok = decalCreateArray(r, w, h, format, &grown);
    if (ok) {
      u32 slots[DECAL_MAX_TEXTURES];
      u32 n = 0;
      for (u32 i = 0; i < d->entryCount; i++)
        if (d->textures[i].data) slots[n++] = i;
      ok = decalRepackTextures(d, &grown, slots, n, true);
      if (ok) {
        // The repack waited for the queue: no submitted frame reads the old array,
        // and this frame has not bound it yet (see drawRecorded).
        destroyArray(r, &d->textureArray);
        d->textureArray = grown;
        d->textureArrayWidth = w;
        d->textureArrayHeight = h;
        d->textureArrayFormat = format;
        pipelineUpdateImage(d->pipelines, d->pipelineIndex, 0, grown.sampler, grown.view);
        if (pendingCount) *pendingCount = 0;
      } else {
        destroyArray(r, &grown);
      }
    }
  }
  if (!ok) {
    *e = previous;
    return false;
  }
  memFree(previous.data);
  if (d->textureCount < slot + 1) d->textureCount = slot + 1;
  return true;
}

// The 8x8 magenta and black checkerboard of layer 0 when no default texture loads.
b8 decalFallbackTexture(u8** data, u64* size) {
  u8 px[8 * 8 * 4];
  for (u32 y = 0; y < 8; y++)
    for (u32 x = 0; x < 8; x++) {
      u8* p = px + (y * 8 + x) * 4;
      b8 even = ((x + y) & 1) == 0;
      p[0] = p[2] = even ? 255 : 0;
      p[1] = 0;
      p[3] = 255;
    }
  return textureCompressRgbaToBc7(px, 8, 8, data, size);
}

b8 createQuad(DecalSystem* d) {
  Renderer* r = d->renderer;
  meshPoolInit(&d->vertexPool, r->device, r->physicalDevice, sizeof gDecalQuad,
               VK_BUFFER_USAGE_VERTEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT);
  meshPoolInit(&d->indexPool, r->device, r->physicalDevice, sizeof gDecalQuadIndices,
               VK_BUFFER_USAGE_INDEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT);
  if (!d->vertexPool.buffer || !d->indexPool.buffer) return false;
  d->vertexAlloc = meshPoolAlloc(&d->vertexPool, sizeof gDecalQuad);
  d->indexAlloc = meshPoolAlloc(&d->indexPool, sizeof gDecalQuadIndices);
  if (!d->vertexAlloc.size || !d->indexAlloc.size) return false;
  void* v = meshPoolStage(&d->vertexPool, d->vertexAlloc);
  void* i = meshPoolStage(&d->indexPool, d->indexAlloc);
  if (!v || !i) return false;
  std::memcpy(v, gDecalQuad, sizeof gDecalQuad);
  std::memset(i, 0, (size_t)d->indexAlloc.size);
  std::memcpy(i, gDecalQuadIndices, sizeof gDecalQuadIndices);
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(r);
  if (!cmd) return false;
  meshPoolFlush(&d->vertexPool, cmd);
  meshPoolFlush(&d->indexPool, cmd);
  rendererEndOneTimeCommands(r, cmd);
  return true;
}

b8 createPipeline(DecalSystem* d, VkDescriptorSetLayout lightSetLayout) {
  Renderer* r = d->renderer;
  u64 vertSize = 0, fragSize = 0;
  const u32* vert = rendererLoadShader(kVertShader, &vertSize);
  const u32* frag = rendererLoadShader(d->lit ? rendererLitShaderPath(r, kLitFragShader) : kFragShader, &fragSize);
  if (!vert || !frag) return false;
  const VkVertexInputBindingDescription bindings[2] = {{0, sizeof(DecalVertex), VK_VERTEX_INPUT_RATE_VERTEX},
                                                       {1, sizeof(DecalInstance), VK_VERTEX_INPUT_RATE_INSTANCE}};
  const VkVertexInputAttributeDescription attrs[10] = {
      {0, 0, VK_FORMAT_R32G32B32_SFLOAT, 0},      {1, 0, VK_FORMAT_R32G32_SFLOAT, 12},
      {2, 1, VK_FORMAT_R32G32B32A32_SFLOAT, 0},   {3, 1, VK_FORMAT_R32G32B32A32_SFLOAT, 16},
      {4, 1, VK_FORMAT_R32G32B32A32_SFLOAT, 32},  {5, 1, VK_FORMAT_R32G32B32A32_SFLOAT, 48},
      {6, 1, VK_FORMAT_R32G32B32A32_SFLOAT, 64},  {7, 1, VK_FORMAT_R32G32B32A32_SFLOAT, 80},
      {8, 1, VK_FORMAT_R32_UINT, 96},             {9, 1, VK_FORMAT_R32G32_SFLOAT, 100}};
  VkPushConstantRange push{};
  push.stageFlags = d->lit ? (VkShaderStageFlags)(VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT)
                           : (VkShaderStageFlags)VK_SHADER_STAGE_VERTEX_BIT;
  push.size = d->lit ? sizeof(DecalPush) : sizeof(mat4f32);
  PipelineConfig c{};
  c.vertCode = vert;
  c.vertSize = vertSize;
  c.fragCode = frag;
  c.fragSize = fragSize;
  c.litFragmentShader = d->lit ? kLitFragShader : nullptr;  // a lighting-mode change picks the variant
  c.vertexBindings = bindings;
  c.vertexBindingCount = 2;
  c.vertexAttributes = attrs;
  c.vertexAttributeCount = 10;
  c.pushConstants = &push;
  c.pushConstantCount = 1;
  c.cullMode = VK_CULL_MODE_NONE;
  c.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
  c.depthTest = d->depthTest;
  c.depthWrite = false;
  c.stencilTest = d->stencilTest;
  c.stencilWrite = false;
  c.stencilCompareOp = VK_COMPARE_OP_EQUAL;
  c.stencilFailOp = c.stencilPassOp = c.stencilDepthFailOp = VK_STENCIL_OP_KEEP;
  c.stencilCompareMask = 255;
  c.stencilWriteMask = 0;
  c.stencilReference = 1;
  c.blendEnable = true;
  c.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  VkDescriptorSetLayoutBinding atlas{0, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1, VK_SHADER_STAGE_FRAGMENT_BIT,
                                     nullptr};
  return pipelinesCreate(d->pipelines, d->pipelineIndex, &c, &atlas, 1, d->lit ? &lightSetLayout : nullptr,
                         d->lit ? 1 : 0) != nullptr;
}

}  // namespace

// ---- Loader ----

b8 decalLoadImage(const char* path, u8** outData, u64* outSize, u32* outWidth, u32* outHeight, VkFormat* outFormat) {
  if (!path || !outData || !outSize || !outWidth || !outHeight || !outFormat) return false;
  u8* file = nullptr;
  u64 size = 0;
  if (!textureReadFileMax(path, DECAL_MAX_FILE_BYTES, &file, &size)) return false;
  b8 ok = false;
  if (textureIsKtx2(file, size)) {
    // Ready blocks cannot be filtered down: a KTX2 above the cap is dropped.
    ok = textureReadKtx2(file, size, outData, outSize, outWidth, outHeight, outFormat);
    if (ok && (*outWidth > DECAL_MAX_TEXTURE_SIZE || *outHeight > DECAL_MAX_TEXTURE_SIZE)) {
      memFree(*outData);
      *outData = nullptr;
      ok = false;
    }
  } else if (size <= (u64)INT_MAX) {
    int w = 0, h = 0, channels = 0;
    // The header first: a picture too large to decode is refused unread.
    if (stbi_info_from_memory(file, (int)size, &w, &h, &channels) && w > 0 && h > 0 &&
        (u64)w * (u64)h <= kMaxDecodePixels) {
      stbi_uc* px = stbi_load_from_memory(file, (int)size, &w, &h, &channels, 4);
      if (px && w > 0 && h > 0) {
        u32 sw = (u32)w, sh = (u32)h;
        u8* scaled = nullptr;
        const u8* src = px;
        if (sw > DECAL_MAX_TEXTURE_SIZE || sh > DECAL_MAX_TEXTURE_SIZE) {
          scaled = decalBoxDownscale(px, (u32)w, (u32)h, DECAL_MAX_TEXTURE_SIZE, &sw, &sh);
          src = scaled;
        }
        if (src && textureCompressRgbaToBc7(src, sw, sh, outData, outSize)) {
          *outWidth = sw;
          *outHeight = sh;
          *outFormat = VK_FORMAT_BC7_UNORM_BLOCK;
          ok = true;
        }
        memFree(scaled);
      }
      if (px) stbi_image_free(px);
    }
  }
  memFree(file);
  return ok;
}

u8* decalBoxDownscale(const u8* rgba, u32 width, u32 height, u32 maxSide, u32* outWidth, u32* outHeight) {
  if (!rgba || width == 0 || height == 0 || maxSide == 0 || !outWidth || !outHeight) return nullptr;
  u32 longest = maxU32(width, height);
  u32 k = (longest + maxSide - 1) / maxSide;
  if (k == 0) k = 1;
  u32 ow = (width + k - 1) / k, oh = (height + k - 1) / k;
  auto* out = static_cast<u8*>(memAlloc((size_t)ow * oh * 4));
  if (!out) return nullptr;
  for (u32 oy = 0; oy < oh; oy++) {
    u32 y0 = oy * k, y1 = y0 + k < height ? y0 + k : height;
    for (u32 ox = 0; ox < ow; ox++) {
      u32 x0 = ox * k, x1 = x0 + k < width ? x0 + k : width;
      u32 sum[4] = {0, 0, 0, 0};
      for (u32 y = y0; y < y1; y++) {
        const u8* p = rgba + ((u64)y * width + x0) * 4;
        for (u32 x = x0; x < x1; x++, p += 4)
          for (u32 c = 0; c < 4; c++) sum[c] += p[c];
      }
      // Edge cells of a size that k does not divide average fewer pixels.
      u32 n = (y1 - y0) * (x1 - x0);
      u8* o = out + ((u64)oy * ow + ox) * 4;
      for (u32 c = 0; c < 4; c++) o[c] = (u8)((sum[c] + n / 2) / n);
    }
  }
  *outWidth = ow;
  *outHeight = oh;
  return out;
}

b8 decalAsyncInit(DecalAsyncState* s, u32 workerCount) {
  if (!s || s->initialized) return false;
  *s = DecalAsyncState{};
  if (workerCount == 0 || workerCount > DECAL_WORKER_COUNT) workerCount = DECAL_WORKER_COUNT;
  if (threadMutexInit(&s->mutex) != 0) return false;
  if (threadCondInit(&s->cond) != 0) {
    threadMutexDestroy(&s->mutex);
    return false;
  }
  s->running = true;
  s->initialized = true;
  for (u32 i = 0; i < workerCount; i++) {
    s->workers[i] = threadCreate(decalAsyncWorker, s);
    if (!s->workers[i]) {
      decalAsyncShutdown(s);
      return false;
    }
    s->workerCount = i + 1;
  }
  return true;
}

b8 decalAsyncQueue(DecalAsyncState* s, const char* path, u32 slot) {
  if (!s || !s->initialized || !path) return false;
  size_t len = strnlen(path, sizeof(DecalLoadJob::path));
  if (len >= sizeof(DecalLoadJob::path)) return false;
  auto* job = static_cast<DecalLoadJob*>(memCalloc(1, sizeof(DecalLoadJob)));
  if (!job) return false;
  std::memcpy(job->path, path, len);
  job->slot = slot;
  threadMutexLock(&s->mutex);
  b8 ok = s->running;
  if (ok) {
    if (s->jobTail)
      s->jobTail->next = job;
    else
      s->jobHead = job;
    s->jobTail = job;
    threadCondSignal(&s->cond);
  }
  threadMutexUnlock(&s->mutex);
  if (!ok) memFree(job);
  return ok;
}

DecalLoadResult* decalAsyncTake(DecalAsyncState* s) {
  if (!s || !s->initialized) return nullptr;
  threadMutexLock(&s->mutex);
  DecalLoadResult* list = s->doneHead;
  s->doneHead = s->doneTail = nullptr;
  threadMutexUnlock(&s->mutex);
  return list;
}

void decalLoadResultFree(DecalLoadResult* r) {
  if (!r) return;
  memFree(r->data);
  memFree(r);
}

void decalAsyncShutdown(DecalAsyncState* s) {
  if (!s || !s->initialized) return;
  threadMutexLock(&s->mutex);
  s->running = false;
  threadCondBroadcast(&s->cond);
  threadMutexUnlock(&s->mutex);
  for (u32 i = 0; i < s->workerCount; i++) {
    threadJoin(s->workers[i]);
    threadDestroy(s->workers[i]);
  }
  for (DecalLoadJob* j = s->jobHead; j;) {
    DecalLoadJob* next = j->next;
    memFree(j);
    j = next;
  }
  for (DecalLoadResult* r = s->doneHead; r;) {
    DecalLoadResult* next = r->next;
    decalLoadResultFree(r);
    r = next;
  }
  threadCondDestroy(&s->cond);
  threadMutexDestroy(&s->mutex);
  *s = DecalAsyncState{};
}

void decalAsyncPoll(DecalSystem* d) {
  if (!d || !d->loader || d->drawRecorded) return;
  DecalLoadResult* list = decalAsyncTake(d->loader);
  u32 pending[DECAL_MAX_TEXTURES];
  u32 pendingCount = 0;
  while (list) {
    DecalLoadResult* next = list->next;
    // One load per entry: a slot is never noted twice.
    if (list->slot < d->entryCount && std::strcmp(d->textures[list->slot].key, list->path) == 0 &&
        !d->textures[list->slot].data &&
        decalApplyTexture(d, list->slot, list->data, list->dataSize, list->width, list->height, list->format,
                          pending, &pendingCount))
      list->data = nullptr;  // the entry owns it now
    decalLoadResultFree(list);
    list = next;
  }
  if (pendingCount && !decalRepackTextures(d, &d->textureArray, pending, pendingCount, false)) {
    // Their layers were not written: they keep showing layer 0.
    for (u32 i = 0; i < pendingCount; i++) {
      DecalTextureEntry* e = &d->textures[pending[i]];
      memFree(e->data);
      e->data = nullptr;
      e->dataSize = 0;
    }
  }
}

// ---- System ----

b8 decalSystemInit(DecalSystem* d, Renderer* r, Pipelines* p, u32 pipelineIndex, b8 lit, b8 depthTest,
                   b8 stencilTest, VkDescriptorSetLayout lightSetLayout, const char* atlasPath) {
  if (!d || !r || !r->device || !p) return false;
  *d = DecalSystem{};
  d->renderer = r;
  d->pipelines = p;
  d->pipelineIndex = pipelineIndex;
  d->lit = lit && lightSetLayout != VK_NULL_HANDLE;
  d->depthTest = depthTest;
  d->stencilTest = stencilTest;
  d->textureArrayLayers = DECAL_MAX_TEXTURES;
  d->capacity = DECAL_MAX_INSTANCES;
  d->textureCapacity = DECAL_MAX_TEXTURES;
  b8 ok = createQuad(d);
  if (ok) {
    frameDynBufferInit(&d->instances, r->device, r->physicalDevice, (VkDeviceSize)kInitialInstances *
                       sizeof(DecalInstance), VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, kHostMemory);
    d->items = static_cast<DecalInstance*>(memCalloc(DECAL_MAX_INSTANCES, sizeof(DecalInstance)));
    d->textures = static_cast<DecalTextureEntry*>(memCalloc(DECAL_MAX_TEXTURES, sizeof(DecalTextureEntry)));
    d->textureMap = sm_new(DECAL_MAX_TEXTURES, sizeof(DecalTextureKey), sizeof(u32), &kAccounted);
    d->loader = static_cast<DecalAsyncState*>(memCalloc(1, sizeof(DecalAsyncState)));
    ok = d->items && d->textures && d->textureMap && d->loader && decalAsyncInit(d->loader, DECAL_WORKER_COUNT);
  }
  if (ok) {
    // Layer 0: the default texture, loaded now.
    DecalTextureKey key{};
    if (atlasPath && std::strlen(atlasPath) < sizeof key.path) std::memcpy(key.path, atlasPath, std::strlen(atlasPath));
    std::memcpy(d->textures[0].key, key.path, sizeof key.path);
    d->entryCount = 1;
    u32 zero = 0;
    u8* data = nullptr;
    u64 size = 0;
    u32 w = 0, h = 0;
    VkFormat format = VK_FORMAT_UNDEFINED;
    b8 loaded = key.path[0] && decalLoadImage(key.path, &data, &size, &w, &h, &format);
    if (loaded && !decalApplyTexture(d, 0, data, size, w, h, format)) {
      memFree(data);
      loaded = false;
    }
    if (!loaded) {
      ok = decalFallbackTexture(&data, &size);
      if (ok && !decalApplyTexture(d, 0, data, size, 8, 8, VK_FORMAT_BC7_UNORM_BLOCK)) {
        memFree(data);
        ok = false;
      }
    }
    ok = ok && sm_put(d->textureMap, &key, &zero) >= 0;
  }
  // The array was made before the pipeline: write it into the new set now.
  ok = ok && createPipeline(d, lightSetLayout);
  if (ok)
    pipelineUpdateImage(p, pipelineIndex, 0, d->textureArray.sampler, d->textureArray.view);
  if (!ok) decalSystemDestroy(d);
  return ok;
}

void decalSystemDestroy(DecalSystem* d) {
  if (!d || !d->renderer) return;
  Renderer* r = d->renderer;
  if (d->loader) {
    decalAsyncShutdown(d->loader);
    memFree(d->loader);
  }
  rendererWaitIdle(r);
  if (d->textures)
    for (u32 i = 0; i < d->textureCapacity; i++) memFree(d->textures[i].data);
  memFree(d->textures);
  if (d->textureMap) sm_free(d->textureMap);
  destroyArray(r, &d->textureArray);
  frameDynBufferDestroy(&d->instances);
  memFree(d->items);
  meshPoolDestroy(&d->vertexPool);
  meshPoolDestroy(&d->indexPool);
  *d = DecalSystem{};
}

void decalSystemReset(DecalSystem* d) {
  if (!d) return;
  d->count = 0;
  d->drawRecorded = false;
}

u32 decalSystemAdd(DecalSystem* d, const mat4f32* model, v4f color, v4f uvRect, const char* texturePath) {
  if (!d || !model || !d->items) return DECAL_NO_INDEX;
  decalAsyncPoll(d);
  if (d->count >= d->capacity) return DECAL_NO_INDEX;
  u32 layer = 0;
  size_t len = texturePath ? strnlen(texturePath, sizeof(DecalTextureKey::path)) : 0;
  // A path that does not fit the key keeps layer 0: cut, it could name another file.
  if (len > 0 && len < sizeof(DecalTextureKey::path)) {
    DecalTextureKey key{};
    std::memcpy(key.path, texturePath, len);
    const u32* found = static_cast<const u32*>(sm_find(d->textureMap, &key));
    if (found) {
      if (d->textures[*found].data) layer = *found;
    } else {
      if (d->entryCount >= d->textureCapacity) return DECAL_NO_INDEX;
      u32 slot = d->entryCount;
      if (sm_put(d->textureMap, &key, &slot) < 0) return DECAL_NO_INDEX;
      if (!decalAsyncQueue(d->loader, key.path, slot)) {
        sm_delete(d->textureMap, &key);
        return DECAL_NO_INDEX;
      }
      DecalTextureEntry* e = &d->textures[slot];
      *e = DecalTextureEntry{};
      std::memcpy(e->key, key.path, sizeof e->key);
      e->layer = slot;
      d->entryCount++;
    }
  }
  DecalInstance* inst = &d->items[d->count];
  *inst = DecalInstance{};
  inst->model = *model;
  inst->color = color;
  inst->uvRect = uvRect;
  inst->textureLayer = layer;
  return d->count++;
}

void decalSystemDraw(DecalSystem* d, VkCommandBuffer cmd, const mat4f32* viewProj, VkDescriptorSet lightSet,
                     u64 lightDataAddr) {
  if (!d || !d->renderer) return;
  decalAsyncPoll(d);
  if (d->count == 0 || !cmd || !viewProj) return;
  Pipeline* pipe = pipelinesGet(d->pipelines, d->pipelineIndex);
  if (!pipe) return;
  Renderer* r = d->renderer;
  // A new frame takes over its slot's buffer, whose fence has been waited for.
  // Outside frames (one-time commands) the buffer only grows: its earlier bytes
  // may still be read by commands recorded but not yet submitted.
  if (r->frameRecording && r->frameSerial[r->currentFrame] != d->instanceFrameSerial) {
    frameDynBufferBegin(&d->instances, r->currentFrame);
    d->instanceFrameSerial = r->frameSerial[r->currentFrame];
  }
  DynBuffer* buf = frameDynBufferCurrent(&d->instances);
  if (buf->used & 15) dynBufferAlloc(buf, 16 - (buf->used & 15));
  VkDeviceSize offset = buf->used;
  auto* dst = static_cast<DecalInstance*>(dynBufferAlloc(buf, (VkDeviceSize)d->count * sizeof(DecalInstance)));
  if (!dst) return;
  f32 aw = (f32)d->textureArrayWidth, ah = (f32)d->textureArrayHeight;
  for (u32 i = 0; i < d->count; i++) {
    DecalInstance inst = d->items[i];
    u32 layer = inst.textureLayer;
    if (layer < d->entryCount && d->textures[layer].data && aw > 0.0f && ah > 0.0f) {
      // A smaller texture fills the top-left corner of its layer: the whole
      // window, offset included, shrinks to that corner.
      const DecalTextureEntry& e = d->textures[layer];
      f32 sx = (f32)e.width / aw, sy = (f32)e.height / ah;
      inst.uvRect.x *= sx;
      inst.uvRect.y *= sy;
      inst.uvRect.z *= sx;
      inst.uvRect.w *= sy;
      b8 fills = e.width == d->textureArrayWidth && e.height == d->textureArrayHeight;
      inst.uvMax[0] = fills ? 0.0f : ((f32)e.width - 0.5f) / aw;
      inst.uvMax[1] = fills ? 0.0f : ((f32)e.height - 0.5f) / ah;
    } else {
      inst.uvMax[0] = inst.uvMax[1] = 0.0f;
    }
    dst[i] = inst;
  }
  pipelineBind(d->pipelines, d->pipelineIndex, cmd);
  if (d->lit && lightSet)
    vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipe->layout, 1, 1, &lightSet, 0, nullptr);
  DecalPush push{*viewProj, lightDataAddr};
  if (d->lit)
    vkCmdPushConstants(cmd, pipe->layout, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof push,
                       &push);
  else
    vkCmdPushConstants(cmd, pipe->layout, VK_SHADER_STAGE_VERTEX_BIT, 0, sizeof(mat4f32), &push);
  VkBuffer vbs[2] = {d->vertexPool.buffer, buf->buffer};
  VkDeviceSize offsets[2] = {d->vertexAlloc.offset, offset};
  vkCmdBindVertexBuffers(cmd, 0, 2, vbs, offsets);
  vkCmdBindIndexBuffer(cmd, d->indexPool.buffer, d->indexAlloc.offset, VK_INDEX_TYPE_UINT16);
  vkCmdDrawIndexed(cmd, 6, d->count, 0, 0, 0);
  d->drawRecorded = true;
}
