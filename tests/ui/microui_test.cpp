// The immediate-mode core on the CPU: layout, ids, hover and focus, text boxes,
// command order, auto-sizing and the limits a frame must survive.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/microui.h"

namespace {

// 8 pixels per byte, 10 pixels high: layouts are easy to predict.
int fakeWidth(mu_Font, const char* s, int len) { return 8 * (len < 0 ? (int)strlen(s) : len); }
int fakeHeight(mu_Font) { return 10; }

constexpr int kBare = MU_OPT_NOTITLE | MU_OPT_NOSCROLL | MU_OPT_NOFRAME | MU_OPT_NORESIZE;

struct Ui {
  std::unique_ptr<mu_Context> ctx{new mu_Context};
  Ui() {
    mu_init(ctx.get());
    ctx->text_width = fakeWidth;
    ctx->text_height = fakeHeight;
  }
  void frame(const std::function<void(mu_Context*)>& build) {
    mu_begin(ctx.get());
    build(ctx.get());
    mu_end(ctx.get());
  }
  std::vector<mu_Command*> commands() {
    std::vector<mu_Command*> out;
    mu_Command* cmd = nullptr;
    while (mu_next_command(ctx.get(), &cmd)) out.push_back(cmd);
    return out;
  }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (mu_Command* c : commands())
      if (c->type == MU_COMMAND_TEXT) out.push_back(c->text.str);
    return out;
  }
  void click(int x, int y) {
    mu_input_mousedown(ctx.get(), x, y, MU_MOUSE_LEFT);
  }
  void release(int x, int y) { mu_input_mouseup(ctx.get(), x, y, MU_MOUSE_LEFT); }
};

u32 fnv(const std::string& s) {
  u32 h = 2166136261u;
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}

std::string numbered(const char* prefix, int i) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%s%d", prefix, i);
  return buf;
}

bool same(mu_Rect a, mu_Rect b) { return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h; }

