#include "terrain/terrain_mesh.h"

#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "renderer/lighting.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"
#include "renderer/vram.h"
#include "store/blob_store.h"
#include "terrain/terrain_chunk.h"
#include "terrain/world_map.h"

namespace {

constexpr u32 kInitialChunks = 64;
constexpr u32 kDefaultLayerSize = 1024;
const char kSplatFrag[] = "shaders/splat.frag.spv";

i32 findChunk(const TerrainMesh* tm, u32 tx, u32 ty) {
  for (u32 i = 0; i < tm->chunkCount; i++)
    if (tm->chunks[i].tileX == tx && tm->chunks[i].tileY == ty) return (i32)i;
  return -1;
}

void assignMaterialIds(const TerrainMesh* tm, TerrainChunk* c) {
  const u8* ids = worldTileMaterialIds(tm->wm, c->tileX, c->tileY);
  u32 count = worldMaterialCount(tm->wm);
  if (ids) std::memcpy(c->materialIds, ids, 4);
  else c->materialIds[0] = count ? 1 : 0, c->materialIds[1] = c->materialIds[2] = c->materialIds[3] = 0;
  for (u8& id : c->materialIds)
    if (id > count) id = 0;
}

b8 appendChunk(TerrainMesh* tm, const TerrainChunk& c) {
  if (tm->chunkCount == tm->chunkCap) {
    u32 cap = tm->chunkCap ? tm->chunkCap * 2 : kInitialChunks;
    void* p = memRealloc(tm->chunks, (size_t)cap * sizeof(TerrainChunk));
    if (!p) return false;
    tm->chunks = static_cast<TerrainChunk*>(p);
    tm->chunkCap = cap;
  }
  tm->chunks[tm->chunkCount] = c;
  assignMaterialIds(tm, &tm->chunks[tm->chunkCount]);
  tm->chunkCount++;
  return true;
}

// Allocates both ranges; on failure nothing stays allocated.
b8 allocRanges(TerrainMesh* tm, u32 verts, u32 indices, MeshAlloc* va, MeshAlloc* ia) {
  *va = meshPoolAlloc(tm->vertexPool, (VkDeviceSize)verts * sizeof(WorldTerrainVert));
  *ia = va->size ? meshPoolAlloc(tm->indexPool, (VkDeviceSize)indices * 2) : MeshAlloc{};
  if (va->size && ia->size) return true;
  if (va->size) meshPoolFree(tm->vertexPool, *va);
  *va = *ia = MeshAlloc{};
  return false;
}

b8 loadFromBlob(TerrainMesh* tm, u32 tx, u32 ty) {
  if (!tm->wm->store) return false;
  char key[64];
  std::snprintf(key, sizeof key, "terrain/mesh/%u_%u", tx, ty);
  u8* buf = nullptr;
  size_t len = 0;
  if (!bs_contains(tm->wm->store, key) || bs_restore_buffer(tm->wm->store, key, &buf, &len) != BS_OK) return false;
  TerrainMeshBlob b;
  b8 ok = terrainMeshBlobParse(buf, len, &b);
  TerrainChunk c{};
  if (ok) ok = allocRanges(tm, b.vertCount, b.indexCount, &c.vertexAlloc, &c.indexAlloc);
  if (ok) {
    std::memcpy(meshPoolStage(tm->vertexPool, c.vertexAlloc), b.verts, (size_t)b.vertCount * sizeof(WorldTerrainVert));
    std::memcpy(meshPoolStage(tm->indexPool, c.indexAlloc), b.indices, (size_t)b.indexCount * 2);
    c.tileX = tx;
    c.tileY = ty;
    c.vertexCount = b.vertCount;
    c.indexCount = b.indexCount;
    std::memcpy(c.origin, b.origin, 12);
    c.scale = b.scale;
    if (!appendChunk(tm, c)) {
      meshPoolFree(tm->vertexPool, c.vertexAlloc);
      meshPoolFree(tm->indexPool, c.indexAlloc);
      ok = false;
    }
  }
  memFree(buf);
  return ok;
}

// A PNG, JPEG or TGA albedo scaled to the layer's size and BC7-compressed (the layer
// size in *size); null when the file does not decode. stb_image's pixels live on the
// system heap (the packaged library takes no allocator) and are freed at once.
u8* decodedLayerBc7(const char* path, u32 w, u32 h, u64* size) {
  int iw = 0, ih = 0, channels = 0;
  stbi_uc* px = stbi_load(path, &iw, &ih, &channels, 4);
  if (!px) return nullptr;
  u8* rgba = static_cast<u8*>(memAlloc((size_t)w * h * 4));
  b8 ok = rgba && stbir_resize_uint8(px, iw, ih, 0, rgba, (int)w, (int)h, 0, 4) != 0;
  stbi_image_free(px);
  u8* out = nullptr;
  if (!ok || !textureCompressRgbaToBc7(rgba, w, h, &out, size)) out = nullptr;
  memFree(rgba);
  return out;
}

// A BC7 layer of 32-texel magenta and near-black squares; null when compression fails.
u8* checkerboardBc7(u32 w, u32 h, u64* size) {
  u8* rgba = static_cast<u8*>(memAlloc((size_t)w * h * 4));
  if (!rgba) return nullptr;
  for (u32 y = 0; y < h; y++)
    for (u32 x = 0; x < w; x++) {
      u8 c = ((x / 32) + (y / 32)) % 2 ? 255 : 16;
      u8* p = rgba + ((size_t)y * w + x) * 4;
      p[0] = c;
      p[1] = 0;
      p[2] = c;
      p[3] = 255;
    }
  u8* out = nullptr;
  if (!textureCompressRgbaToBc7(rgba, w, h, &out, size)) out = nullptr;
  memFree(rgba);
  return out;
}

void destroyAlbedoArray(TerrainMesh* tm) {
  Renderer* r = tm->renderer;
  if (!r || !r->device) return;
  if (tm->albedoArraySampler) vkDestroySampler(r->device, tm->albedoArraySampler, nullptr);
  if (tm->albedoArrayView) vkDestroyImageView(r->device, tm->albedoArrayView, nullptr);
  if (tm->albedoArrayImage) vkDestroyImage(r->device, tm->albedoArrayImage, nullptr);
  if (tm->albedoArrayMemory) vramFree(tm->albedoArrayMemory, tm->albedoArrayMemSize, false);
  tm->albedoArraySampler = VK_NULL_HANDLE;
  tm->albedoArrayView = VK_NULL_HANDLE;
  tm->albedoArrayImage = VK_NULL_HANDLE;
  tm->albedoArrayMemory = VK_NULL_HANDLE;
  tm->albedoArrayMemSize = 0;
}

b8 createAlbedoArray(TerrainMesh* tm) {
  Renderer* r = tm->renderer;
  VkDevice dev = r->device;
  u32 w = kDefaultLayerSize, h = kDefaultLayerSize;
  VkFormat format = VK_FORMAT_BC7_UNORM_BLOCK;
  u64 layerSize = textureBc7Size(w, h);
  const u32 count = worldMaterialCount(tm->wm);
  // The first material whose albedo file reads sets the layers' format and size.
  for (u32 i = 0; i < count; i++) {
    const WorldTerrainMaterial* m = worldMaterialGet(tm->wm, i);
    if (!m->albedoPath[0]) continue;
    u8* data = nullptr;
    u64 size = 0;
    u32 fw = 0, fh = 0;
    VkFormat ff = VK_FORMAT_UNDEFINED;
    if (textureReadKtx2File(m->albedoPath, &data, &size, &fw, &fh, &ff)) {
      w = fw;
      h = fh;
      format = ff;
      layerSize = size;
      memFree(data);
      break;
    }
  }
  VkImageCreateInfo ii{};
  ii.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
  ii.imageType = VK_IMAGE_TYPE_2D;
  ii.format = format;
  ii.extent = {w, h, 1};
  ii.mipLevels = 1;
  ii.arrayLayers = kTerrainAlbedoLayers;
  ii.samples = VK_SAMPLE_COUNT_1_BIT;
  ii.tiling = VK_IMAGE_TILING_OPTIMAL;
  ii.usage = VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_SAMPLED_BIT;
  ii.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  if (vkCreateImage(dev, &ii, nullptr, &tm->albedoArrayImage) != VK_SUCCESS) {
    tm->albedoArrayImage = VK_NULL_HANDLE;
    return false;
  }
  VkMemoryRequirements req;
  vkGetImageMemoryRequirements(dev, tm->albedoArrayImage, &req);
  VkMemoryAllocateInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  ai.allocationSize = req.size;
  ai.memoryTypeIndex = vramFindMemoryType(req.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
  if (vramAlloc(&ai, &tm->albedoArrayMemory) != VK_SUCCESS) {
    tm->albedoArrayMemory = VK_NULL_HANDLE;
    destroyAlbedoArray(tm);
    return false;
  }
  tm->albedoArrayMemSize = req.size;
  vkBindImageMemory(dev, tm->albedoArrayImage, tm->albedoArrayMemory, 0);
  VkImageViewCreateInfo vi{};
  vi.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  vi.image = tm->albedoArrayImage;
  vi.viewType = VK_IMAGE_VIEW_TYPE_2D_ARRAY;
  vi.format = format;
  vi.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, kTerrainAlbedoLayers};
  VkSamplerCreateInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO;
  si.magFilter = si.minFilter = VK_FILTER_LINEAR;
  si.mipmapMode = VK_SAMPLER_MIPMAP_MODE_LINEAR;
  si.addressModeU = si.addressModeV = si.addressModeW = VK_SAMPLER_ADDRESS_MODE_REPEAT;
  si.maxLod = 0.0f;
  if (vkCreateImageView(dev, &vi, nullptr, &tm->albedoArrayView) != VK_SUCCESS ||
      vkCreateSampler(dev, &si, nullptr, &tm->albedoArraySampler) != VK_SUCCESS) {
    destroyAlbedoArray(tm);
    return false;
  }
  // Staging for the used layers: the fallback, then one per material.
  const u32 layers = count + 1 < kTerrainAlbedoLayers ? count + 1 : kTerrainAlbedoLayers;
  VkDeviceSize stagingSize = (VkDeviceSize)layers * layerSize;
  VkBuffer staging = VK_NULL_HANDLE;
  VkDeviceMemory stagingMem = VK_NULL_HANDLE;
  VkDeviceSize stagingAllocated = 0;
  if (!vramCreateBuffer(dev, stagingSize, VK_BUFFER_USAGE_TRANSFER_SRC_BIT,
                        VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT, &staging,
                        &stagingMem, &stagingAllocated)) {
    destroyAlbedoArray(tm);
    return false;
  }
  u8* mapped = nullptr;
  vkMapMemory(dev, stagingMem, 0, stagingSize, 0, reinterpret_cast<void**>(&mapped));
  std::memset(mapped, 0, stagingSize);
  u8* checker = nullptr;
  for (u32 k = 0; k < layers; k++) {
    b8 filled = false;
    const WorldTerrainMaterial* m = k ? worldMaterialGet(tm->wm, k - 1) : nullptr;
    if (m && m->albedoPath[0]) {
      u8* data = nullptr;
      u64 size = 0;
      u32 fw = 0, fh = 0;
      VkFormat ff = VK_FORMAT_UNDEFINED;
      if (textureReadKtx2File(m->albedoPath, &data, &size, &fw, &fh, &ff)) {
        if (fw == w && fh == h && ff == format && size == layerSize) {
          std::memcpy(mapped + (size_t)k * layerSize, data, (size_t)size);
          filled = true;
        }
        memFree(data);
      } else if (format == VK_FORMAT_BC7_UNORM_BLOCK) {
        u8* bc7 = decodedLayerBc7(m->albedoPath, w, h, &size);
        if (bc7 && size == layerSize) {
          std::memcpy(mapped + (size_t)k * layerSize, bc7, (size_t)size);
          filled = true;
        }
        memFree(bc7);
      }
    }
    if (!filled && format == VK_FORMAT_BC7_UNORM_BLOCK) {
      u64 size = 0;
      if (!checker) checker = checkerboardBc7(w, h, &size);
      if (!checker) {
        std::fprintf(stderr, "terrain: cannot compress the fallback layer\n");
        vkUnmapMemory(dev, stagingMem);
        vkDestroyBuffer(dev, staging, nullptr);
        vramFree(stagingMem, stagingAllocated, true);
        destroyAlbedoArray(tm);
        return false;
      }
      std::memcpy(mapped + (size_t)k * layerSize, checker, (size_t)layerSize);
    }
  }
  memFree(checker);
  vkUnmapMemory(dev, stagingMem);
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(r);
  VkImageMemoryBarrier b{};
  b.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
  b.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  b.newLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = tm->albedoArrayImage;
  b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, kTerrainAlbedoLayers};
  b.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0, nullptr,
                       1, &b);
  for (u32 k = 0; k < layers; k++) {
    VkBufferImageCopy c{};
    c.bufferOffset = (VkDeviceSize)k * layerSize;
    c.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, k, 1};
    c.imageExtent = {w, h, 1};
    vkCmdCopyBufferToImage(cmd, staging, tm->albedoArrayImage, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &c);
  }
  b.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  b.newLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
  b.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  b.dstAccessMask = VK_ACCESS_SHADER_READ_BIT;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  rendererEndOneTimeCommands(r, cmd);
  vkDestroyBuffer(dev, staging, nullptr);
  vramFree(stagingMem, stagingAllocated, true);
  pipelineUpdateImage(tm->pipelines, tm->splatPipelineSlot, 0, tm->albedoArraySampler, tm->albedoArrayView);
  return true;
}

