// The runtime font: atlas image and its uploads, glyphs made on first use, atlas
// growth, text layout and measuring.
#include "font/font.h"

#include <cstdio>
#include <cstring>

#include "font/font_internal.h"
#include "platform/hashmap.h"
#include "platform/memory.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"
#include "renderer/texture.h"
#include "renderer/vram.h"

namespace {

constexpr VkDeviceSize kVertexBytes = 0x1e000;
constexpr i32 kRuntimeAtlasMin = 2048;
constexpr i32 kCpuAtlasLimit = 16384;  // CPU-only fonts: stands in for the device limit
constexpr VkMemoryPropertyFlags kHostMemory =
    VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;

void* accountedAlloc(void*, size_t bytes) { return memAlloc(bytes); }
void accountedFree(void*, void* p) { memFree(p); }
const sm_allocator_t kAccounted = {nullptr, accountedAlloc, accountedFree, nullptr, nullptr};

// ---- GPU atlas -------------------------------------------------------------------

b8 createAtlasImage(Font* font, i32 w, i32 h, VkImage* image, VkDeviceMemory* memory, VkDeviceSize* memorySize,
                    VkImageView* view) {
  // Transfer source too: the atlas can be read back to check it against the CPU copy.
  if (!vramCreateImage2D(font->device, VkExtent2D{(u32)w, (u32)h}, VK_FORMAT_R8_UNORM,
                         VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_SAMPLED_BIT,
                         image, memory, memorySize))
    return false;
  VkImageViewCreateInfo vi{};
  vi.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  vi.image = *image;
  vi.viewType = VK_IMAGE_VIEW_TYPE_2D;
  vi.format = VK_FORMAT_R8_UNORM;
  vi.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  if (vkCreateImageView(font->device, &vi, nullptr, view) != VK_SUCCESS) {
    vkDestroyImage(font->device, *image, nullptr);
    vramFree(*memory, *memorySize, false);
    *image = VK_NULL_HANDLE;
    *memory = VK_NULL_HANDLE;
    return false;
  }
  return true;
}

void destroyAtlasImage(Font* font, VkImage image, VkDeviceMemory memory, VkDeviceSize size, VkImageView view) {
  if (view) vkDestroyImageView(font->device, view, nullptr);
  if (image) vkDestroyImage(font->device, image, nullptr);
  if (memory) vramDeferFree(VK_NULL_HANDLE, memory, size, false);
}

b8 createSampler(Font* font) {
  VkSamplerCreateInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO;
  si.magFilter = VK_FILTER_LINEAR;
  si.minFilter = VK_FILTER_LINEAR;
  si.mipmapMode = VK_SAMPLER_MIPMAP_MODE_LINEAR;
  si.addressModeU = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
  si.addressModeV = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
  si.addressModeW = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
  si.maxAnisotropy = 1.0f;
  return vkCreateSampler(font->device, &si, nullptr, &font->sampler) == VK_SUCCESS;
}

// Copies texels (x, y, w, h) of the CPU atlas into `image` through a staging buffer.
b8 uploadInto(Font* font, VkImage image, i32 x, i32 y, i32 w, i32 h, VkImageLayout oldLayout) {
  Renderer* r = font->renderer;
  VkDeviceSize bytes = (VkDeviceSize)w * (VkDeviceSize)h;
  VkBuffer staging = VK_NULL_HANDLE;
  VkDeviceMemory stagingMemory = VK_NULL_HANDLE;
  VkDeviceSize stagingSize = 0;
  if (!vramCreateBuffer(r->device, bytes, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, kHostMemory, &staging, &stagingMemory,
                        &stagingSize))
    return false;
  void* mapped = nullptr;
  if (vkMapMemory(r->device, stagingMemory, 0, bytes, 0, &mapped) != VK_SUCCESS) {
    vkDestroyBuffer(r->device, staging, nullptr);
    vramFree(stagingMemory, stagingSize, true);
    return false;
  }
  for (i32 row = 0; row < h; row++)
    memcpy(static_cast<u8*>(mapped) + (size_t)row * (size_t)w,
           font->atlasData + (size_t)(y + row) * (size_t)font->atlasW + (size_t)x, (size_t)w);
  vkUnmapMemory(r->device, stagingMemory);

  VkCommandBuffer cmd = rendererBeginOneTimeCommands(r);
  if (!cmd) {
    vkDestroyBuffer(r->device, staging, nullptr);
    vramFree(stagingMemory, stagingSize, true);
    return false;
  }
  VkImageMemoryBarrier toDst{};
  toDst.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
  toDst.oldLayout = oldLayout;
  toDst.newLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  toDst.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  toDst.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  toDst.image = image;
  toDst.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  toDst.srcAccessMask = 0;
  toDst.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  // Earlier frames' glyph reads come before the copy overwrites texels.
  VkPipelineStageFlags srcStage = oldLayout == VK_IMAGE_LAYOUT_UNDEFINED ? VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT
                                                                         : VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT;
  vkCmdPipelineBarrier(cmd, srcStage, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0, nullptr, 1, &toDst);
  VkBufferImageCopy copy{};
  copy.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  copy.imageOffset = {x, y, 0};
  copy.imageExtent = {(u32)w, (u32)h, 1};
  vkCmdCopyBufferToImage(cmd, staging, image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &copy);
  VkImageMemoryBarrier toRead = toDst;
  toRead.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  toRead.newLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
  toRead.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  toRead.dstAccessMask = VK_ACCESS_SHADER_READ_BIT;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &toRead);
  rendererEndOneTimeCommands(r, cmd);
  vkDestroyBuffer(r->device, staging, nullptr);
  vramFree(stagingMemory, stagingSize, true);
  return true;
}