TEST(UiLayout, RowsColumnsAndSetNext) {
  // Window 200 x 300 at (10, 20), padding 5: the layout body is (15, 25, 190, 290).
  struct Case {
    const char* name;
    std::function<void(mu_Context*)> items;  // lays out items; the last rect is checked
    mu_Rect expected;
  };
  const Case cases[] = {
      {"default size", [](mu_Context* c) { mu_layout_next(c); }, {15, 25, 78, 20}},
      {"second default row", [](mu_Context* c) { mu_layout_next(c); mu_layout_next(c); }, {15, 49, 78, 20}},
      {"fixed then stretch", [](mu_Context* c) {
         int w[] = {30, -90, -1};
         mu_layout_row(c, 3, w, 12);
         mu_layout_next(c);
         mu_layout_next(c);
       }, {15 + 34, 25, 67, 12}},
      {"last fills to the edge", [](mu_Context* c) {
         int w[] = {30, -90, -1};
         mu_layout_row(c, 3, w, 12);
         mu_layout_next(c); mu_layout_next(c); mu_layout_next(c);
       }, {15 + 105, 25, 85, 12}},
      {"zero width and height are defaults", [](mu_Context* c) {
         int w[] = {0};
         mu_layout_row(c, 1, w, 0);
         mu_layout_next(c);
       }, {15, 25, 78, 20}},
      {"negative height reaches the bottom", [](mu_Context* c) {
         int w[] = {-1};
         mu_layout_row(c, 1, w, -1);
         mu_layout_next(c);
       }, {15, 25, 190, 290}},
      {"full row wraps with its widths", [](mu_Context* c) {
         int w[] = {40, 50};
         mu_layout_row(c, 2, w, 10);
         mu_layout_next(c); mu_layout_next(c); mu_layout_next(c);
       }, {15, 25 + 14, 40, 10}},
      {"zero-item row uses the set width", [](mu_Context* c) {
         mu_layout_row(c, 0, nullptr, 10);
         mu_layout_width(c, 33);
         mu_layout_next(c); mu_layout_next(c);
       }, {15 + 37, 25, 33, 10}},
      {"column then the next cell", [](mu_Context* c) {
         int w[] = {100, -1};
         mu_layout_row(c, 2, w, 0);
         mu_layout_begin_column(c);
         int cw[] = {-1};
         mu_layout_row(c, 1, cw, 30);
         mu_layout_next(c); mu_layout_next(c);
         mu_layout_end_column(c);
         mu_layout_next(c);
       }, {15 + 104, 25, 86, 20}},
      {"row after a column starts below it", [](mu_Context* c) {
         mu_layout_begin_column(c);
         int cw[] = {-1};
         mu_layout_row(c, 1, cw, 30);
         mu_layout_next(c); mu_layout_next(c);
         mu_layout_end_column(c);
         int w[] = {10};
         mu_layout_row(c, 1, w, 10);
         mu_layout_next(c);
       }, {15, 25 + 68, 10, 10}},
      {"absolute set-next is returned as is", [](mu_Context* c) {
         mu_layout_set_next(c, mu_rect(1, 2, 3, 4), 0);
         mu_layout_next(c);
       }, {1, 2, 3, 4}},
      {"absolute set-next does not advance", [](mu_Context* c) {
         mu_layout_set_next(c, mu_rect(1, 2, 3, 4), 0);
         mu_layout_next(c); mu_layout_next(c);
       }, {15, 25, 78, 20}},
      {"relative set-next is in body coordinates and advances", [](mu_Context* c) {
         mu_layout_set_next(c, mu_rect(5, 6, 20, 30), 1);
         mu_layout_next(c);
         mu_layout_next(c);
       }, {15 + 24, 25, 78, 20}},  // moves on by its width, from the row's position
  };
  for (const Case& tc : cases) {
    Ui ui;
    mu_Rect got{};
    ui.frame([&](mu_Context* c) {
      ASSERT_TRUE(mu_begin_window_ex(c, "w", mu_rect(10, 20, 200, 300), kBare));
      tc.items(c);
      got = c->last_rect;
      mu_end_window(c);
    });
    EXPECT_TRUE(same(got, tc.expected)) << tc.name << ": got " << got.x << "," << got.y << " " << got.w << "x"
                                        << got.h;
  }
}

TEST(UiLayout, NegativeAndZeroWidthWindowsFinishTheFrame) {
  for (int w : {0, -50, 1}) {
    Ui ui;
    ui.frame([&](mu_Context* c) {
      if (mu_begin_window_ex(c, "w", mu_rect(0, 0, w, w), 0)) {
        int ws[] = {-1, -1};
        mu_layout_row(c, 2, ws, -1);
        mu_label(c, "x");
        mu_button(c, "y");
        mu_end_window(c);
      }
    });
    EXPECT_EQ(ui.ctx->container_stack.idx, 0);
  }
}

TEST(UiIds, FnvValuesAndScopes) {
  Ui ui;
  mu_Context* c = ui.ctx.get();
  EXPECT_EQ(mu_get_id(c, "a", 1), 0xE40C292Cu);
  EXPECT_EQ(mu_get_id(c, "foobar", 6), 0xBF9CF968u);
  EXPECT_EQ(c->last_id, 0xBF9CF968u);
  mu_push_id(c, "w", 1);
  EXPECT_EQ(mu_get_id(c, "a", 1), fnv("wa"));  // the scope's id seeds the hash
  mu_push_id(c, "x", 1);
  EXPECT_EQ(mu_get_id(c, "a", 1), fnv("wxa"));
  mu_pop_id(c);
  mu_pop_id(c);
  EXPECT_EQ(mu_get_id(c, "a", 1), fnv("a"));

  // Window contents live in the window's scope.
  mu_Id inside = 0;
  ui.frame([&](mu_Context* cc) {
    if (mu_begin_window(cc, "Win", mu_rect(0, 0, 100, 100))) {
      mu_button(cc, "OK");
      inside = cc->last_id;
      mu_end_window(cc);
    }
  });
  EXPECT_EQ(inside, fnv("WinOK"));
}

