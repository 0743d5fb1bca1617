// The SDL-event to InputEvent translation, on synthetic events.
#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/window.h"

namespace {

PlatformEventState window(i32 w = 800, i32 h = 600) {
  PlatformEventState s{};
  s.width = s.windowWidth = w;
  s.height = s.windowHeight = h;
  s.visible = true;
  return s;
}

SDL_Event key(Uint32 type, SDL_Scancode sc, Uint16 mod = 0, Uint8 repeat = 0) {
  SDL_Event e{};
  e.type = type;
  e.key.keysym.scancode = sc;
  e.key.keysym.mod = mod;
  e.key.repeat = repeat;
  return e;
}

SDL_Event windowEvent(Uint8 what, i32 a = 0, i32 b = 0) {
  SDL_Event e{};
  e.type = SDL_WINDOWEVENT;
  e.window.event = what;
  e.window.data1 = a;
  e.window.data2 = b;
  return e;
}

TEST(InputTranslate, Keys) {
  struct Case {
    const char* what;
    SDL_Event ev;
    u32 count;
    InputKey key;
    i32 value, mods;
  } cases[] = {
      {"press with ctrl and shift", key(SDL_KEYDOWN, SDL_SCANCODE_W, KMOD_LCTRL | KMOD_RSHIFT), 1, InputKeyW, 1, 3},
      {"auto-repeat is a press", key(SDL_KEYDOWN, SDL_SCANCODE_W, 0, 1), 1, InputKeyW, 1, 0},
      {"release with alt", key(SDL_KEYUP, SDL_SCANCODE_W, KMOD_LALT), 1, InputKeyW, 0, 4},
      {"slash", key(SDL_KEYDOWN, SDL_SCANCODE_SLASH), 1, InputKeySlash, 1, 0},
      {"escape", key(SDL_KEYDOWN, SDL_SCANCODE_ESCAPE), 1, InputKeyEsc, 1, 0},
      {"top-row digit", key(SDL_KEYDOWN, SDL_SCANCODE_9), 1, InputKey9, 1, 0},
      {"F5", key(SDL_KEYDOWN, SDL_SCANCODE_F5), 1, InputKeyF5, 1, 0},
      {"F12", key(SDL_KEYDOWN, SDL_SCANCODE_F12), 1, InputKeyF12, 1, 0},
      {"F6 is never produced", key(SDL_KEYDOWN, SDL_SCANCODE_F6), 0, InputKeyNone, 0, 0},
      {"unmapped key", key(SDL_KEYDOWN, SDL_SCANCODE_F11), 0, InputKeyNone, 0, 0},
      {"keypad digits are not the top row", key(SDL_KEYDOWN, SDL_SCANCODE_KP_1), 0, InputKeyNone, 0, 0},
  };
  for (const Case& c : cases) {
    PlatformEventState s = window();
    PlatformTranslation t = platformTranslateEvent(&s, &c.ev);
    ASSERT_EQ(t.count, c.count) << c.what;
    if (!c.count) continue;
    EXPECT_EQ(t.events[0].type, InputEventKey) << c.what;
    EXPECT_EQ(t.events[0].key, c.key) << c.what;
    EXPECT_EQ(t.events[0].value, c.value) << c.what;
    EXPECT_EQ(t.events[0].modifiers, c.mods) << c.what;
  }
}

TEST(InputTranslate, TextIsOneEventPerCodePoint) {
  struct Case {
    const char* what;
    const char* in;
    std::vector<std::string> out;
  } cases[] = {
      {"one to four bytes", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}},
      {"control codes and DEL dropped", "\t\x7F" "b\x1B", {"b"}},
      {"malformed bytes skipped", "\xFF" "c\xC3", {"c"}},
      {"overlong and surrogate forms rejected", "\xC0\xAF\xED\xA0\x80" "d", {"d"}},
      {"space is text", " ", {" "}},
  };
  for (const Case& c : cases) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    std::strncpy(e.text.text, c.in, sizeof e.text.text - 1);
    PlatformEventState s = window();
    PlatformTranslation t = platformTranslateEvent(&s, &e);
    ASSERT_EQ(t.count, c.out.size()) << c.what;
    for (u32 i = 0; i < t.count; i++) {
      EXPECT_EQ(t.events[i].type, InputEventText) << c.what;
      EXPECT_EQ(std::string(t.events[i].text.text), c.out[i]) << c.what << " #" << i;
    }
  }
}

