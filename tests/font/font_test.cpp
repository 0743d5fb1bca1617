// The font on the CPU: bake, glyphs made on first use, layout, measuring, atlas growth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "font/font.h"

namespace {

struct CpuFont {
  Font font{};
  bool ok = false;
  CpuFont() { ok = fontInitRuntime(&font, nullptr, nullptr, PIPELINE_FONT, TERRAIN_FONT_FILE, 24.0f, 512, 512); }
  ~CpuFont() { fontDestroy(&font); }
  std::vector<FontVertex> build(const char* text, f32 x = 10, f32 y = 40, i32 cx = 0, i32 cy = 0, i32 cw = 4096,
                                i32 ch = 4096, f32 scale = 1.0f) {
    fontBeginFrame(&font);
    u32 n = fontBuildText(&font, x, y, text, scale, 0xffffffffu, cx, cy, cw, ch);
    EXPECT_EQ(n, fontVertexCount(&font));
    const FontVertex* v = fontVertexData(&font);
    return std::vector<FontVertex>(v, v + n);
  }
};

FontBakedChar glyphOf(Font* f, Rune r) {
  FontBakedChar g{};
  EXPECT_TRUE(fontLookupGlyph(f, r, &g));
  return g;
}

TEST(FontBake, ShippedFontBakes) {
  PrebakedFont bake{};
  ASSERT_TRUE(bakefontLoad(&bake, TERRAIN_FONT_FILE, 24.0f, 512, 512));
  EXPECT_EQ(bake.first_char, 32);
  EXPECT_EQ(bake.num_chars, 224);
  EXPECT_LE(bake.atlas_w, 512);
  EXPECT_LE(bake.atlas_h, 512);
  EXPECT_GT(bake.ascent, 10.0f);
  EXPECT_LT(bake.descent, 0.0f);
  // Space has no bitmap but an advance; every printable Latin-1 letter has both.
  const FontBakedChar& space = bake.baked_chars[0];
  EXPECT_EQ(space.x0, space.x1);
  EXPECT_GT(space.xadvance, 0.0f);
  for (int cp : {(int)'A', (int)'g', (int)'?', 0xE9, 0xFF}) {
    const FontBakedChar& g = bake.baked_chars[cp - 32];
    EXPECT_LT(g.x0, g.x1) << cp;
    EXPECT_LT(g.y0, g.y1) << cp;
    EXPECT_LE(g.x1, bake.atlas_w);
    EXPECT_LE(g.y1, bake.atlas_h);
  }
  const FontBakedChar& a = bake.baked_chars['A' - 32];
  const FontBakedChar& m = bake.baked_chars['M' - 32];
  EXPECT_FLOAT_EQ(a.xadvance, m.xadvance) << "a monospaced font";
  bakefontDestroy(&bake);
  EXPECT_EQ(bake.atlas, nullptr);
}

TEST(FontBake, RefusedInputs) {
  std::string empty = testing::TempDir() + "font_empty.ttf";
  std::string junk = testing::TempDir() + "font_junk.ttf";
  fclose(fopen(empty.c_str(), "wb"));
  FILE* f = fopen(junk.c_str(), "wb");
  fputs("this is not a TrueType file at all, only some words", f);
  fclose(f);
  struct Case {
    const char* name;
    const char* path;
    f32 px;
    i32 w, h;
  };
  const Case cases[] = {
      {"area too small for 224 glyphs", TERRAIN_FONT_FILE, 24.0f, 64, 64},
      {"too narrow for one glyph", TERRAIN_FONT_FILE, 24.0f, 4, 4096},
      {"zero width", TERRAIN_FONT_FILE, 24.0f, 0, 512},
      {"zero pixel height", TERRAIN_FONT_FILE, 0.0f, 512, 512},
      {"negative pixel height", TERRAIN_FONT_FILE, -3.0f, 512, 512},
      {"no path", nullptr, 24.0f, 512, 512},
      {"missing file", "/nonexistent/font.ttf", 24.0f, 512, 512},
      {"empty file", empty.c_str(), 24.0f, 512, 512},
      {"not a font", junk.c_str(), 24.0f, 512, 512},
  };
  for (const Case& tc : cases) {
    PrebakedFont bake{};
    EXPECT_FALSE(bakefontLoad(&bake, tc.path, tc.px, tc.w, tc.h)) << tc.name;
    EXPECT_EQ(bake.atlas, nullptr) << tc.name;
    Font font{};
    EXPECT_FALSE(fontInitRuntime(&font, nullptr, nullptr, PIPELINE_FONT, tc.path, tc.px, tc.w, tc.h)) << tc.name;
  }
  EXPECT_FALSE(bakefontLoad(nullptr, TERRAIN_FONT_FILE, 24.0f, 512, 512));
}

TEST(FontLayout, MeasureMatchesWhereTheLayoutPutsTheNextGlyph) {
  // For random UTF-8 (valid and not), the measured width is exactly how far the
  // layout moved the pen: a marker glyph after the text starts there.
  CpuFont cf;
  ASSERT_TRUE(cf.ok);
  FontBakedChar bar = glyphOf(&cf.font, '|');
  std::mt19937 rng(7);
  const char* pieces[] = {"a", "Z", " ", "\xc3\xa9", "\xe2\x82\xac", "\xe4\xb8\xad", "\xf0\x9f\x98\x80", "\x80",
                          "\xe2\x82", "\t", "\x01", "\xcc\x81", "\xff", "~"};
  for (int iter = 0; iter < 200; iter++) {
    std::string s;
    int pieceCount = 1 + (int)(rng() % 40);
    for (int i = 0; i < pieceCount; i++) s += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
    // A cut sequence at the very end would decode differently once the marker follows.
    s += "a";
    f32 scale = (iter % 3 == 0) ? 0.5f : 1.0f;
    f32 measured = fontMeasureText(&cf.font, s.c_str(), scale);
    std::string marked = s + "|";
    std::vector<FontVertex> v = cf.build(marked.c_str(), 100.0f, 50.0f, 0, 0, 1 << 20, 4096, scale);
    ASSERT_GE(v.size(), 6u);
    f32 markerX = v[v.size() - 6].x;
    EXPECT_NEAR(markerX, 100.0f + measured + scale * bar.xoff, 1e-3) << "case " << iter;
    // The byte-counted form agrees with the terminated one.
    EXPECT_FLOAT_EQ(fontMeasureTextN(&cf.font, s.c_str(), (i32)s.size(), scale), measured);
  }
}

TEST(FontLayout, LineEndsAndIncompleteTail) {
  CpuFont cf;
  ASSERT_TRUE(cf.ok);
  std::vector<FontVertex> one = cf.build("ab");
  std::vector<FontVertex> crlf = cf.build("a\r\nb");
  std::vector<FontVertex> two = cf.build("a\r\n\r\nb");
  ASSERT_EQ(one.size(), 12u);
  ASSERT_EQ(crlf.size(), 12u);
  ASSERT_EQ(two.size(), 12u);
  FontBakedChar b = glyphOf(&cf.font, 'b');
  // "b" starts the next line at the start x, one line (24 px) lower per pair.
  EXPECT_FLOAT_EQ(crlf[6].x, 10.0f + b.xoff);
  EXPECT_FLOAT_EQ(crlf[6].y, one[6].y + 24.0f);
  EXPECT_FLOAT_EQ(two[6].y, one[6].y + 48.0f);
  // Measuring stops at the first line end.
  EXPECT_FLOAT_EQ(fontMeasureText(&cf.font, "a\r\nbbbb", 1.0f), glyphOf(&cf.font, 'a').xadvance);
  // A byte-counted walk ends at a sequence cut by the count, and never loops.
  const char euro[] = "a\xe2\x82\xac";
  EXPECT_FLOAT_EQ(fontMeasureTextN(&cf.font, euro, 3, 1.0f), glyphOf(&cf.font, 'a').xadvance);
  fontBeginFrame(&cf.font);
  EXPECT_EQ(fontBuildTextN(&cf.font, 0, 30, euro, 3, 1.0f, ~0u, 0, 0, 500, 500), 6u);
}

TEST(FontLayout, ClippingCutsTextureCoordinatesInProportion) {
  CpuFont cf;
  ASSERT_TRUE(cf.ok);
  std::vector<FontVertex> whole = cf.build("M");
  ASSERT_EQ(whole.size(), 6u);
  f32 x0 = whole[0].x, x1 = whole[1].x, y0 = whole[0].y, y1 = whole[2].y;
  f32 u0 = whole[0].u, u1 = whole[1].u, v0 = whole[0].v, v1 = whole[2].v;
  // Clip away the left 40 % and the bottom 25 % of the quad.
  i32 cx = (i32)std::ceil(x0 + 0.4f * (x1 - x0));
  i32 cyEnd = (i32)std::floor(y0 + 0.75f * (y1 - y0));
  std::vector<FontVertex> cut = cf.build("M", 10, 40, cx, -100, 4096, cyEnd + 100);
  ASSERT_EQ(cut.size(), 6u);
  EXPECT_FLOAT_EQ(cut[0].x, (f32)cx);
  EXPECT_FLOAT_EQ(cut[2].y, (f32)cyEnd);
  EXPECT_NEAR(cut[0].u, u0 + ((f32)cx - x0) / (x1 - x0) * (u1 - u0), 1e-6);
  EXPECT_FLOAT_EQ(cut[1].u, u1);
  EXPECT_NEAR(cut[2].v, v0 + ((f32)cyEnd - y0) / (y1 - y0) * (v1 - v0), 1e-6);
  EXPECT_FLOAT_EQ(cut[0].v, v0);
  // Wholly outside: nothing drawn, but the pen still moves for what follows.
  std::vector<FontVertex> outside = cf.build("MM", 10, 40, (i32)(x1 + 1), -100, 4096, 4096);
  ASSERT_EQ(outside.size(), 6u);
  EXPECT_FLOAT_EQ(outside[1].x, whole[1].x + glyphOf(&cf.font, 'M').xadvance);
  // An empty clip or empty text adds nothing.
  fontBeginFrame(&cf.font);
  EXPECT_EQ(fontBuildText(&cf.font, 0, 0, "M", 1.0f, ~0u, 0, 0, 0, 10), 0u);
  EXPECT_EQ(fontBuildText(&cf.font, 0, 0, "", 1.0f, ~0u, 0, 0, 10, 10), 0u);
}

TEST(FontGlyphs, RuntimeGlyphRenderedOnceAndMissingOnesShowQuestionMark) {
  CpuFont cf;
  ASSERT_TRUE(cf.ok);
  EXPECT_EQ(cf.font.glyphsRendered, 0u);
  std::vector<FontVertex> euro1 = cf.build("\xe2\x82\xac");
  EXPECT_EQ(cf.font.glyphsRendered, 1u);
  std::vector<FontVertex> euro2 = cf.build("\xe2\x82\xac\xe2\x82\xac");
  EXPECT_EQ(cf.font.glyphsRendered, 1u) << "served from the map the second time";
  ASSERT_EQ(euro1.size(), 6u);
  ASSERT_EQ(euro2.size(), 12u);
  EXPECT_FLOAT_EQ(euro1[0].u, euro2[6].u);
  // The font has no CJK: U+4E2D comes out as the '?' quad, and is not rendered again.
  std::vector<FontVertex> q = cf.build("?");
  std::vector<FontVertex> cjk = cf.build("\xe4\xb8\xad");
  ASSERT_EQ(cjk.size(), 6u);
  for (int i = 0; i < 6; i++) {
    EXPECT_FLOAT_EQ(cjk[i].u, q[i].u);
    EXPECT_FLOAT_EQ(cjk[i].v, q[i].v);
    EXPECT_FLOAT_EQ(cjk[i].x, q[i].x);
  }
  u32 rendered = cf.font.glyphsRendered;
  cf.build("\xe4\xb8\xad\xe4\xb8\xad");
  EXPECT_EQ(cf.font.glyphsRendered, rendered);
  // Runtime glyphs do not overlap: the euro sign's texels are its own.
  FontBakedChar e = glyphOf(&cf.font, 0x20AC);
  EXPECT_GE(e.y0, 0);
  EXPECT_GT(e.x1, e.x0);
}

TEST(FontGlyphs, NewGlyphsPerFrameAreCapped) {
  // 96 letters never seen before in one frame (Latin Extended-A, Cyrillic):
  // the first 64 are made, the rest show '?' this frame and their own glyph in
  // the next.
  CpuFont cf;
  ASSERT_TRUE(cf.ok);
  std::string text;
  for (Rune r = 0x100; r < 0x120; r++) {
    char b[4];
    text.append(b, (size_t)runetochar(b, r));
  }
  for (Rune r = 0x410; r < 0x450; r++) {
    char b[4];
    text.append(b, (size_t)runetochar(b, r));
  }
  auto isQuestionMark = [](const FontVertex& a, const FontVertex& b) { return a.u == b.u && a.v == b.v; };
  std::vector<FontVertex> q = cf.build("?");
  std::vector<FontVertex> first = cf.build(text.c_str());
  EXPECT_EQ(cf.font.glyphsRendered, kFontGlyphsPerFrame);
  ASSERT_EQ(first.size(), 96u * 6);
  EXPECT_FALSE(isQuestionMark(first[0], q[0]));
  EXPECT_FALSE(isQuestionMark(first[63 * 6], q[0]));
  EXPECT_TRUE(isQuestionMark(first[64 * 6], q[0])) << "the 65th waits";
  EXPECT_TRUE(isQuestionMark(first[95 * 6], q[0]));
  std::vector<FontVertex> second = cf.build(text.c_str());
  EXPECT_EQ(cf.font.glyphsRendered, 96u);
  EXPECT_FALSE(isQuestionMark(second[95 * 6], q[0])) << "and shows in the next frame";
}

TEST(FontAtlas, GrowthKeepsEarlierGlyphs) {
  CpuFont cf;
  ASSERT_TRUE(cf.ok);
  Font* f = &cf.font;
  ASSERT_EQ(f->atlasW, 2048);
  ASSERT_EQ(f->atlasH, 2048);
  std::vector<FontVertex> before = cf.build("A\xe2\x82\xac");  // a baked and a runtime glyph
  std::vector<u8> oldAtlas(f->atlasData, f->atlasData + (size_t)f->atlasW * f->atlasH);
  // Put the shelf at the bottom row: the next new glyph needs more height only.
  f->atlasCursorX = 0;
  f->atlasCursorY = 2040;
  f->atlasRowH = 0;
  fontBeginFrame(f);
  u32 n = fontBuildText(f, 10, 40, "A\xe2\x82\xac\xc5\x81", 1.0f, ~0u, 0, 0, 4096, 4096);  // then U+0141
  ASSERT_EQ(n, 18u);
  EXPECT_EQ(f->atlasW, 2048);
  EXPECT_EQ(f->atlasH, 4096);
  EXPECT_EQ(f->atlasGrowths, 1u);
  for (int y = 0; y < 2040; y++)
    ASSERT_EQ(memcmp(f->atlasData + (size_t)y * 2048, oldAtlas.data() + (size_t)y * 2048, 2048), 0) << "row " << y;
  FontBakedChar l = glyphOf(f, 0x141);
  EXPECT_GE(l.y0, 2040);
  // Vertices laid out before the growth in the same frame were rescaled to the new size.
  const FontVertex* v = fontVertexData(f);
  for (int i = 0; i < 12; i++) {
    EXPECT_FLOAT_EQ(v[i].u, before[i].u);
    EXPECT_FLOAT_EQ(v[i].v, before[i].v * 0.5f);
  }
  // Growth requests: only the needed dimension doubles; past the limit it fails.
  EXPECT_TRUE(fontGrowAtlas(f, 2048, 4096));
  EXPECT_EQ(f->atlasW, 2048);
  EXPECT_FALSE(fontGrowAtlas(f, f->maxAtlasDim * 2, 10));
  EXPECT_EQ(f->atlasW, 2048);
}

TEST(FontAtlas, FullAtlasFallsBackToQuestionMark) {
  CpuFont cf;
  ASSERT_TRUE(cf.ok);
  Font* f = &cf.font;
  f->maxAtlasDim = 2048;  // as if the device allowed no more
  f->atlasCursorY = 2046;
  std::vector<FontVertex> q = cf.build("?");
  std::vector<FontVertex> l = cf.build("\xc5\x81");
  ASSERT_EQ(l.size(), 6u);
  EXPECT_FLOAT_EQ(l[0].u, q[0].u);
  EXPECT_EQ(f->atlasH, 2048);
}

}  // namespace