TEST(UiIds, CheckboxesOverFlagsThroughTemporariesStayApart) {
  // Both checkboxes read their field through a local: an address-keyed id would
  // make them one control and a click on the second would toggle the first.
  Ui ui;
  b8 flags[2] = {false, false};
  auto build = [&](mu_Context* c) {
    if (mu_begin_window_ex(c, "w", mu_rect(0, 0, 200, 200), kBare)) {
      for (int i = 0; i < 2; i++) {
        b8 tmp = flags[i];
        uiCheckbox(c, i == 0 ? "first" : "second", &tmp);
        flags[i] = tmp;
      }
      mu_end_window(c);
    }
  };
  ui.frame(build);  // window becomes hover root candidate
  mu_input_mousemove(ui.ctx.get(), 10, 30);  // second checkbox row (y 29..49)
  ui.frame(build);
  ui.frame(build);
  ui.click(10, 30);
  ui.frame(build);
  EXPECT_FALSE(flags[0]);
  EXPECT_TRUE(flags[1]);
}

struct Frame {
  std::function<void(Ui&)> input;
};

void buildTwoButtons(mu_Context* c, int* submits) {
  if (mu_begin_window_ex(c, "w", mu_rect(0, 0, 200, 200), kBare)) {
    if (mu_button(c, "a") & MU_RES_SUBMIT) submits[0]++;
    if (mu_button(c, "b") & MU_RES_SUBMIT) submits[1]++;
    mu_end_window(c);
  }
}

TEST(UiHoverFocus, HoverLagsOneFrameAndFocusFollowsTheButton) {
  Ui ui;
  int submits[2] = {};
  mu_Context* c = ui.ctx.get();
  mu_input_mousemove(c, 10, 10);
  ui.frame([&](mu_Context* cc) { buildTwoButtons(cc, submits); });
  EXPECT_EQ(c->hover, 0u) << "the hover root is only known from the next frame";
  ui.frame([&](mu_Context* cc) { buildTwoButtons(cc, submits); });
  EXPECT_EQ(c->hover, fnv("wa"));
  ui.click(10, 10);
  ui.frame([&](mu_Context* cc) { buildTwoButtons(cc, submits); });
  EXPECT_EQ(submits[0], 1);
  EXPECT_EQ(c->focus, fnv("wa"));
  // Holding the button keeps focus; the button fires on press only.
  ui.frame([&](mu_Context* cc) { buildTwoButtons(cc, submits); });
  EXPECT_EQ(submits[0], 1);
  EXPECT_EQ(c->focus, fnv("wa"));
  ui.release(10, 10);
  ui.frame([&](mu_Context* cc) { buildTwoButtons(cc, submits); });
  EXPECT_EQ(c->focus, 0u) << "a button does not hold focus";
  EXPECT_EQ(submits[1], 0);
}

TEST(UiHoverFocus, ButtonLabelTakesTheStateColour) {
  Ui ui;
  mu_Context* c = ui.ctx.get();
  c->style->colors[MU_COLOR_TEXT] = mu_color(1, 0, 0, 255);
  c->style->colors[MU_COLOR_TEXTHOVER] = mu_color(2, 0, 0, 255);
  c->style->colors[MU_COLOR_TEXTFOCUS] = mu_color(3, 0, 0, 255);
  int submits[2] = {};
  auto labelRed = [&](const char* label) {
    for (mu_Command* cmd : ui.commands())
      if (cmd->type == MU_COMMAND_TEXT && strcmp(cmd->text.str, label) == 0) return (int)cmd->text.color.r;
    return -1;
  };
  mu_input_mousemove(c, 10, 10);
  ui.frame([&](mu_Context* cc) { buildTwoButtons(cc, submits); });
  EXPECT_EQ(labelRed("a"), 1);
  ui.frame([&](mu_Context* cc) { buildTwoButtons(cc, submits); });
  EXPECT_EQ(labelRed("a"), 2);
  EXPECT_EQ(labelRed("b"), 1);
  ui.click(10, 10);
  ui.frame([&](mu_Context* cc) { buildTwoButtons(cc, submits); });
  EXPECT_EQ(labelRed("a"), 3);
}