TEST(InputTranslate, MouseMotionButtonsAndWheel) {
  PlatformEventState s = window();
  s.mouseX = 10;
  s.mouseY = 10;
  SDL_Event m{};
  m.type = SDL_MOUSEMOTION;
  m.motion.x = 15;
  m.motion.y = 12;
  PlatformTranslation t = platformTranslateEvent(&s, &m);
  ASSERT_EQ(t.count, 1u);
  EXPECT_EQ(t.events[0].type, InputEventMouseMotion);
  EXPECT_EQ(t.events[0].motion.x, 15);
  EXPECT_EQ(t.events[0].motion.dx, 5);
  EXPECT_EQ(t.events[0].motion.dy, 2);
  EXPECT_FALSE(t.warpToCenter);
  EXPECT_EQ(s.mouseX, 15);

  struct Case {
    Uint8 sdl;
    InputMouse button;
  } buttons[] = {{SDL_BUTTON_LEFT, InputMouseLeft}, {SDL_BUTTON_MIDDLE, InputMouseMiddle},
                 {SDL_BUTTON_RIGHT, InputMouseRight}, {SDL_BUTTON_X1, InputMouseNone}};
  for (auto c : buttons) {
    SDL_Event b{};
    b.type = SDL_MOUSEBUTTONDOWN;
    b.button.button = c.sdl;
    b.button.x = 3;
    b.button.y = 4;
    b.button.clicks = 2;  // a double click is a plain press
    t = platformTranslateEvent(&s, &b);
    ASSERT_EQ(t.count, c.button == InputMouseNone ? 0u : 1u);
    if (!t.count) continue;
    EXPECT_EQ(t.events[0].type, InputEventMouseButton);
    EXPECT_EQ(t.events[0].button, c.button);
    EXPECT_EQ(t.events[0].value, 1);
    EXPECT_EQ(t.events[0].modifiers, 0);
    EXPECT_EQ(s.mouseX, 3);
    EXPECT_EQ(s.mouseY, 4);
  }

  struct Wheel {
    i32 x, y;
    Uint32 dir;
    std::vector<std::pair<i32, i32>> out;
  } wheels[] = {{0, 3, SDL_MOUSEWHEEL_NORMAL, {{0, 1}}},
                {0, -1, SDL_MOUSEWHEEL_NORMAL, {{0, -1}}},
                {2, 0, SDL_MOUSEWHEEL_NORMAL, {{1, 0}}},
                {0, 1, SDL_MOUSEWHEEL_FLIPPED, {{0, -1}}},
                {-1, 1, SDL_MOUSEWHEEL_NORMAL, {{0, 1}, {-1, 0}}}};
  for (const Wheel& w : wheels) {
    SDL_Event e{};
    e.type = SDL_MOUSEWHEEL;
    e.wheel.x = w.x;
    e.wheel.y = w.y;
    e.wheel.direction = w.dir;
    t = platformTranslateEvent(&s, &e);
    ASSERT_EQ(t.count, w.out.size());
    for (u32 i = 0; i < t.count; i++) {
      EXPECT_EQ(t.events[i].type, InputEventMouseWheel);
      EXPECT_EQ(t.events[i].wheel.dx, w.out[i].first);
      EXPECT_EQ(t.events[i].wheel.dy, w.out[i].second);
    }
  }
}

TEST(InputTranslate, CapturedMotionIsRelativeToTheCentreAndIgnoresTheWarpEcho) {
  PlatformEventState s = window(800, 600);
  s.mouseCapture = true;
  SDL_Event m{};
  m.type = SDL_MOUSEMOTION;
  m.motion.x = 405;
  m.motion.y = 300;
  PlatformTranslation t = platformTranslateEvent(&s, &m);
  ASSERT_EQ(t.count, 1u);
  EXPECT_EQ(t.events[0].motion.x, 400);
  EXPECT_EQ(t.events[0].motion.y, 300);
  EXPECT_EQ(t.events[0].motion.dx, 5);
  EXPECT_EQ(t.events[0].motion.dy, 0);
  EXPECT_TRUE(t.warpToCenter);
  EXPECT_EQ(s.mouseX, 400);
  m.motion.x = 400;
  t = platformTranslateEvent(&s, &m);
  EXPECT_EQ(t.count, 0u);
  EXPECT_FALSE(t.warpToCenter);
}