i32 grownSize(i32 current, i32 minimum) {
  i32 s = current > 0 ? current : 256;
  while (s < minimum) s *= 2;
  return s;
}

b8 hasGlyphSource(const Font* font) { return font->bakedChars || font->hasFontInfo; }

// The layout's view of rune r: slow path of layoutGlyph.
const FontLayoutGlyph* resolveLayoutGlyph(Font* font, Rune r) {
  FontLayoutGlyph* page = nullptr;
  if (font->layoutPages && r < 0x110000) {
    page = font->layoutPages[r >> 8];
    if (!page) {
      page = static_cast<FontLayoutGlyph*>(memCalloc(256, sizeof(FontLayoutGlyph)));
      font->layoutPages[r >> 8] = page;
    }
  }
  static thread_local FontLayoutGlyph scratch;
  FontLayoutGlyph lg{};
  FontBakedChar g;
  b8 definitive = true;
  if (fontLookupGlyph(font, r, &g)) {
    lg.advance = g.xadvance;
    if (g.x0 != g.x1 && g.y0 != g.y1) {
      lg.hasQuad = 1;
      lg.x0 = g.xoff;
      lg.y0 = g.yoff;
      lg.w = (f32)(g.x1 - g.x0);
      lg.h = (f32)(g.y1 - g.y0);
      lg.u0 = (f32)g.x0 / (f32)font->atlasW;
      lg.u1 = (f32)g.x1 / (f32)font->atlasW;
      lg.v0 = (f32)g.y0 / (f32)font->atlasH;
      lg.v1 = (f32)g.y1 / (f32)font->atlasH;
    }
    // '?' standing in after a failed upload: try the rune again next time.
    FontBakedChar own;
    if (r != '?' && !fontEnsureGlyph(font, r, &own) && font->hasFontInfo && font->dynamicGlyphMap &&
        !sm_find_generic(font->dynamicGlyphMap, &r) && r != 0 && r != '\t' && r != '\n' && r != '\r' &&
        !(font->bakedChars && (i64)r >= font->firstChar && (i64)r < (i64)font->firstChar + font->numChars))
      definitive = false;
  } else {
    int w = runewidth(r);
    lg.advance = w > 0 ? (f32)w * fontFallbackAdvance(font) : 0.0f;
  }
  lg.resolved = 1;
  if (!page || !definitive) {
    scratch = lg;
    return &scratch;
  }
  page[r & 0xFF] = lg;
  return &page[r & 0xFF];
}