b8 ensureSplatPipeline(TerrainMesh* tm) {
  Pipelines* p = tm->pipelines;
  if (Pipeline* existing = pipelinesGet(p, tm->splatPipelineSlot)) return existing->descriptorSet != VK_NULL_HANDLE;
  Renderer* r = tm->renderer;
  if (!r->bindlessTextureSetLayout || !tm->lightSetLayout) return false;
  u64 vertSize = 0, fragSize = 0;
  const u32* vert = rendererLoadShader("shaders/terrain.vert.spv", &vertSize);
  const u32* frag = rendererLoadShader(rendererLitShaderPath(r, kSplatFrag), &fragSize);
  if (!vert || !frag) return false;
  VkVertexInputBindingDescription binding{0, sizeof(WorldTerrainVert), VK_VERTEX_INPUT_RATE_VERTEX};
  VkVertexInputAttributeDescription attrs[3] = {{0, 0, VK_FORMAT_R16G16B16A16_SNORM, 0},
                                                {1, 0, VK_FORMAT_R8G8_SNORM, 6},
                                                {2, 0, VK_FORMAT_R16G16_UNORM, 8}};
  VkPushConstantRange push{VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, kTerrainSplatPushBytes};
  VkDescriptorSetLayoutBinding own{0, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1, VK_SHADER_STAGE_FRAGMENT_BIT,
                                   nullptr};
  VkDescriptorSetLayout extra[2] = {r->bindlessTextureSetLayout, tm->lightSetLayout};
  PipelineConfig c{};
  c.vertCode = vert;
  c.vertSize = vertSize;
  c.fragCode = frag;
  c.fragSize = fragSize;
  c.litFragmentShader = kSplatFrag;
  c.vertexBindings = &binding;
  c.vertexBindingCount = 1;
  c.vertexAttributes = attrs;
  c.vertexAttributeCount = 3;
  c.pushConstants = &push;
  c.pushConstantCount = 1;
  c.cullMode = VK_CULL_MODE_BACK_BIT;
  c.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
  c.depthTest = true;
  c.depthWrite = true;
  c.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  Pipeline* made = pipelinesCreate(p, tm->splatPipelineSlot, &c, &own, 1, extra, 2);
  return made && made->descriptorSet != VK_NULL_HANDLE;
}