struct Expect {
  InputEventType type;
  i32 a, b;  // resize width, height; visibility: a = visible
};

void expectEvents(const PlatformTranslation& t, const std::vector<Expect>& want, const char* what) {
  ASSERT_EQ(t.count, want.size()) << what;
  for (u32 i = 0; i < t.count; i++) {
    EXPECT_EQ(t.events[i].type, want[i].type) << what << " #" << i;
    if (want[i].type == InputEventResize) {
      EXPECT_EQ(t.events[i].resize.width, want[i].a) << what;
      EXPECT_EQ(t.events[i].resize.height, want[i].b) << what;
    } else if (want[i].type == InputEventVisibility) {
      EXPECT_EQ(t.events[i].visibility.visible, want[i].a != 0) << what;
    }
  }
}

TEST(InputTranslate, WindowSizeVisibilityAndClose) {
  PlatformEventState s = window(800, 600);
  SDL_Event e = windowEvent(SDL_WINDOWEVENT_SIZE_CHANGED, 1024, 768);
  expectEvents(platformTranslateEvent(&s, &e), {{InputEventResize, 1024, 768}}, "resize");
  expectEvents(platformTranslateEvent(&s, &e), {}, "same size again");
  e = windowEvent(SDL_WINDOWEVENT_MINIMIZED);
  expectEvents(platformTranslateEvent(&s, &e), {{InputEventResize, 0, 0}, {InputEventVisibility, 0, 0}}, "minimise");
  EXPECT_FALSE(s.visible);
  // A size change while minimised is remembered, not reported.
  e = windowEvent(SDL_WINDOWEVENT_SIZE_CHANGED, 1100, 700);
  expectEvents(platformTranslateEvent(&s, &e), {}, "resize while minimised");
  e = windowEvent(SDL_WINDOWEVENT_RESTORED);
  expectEvents(platformTranslateEvent(&s, &e), {{InputEventResize, 1100, 700}, {InputEventVisibility, 1, 0}},
               "restore");
  e = windowEvent(SDL_WINDOWEVENT_HIDDEN);
  expectEvents(platformTranslateEvent(&s, &e), {}, "hide: held to the end of the batch");
  expectEvents(platformTranslateEnd(&s), {{InputEventVisibility, 0, 0}}, "hide");
  expectEvents(platformTranslateEnd(&s), {}, "a batch with nothing held");
  e = windowEvent(SDL_WINDOWEVENT_SHOWN);
  expectEvents(platformTranslateEvent(&s, &e), {{InputEventVisibility, 1, 0}}, "show");
  expectEvents(platformTranslateEvent(&s, &e), {}, "shown twice");
  e = windowEvent(SDL_WINDOWEVENT_CLOSE);
  expectEvents(platformTranslateEvent(&s, &e), {{InputEventClose, 0, 0}}, "close");
  EXPECT_TRUE(s.shouldClose);
  PlatformEventState q = window();
  SDL_Event quit{};
  quit.type = SDL_QUIT;
  expectEvents(platformTranslateEvent(&q, &quit), {}, "quit");
  EXPECT_TRUE(q.shouldClose);
}

// One drain of the window system's queue: every event, then the end of the batch.
PlatformTranslation batch(PlatformEventState* s, const std::vector<SDL_Event>& events) {
  PlatformTranslation all{};
  auto add = [&](const PlatformTranslation& t) {
    for (u32 i = 0; i < t.count && all.count < kPlatformInputQueueSize; i++) all.events[all.count++] = t.events[i];
  };
  for (const SDL_Event& e : events) add(platformTranslateEvent(s, &e));
  add(platformTranslateEnd(s));
  return all;
}