inline const FontLayoutGlyph* layoutGlyph(Font* font, Rune r) {
  if (r < 0x110000 && font->layoutPages) {
    const FontLayoutGlyph* page = font->layoutPages[r >> 8];
    if (page && page[r & 0xFF].resolved) return &page[r & 0xFF];
  }
  return resolveLayoutGlyph(font, r);
}

void clearLayoutGlyphs(Font* font) {
  if (!font->layoutPages) return;
  for (u32 i = 0; i < kFontLayoutPages; i++)
    if (font->layoutPages[i]) memset(font->layoutPages[i], 0, 256 * sizeof(FontLayoutGlyph));
}

// The layout walk shared by building and measuring: `emit` false measures the
// first line only. Vertices go into one piece taken for the worst case (six per
// byte); what is left over is given back at the end.
template <bool emit>
f32 walkText(Font* font, f32 x, f32 y, const char* text, i32 len, f32 scale, u32 color, const i32* clip,
             u32* added) {
  if (!(scale > 0.0f)) scale = 1.0f;
  f32 penX = x, penY = y, width = 0.0f;
  f32 clipX0 = 0, clipY0 = 0, clipX1 = 0, clipY1 = 0;
  FontVertex* cur = nullptr;
  FontVertex* end = nullptr;
  FontVertex* bulk = nullptr;
  if constexpr (emit) {
    clipX0 = (f32)clip[0], clipY0 = (f32)clip[1];
    clipX1 = (f32)clip[0] + (f32)clip[2], clipY1 = (f32)clip[1] + (f32)clip[3];
    bulk = static_cast<FontVertex*>(vertexStreamAlloc(&font->vertices, (u64)len * 6 * sizeof(FontVertex)));
    cur = bulk;
    end = bulk ? bulk + (size_t)len * 6 : nullptr;
  }
  const char* p = text;
  const char* stop = text + len;
  // Page 0 (ASCII, Latin-1) is read once: pages stay where they are once made.
  const FontLayoutGlyph* page0 = font->layoutPages ? font->layoutPages[0] : nullptr;
  while (p < stop) {
    Rune r = (u8)*p;
    if (r < 0x80) {
      p++;
      if (r == 0) break;
      if (r == '\r') continue;
      if (r == '\n') {
        if constexpr (!emit) break;
        penX = x;
        penY += scale * font->pixelHeight;
        continue;
      }
    } else {
      int n = charntorune(&r, p, (int)(stop - p));
      if (n <= 0) break;  // ends inside a sequence
      p += n;
    }
    const FontLayoutGlyph* g;
    if (r < 0x100 && page0 && page0[r].resolved) {
      g = &page0[r];
    } else {
      g = layoutGlyph(font, r);
      page0 = font->layoutPages ? font->layoutPages[0] : nullptr;
    }
    if (emit && g->hasQuad) {
      f32 x0 = penX + scale * g->x0, y0 = penY + scale * g->y0;
      f32 x1 = x0 + scale * g->w, y1 = y0 + scale * g->h;
      f32 u0 = g->u0, v0 = g->v0, u1 = g->u1, v1 = g->v1;
      b8 visible = true;
      if (x0 < clipX0 || y0 < clipY0 || x1 > clipX1 || y1 > clipY1) {
        // Cut at the clip rectangle, texture coordinates in proportion.
        f32 cx0 = x0 > clipX0 ? x0 : clipX0, cy0 = y0 > clipY0 ? y0 : clipY0;
        f32 cx1 = x1 < clipX1 ? x1 : clipX1, cy1 = y1 < clipY1 ? y1 : clipY1;
        visible = cx1 > cx0 && cy1 > cy0;
        if (visible) {
          f32 du = (u1 - u0) / (x1 - x0), dv = (v1 - v0) / (y1 - y0);
          f32 nu0 = u0 + (cx0 - x0) * du, nu1 = u0 + (cx1 - x0) * du;
          f32 nv0 = v0 + (cy0 - y0) * dv, nv1 = v0 + (cy1 - y0) * dv;
          u0 = nu0, u1 = nu1, v0 = nv0, v1 = nv1;
          x0 = cx0, y0 = cy0, x1 = cx1, y1 = cy1;
        }
      }
      if (visible) {
        if (cur == end) {
          cur = static_cast<FontVertex*>(vertexStreamAlloc(&font->vertices, 6 * sizeof(FontVertex)));
          if (!cur) break;  // the buffer cannot grow: layout stops
          end = cur + 6;
        }
        cur[0] = FontVertex{x0, y0, u0, v0, color};
        cur[1] = FontVertex{x1, y0, u1, v0, color};
        cur[2] = FontVertex{x1, y1, u1, v1, color};
        cur[3] = FontVertex{x0, y0, u0, v0, color};
        cur[4] = FontVertex{x1, y1, u1, v1, color};
        cur[5] = FontVertex{x0, y1, u0, v1, color};
        cur += 6;
        *added += 6;
      }
    }
    penX += scale * g->advance;
    width += g->advance;
  }
  if (bulk) vertexStreamGiveBack(&font->vertices, (u64)(end - cur) * sizeof(FontVertex));
  return width * scale;
}

}  // namespace