b8 createSplatTexture(TerrainMesh* tm) {
  const WorldMap* wm = tm->wm;
  u32 w = wm->meta.heightmapW, h = wm->meta.heightmapH;
  const u8* src = wm->splatmap;
  u8* fallback = nullptr;
  if (!src || !w || !h) {
    w = h = 4;
    fallback = static_cast<u8*>(memAlloc(64));
    if (!fallback) return false;
    for (u32 i = 0; i < 16; i++) std::memcpy(fallback + i * 4, "\xff\0\0\0", 4);
    src = fallback;
  }
  b8 ok = textureCreateFromCompressed(src, (u64)w * h * 4, w, h, VK_FORMAT_R8G8B8A8_UNORM, &tm->splatmapTex,
                                      tm->renderer);
  memFree(fallback);
  if (!ok) {
    tm->splatmapTex = GltfTexture{};
    return false;
  }
  tm->splatBindlessSlot = tm->splatmapTex.bindlessIndex;
  return tm->splatBindlessSlot != 0;
}

// Rewrites the splat texture's texels from the map in place (same size), so that the
// bindless slot and the texture stay; false when that is not possible.
b8 updateSplatInPlace(TerrainMesh* tm) {
  const WorldMap* wm = tm->wm;
  Renderer* r = tm->renderer;
  const u32 w = wm->meta.heightmapW, h = wm->meta.heightmapH;
  if (!tm->splatmapTex.image || !wm->splatmap || tm->splatmapTex.width != w || tm->splatmapTex.height != h ||
      tm->splatmapTex.format != VK_FORMAT_R8G8B8A8_UNORM)
    return false;
  const VkDeviceSize size = (VkDeviceSize)w * h * 4;
  VkBuffer staging = VK_NULL_HANDLE;
  VkDeviceMemory mem = VK_NULL_HANDLE;
  VkDeviceSize allocated = 0;
  if (!vramCreateBuffer(r->device, size, VK_BUFFER_USAGE_TRANSFER_SRC_BIT,
                        VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT, &staging, &mem,
                        &allocated))
    return false;
  void* mapped = nullptr;
  if (vkMapMemory(r->device, mem, 0, size, 0, &mapped) != VK_SUCCESS) {
    vkDestroyBuffer(r->device, staging, nullptr);
    vramFree(mem, allocated, true);
    return false;
  }
  std::memcpy(mapped, wm->splatmap, (size_t)size);
  vkUnmapMemory(r->device, mem);
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(r);
  VkImageMemoryBarrier b{};
  b.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
  b.srcAccessMask = 0;  // earlier frames only read it
  b.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  b.oldLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
  b.newLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = tm->splatmapTex.image;
  b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  VkBufferImageCopy c{};
  c.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  c.imageExtent = {w, h, 1};
  vkCmdCopyBufferToImage(cmd, staging, tm->splatmapTex.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &c);
  b.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  b.dstAccessMask = VK_ACCESS_SHADER_READ_BIT;
  b.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  b.newLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  rendererEndOneTimeCommands(r, cmd);
  // The one-time submission has completed: the staging memory goes now.
  vkDestroyBuffer(r->device, staging, nullptr);
  vramFree(mem, allocated, true);
  return true;
}

