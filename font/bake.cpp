// The start-up bake: U+0020..U+00FF rendered as signed distance fields and packed
// on shelves into one atlas.
#include <cstdio>
#include <cstring>

#include "font/font.h"
#include "font/font_internal.h"
#include "platform/memory.h"

namespace {

constexpr i32 kFirstChar = 32;
constexpr i32 kNumChars = 224;
// Texels at or below this value count as empty when the atlas is trimmed.
constexpr u8 kTrimThreshold = 10;

b8 readWholeFile(const char* path, u8** outData, u64* outSize) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  b8 ok = fseek(f, 0, SEEK_END) == 0;
  long size = ok ? ftell(f) : -1;
  ok = ok && size > 0 && fseek(f, 0, SEEK_SET) == 0;
  u8* data = ok ? static_cast<u8*>(memAlloc((size_t)size)) : nullptr;
  ok = data && fread(data, 1, (size_t)size, f) == (size_t)size;
  fclose(f);
  if (!ok) {
    memFree(data);
    return false;
  }
  *outData = data;
  *outSize = (u64)size;
  return true;
}

}  // namespace

b8 fontRenderSdf(const stbtt_fontinfo* info, f32 scale, int glyph, FontSdf* out) {
  *out = FontSdf{};
  int adv = 0, lsb = 0;
  stbtt_GetGlyphHMetrics(info, glyph, &adv, &lsb);
  out->advance = scale * (f32)adv;
  // stb_truetype allocates the bitmap on the system heap; freed by fontFreeSdf.
  out->pixels = stbtt_GetGlyphSDF(info, scale, glyph, kFontSdfPadding, kFontSdfOnEdge, kFontSdfDistScale, &out->w,
                                  &out->h, &out->xoff, &out->yoff);
  if (!out->pixels) out->w = out->h = out->xoff = out->yoff = 0;
  return true;
}

void fontFreeSdf(FontSdf* sdf) {
  if (sdf->pixels) stbtt_FreeSDF(sdf->pixels, nullptr);
  sdf->pixels = nullptr;
}

b8 bakefontLoad(PrebakedFont* out, const char* ttfPath, f32 pixelHeight, i32 atlasW, i32 atlasH) {
  if (!out || !ttfPath || atlasW < 1 || atlasH < 1 || !(pixelHeight > 0.0f)) return false;
  *out = PrebakedFont{};
  u8* data = nullptr;
  u64 size = 0;
  if (!readWholeFile(ttfPath, &data, &size)) return false;
  stbtt_fontinfo info;
  int offset = stbtt_GetFontOffsetForIndex(data, 0);
  if (offset < 0 || !stbtt_InitFont(&info, data, offset)) {
    memFree(data);
    return false;
  }
  f32 scale = stbtt_ScaleForPixelHeight(&info, pixelHeight);
  u8* atlas = static_cast<u8*>(memCalloc((size_t)atlasW * (size_t)atlasH, 1));
  auto* chars = static_cast<FontBakedChar*>(memCalloc(kNumChars, sizeof(FontBakedChar)));
  if (!atlas || !chars) {
    memFree(atlas);
    memFree(chars);
    memFree(data);
    return false;
  }

  i32 cx = 0, cy = 0, rowH = 0;
  for (i32 i = 0; i < kNumChars; i++) {
    i32 cp = kFirstChar + i;
    FontBakedChar& bc = chars[i];
    int glyph = stbtt_FindGlyphIndex(&info, cp);
    if (glyph == 0) {
      // The font lacks it: glyph 0 would draw its "missing" box.
      bc = fontMissingGlyph();
      continue;
    }
    FontSdf sdf;
    fontRenderSdf(&info, scale, glyph, &sdf);
    bc.xadvance = sdf.advance;
    if (!sdf.pixels) continue;
    if (cx + sdf.w > atlasW) {
      cx = 0;
      cy += rowH;
      rowH = 0;
    }
    if (cy + sdf.h > atlasH || sdf.w > atlasW) {
      // Too small an area fails the bake rather than dropping glyphs.
      fontFreeSdf(&sdf);
      memFree(atlas);
      memFree(chars);
      memFree(data);
      return false;
    }
    for (int row = 0; row < sdf.h; row++)
      memcpy(atlas + (size_t)(cy + row) * (size_t)atlasW + (size_t)cx, sdf.pixels + (size_t)row * (size_t)sdf.w,
             (size_t)sdf.w);
    bc.x0 = (u16)cx;
    bc.y0 = (u16)cy;
    bc.x1 = (u16)(cx + sdf.w);
    bc.y1 = (u16)(cy + sdf.h);
    bc.xoff = (f32)sdf.xoff;
    bc.yoff = (f32)sdf.yoff;
    cx += sdf.w;
    if (sdf.h > rowH) rowH = sdf.h;
    fontFreeSdf(&sdf);
  }

  // Trim the unused right and bottom of the area, never into a glyph's rectangle:
  // runtime glyphs are packed from the trimmed height down.
  i32 maxX = -1, maxY = -1;
  for (i32 i = 0; i < kNumChars; i++) {
    if (chars[i].x1 > chars[i].x0 && chars[i].y1 > chars[i].y0) {
      if (chars[i].x1 - 1 > maxX) maxX = chars[i].x1 - 1;
      if (chars[i].y1 - 1 > maxY) maxY = chars[i].y1 - 1;
    }
  }
  for (i32 y = 0; y < atlasH; y++) {
    const u8* row = atlas + (size_t)y * (size_t)atlasW;
    for (i32 x = 0; x < atlasW; x++) {
      if (row[x] > kTrimThreshold) {
        if (x > maxX) maxX = x;
        if (y > maxY) maxY = y;
      }
    }
  }
  if (maxX >= 0) {
    i32 w = maxX + 1, h = maxY + 1;
    if (w != atlasW || h != atlasH) {
      u8* trimmed = static_cast<u8*>(memAlloc((size_t)w * (size_t)h));
      if (trimmed) {
        for (i32 y = 0; y < h; y++) memcpy(trimmed + (size_t)y * w, atlas + (size_t)y * atlasW, (size_t)w);
        memFree(atlas);
        atlas = trimmed;
        atlasW = w;
        atlasH = h;
      }
    }
  }

  int ascent = 0, descent = 0, lineGap = 0;
  stbtt_GetFontVMetrics(&info, &ascent, &descent, &lineGap);
  out->atlas_w = atlasW;
  out->atlas_h = atlasH;
  out->first_char = kFirstChar;
  out->num_chars = kNumChars;
  out->pixel_height = pixelHeight;
  out->ascent = scale * (f32)ascent;
  out->descent = scale * (f32)descent;
  out->line_gap = scale * (f32)lineGap;
  out->baked_chars = chars;
  out->atlas = atlas;
  out->font_data = data;
  out->font_data_size = size;
  return true;
}

void bakefontDestroy(PrebakedFont* font) {
  if (!font) return;
  memFree(font->baked_chars);
  memFree(font->atlas);
  memFree(font->font_data);
  *font = PrebakedFont{};
}
