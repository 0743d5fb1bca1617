// The interface font: a signed-distance-field glyph atlas in one single-channel
// image. A start-up bake covers U+0020..U+00FF; any other codepoint is rendered on
// first use into the same atlas, which grows by doubling. Text is laid out into a
// per-frame buffer of glyph quads that the UI layer draws with PIPELINE_FONT.
//
// A font made without a renderer keeps everything on the CPU (atlas, vertices):
// tools, benchmarks and CPU tests lay text out exactly as the program does.
#pragma once

#include <stb/stb_truetype.h>

#include "font/rune.h"
#include "font/vertex_stream.h"
#include "platform/types.h"
#include "renderer/vkloader.h"

struct Renderer;
struct Pipelines;

inline constexpr u32 PIPELINE_FONT = 2;
inline constexpr char kFontPath[] = "font/DejaVuSansMono.ttf";
inline constexpr f32 kFontPixelHeight = 24.0f;
inline constexpr i32 kFontBakeSize = 512;
// New runtime glyphs rendered per frame at most; the rest wait for later frames.
inline constexpr u32 kFontGlyphsPerFrame = 64;

// One glyph. An empty rectangle (x0 == x1 or y0 == y1) has no bitmap.
struct FontBakedChar {
  u16 x0, y0, x1, y1;  // atlas texels, end exclusive
  f32 xoff, yoff;      // bitmap top-left from the pen, pixels
  f32 xadvance;        // pen advance, pixels
};
static_assert(sizeof(FontBakedChar) == 20);

struct PrebakedFont {
  i32 atlas_w, atlas_h;
  i32 first_char, num_chars;
  f32 pixel_height, ascent, descent, line_gap;  // metrics in pixels
  FontBakedChar* baked_chars;
  u8* atlas;  // atlas_w x atlas_h
  u8* font_data;
  u64 font_data_size;
};

// 20 bytes: position and atlas coordinates, colour as packed RGBA (red lowest).
struct FontVertex {
  f32 x, y;
  f32 u, v;
  u32 color;
};
static_assert(sizeof(FontVertex) == 20);

// What the layout needs of one rune, resolved once (glyph or '?' or a blank
// advance) and kept until the atlas changes size.
struct FontLayoutGlyph {
  f32 x0, y0, w, h;      // quad from the pen, pixels at scale 1
  f32 u0, v0, u1, v1;    // atlas coordinates, normalised
  f32 advance;           // pen advance at scale 1
  u8 resolved, hasQuad;
};
inline constexpr u32 kFontLayoutPages = 0x110000 >> 8;

struct Font {
  VkDevice device;
  VkImage image;
  VkDeviceMemory imageMemory;
  VkDeviceSize imageMemorySize;
  VkImageView view;
  VkSampler sampler;
  VertexStream vertices;
  i32 atlasW, atlasH;
  i32 atlasCursorX, atlasCursorY, atlasRowH;
  u8* atlasData;
  FontBakedChar* bakedChars;
  i32 firstChar, numChars;
  f32 pixelHeight, ascent, descent, lineGap;
  void* dynamicGlyphMap;  // codepoint (u32) -> FontBakedChar
  Renderer* renderer;
  Pipelines* pipelines;
  u32 pipelineIndex;
  u32 bindlessSlot;
  stbtt_fontinfo fontInfo;
  b8 hasFontInfo;
  u8* fontData;
  u64 fontDataSize;
  PrebakedFont* runtimeSource;
  b8 ownsRuntimeSource;
  i32 maxAtlasDim;  // the device's maxImageDimension2D (CPU fonts: a fixed cap)
  FontLayoutGlyph** layoutPages;  // kFontLayoutPages pointers, pages of 256 made on use
  u32 glyphsRendered;  // runtime glyphs rendered so far (each once)
  u32 glyphBudget;  // new glyphs this frame may still render
  u32 atlasGrowths;
};

b8 bakefontLoad(PrebakedFont* out, const char* ttfPath, f32 pixelHeight, i32 atlasW, i32 atlasH);
void bakefontDestroy(PrebakedFont* font);

// renderer null: a CPU-only font (pipelines and pipelineIndex unused).
b8 fontInitRuntime(Font* font, Renderer* renderer, Pipelines* pipelines, u32 pipelineIndex, const char* ttfPath,
                   f32 pixelHeight, i32 atlasW, i32 atlasH);
b8 fontInit(Font* font, Renderer* renderer, Pipelines* pipelines, u32 pipelineIndex, const PrebakedFont* prebaked);
void fontCreatePipeline(Pipelines* pipelines, Renderer* renderer);
void fontDestroy(Font* font);

void fontBeginFrame(Font* font);
// Appends glyph quads; returns the vertices added (6 per visible glyph).
u32 fontBuildText(Font* font, f32 x, f32 y, const char* text, f32 scale, u32 color, i32 clipX, i32 clipY, i32 clipW,
                  i32 clipH);
// The same for exactly `len` bytes (the walk ends early at an incomplete sequence).
u32 fontBuildTextN(Font* font, f32 x, f32 y, const char* text, i32 len, f32 scale, u32 color, i32 clipX, i32 clipY,
                   i32 clipW, i32 clipH);
// Width of the first line, pixels.
f32 fontMeasureText(Font* font, const char* text, f32 scale);
f32 fontMeasureTextN(Font* font, const char* text, i32 len, f32 scale);

// The glyph of r: baked, from the map, or rendered now. False when there is none
// (no font bytes, control runes, a codepoint the font lacks, a failed render).
b8 fontEnsureGlyph(Font* font, Rune r, FontBakedChar* out);
// fontEnsureGlyph, else the glyph of '?'.
b8 fontLookupGlyph(Font* font, Rune r, FontBakedChar* out);
f32 fontFallbackAdvance(const Font* font);

// Vertices written this frame and their storage (GPU buffer or CPU array).
u32 fontVertexCount(const Font* font);
const FontVertex* fontVertexData(const Font* font);
void fontBind(Font* font, VkCommandBuffer cmd);
void fontDraw(Font* font, VkCommandBuffer cmd, u32 vertexCount);

b8 fontUploadRect(Font* font, i32 x, i32 y, i32 w, i32 h, VkImageLayout oldLayout);
b8 fontGrowAtlas(Font* font, i32 minW, i32 minH);