void destroySplatTexture(TerrainMesh* tm) {
  if (tm->splatmapTex.image) textureDestroy(&tm->splatmapTex, tm->renderer);
  tm->splatmapTex = GltfTexture{};
  tm->splatBindlessSlot = 0;
}

void flushPools(TerrainMesh* tm) {
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(tm->renderer);
  terrainMeshFlush(tm, cmd);
  rendererEndOneTimeCommands(tm->renderer, cmd);
}

}  // namespace

void terrainMeshInit(TerrainMesh* tm, WorldMap* wm, MeshPool* vertexPool, MeshPool* indexPool, Pipelines* pipelines,
                     u32 pipelineSlot, u32 splatPipelineSlot, Renderer* renderer, VkDescriptorSetLayout lightSetLayout) {
  std::memset(tm, 0, sizeof *tm);
  tm->wm = wm;
  tm->renderer = renderer;
  tm->vertexPool = vertexPool;
  tm->indexPool = indexPool;
  tm->pipelines = pipelines;
  tm->pipelineSlot = pipelineSlot;
  tm->splatPipelineSlot = splatPipelineSlot;
  tm->lightSetLayout = lightSetLayout;
  if (textureCreateFallback(&tm->fallbackTex, renderer, 8, 8))
    pipelineUpdateImage(pipelines, pipelineSlot, 0, tm->fallbackTex.sampler, tm->fallbackTex.view);
  b8 pipe = ensureSplatPipeline(tm);
  b8 splat = createSplatTexture(tm);
  b8 albedo = pipe && createAlbedoArray(tm);
  tm->splatReady = pipe && splat && albedo;
}