void buildOverlapping(mu_Context* c) {
  if (mu_begin_window_ex(c, "Low", mu_rect(0, 0, 100, 100), MU_OPT_NOSCROLL)) {
    mu_label(c, "low");
    mu_end_window(c);
  }
  if (mu_begin_window_ex(c, "High", mu_rect(50, 50, 100, 100), MU_OPT_NOSCROLL)) {
    mu_label(c, "high");
    mu_end_window(c);
  }
}

TEST(UiHoverFocus, ClickRaisesTheWindowUnderThePointer) {
  Ui ui;
  mu_Context* c = ui.ctx.get();
  ui.frame(buildOverlapping);
  auto order = [&] {
    std::vector<std::string> t;
    for (const std::string& s : ui.texts())
      if (s == "low" || s == "high") t.push_back(s);
    return t;
  };
  EXPECT_EQ(order(), (std::vector<std::string>{"low", "high"}));
  // A click on the overlap goes to the upper window: nothing changes.
  ui.click(70, 70);
  ui.frame(buildOverlapping);
  ui.release(70, 70);
  ui.frame(buildOverlapping);
  EXPECT_EQ(order(), (std::vector<std::string>{"low", "high"}));
  // A click where only the lower window is raises it.
  ui.click(20, 20);
  ui.frame(buildOverlapping);
  EXPECT_EQ(order(), (std::vector<std::string>{"high", "low"}));
  // Its controls get hover from the next frame on.
  ui.release(20, 20);
  mu_input_mousemove(c, 70, 70);
  ui.frame(buildOverlapping);
  ui.frame(buildOverlapping);
  EXPECT_EQ(c->hover_root, mu_get_container(c, "Low"));
}

// Text boxes: the frame's typed text and keys applied to a focused box.
TEST(UiTextbox, EditingTable) {
  struct Case {
    const char* name;
    const char* initial;
    int bufsz;
    const char* typed;
    int keys;
    const char* expected;
    int result;
    int presses = 1;  // key presses within the one frame
  };
  const Case cases[] = {
      {"ascii append", "ab", 16, "cd", 0, "abcd", MU_RES_CHANGE},
      {"multi-byte fits", "abc", 6, "\xc3\xa9", 0, "abc\xc3\xa9", MU_RES_CHANGE},
      {"whole characters only near the end", "abc", 6, "\xc3\xa9\xe2\x82\xac", 0, "abc\xc3\xa9", MU_RES_CHANGE},
      {"a character that does not fit is dropped", "abc", 6, "\xe2\x82\xac", 0, "abc", 0},
      {"full buffer", "abcde", 6, "x", 0, "abcde", 0},
      {"backspace ascii", "abc", 16, "", MU_KEY_BACKSPACE, "ab", MU_RES_CHANGE},
      {"backspace over a 3-byte character", "a\xe2\x82\xac", 16, "", MU_KEY_BACKSPACE, "a", MU_RES_CHANGE},
      {"backspace over a 4-byte character", "\xf0\x9f\x98\x80", 16, "", MU_KEY_BACKSPACE, "", MU_RES_CHANGE},
      {"backspace on empty", "", 16, "", MU_KEY_BACKSPACE, "", 0},
      {"type then backspace", "a", 16, "\xe4\xb8\xad", MU_KEY_BACKSPACE, "a", MU_RES_CHANGE},
      {"three backspaces in one frame", "ab\xc3\xa9\xe2\x82\xac", 16, "", MU_KEY_BACKSPACE, "a", MU_RES_CHANGE, 3},
      {"more backspaces than characters", "ab", 16, "", MU_KEY_BACKSPACE, "", MU_RES_CHANGE, 5},
      {"return submits", "ab", 16, "", MU_KEY_RETURN, "ab", MU_RES_SUBMIT},
  };
  for (const Case& tc : cases) {
    Ui ui;
    mu_Context* c = ui.ctx.get();
    std::vector<char> buf((size_t)tc.bufsz + 8, 'Z');
    strcpy(buf.data(), tc.initial);
    int res = 0;
    auto build = [&](mu_Context* cc) {
      if (mu_begin_window_ex(cc, "w", mu_rect(0, 0, 200, 100), kBare)) {
        res = mu_textbox(cc, buf.data(), tc.bufsz);
        mu_end_window(cc);
      }
    };
    mu_input_mousemove(c, 10, 10);
    ui.frame(build);
    ui.frame(build);
    ui.click(10, 10);
    ui.frame(build);
    ui.release(10, 10);
    ui.frame(build);
    ASSERT_NE(c->focus, 0u) << tc.name << ": a text box holds focus after the click";
    mu_input_text(c, tc.typed);
    for (int k = 0; tc.keys && k < tc.presses; k++) mu_input_keydown(c, tc.keys);
    ui.frame(build);
    EXPECT_STREQ(buf.data(), tc.expected) << tc.name;
    EXPECT_EQ(res, tc.result) << tc.name;
    EXPECT_EQ(buf[(size_t)tc.bufsz], 'Z') << tc.name << ": wrote past the buffer";
    if (tc.keys == MU_KEY_RETURN) {
      EXPECT_EQ(c->focus, 0u);
    }
  }
}