// ---- life cycle -----------------------------------------------------------------

b8 fontInitRuntime(Font* font, Renderer* renderer, Pipelines* pipelines, u32 pipelineIndex, const char* ttfPath,
                   f32 pixelHeight, i32 atlasW, i32 atlasH) {
  if (!font) return false;
  auto* bake = static_cast<PrebakedFont*>(memCalloc(1, sizeof(PrebakedFont)));
  if (!bake) return false;
  if (!bakefontLoad(bake, ttfPath, pixelHeight, atlasW, atlasH) ||
      !fontInit(font, renderer, pipelines, pipelineIndex, bake)) {
    bakefontDestroy(bake);
    memFree(bake);
    return false;
  }
  font->runtimeSource = bake;
  font->ownsRuntimeSource = true;
  return true;
}

b8 fontInit(Font* font, Renderer* renderer, Pipelines* pipelines, u32 pipelineIndex, const PrebakedFont* prebaked) {
  if (!font || !prebaked || prebaked->atlas_w < 1 || prebaked->atlas_h < 1 || !prebaked->atlas) return false;
  memset(font, 0, sizeof(*font));
  font->renderer = renderer;
  font->pipelines = pipelines;
  font->pipelineIndex = pipelineIndex;
  font->device = renderer ? renderer->device : VK_NULL_HANDLE;
  font->atlasW = prebaked->atlas_w;
  font->atlasH = prebaked->atlas_h;
  font->firstChar = prebaked->first_char;
  font->numChars = prebaked->num_chars;
  font->pixelHeight = prebaked->pixel_height;
  font->ascent = prebaked->ascent;
  font->descent = prebaked->descent;
  font->lineGap = prebaked->line_gap;
  font->maxAtlasDim = kCpuAtlasLimit;
  if (renderer) {
    VkPhysicalDeviceProperties props;
    vkGetPhysicalDeviceProperties(renderer->physicalDevice, &props);
    font->maxAtlasDim = (i32)props.limits.maxImageDimension2D;
  }
  if (prebaked->num_chars > 0 && prebaked->baked_chars) {
    font->bakedChars = static_cast<FontBakedChar*>(memAlloc(sizeof(FontBakedChar) * (size_t)prebaked->num_chars));
    if (!font->bakedChars) return false;
    memcpy(font->bakedChars, prebaked->baked_chars, sizeof(FontBakedChar) * (size_t)prebaked->num_chars);
  }
  font->fontData = prebaked->font_data;
  font->fontDataSize = prebaked->font_data_size;
  if (font->fontData) {
    int offset = stbtt_GetFontOffsetForIndex(font->fontData, 0);
    font->hasFontInfo = offset >= 0 && stbtt_InitFont(&font->fontInfo, font->fontData, offset);
    if (font->hasFontInfo) {
      // Room for glyphs made at run time.
      if (font->atlasW < kRuntimeAtlasMin) font->atlasW = kRuntimeAtlasMin;
      if (font->atlasH < kRuntimeAtlasMin) font->atlasH = kRuntimeAtlasMin;
    }
  }
  if (font->atlasW > font->maxAtlasDim || font->atlasH > font->maxAtlasDim) {
    fontDestroy(font);
    return false;
  }
  font->atlasData = static_cast<u8*>(memCalloc((size_t)font->atlasW * (size_t)font->atlasH, 1));
  font->dynamicGlyphMap = sm_new(64, sizeof(u32), sizeof(FontBakedChar), &kAccounted);
  if (!font->atlasData || !font->dynamicGlyphMap) {
    fontDestroy(font);
    return false;
  }
  for (i32 y = 0; y < prebaked->atlas_h; y++)
    memcpy(font->atlasData + (size_t)y * (size_t)font->atlasW, prebaked->atlas + (size_t)y * prebaked->atlas_w,
           (size_t)prebaked->atlas_w);
  font->layoutPages = static_cast<FontLayoutGlyph**>(memCalloc(kFontLayoutPages, sizeof(FontLayoutGlyph*)));
  if (!font->layoutPages) {
    fontDestroy(font);
    return false;
  }
  font->glyphBudget = kFontGlyphsPerFrame;
  font->atlasCursorX = 0;
  font->atlasCursorY = prebaked->atlas_h;
  font->atlasRowH = 0;

  if (!renderer) {
    vertexStreamInit(&font->vertices, nullptr, kVertexBytes);
    return true;
  }

  if (!createAtlasImage(font, font->atlasW, font->atlasH, &font->image, &font->imageMemory, &font->imageMemorySize,
                        &font->view) ||
      !createSampler(font) ||
      !uploadInto(font, font->image, 0, 0, font->atlasW, font->atlasH, VK_IMAGE_LAYOUT_UNDEFINED)) {
    fontDestroy(font);
    return false;
  }
  vertexStreamInit(&font->vertices, renderer, kVertexBytes);
  font->bindlessSlot = textureReserveBindlessSlot();
  if (font->bindlessSlot == 0) {
    fprintf(stderr, "Font: no bindless texture slot left\n");
    fontDestroy(font);
    return false;
  }
  textureWriteBindless(font->bindlessSlot, font->sampler, font->view);
  return true;
}