void terrainMeshDestroy(TerrainMesh* tm) {
  if (!tm->renderer) return;
  for (u32 i = 0; i < tm->chunkCount; i++) {
    meshPoolFree(tm->vertexPool, tm->chunks[i].vertexAlloc);
    meshPoolFree(tm->indexPool, tm->chunks[i].indexAlloc);
  }
  memFree(tm->chunks);
  destroySplatTexture(tm);
  if (tm->fallbackTex.image) textureDestroy(&tm->fallbackTex, tm->renderer);
  destroyAlbedoArray(tm);
  std::memset(tm, 0, sizeof *tm);
}

namespace {

constexpr u32 kMaxPieces = 64;

b8 samePiece(const TerrainPiece& a, const TerrainPiece& b) {
  return a.x0 == b.x0 && a.x1 == b.x1 && a.z0 == b.z0 && a.z1 == b.z1;
}

}  // namespace

void terrainMeshLoadTile(TerrainMesh* tm, u32 tx, u32 ty) {
  if (!tm->renderer || findChunk(tm, tx, ty) >= 0) return;
  TerrainPiece pieces[kMaxPieces];
  u32 n = terrainChunkPieces(tm->wm, tx, ty, pieces, kMaxPieces);
  u32 made = 0;
  for (; made < n; made++) {
    const TerrainPiece& p = pieces[made];
    u32 verts = (p.x1 - p.x0 + 1) * (p.z1 - p.z0 + 1), indices = (p.x1 - p.x0) * (p.z1 - p.z0) * 6;
    TerrainChunk c{};
    if (!allocRanges(tm, verts, indices, &c.vertexAlloc, &c.indexAlloc)) break;
    c.tileX = tx;
    c.tileY = ty;
    c.piece = p;
    c.vertexCount = verts;
    c.indexCount = indices;
    c.needsUpload = true;
    if (!appendChunk(tm, c)) {
      meshPoolFree(tm->vertexPool, c.vertexAlloc);
      meshPoolFree(tm->indexPool, c.indexAlloc);
      break;
    }
  }
  if (n && made == n) return;
  terrainMeshUnloadTile(tm, tx, ty);  // a partly made tile is not drawn
  loadFromBlob(tm, tx, ty);
}

void terrainMeshUnloadTile(TerrainMesh* tm, u32 tx, u32 ty) {
  for (i32 i; (i = findChunk(tm, tx, ty)) >= 0;) {
    meshPoolFree(tm->vertexPool, tm->chunks[i].vertexAlloc);
    meshPoolFree(tm->indexPool, tm->chunks[i].indexAlloc);
    tm->chunks[i] = tm->chunks[tm->chunkCount - 1];
    tm->chunkCount--;
  }
}