TEST(UiCommands, WindowsComeOutBackToFrontWithNestedOnesSeparate) {
  Ui ui;
  auto build = [](mu_Context* c) {
    if (mu_begin_window_ex(c, "A", mu_rect(0, 0, 100, 100), MU_OPT_NOSCROLL)) {
      mu_label(c, "a1");
      if (mu_begin_window_ex(c, "Inner", mu_rect(300, 0, 100, 100), MU_OPT_NOSCROLL)) {
        mu_label(c, "inner");
        mu_end_window(c);
      }
      mu_label(c, "a2");
      mu_end_window(c);
    }
    if (mu_begin_window_ex(c, "B", mu_rect(150, 0, 100, 100), MU_OPT_NOSCROLL)) {
      mu_label(c, "b");
      mu_end_window(c);
    }
  };
  ui.frame(build);
  std::vector<std::string> labels;
  for (const std::string& s : ui.texts())
    if (s != "A" && s != "B" && s != "Inner") labels.push_back(s);
  // A was created first, then Inner, then B: z-order A < Inner < B.
  EXPECT_EQ(labels, (std::vector<std::string>{"a1", "a2", "inner", "b"}));
  // Raise A by clicking it: now it comes last, still in one piece.
  ui.click(10, 50);
  ui.frame(build);
  ui.release(10, 50);
  ui.frame(build);
  labels.clear();
  for (const std::string& s : ui.texts())
    if (s != "A" && s != "B" && s != "Inner") labels.push_back(s);
  EXPECT_EQ(labels, (std::vector<std::string>{"inner", "b", "a1", "a2"}));
  EXPECT_TRUE(ui.commands().size() > 0);
  for (mu_Command* cmd : ui.commands()) EXPECT_NE(cmd->type, MU_COMMAND_JUMP);
}