void fontCreatePipeline(Pipelines* pipelines, Renderer* renderer) {
  if (!pipelines || !renderer) return;
  u64 vertSize = 0, fragSize = 0;
  const u32* vert = rendererLoadShader("shaders/font.vert.spv", &vertSize);
  const u32* frag = rendererLoadShader("shaders/font.frag.spv", &fragSize);
  if (!vert || !frag) {
    fprintf(stderr, "Failed to load font shaders\n");
    return;
  }
  if (!renderer->bindlessTextureSetLayout) {
    fprintf(stderr, "Font pipeline: no bindless texture table\n");
    return;
  }
  VkVertexInputBindingDescription binding{0, sizeof(FontVertex), VK_VERTEX_INPUT_RATE_VERTEX};
  VkVertexInputAttributeDescription attrs[3] = {{0, 0, VK_FORMAT_R32G32_SFLOAT, 0},
                                                {1, 0, VK_FORMAT_R32G32_SFLOAT, 8},
                                                {2, 0, VK_FORMAT_R32_UINT, 16}};
  VkPushConstantRange push{VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, 12};
  PipelineConfig c{};
  c.vertCode = vert;
  c.vertSize = vertSize;
  c.fragCode = frag;
  c.fragSize = fragSize;
  c.vertexBindings = &binding;
  c.vertexBindingCount = 1;
  c.vertexAttributes = attrs;
  c.vertexAttributeCount = 3;
  c.descriptorSetLayouts = &renderer->bindlessTextureSetLayout;
  c.descriptorSetLayoutCount = 1;
  c.pushConstants = &push;
  c.pushConstantCount = 1;
  c.cullMode = VK_CULL_MODE_NONE;
  c.blendEnable = true;
  c.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  pipelinesCreate(pipelines, PIPELINE_FONT, &c, nullptr, 0, nullptr, 0);
}