void terrainMeshQueueRefresh(TerrainMesh* tm, u32 tx, u32 ty) {
  TerrainPiece pieces[kMaxPieces];
  u32 n = terrainChunkPieces(tm->wm, tx, ty, pieces, kMaxPieces);
  u32 matched = 0, have = 0;
  for (u32 i = 0; i < tm->chunkCount; i++) {
    const TerrainChunk& c = tm->chunks[i];
    if (c.tileX != tx || c.tileY != ty) continue;
    have++;
    for (u32 k = 0; k < n; k++) matched += samePiece(c.piece, pieces[k]) ? 1 : 0;
  }
  if (n && have == n && matched == n) {
    // Same pieces: rebuilt into their own ranges at the next flush.
    for (u32 i = 0; i < tm->chunkCount; i++)
      if (tm->chunks[i].tileX == tx && tm->chunks[i].tileY == ty) tm->chunks[i].needsUpload = true;
    return;
  }
  terrainMeshUnloadTile(tm, tx, ty);
  terrainMeshLoadTile(tm, tx, ty);
}

void terrainMeshQueueRefreshRect(TerrainMesh* tm, u32 tx, u32 ty, u32 x0, u32 z0, u32 x1, u32 z1) {
  if (!tm->wm->heightmap || findChunk(tm, tx, ty) < 0) {
    terrainMeshQueueRefresh(tm, tx, ty);
    return;
  }
  // Normals read the neighbouring samples: one more on each side.
  x0 = x0 ? x0 - 1 : 0;
  z0 = z0 ? z0 - 1 : 0;
  x1++;
  z1++;
  for (u32 i = 0; i < tm->chunkCount; i++) {
    TerrainChunk& c = tm->chunks[i];
    if (c.tileX != tx || c.tileY != ty || c.needsUpload) continue;
    const TerrainPiece& p = c.piece;
    u32 a0 = x0 > p.x0 ? x0 : p.x0, a1 = x1 < p.x1 ? x1 : p.x1;
    u32 b0 = z0 > p.z0 ? z0 : p.z0, b1 = z1 < p.z1 ? z1 : p.z1;
    if (p.x1 == 0 || a0 > a1 || b0 > b1) continue;  // no piece (stored mesh) or not touched
    f32 lo, hi;
    terrainSampleRange(tm->wm, a0, a1, b0, b1, &lo, &hi);
    if (lo < c.origin[1] - c.scale || hi > c.origin[1] + c.scale) {
      c.needsUpload = true;  // out of the cube: rebuilt whole with a new one
      c.partial = false;
      continue;
    }
    if (!c.partial) {
      c.partial = true;
      c.dirtyX0 = a0, c.dirtyX1 = a1, c.dirtyZ0 = b0, c.dirtyZ1 = b1;
    } else {
      c.dirtyX0 = a0 < c.dirtyX0 ? a0 : c.dirtyX0;
      c.dirtyX1 = a1 > c.dirtyX1 ? a1 : c.dirtyX1;
      c.dirtyZ0 = b0 < c.dirtyZ0 ? b0 : c.dirtyZ0;
      c.dirtyZ1 = b1 > c.dirtyZ1 ? b1 : c.dirtyZ1;
    }
  }
}

