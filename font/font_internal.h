// Shared by the bake and the runtime glyph path: one set of SDF parameters, one
// marker for codepoints the font lacks.
#pragma once

#include "font/font.h"

inline constexpr int kFontSdfPadding = 4;
inline constexpr unsigned char kFontSdfOnEdge = 128;
inline constexpr float kFontSdfDistScale = 64.0f;

struct FontSdf {
  unsigned char* pixels;  // system heap (stb_truetype's own allocation)
  int w, h, xoff, yoff;
  f32 advance;
};

// Renders glyph index `glyph` (not a codepoint) at `scale`; pixels null when the
// glyph has no outline (a space).
b8 fontRenderSdf(const stbtt_fontinfo* info, f32 scale, int glyph, FontSdf* out);
void fontFreeSdf(FontSdf* sdf);

// A remembered "the font has no such glyph": a negative advance never occurs otherwise.
inline FontBakedChar fontMissingGlyph() { return FontBakedChar{0, 0, 0, 0, 0.0f, 0.0f, -1.0f}; }
inline b8 fontGlyphIsMissing(const FontBakedChar& g) { return g.xadvance < 0.0f; }
