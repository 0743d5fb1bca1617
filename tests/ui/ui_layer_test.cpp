// The UI layer on the CPU (no renderer): style and scale, text callbacks, input
// mapping, batches and their order, icons, and the two application queries.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ui/ui.h"

namespace {

struct Layer : testing::Test {
  void SetUp() override {
    ASSERT_TRUE(fontInitRuntime(&font, nullptr, nullptr, PIPELINE_FONT, TERRAIN_FONT_FILE, 24.0f, 512, 512));
    uiInit(&ui, nullptr, nullptr, &font, PIPELINE_UI);
    ASSERT_NE(ui.mu, nullptr);
  }
  void TearDown() override {
    uiDestroy(&ui);
    fontDestroy(&font);
  }
  void frame(const std::function<void(mu_Context*)>& build, i32 w = 800, i32 h = 600) {
    fontBeginFrame(&font);
    uiBegin(&ui);
    build(uiGetMuContext(&ui));
    uiEnd(&ui, VK_NULL_HANDLE, w, h);
  }
  InputEvent key(InputKey k, i32 value) {
    InputEvent e{};
    e.type = InputEventKey;
    e.key = k;
    e.value = value;
    return e;
  }
  Font font{};
  Ui ui{};
};

TEST_F(Layer, StyleAndScale) {
  mu_Style* st = ui.mu->style;
  EXPECT_EQ(st->size.x, 100);
  EXPECT_EQ(st->size.y, 30);
  EXPECT_EQ(st->padding, 6);
  EXPECT_EQ(st->title_height, 32);
  EXPECT_EQ(st->colors[MU_COLOR_TEXT].r, 195);
  EXPECT_EQ(st->colors[MU_COLOR_TEXTHOVER].r, 24);
  EXPECT_EQ(st->colors[MU_COLOR_PANELBG].r, 60);
  EXPECT_EQ(st->colors[MU_COLOR_BASEFOCUS].r, 239);
  struct Case {
    i32 height;
    f32 scale;
    int padding, titleHeight;
  };
  const Case cases[] = {
      {1080, 0.5f, 3, 4 + 12}, {100, 0.5f, 3, 16}, {2160, 1.0f, 6, 8 + 24}, {3240, 1.5f, 9, 12 + 36},
      {4320, 2.0f, 12, 16 + 48}, {9000, 2.0f, 12, 64},
  };
  for (const Case& tc : cases) {
    uiUpdateScale(&ui, 1000, tc.height);
    EXPECT_FLOAT_EQ(uiGetScale(&ui), tc.scale) << tc.height;
    EXPECT_EQ(st->padding, tc.padding) << tc.height;
    EXPECT_EQ(st->title_height, tc.titleHeight) << tc.height;
    EXPECT_EQ(uiTextHeight(nullptr), (int)(tc.scale * 24.0f));
  }
  // The same height again does not restyle.
  st->padding = 99;
  uiUpdateScale(&ui, 1000, 9000);
  EXPECT_EQ(st->padding, 99);
}

TEST_F(Layer, WidthCallbackWalksRunesAtEveryLength) {
  // Long labels (256 bytes and more) are measured with the same walk as short
  // ones: multi-byte characters count once, with their own advance.
  std::mt19937 rng(3);
  const char* pieces[] = {"a", " ", "\xc3\xa9", "\xe2\x82\xac", "\xe4\xb8\xad", "\xd0\x96", "\x80"};
  for (int iter = 0; iter < 30; iter++) {
    std::string s;
    size_t target = 200 + rng() % 400;
    while (s.size() < target) s += pieces[rng() % 7];
    int w = uiTextWidth(nullptr, s.c_str(), (int)s.size());
    EXPECT_EQ(w, (int)fontMeasureText(&font, s.c_str(), 1.0f)) << s.size();
    EXPECT_EQ(uiTextWidth(nullptr, s.c_str(), -1), w);
  }
  // Exactly len bytes: a prefix cut inside a character stops before it.
  const char* e = "ab\xe2\x82\xac";
  EXPECT_EQ(uiTextWidth(nullptr, e, 3), uiTextWidth(nullptr, "ab", 2));
  EXPECT_GT(uiTextWidth(nullptr, e, 5), uiTextWidth(nullptr, "ab", 2));
}

TEST_F(Layer, InputMapping) {
  mu_Context* c = ui.mu;
  struct Case {
    InputKey key;
    int bit;
  };
  const Case keys[] = {
      {InputKeyEnter, MU_KEY_RETURN}, {InputKeyUp, MU_KEY_UP},       {InputKeyDown, MU_KEY_DOWN},
      {InputKeyLeft, MU_KEY_LEFT},    {InputKeyRight, MU_KEY_RIGHT}, {InputKeyTab, MU_KEY_TAB},
      {InputKeyBackspace, MU_KEY_BACKSPACE},
      {InputKeyW, 0}, {InputKeyEsc, 0}, {InputKeySpace, 0}, {InputKeySlash, 0}, {InputKeyDelete, 0}, {InputKeyF1, 0},
  };
  for (const Case& tc : keys) {
    c->key_down = c->key_pressed = 0;
    InputEvent down = key(tc.key, 1);
    uiInput(&ui, &down);
    EXPECT_EQ(c->key_pressed, tc.bit) << tc.key;
    EXPECT_EQ(c->key_down, tc.bit) << tc.key;
    InputEvent other = key(tc.key, 2);  // neither press nor release
    uiInput(&ui, &other);
    EXPECT_EQ(c->key_down, tc.bit) << tc.key;
    InputEvent up = key(tc.key, 0);
    uiInput(&ui, &up);
    EXPECT_EQ(c->key_down, 0) << tc.key;
  }
  InputEvent m{};
  m.type = InputEventMouseMotion;
  m.motion.x = 40, m.motion.y = 50;
  uiInput(&ui, &m);
  InputEvent b{};
  b.type = InputEventMouseButton;
  b.button = InputMouseRight;
  b.value = 1;
  uiInput(&ui, &b);
  EXPECT_EQ(c->mouse_pos.x, 40);
  EXPECT_EQ(c->mouse_down, MU_MOUSE_RIGHT);
  b.value = 0;
  uiInput(&ui, &b);
  EXPECT_EQ(c->mouse_down, 0);
  b.button = InputMouseMiddle;
  b.value = 1;
  uiInput(&ui, &b);
  EXPECT_EQ(c->mouse_down, MU_MOUSE_MIDDLE);
  InputEvent wheel{};
  wheel.type = InputEventMouseWheel;
  wheel.wheel.dy = 2;
  uiInput(&ui, &wheel);
  EXPECT_EQ(c->scroll_delta.y, -60);
  InputEvent t{};
  t.type = InputEventText;
  memcpy(t.text.text, "\xe2\x82\xac", 4);
  uiInput(&ui, &t);
  memset(t.text.text, 'x', sizeof(t.text.text));  // unterminated: read as 8 bytes at most
  uiInput(&ui, &t);
  EXPECT_STREQ(c->input_text, "\xe2\x82\xacxxxxxxxx");
}

void twoWindows(mu_Context* c) {
  if (mu_begin_window_ex(c, "Lower", mu_rect(10, 10, 300, 200), MU_OPT_NOSCROLL)) {
    mu_label(c, "lo");  // short: no clip command splits the batch
    mu_end_window(c);
  }
  if (mu_begin_window_ex(c, "Upper", mu_rect(60, 40, 300, 200), MU_OPT_NOSCROLL)) {
    mu_label(c, "up");
    mu_end_window(c);
  }
}

TEST_F(Layer, QuadsAfterGlyphsOpenANewBatch) {
  frame(twoWindows);
  // Each batch draws its quads, then its glyphs: the upper window's background
  // must sit in a batch after the one holding the lower window's text.
  bool sawGlyphs = false, quadsAfterGlyphs = false;
  for (u32 i = 0; i < ui.batchCount; i++) {
    const UiDrawBatch& b = ui.batches[i];
    if (b.uiVertCount && sawGlyphs) quadsAfterGlyphs = true;
    if (b.fontVertCount) sawGlyphs = true;
    EXPECT_EQ(b.kind, (UiDrawBatchKind)((b.uiVertCount ? 1 : 0) | (b.fontVertCount ? 2 : 0)));
  }
  EXPECT_TRUE(quadsAfterGlyphs) << "the upper window's background comes after the lower window's text";
  // Every quad and glyph vertex belongs to exactly one batch, in order.
  u32 quads = 0, glyphs = 0;
  for (u32 i = 0; i < ui.batchCount; i++) {
    EXPECT_EQ(ui.batches[i].uiVertStart, quads);
    EXPECT_EQ(ui.batches[i].fontVertStart, glyphs + ui.fontVertexStart);
    quads += ui.batches[i].uiVertCount;
    glyphs += ui.batches[i].fontVertCount;
  }
  EXPECT_EQ(quads, uiVertexCount(&ui));
  EXPECT_EQ(glyphs, fontVertexCount(&font) - ui.fontVertexStart);
}

TEST_F(Layer, NoWindowsNoBatchesWithVertices) {
  frame([](mu_Context*) {});
  for (u32 i = 0; i < ui.batchCount; i++) EXPECT_EQ(ui.batches[i].uiVertCount + ui.batches[i].fontVertCount, 0u);
  EXPECT_EQ(uiVertexCount(&ui), 0u);
}

TEST_F(Layer, IconsAreSmallSquaresInTheIconColour) {
  struct Case {
    int icon;
    int side;
    u32 quads;
  };
  // s = 12: n = 4, d = 2.
  const Case cases[] = {
      {MU_ICON_CLOSE, 12, 8}, {MU_ICON_CHECK, 12, 2 + 4}, {MU_ICON_COLLAPSED, 12, 4}, {MU_ICON_EXPANDED, 12, 4},
      {MU_ICON_CLOSE, 2, 0},  {MU_ICON_CHECK, 5, 1},      {MU_ICON_MAX, 12, 0},
  };
  for (const Case& tc : cases) {
    frame([&](mu_Context* c) {
      if (mu_begin_window_ex(c, "w", mu_rect(0, 0, 200, 200),
                             MU_OPT_NOFRAME | MU_OPT_NOTITLE | MU_OPT_NOSCROLL | MU_OPT_NORESIZE)) {
        mu_draw_icon(c, tc.icon, mu_rect(50, 50, tc.side, tc.side), mu_color(255, 0, 0, 255));
        mu_end_window(c);
      }
    });
    EXPECT_EQ(uiVertexCount(&ui), tc.quads * 6) << tc.icon << " side " << tc.side;
    for (u32 i = 0; i < uiVertexCount(&ui); i++) {
      EXPECT_FLOAT_EQ(uiVertexData(&ui)[i].r, 1.0f);
      EXPECT_FLOAT_EQ(uiVertexData(&ui)[i].g, 0.0f);
    }
  }
}

TEST_F(Layer, PointerOverWindowAndTextInput) {
  char buf[64] = "";
  auto build = [&](mu_Context* c) {
    if (mu_begin_window_ex(c, "Box", mu_rect(100, 100, 200, 120), 0)) {
      mu_textbox(c, buf, sizeof(buf));
      mu_end_window(c);
    }
  };
  frame(build);
  EXPECT_TRUE(uiPointerOverWindow(&ui, 100, 100));
  EXPECT_TRUE(uiPointerOverWindow(&ui, 299, 219));
  EXPECT_FALSE(uiPointerOverWindow(&ui, 300, 150));
  EXPECT_FALSE(uiPointerOverWindow(&ui, 99, 150));
  EXPECT_FALSE(uiTextInputActive(&ui));
  // Click into the text box: it takes and keeps the focus.
  mu_Rect box{};
  frame([&](mu_Context* c) {
    build(c);
    box = c->last_rect;
  });
  InputEvent m{};
  m.type = InputEventMouseMotion;
  m.motion.x = box.x + 5, m.motion.y = box.y + 5;
  uiInput(&ui, &m);
  frame(build);
  frame(build);
  InputEvent b{};
  b.type = InputEventMouseButton;
  b.button = InputMouseLeft;
  b.value = 1;
  uiInput(&ui, &b);
  frame(build);
  b.value = 0;
  uiInput(&ui, &b);
  frame(build);
  EXPECT_TRUE(uiTextInputActive(&ui));
  InputEvent enter = key(InputKeyEnter, 1);
  uiInput(&ui, &enter);
  frame(build);
  EXPECT_FALSE(uiTextInputActive(&ui));
}

}  // namespace