void fontDestroy(Font* font) {
  if (!font) return;
  if (font->renderer) rendererWaitIdle(font->renderer);
  if (font->bindlessSlot) textureWriteBindless(font->bindlessSlot, VK_NULL_HANDLE, VK_NULL_HANDLE);
  if (font->dynamicGlyphMap) sm_free(font->dynamicGlyphMap);
  vertexStreamDestroy(&font->vertices);
  if (font->sampler) vkDestroySampler(font->device, font->sampler, nullptr);
  destroyAtlasImage(font, font->image, font->imageMemory, font->imageMemorySize, font->view);
  if (font->layoutPages) {
    for (u32 i = 0; i < kFontLayoutPages; i++) memFree(font->layoutPages[i]);
    memFree(font->layoutPages);
  }
  memFree(font->atlasData);
  memFree(font->bakedChars);
  if (font->ownsRuntimeSource && font->runtimeSource) {
    bakefontDestroy(font->runtimeSource);
    memFree(font->runtimeSource);
  }
  memset(font, 0, sizeof(*font));
}

// ---- per frame ------------------------------------------------------------------

void fontBeginFrame(Font* font) {
  if (!font) return;
  vertexStreamBegin(&font->vertices);
  font->glyphBudget = kFontGlyphsPerFrame;
}

u32 fontVertexCount(const Font* font) {
  return font ? (u32)(vertexStreamUsed(&font->vertices) / sizeof(FontVertex)) : 0;
}

const FontVertex* fontVertexData(const Font* font) {
  return font ? reinterpret_cast<const FontVertex*>(vertexStreamData(&font->vertices)) : nullptr;
}

void fontBind(Font* font, VkCommandBuffer cmd) {
  if (!font || !cmd) return;
  VkBuffer b = vertexStreamBuffer(&font->vertices);
  if (!b) return;
  VkDeviceSize offset = 0;
  vkCmdBindVertexBuffers(cmd, 0, 1, &b, &offset);
}

void fontDraw(Font* font, VkCommandBuffer cmd, u32 vertexCount) {
  if (!font || !cmd || vertexCount == 0) return;
  vkCmdDraw(cmd, vertexCount, 1, 0, 0);
}

u32 fontBuildText(Font* font, f32 x, f32 y, const char* text, f32 scale, u32 color, i32 clipX, i32 clipY, i32 clipW,
                  i32 clipH) {
  if (!text) return 0;
  return fontBuildTextN(font, x, y, text, (i32)strlen(text), scale, color, clipX, clipY, clipW, clipH);
}

u32 fontBuildTextN(Font* font, f32 x, f32 y, const char* text, i32 len, f32 scale, u32 color, i32 clipX, i32 clipY,
                   i32 clipW, i32 clipH) {
  if (!font || !text || !hasGlyphSource(font) || clipW <= 0 || clipH <= 0 || len <= 0) return 0;
  const i32 clip[4] = {clipX, clipY, clipW, clipH};
  u32 added = 0;
  walkText<true>(font, x, y, text, len, scale, color, clip, &added);
  return added;
}