TEST(UiCommands, PartlyClippedTextIsBracketedByAClipPair) {
  Ui ui;
  ui.frame([](mu_Context* c) {
    if (mu_begin_window_ex(c, "w", mu_rect(0, 0, 60, 60), MU_OPT_NOSCROLL)) {
      mu_label(c, "a label much wider than the window");
      mu_label(c, "ok");
      mu_end_window(c);
    }
  });
  std::vector<mu_Command*> cmds = ui.commands();
  int pairs = 0;
  for (size_t i = 0; i < cmds.size(); i++) {
    if (cmds[i]->type != MU_COMMAND_CLIP) continue;
    mu_Rect r = cmds[i]->clip.rect;
    bool unclipped = r.x == 0 && r.y == 0 && r.w == 0x1000000 && r.h == 0x1000000;
    if (unclipped) continue;
    ASSERT_LT(i + 2, cmds.size());
    EXPECT_TRUE(cmds[i + 1]->type == MU_COMMAND_TEXT || cmds[i + 1]->type == MU_COMMAND_ICON);
    ASSERT_EQ(cmds[i + 2]->type, MU_COMMAND_CLIP);
    EXPECT_EQ(cmds[i + 2]->clip.rect.w, 0x1000000);
    pairs++;
  }
  EXPECT_GE(pairs, 2);  // the title and the long label
}

TEST(UiWindows, AutoSizeFollowsTheContentPerAxis) {
  struct Case {
    int opt;
    bool width, height;
  };
  const Case cases[] = {
      {MU_OPT_AUTOSIZE, true, true},
      {MU_OPT_AUTOSIZE_W, true, false},
      {MU_OPT_AUTOSIZE_H, false, true},
      {0, false, false},
  };
  for (const Case& tc : cases) {
    Ui ui;
    mu_Container* cnt = nullptr;
    auto build = [&](mu_Context* c) {
      if (mu_begin_window_ex(c, "w", mu_rect(0, 0, 400, 400), tc.opt | MU_OPT_NOSCROLL)) {
        int w[] = {150};
        mu_layout_row(c, 1, w, 30);
        mu_label(c, "x");
        mu_label(c, "y");
        cnt = mu_get_current_container(c);
        mu_end_window(c);
      }
    };
    for (int i = 0; i < 3; i++) ui.frame(build);
    // Content 150 x (30 + 4 + 30), padding 5 each side; title 24 above.
    EXPECT_EQ(cnt->rect.w, tc.width ? 160 : 400) << tc.opt;
    EXPECT_EQ(cnt->rect.h, tc.height ? 64 + 10 + 24 : 400) << tc.opt;
  }
}

TEST(UiWindows, CloseButtonClosesAndTheWindowStaysClosed) {
  Ui ui;
  int shown = 0;
  auto build = [&](mu_Context* c) {
    if (mu_begin_window(c, "w", mu_rect(0, 0, 200, 100))) {
      shown++;
      mu_end_window(c);
    }
  };
  ui.frame(build);
  mu_input_mousemove(ui.ctx.get(), 190, 10);  // the close square (176..199, 0..23)
  ui.frame(build);
  ui.click(190, 10);
  ui.frame(build);
  ui.release(190, 10);
  shown = 0;
  ui.frame(build);
  ui.frame(build);
  EXPECT_EQ(shown, 0);
  mu_get_container(ui.ctx.get(), "w")->open = 1;
  ui.frame(build);
  EXPECT_EQ(shown, 1);
}