void terrainMeshFlush(TerrainMesh* tm, VkCommandBuffer cmd) {
  if (!tm->renderer || !cmd) return;
  b8 any = false;
  for (u32 i = 0; i < tm->chunkCount && !any; i++) any = tm->chunks[i].needsUpload || tm->chunks[i].partial;
  if (any) {
    // Ranges rewritten in place may still be read by the frame before.
    VkMemoryBarrier b{};
    b.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
    b.srcAccessMask = 0;
    b.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
    vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_VERTEX_INPUT_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 1, &b, 0, nullptr,
                         0, nullptr);
  }
  for (u32 i = 0; i < tm->chunkCount; i++) {
    TerrainChunk& c = tm->chunks[i];
    if (c.partial && !c.needsUpload) {
      // Row by row into the chunk's own vertex range; indices stay.
      const u32 cols = c.piece.x1 - c.piece.x0 + 1, n = c.dirtyX1 - c.dirtyX0 + 1;
      for (u32 z = c.dirtyZ0; z <= c.dirtyZ1; z++) {
        MeshAlloc row{c.vertexAlloc.offset +
                          ((VkDeviceSize)(z - c.piece.z0) * cols + (c.dirtyX0 - c.piece.x0)) * sizeof(WorldTerrainVert),
                      (VkDeviceSize)n * sizeof(WorldTerrainVert)};
        auto* v = static_cast<WorldTerrainVert*>(meshPoolStage(tm->vertexPool, row));
        if (v) terrainBuildRowVerts(tm->wm, c.dirtyX0, c.dirtyX1, z, c.origin, c.scale, v);
      }
    }
    c.partial = false;
    if (!c.needsUpload) continue;
    // Built straight into the staging memory.
    auto* v = static_cast<WorldTerrainVert*>(meshPoolStage(tm->vertexPool, c.vertexAlloc));
    auto* idx = static_cast<u16*>(meshPoolStage(tm->indexPool, c.indexAlloc));
    TerrainChunkGeometry g;
    if (v && idx && terrainPieceBuild(tm->wm, &c.piece, v, idx, &g) && g.vertCount == c.vertexCount &&
        g.indexCount == c.indexCount) {
      std::memcpy(c.origin, g.origin, 12);
      c.scale = g.scale;
      c.needsUpload = false;
    } else {
      // Nothing sensible to draw from these ranges: zero them (degenerate triangles).
      if (v) std::memset(v, 0, (size_t)c.vertexCount * sizeof(WorldTerrainVert));
      if (idx) std::memset(idx, 0, (size_t)c.indexCount * 2);
    }
  }
  meshPoolFlush(tm->vertexPool, cmd);
  meshPoolFlush(tm->indexPool, cmd);
}

b8 terrainMeshRefreshTile(TerrainMesh* tm, u32 tx, u32 ty) {
  terrainMeshQueueRefresh(tm, tx, ty);
  if (findChunk(tm, tx, ty) < 0) return false;
  flushPools(tm);
  return true;
}

b8 terrainMeshRefreshSplatmap(TerrainMesh* tm) {
  if (!tm->renderer) return false;
  // Splat edits keep the grid: the texture is rewritten where it is.
  if (updateSplatInPlace(tm)) {
    tm->splatReady = ensureSplatPipeline(tm) && tm->albedoArrayView;
    return true;
  }
  destroySplatTexture(tm);
  b8 pipe = ensureSplatPipeline(tm);
  b8 ok = pipe && createSplatTexture(tm);
  tm->splatReady = ok && tm->albedoArrayView;
  return ok;
}

b8 terrainMeshRefreshMaterials(TerrainMesh* tm) {
  if (!tm->renderer) return false;
  rendererWaitIdle(tm->renderer);  // the old array may be in use by frames in flight
  destroyAlbedoArray(tm);
  b8 pipe = ensureSplatPipeline(tm);
  b8 ok = pipe && createAlbedoArray(tm);
  tm->splatReady = ok && tm->splatmapTex.view;
  for (u32 i = 0; i < tm->chunkCount; i++) assignMaterialIds(tm, &tm->chunks[i]);
  return ok;
}

void terrainMeshSetLightSetLayout(TerrainMesh* tm, VkDescriptorSetLayout lightSetLayout) {
  tm->lightSetLayout = lightSetLayout;
}

void terrainMeshRefreshChunkMaterialIds(TerrainMesh* tm, u32 tx, u32 ty) {
  for (u32 i = 0; i < tm->chunkCount; i++)
    if (tm->chunks[i].tileX == tx && tm->chunks[i].tileY == ty) assignMaterialIds(tm, &tm->chunks[i]);
}