f32 fontMeasureText(Font* font, const char* text, f32 scale) {
  if (!text) return 0.0f;
  return fontMeasureTextN(font, text, (i32)strlen(text), scale);
}

f32 fontMeasureTextN(Font* font, const char* text, i32 len, f32 scale) {
  if (!font || !text || !hasGlyphSource(font) || len <= 0) return 0.0f;
  u32 added = 0;
  return walkText<false>(font, 0, 0, text, len, scale, 0, nullptr, &added);
}

// ---- glyphs ---------------------------------------------------------------------

b8 fontEnsureGlyph(Font* font, Rune r, FontBakedChar* out) {
  if (!font || !out) return false;
  if (font->bakedChars && (i64)r >= font->firstChar && (i64)r < (i64)font->firstChar + font->numChars) {
    const FontBakedChar& g = font->bakedChars[r - (Rune)font->firstChar];
    if (fontGlyphIsMissing(g)) return false;
    *out = g;
    return true;
  }
  if (font->dynamicGlyphMap) {
    if (auto* found = static_cast<const FontBakedChar*>(sm_find_generic(font->dynamicGlyphMap, &r))) {
      if (fontGlyphIsMissing(*found)) return false;
      *out = *found;
      return true;
    }
  }
  if (!font->hasFontInfo || !font->dynamicGlyphMap || r == 0 || r == '\t' || r == '\n' || r == '\r') return false;

  FontBakedChar g{};
  int glyph = stbtt_FindGlyphIndex(&font->fontInfo, (int)r);
  if (glyph == 0) {
    // Glyph 0 is the font's "missing" box: remember the miss, show '?'.
    g = fontMissingGlyph();
    sm_put(font->dynamicGlyphMap, &r, &g);
    return false;
  }
  // Each new glyph costs a render and an upload: past the frame's allowance the
  // rune shows as '?' until a later frame has room for it.
  if (font->glyphBudget == 0) return false;
  font->glyphBudget--;
  f32 scale = stbtt_ScaleForPixelHeight(&font->fontInfo, font->pixelHeight);
  FontSdf sdf;
  fontRenderSdf(&font->fontInfo, scale, glyph, &sdf);
  font->glyphsRendered++;
  g.xadvance = sdf.advance;
  if (!sdf.pixels) {
    g.xoff = (f32)sdf.xoff;
    g.yoff = (f32)sdf.yoff;
    sm_put(font->dynamicGlyphMap, &r, &g);
    *out = g;
    return true;
  }
  if (font->atlasCursorX + sdf.w >= font->atlasW) {
    font->atlasCursorX = 0;
    font->atlasCursorY += font->atlasRowH;
    font->atlasRowH = 0;
  }
  if (font->atlasCursorY + sdf.h >= font->atlasH &&
      !fontGrowAtlas(font, font->atlasCursorX + sdf.w + 1, font->atlasCursorY + sdf.h + 1)) {
    // The atlas is at its largest: this glyph never fits, show '?' from now on.
    fontFreeSdf(&sdf);
    g = fontMissingGlyph();
    sm_put(font->dynamicGlyphMap, &r, &g);
    return false;
  }
  i32 cx = font->atlasCursorX, cy = font->atlasCursorY;
  for (int row = 0; row < sdf.h; row++)
    memcpy(font->atlasData + (size_t)(cy + row) * (size_t)font->atlasW + (size_t)cx,
           sdf.pixels + (size_t)row * (size_t)sdf.w, (size_t)sdf.w);
  g.x0 = (u16)cx;
  g.y0 = (u16)cy;
  g.x1 = (u16)(cx + sdf.w);
  g.y1 = (u16)(cy + sdf.h);
  g.xoff = (f32)sdf.xoff;
  g.yoff = (f32)sdf.yoff;
  int w = sdf.w, h = sdf.h;
  fontFreeSdf(&sdf);
  if (!fontUploadRect(font, cx, cy, w, h, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL)) return false;
  if (sm_put(font->dynamicGlyphMap, &r, &g) < 0) return false;
  font->atlasCursorX += w + 1;
  if (h + 1 > font->atlasRowH) font->atlasRowH = h + 1;
  *out = g;
  return true;
}