// Whatever order the window system uses, a minimise reads size 0 x 0 first, then
// invisible; a restore the size, then visible. X11 under openbox sends hide then
// minimise, and restore then show.
TEST(InputTranslate, MinimiseAndRestoreInEveryRealOrder) {
  struct Case {
    const char* what;
    std::vector<Uint8> minimise, restore;
  };
  const Case cases[] = {
      {"X11", {SDL_WINDOWEVENT_HIDDEN, SDL_WINDOWEVENT_MINIMIZED}, {SDL_WINDOWEVENT_RESTORED, SDL_WINDOWEVENT_SHOWN}},
      {"minimise alone", {SDL_WINDOWEVENT_MINIMIZED}, {SDL_WINDOWEVENT_RESTORED}},
      {"the other orders", {SDL_WINDOWEVENT_MINIMIZED, SDL_WINDOWEVENT_HIDDEN},
       {SDL_WINDOWEVENT_SHOWN, SDL_WINDOWEVENT_RESTORED}},
  };
  for (const Case& c : cases) {
    PlatformEventState s = window(800, 600);
    std::vector<SDL_Event> down, up;
    for (Uint8 w : c.minimise) down.push_back(windowEvent(w));
    for (Uint8 w : c.restore) up.push_back(windowEvent(w));
    expectEvents(batch(&s, down), {{InputEventResize, 0, 0}, {InputEventVisibility, 0, 0}}, c.what);
    expectEvents(batch(&s, up), {{InputEventResize, 800, 600}, {InputEventVisibility, 1, 0}}, c.what);
  }
}

TEST(InputQueue, HoldsThirtyOneEvents) {
  Platform plat{};
  InputEvent ev{};
  ev.type = InputEventKey;
  for (i32 i = 0; i < 40; i++) {
    ev.value = i;
    EXPECT_EQ(platformQueueEvent(&plat, &ev), i < 31) << i;
  }
  InputEvent out;
  for (i32 i = 0; i < 31; i++) {
    ASSERT_TRUE(platformPollInput(&plat, &out));
    EXPECT_EQ(out.value, i);
  }
  EXPECT_FALSE(platformPollInput(&plat, &out));
}

InputEvent keyEvent(InputKey k, i32 pressed) {
  InputEvent e{};
  e.type = InputEventKey;
  e.key = k;
  e.value = pressed;
  return e;
}

InputEvent motionEvent(i32 x, i32 dx) {
  InputEvent e{};
  e.type = InputEventMouseMotion;
  e.motion.x = x;
  e.motion.dx = dx;
  return e;
}

b8 queue(Platform* plat, InputEvent e) { return platformQueueEvent(plat, &e); }

std::vector<InputEvent> drainQueue(Platform* plat) {
  std::vector<InputEvent> out;
  InputEvent e;
  while (platformPollInput(plat, &e)) out.push_back(e);
  return out;
}

// More events than the queue holds between two polls: motion is merged (the
// movement adds up), and a key release is never lost, even behind a full queue
// of presses, so no key is left held.
TEST(InputQueue, AReleaseIsNeverDroppedAndMotionMerges) {
  Platform plat{};
  ASSERT_TRUE(queue(&plat, keyEvent(InputKeyW, 1)));
  for (i32 i = 1; i <= 60; i++) ASSERT_TRUE(queue(&plat, motionEvent(i, 1)));
  EXPECT_TRUE(queue(&plat, keyEvent(InputKeyW, 0)));
  std::vector<InputEvent> got = drainQueue(&plat);
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got.front().type, InputEventKey);
  EXPECT_EQ(got.back().type, InputEventKey);
  EXPECT_EQ(got.back().value, 0) << "the release arrives";
  i32 dx = 0, lastX = 0;
  for (const InputEvent& e : got)
    if (e.type == InputEventMouseMotion) dx += e.motion.dx, lastX = e.motion.x;
  EXPECT_EQ(dx, 60) << "merged motion keeps the whole movement";
  EXPECT_EQ(lastX, 60) << "and ends where the mouse is";

  // Full of presses (no motion to merge): the release replaces the newest press.
  for (i32 i = 0; i < 31; i++) ASSERT_TRUE(queue(&plat, keyEvent(InputKeyA, 1)));
  EXPECT_FALSE(queue(&plat, keyEvent(InputKeyD, 1))) << "a press may be dropped";
  EXPECT_TRUE(queue(&plat, keyEvent(InputKeyA, 0)));
  got = drainQueue(&plat);
  ASSERT_EQ(got.size(), 31u);
  EXPECT_EQ(got.back().key, InputKeyA);
  EXPECT_EQ(got.back().value, 0);
}

}  // namespace