void terrainMeshDraw(TerrainMesh* tm, VkCommandBuffer cmd, const mat4f32* vpMatrix, VkDescriptorSet lightSet,
                     const v4* frustumPlanes, VkDeviceAddress lightDataAddr) {
  if (!tm->chunkCount || !cmd || !vpMatrix) return;
  Pipeline* splat = pipelinesGet(tm->pipelines, tm->splatPipelineSlot);
  b8 useSplat = tm->splatReady && splat && splat->descriptorSet;
  Pipeline* pl = useSplat ? splat : pipelinesGet(tm->pipelines, tm->pipelineSlot);
  if (!pl) return;
  pipelineBind(tm->pipelines, useSplat ? tm->splatPipelineSlot : tm->pipelineSlot, cmd);
  if (useSplat) {
    VkDescriptorSet sets[2] = {tm->renderer->bindlessTextureSet, lightSet};
    vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pl->layout, 1, 2, sets, 0, nullptr);
  } else {
    // The plain path's own set 0 is the renderer's bindless table.
    VkDescriptorSet sets[2] = {tm->renderer->bindlessTextureSet, lightSet};
    vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pl->layout, 0, 2, sets, 0, nullptr);
  }
  u8 pc[kTerrainSplatPushBytes] = {};
  std::memcpy(pc, vpMatrix->m, 64);
  const f32 white[4] = {1, 1, 1, 1};
  std::memcpy(pc + 80, white, 16);
  const u32 pcSize = useSplat ? kTerrainSplatPushBytes : 112;
  for (u32 i = 0; i < tm->chunkCount; i++) {
    const TerrainChunk& c = tm->chunks[i];
    if (c.needsUpload) continue;
    if (frustumPlanes) {
      b8 culled = false;
      for (int k = 0; k < 6 && !culled; k++) {
        const v4& pln = frustumPlanes[k];
        f64 d = pln.x * c.origin[0] + pln.y * c.origin[1] + pln.z * c.origin[2] + pln.w;
        f64 reach = (std::fabs(pln.x) + std::fabs(pln.y) + std::fabs(pln.z)) * c.scale;
        culled = d < -reach;
      }
      if (culled) continue;
    }
    std::memcpy(pc + 64, c.origin, 12);
    std::memcpy(pc + 76, &c.scale, 4);
    if (useSplat) {
      u32 packed = (u32)c.materialIds[0] | ((u32)c.materialIds[1] << 8) | ((u32)c.materialIds[2] << 16) |
                   ((u32)c.materialIds[3] << 24);
      std::memcpy(pc + 100, &packed, 4);
      std::memcpy(pc + 104, &lightDataAddr, 8);
      std::memcpy(pc + 112, &tm->splatBindlessSlot, 4);
    } else {
      std::memset(pc + 100, 0, 4);  // texture index 0: the fallback
      std::memcpy(pc + 104, &lightDataAddr, 8);
    }
    vkCmdPushConstants(cmd, pl->layout, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, pcSize, pc);
    VkBuffer vb = tm->vertexPool->buffer;
    VkDeviceSize vo = c.vertexAlloc.offset;
    vkCmdBindVertexBuffers(cmd, 0, 1, &vb, &vo);
    vkCmdBindIndexBuffer(cmd, tm->indexPool->buffer, c.indexAlloc.offset, VK_INDEX_TYPE_UINT16);
    vkCmdDrawIndexed(cmd, c.indexCount, 1, 0, 0, 0);
  }
}

namespace {

// True when the chunk's cube lies wholly beside the shadow map (all eight corners
// past one side of the light's clip square): it would cast nothing there. Depth
// is left alone, as the rasteriser leaves it.
b8 outsideShadowMap(const mat4f32* vp, const TerrainChunk& c) {
  const f32* m = vp->m;
  b8 allLeft = true, allRight = true, allBelow = true, allAbove = true;
  for (int k = 0; k < 8; k++) {
    f32 x = c.origin[0] + (k & 1 ? c.scale : -c.scale);
    f32 y = c.origin[1] + (k & 2 ? c.scale : -c.scale);
    f32 z = c.origin[2] + (k & 4 ? c.scale : -c.scale);
    f32 cx = m[0] * x + m[4] * y + m[8] * z + m[12];
    f32 cy = m[1] * x + m[5] * y + m[9] * z + m[13];
    f32 cw = m[3] * x + m[7] * y + m[11] * z + m[15];
    allLeft = allLeft && cx < -cw;
    allRight = allRight && cx > cw;
    allBelow = allBelow && cy < -cw;
    allAbove = allAbove && cy > cw;
  }
  return allLeft || allRight || allBelow || allAbove;
}

}  // namespace

void terrainMeshDrawShadow(TerrainMesh* tm, VkCommandBuffer cmd, const mat4f32* lightVP, const Lighting* lighting) {
  if (!tm->chunkCount || !cmd || !lighting || !lighting->shadowGltfPipeline) return;
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, lighting->shadowGltfPipeline);
  u8 pc[80];
  std::memcpy(pc, lightVP->m, 64);
  for (u32 i = 0; i < tm->chunkCount; i++) {
    const TerrainChunk& c = tm->chunks[i];
    if (c.needsUpload || outsideShadowMap(lightVP, c)) continue;
    std::memcpy(pc + 64, c.origin, 12);
    std::memcpy(pc + 76, &c.scale, 4);
    vkCmdPushConstants(cmd, lighting->shadowGltfLayout, VK_SHADER_STAGE_VERTEX_BIT, 0, 80, pc);
    VkBuffer vb = tm->vertexPool->buffer;
    VkDeviceSize vo = c.vertexAlloc.offset;
    vkCmdBindVertexBuffers(cmd, 0, 1, &vb, &vo);
    vkCmdBindIndexBuffer(cmd, tm->indexPool->buffer, c.indexAlloc.offset, VK_INDEX_TYPE_UINT16);
    vkCmdDrawIndexed(cmd, c.indexCount, 1, 0, 0, 0);
  }
}