b8 fontLookupGlyph(Font* font, Rune r, FontBakedChar* out) {
  if (fontEnsureGlyph(font, r, out)) return true;
  return r != '?' && fontEnsureGlyph(font, '?', out);
}

f32 fontFallbackAdvance(const Font* font) {
  if (font && font->bakedChars) {
    for (i32 i = 0; i < font->numChars; i++)
      if (font->bakedChars[i].xadvance > 0.0f) return font->bakedChars[i].xadvance;
  }
  return font ? font->pixelHeight : 0.0f;
}

// ---- atlas maintenance ----------------------------------------------------------

b8 fontUploadRect(Font* font, i32 x, i32 y, i32 w, i32 h, VkImageLayout oldLayout) {
  if (!font || w <= 0 || h <= 0 || !font->atlasData) return false;
  if (x < 0 || y < 0 || x + w > font->atlasW || y + h > font->atlasH) return false;
  if (!font->renderer) return true;  // a CPU font: the CPU atlas is all there is
  if (!font->image) return false;
  return uploadInto(font, font->image, x, y, w, h, oldLayout);
}

b8 fontGrowAtlas(Font* font, i32 minW, i32 minH) {
  if (!font || !font->atlasData) return false;
  i32 newW = grownSize(font->atlasW, minW);
  i32 newH = grownSize(font->atlasH, minH);
  if (newW == font->atlasW && newH == font->atlasH) return true;
  if (newW > font->maxAtlasDim || newH > font->maxAtlasDim) return false;
  u8* data = static_cast<u8*>(memCalloc((size_t)newW * (size_t)newH, 1));
  if (!data) return false;
  for (i32 y = 0; y < font->atlasH; y++)
    memcpy(data + (size_t)y * (size_t)newW, font->atlasData + (size_t)y * (size_t)font->atlasW, (size_t)font->atlasW);
  i32 oldW = font->atlasW, oldH = font->atlasH;
  u8* oldData = font->atlasData;
  font->atlasData = data;
  font->atlasW = newW;
  font->atlasH = newH;

  if (font->renderer) {
    VkImage image = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    VkDeviceSize memorySize = 0;
    VkImageView view = VK_NULL_HANDLE;
    if (!createAtlasImage(font, newW, newH, &image, &memory, &memorySize, &view) ||
        !uploadInto(font, image, 0, 0, newW, newH, VK_IMAGE_LAYOUT_UNDEFINED)) {
      destroyAtlasImage(font, image, memory, memorySize, view);
      font->atlasData = oldData;
      font->atlasW = oldW;
      font->atlasH = oldH;
      memFree(data);
      return false;
    }
    // Frames in flight still sample the old image through the slot.
    rendererWaitIdle(font->renderer);
    textureWriteBindless(font->bindlessSlot, font->sampler, view);
    destroyAtlasImage(font, font->image, font->imageMemory, font->imageMemorySize, font->view);
    font->image = image;
    font->imageMemory = memory;
    font->imageMemorySize = memorySize;
    font->view = view;
  }
  memFree(oldData);

  // Vertices laid out earlier this frame hold coordinates normalised to the old size.
  u32 n = fontVertexCount(font);
  auto* v = reinterpret_cast<FontVertex*>(vertexStreamData(&font->vertices));
  f32 su = (f32)oldW / (f32)newW, sv = (f32)oldH / (f32)newH;
  for (u32 i = 0; i < n; i++) {
    v[i].u *= su;
    v[i].v *= sv;
  }
  clearLayoutGlyphs(font);  // their coordinates are normalised to the old size
  font->atlasGrowths++;
  return true;
}