TEST(UiLimits, DataPastEveryLimitFinishesTheFrame) {
  struct Case {
    const char* name;
    std::function<void(Ui&)> run;
  };
  const Case cases[] = {
      {"4 KiB paste and more in one frame", [](Ui& ui) {
         std::string paste;
         while (paste.size() < 4096 - 3) paste += "\xe2\x82\xac";  // 3-byte characters
         std::string more(3000, 'x');
         mu_input_text(ui.ctx.get(), "ab");
         mu_input_text(ui.ctx.get(), paste.c_str());
         mu_input_text(ui.ctx.get(), more.c_str());
         size_t len = strlen(ui.ctx->input_text);
         EXPECT_LT(len, (size_t)MU_INPUTTEXT_SIZE);
         EXPECT_GE(len, 4096u);
         // Whole characters only: the text ends on a character boundary.
         const char* t = ui.ctx->input_text;
         EXPECT_TRUE(t[len - 1] == 'x' || ((unsigned char)t[len - 3] == 0xe2));
         std::vector<char> buf(8192, 0);
         auto build = [&](mu_Context* c) {
           if (mu_begin_window_ex(c, "w", mu_rect(0, 0, 200, 100), kBare)) {
             mu_textbox(c, buf.data(), (int)buf.size());
             mu_end_window(c);
           }
         };
         ui.frame(build);
       }},
      {"40 windows", [](Ui& ui) {
         int shown = 0;
         ui.frame([&](mu_Context* c) {
           for (int i = 0; i < 40; i++) {
             std::string name = numbered("win", i);
             if (mu_begin_window(c, name.c_str(), mu_rect(i * 5, i * 5, 100, 100))) {
               shown++;
               mu_label(c, name.c_str());
               mu_end_window(c);
             }
           }
         });
         EXPECT_EQ(shown, MU_ROOTLIST_SIZE);
         EXPECT_EQ(ui.texts().back(), "win31");
       }},
      {"60 panels in one window", [](Ui& ui) {
         ui.frame([&](mu_Context* c) {
           if (mu_begin_window(c, "w", mu_rect(0, 0, 300, 300))) {
             for (int i = 0; i < 60; i++) {
               std::string name = numbered("p", i);
               mu_begin_panel(c, name.c_str());
               mu_label(c, name.c_str());
               mu_end_panel(c);
             }
             mu_end_window(c);
           }
         });
       }},
      {"panels and tree nodes nested past the stacks", [](Ui& ui) {
         std::function<void(mu_Context*, int)> nest = [&](mu_Context* c, int depth) {
           if (depth == 40) return;
           std::string name = numbered("n", depth);
           mu_begin_panel(c, name.c_str());
           if (mu_begin_treenode_ex(c, name.c_str(), MU_OPT_EXPANDED)) {
             mu_text(c, "some words to wrap");
             nest(c, depth + 1);
             mu_end_treenode(c);
           }
           mu_end_panel(c);
         };
         for (int f = 0; f < 3; f++)
           ui.frame([&](mu_Context* c) {
             if (mu_begin_window(c, "w", mu_rect(0, 0, 300, 300))) {
               nest(c, 0);
               mu_end_window(c);
             }
           });
       }},
      {"a full command list", [](Ui& ui) {
         ui.frame([&](mu_Context* c) {
           for (int w = 0; w < 3; w++) {
             std::string name = numbered("w", w);
             if (mu_begin_window(c, name.c_str(), mu_rect(w * 50, 0, 400, 400))) {
               mu_Rect body = mu_get_current_container(c)->body;
               for (int i = 0; i < 20000; i++) {
                 mu_draw_rect(c, mu_rect(body.x + 2, body.y + 2, 4, 4), mu_color(1, 2, 3, 255));
                 // Partly outside the body: comes with a clip pair.
                 mu_draw_text(c, nullptr, "edge", -1, mu_vec2(body.x + body.w - 8, body.y + 4), mu_color(9, 9, 9, 255));
               }
               mu_end_window(c);
             }
           }
         });
         EXPECT_LT(ui.ctx->command_list.idx, MU_COMMANDLIST_SIZE);
         // Every window still closes its run: the walk reaches the end.
         std::vector<mu_Command*> cmds = ui.commands();
         EXPECT_GT(cmds.size(), 1000u);
         int clipDepth = 0;
         for (mu_Command* cmd : cmds)
           if (cmd->type == MU_COMMAND_CLIP) clipDepth += cmd->clip.rect.w == 0x1000000 ? -1 : 1;
         EXPECT_EQ(clipDepth, 0) << "a clip without its closing partner";
       }},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    Ui ui;
    tc.run(ui);
    EXPECT_EQ(ui.ctx->container_stack.idx, 0);
  }
}

}  // namespace
