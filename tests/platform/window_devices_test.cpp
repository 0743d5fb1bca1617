// Controllers through SDL's virtual joysticks; capture, warps and the clipboard on
// a plain window of SDL's dummy video driver (which refuses Vulkan windows).
#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/window.h"

namespace {

struct Gamepad : testing::Test {
  void SetUp() override {
    ASSERT_EQ(SDL_Init(SDL_INIT_GAMECONTROLLER), 0) << SDL_GetError();
    platformGamepadInit();
    index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_GAMECONTROLLER, SDL_CONTROLLER_AXIS_MAX,
                                      SDL_CONTROLLER_BUTTON_MAX, 0);
    ASSERT_GE(index, 0) << SDL_GetError();
    joy = SDL_JoystickOpen(index);
    ASSERT_NE(joy, nullptr);
    drain();
  }
  void TearDown() override {
    platformGamepadShutdown();
    if (joy) SDL_JoystickClose(joy);
    SDL_JoystickDetachVirtual(index);
    SDL_Quit();
  }
  void drain() {
    InputEvent e;
    for (int i = 0; i < 32 && platformGamepadPoll(&e); i++) {
    }
  }
  i32 index = -1;
  SDL_Joystick* joy = nullptr;
};

void expectButton(const InputEvent& e, InputGamepadButton b, bool pressed) {
  EXPECT_EQ(e.type, InputEventGamepadButton);
  EXPECT_EQ(e.value, 0);
  EXPECT_EQ(e.gamepadButton.button, b);
  EXPECT_EQ(e.gamepadButton.pressed, pressed);
}

TEST_F(Gamepad, ButtonsSticksAndTriggersOneEventPerPoll) {
  InputEvent e;
  EXPECT_FALSE(platformGamepadPoll(&e));
  EXPECT_TRUE(platformGamepadIsConnected(0));
  EXPECT_FALSE(platformGamepadIsConnected(1));
  EXPECT_FALSE(platformGamepadIsConnected(4));

  SDL_JoystickSetVirtualButton(joy, SDL_CONTROLLER_BUTTON_B, 1);
  SDL_JoystickSetVirtualButton(joy, SDL_CONTROLLER_BUTTON_A, 1);
  ASSERT_TRUE(platformGamepadPoll(&e));
  expectButton(e, InputGamepadButtonA, true);
  ASSERT_TRUE(platformGamepadPoll(&e));
  expectButton(e, InputGamepadButtonB, true);
  EXPECT_FALSE(platformGamepadPoll(&e));
  SDL_JoystickSetVirtualButton(joy, SDL_CONTROLLER_BUTTON_A, 0);
  ASSERT_TRUE(platformGamepadPoll(&e));
  expectButton(e, InputGamepadButtonA, false);

  // Pushing the left stick up reads negative, as SDL reports it.
  SDL_JoystickSetVirtualAxis(joy, SDL_CONTROLLER_AXIS_LEFTY, -20000);
  ASSERT_TRUE(platformGamepadPoll(&e));
  EXPECT_EQ(e.type, InputEventGamepadAxis);
  EXPECT_EQ(e.gamepadAxis.axis, 1);
  EXPECT_EQ(e.gamepadAxis.value, -20000);

  SDL_JoystickSetVirtualAxis(joy, SDL_CONTROLLER_AXIS_TRIGGERRIGHT, 32767);
  ASSERT_TRUE(platformGamepadPoll(&e));
  EXPECT_EQ(e.gamepadAxis.axis, 5);
  EXPECT_EQ(e.gamepadAxis.value, 255);
  EXPECT_FALSE(platformGamepadPoll(&e));
}

TEST_F(Gamepad, AStickMovedWithAButtonIsAbsorbed) {
  InputEvent e;
  SDL_JoystickSetVirtualAxis(joy, SDL_CONTROLLER_AXIS_RIGHTX, 12000);
  SDL_JoystickSetVirtualButton(joy, SDL_CONTROLLER_BUTTON_DPAD_LEFT, 1);
  ASSERT_TRUE(platformGamepadPoll(&e));
  expectButton(e, InputGamepadButtonDPadLeft, true);
  EXPECT_FALSE(platformGamepadPoll(&e)) << "the stick change went with the button";
  SDL_JoystickSetVirtualAxis(joy, SDL_CONTROLLER_AXIS_RIGHTX, 13000);
  ASSERT_TRUE(platformGamepadPoll(&e));
  EXPECT_EQ(e.gamepadAxis.axis, 2);
  EXPECT_EQ(e.gamepadAxis.value, 13000);
}

TEST_F(Gamepad, DetachedControllerIsGone) {
  SDL_JoystickClose(joy);
  joy = nullptr;
  SDL_JoystickDetachVirtual(index);
  SDL_GameControllerUpdate();
  EXPECT_FALSE(platformGamepadIsConnected(0));
  InputEvent e;
  EXPECT_FALSE(platformGamepadPoll(&e));
}

struct DummyWindow : testing::Test {
  void SetUp() override {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    plat = platformCreateWindow(800, 600, "test", false);
    ASSERT_NE(plat, nullptr);
  }
  void TearDown() override { platformDestroy(plat); }
  void pushMotion(i32 x, i32 y) {
    SDL_Event e{};
    e.type = SDL_MOUSEMOTION;
    e.motion.windowID = plat->windowId;
    e.motion.x = x;
    e.motion.y = y;
    SDL_PushEvent(&e);
  }
  Platform* plat = nullptr;
};

TEST_F(DummyWindow, CaptureWarpsBackAndSuppressesTheEcho) {
  InputEvent e;
  platformPoll(plat);
  while (platformPollInput(plat, &e)) {
  }
  platformSetMouseCapture(plat, true);
  i32 x = -1, y = -1;
  platformGetMousePos(plat, &x, &y);
  EXPECT_EQ(x, 400);
  EXPECT_EQ(y, 300);
  platformPoll(plat);  // the warp of the capture itself
  while (platformPollInput(plat, &e)) ADD_FAILURE() << "event " << e.type << " from the capture warp";

  pushMotion(405, 300);
  platformPoll(plat);
  ASSERT_TRUE(platformPollInput(plat, &e));
  EXPECT_EQ(e.type, InputEventMouseMotion);
  EXPECT_EQ(e.motion.dx, 5);
  EXPECT_EQ(e.motion.dy, 0);
  EXPECT_EQ(e.motion.x, 400);
  EXPECT_FALSE(platformPollInput(plat, &e));
  SDL_GetMouseState(&x, &y);
  EXPECT_EQ(x, 400) << "the cursor was put back";
  EXPECT_EQ(y, 300);
  platformPoll(plat);  // the warp's own motion
  EXPECT_FALSE(platformPollInput(plat, &e)) << "the echo of the warp is not an event";

  platformSetMouseCapture(plat, false);
  platformPoll(plat);
  while (platformPollInput(plat, &e)) {
  }
  pushMotion(410, 320);
  platformPoll(plat);
  ASSERT_TRUE(platformPollInput(plat, &e));
  EXPECT_EQ(e.motion.x, 410);
  EXPECT_EQ(e.motion.y, 320);
}

TEST_F(DummyWindow, KeysAndCloseFlowThroughPoll) {
  SDL_Event k{};
  k.type = SDL_KEYDOWN;
  k.key.keysym.scancode = SDL_SCANCODE_ESCAPE;
  SDL_PushEvent(&k);
  SDL_Event c{};
  c.type = SDL_WINDOWEVENT;
  c.window.event = SDL_WINDOWEVENT_CLOSE;
  c.window.windowID = plat->windowId;
  SDL_PushEvent(&c);
  EXPECT_TRUE(platformPoll(plat));
  InputEvent e;
  bool sawEsc = false, sawClose = false;
  while (platformPollInput(plat, &e)) {
    sawEsc |= e.type == InputEventKey && e.key == InputKeyEsc && e.value == 1;
    sawClose |= e.type == InputEventClose;
  }
  EXPECT_TRUE(sawEsc);
  EXPECT_TRUE(sawClose);
  EXPECT_TRUE(platformShouldClose(plat));
}

// A burst of mouse motion between two polls, with a key pressed before and
// released after it: the release reaches the application.
TEST_F(DummyWindow, AKeyReleaseAfterABurstOfMotionIsNotLost) {
  InputEvent e;
  platformPoll(plat);
  while (platformPollInput(plat, &e)) {
  }
  SDL_Event k{};
  k.type = SDL_KEYDOWN;
  k.key.keysym.scancode = SDL_SCANCODE_W;
  k.key.windowID = plat->windowId;
  SDL_PushEvent(&k);
  for (i32 i = 1; i <= 100; i++) pushMotion(100 + i, 100);
  k.type = SDL_KEYUP;
  SDL_PushEvent(&k);
  platformPoll(plat);
  b8 pressed = false, released = false;
  i32 lastX = 0;
  while (platformPollInput(plat, &e)) {
    if (e.type == InputEventKey && e.key == InputKeyW) (e.value ? pressed : released) = true;
    if (e.type == InputEventMouseMotion) lastX = e.motion.x;
  }
  EXPECT_TRUE(pressed);
  EXPECT_TRUE(released) << "W would stay held";
  EXPECT_EQ(lastX, 200) << "the mouse ends where it went";
}

TEST_F(DummyWindow, ClipboardRoundTripAndCapacity) {
  platformSetClipboard(plat, "h\xC3\xA9llo");
  char buf[16];
  EXPECT_EQ(platformGetClipboard(plat, buf, sizeof buf), 6u);
  EXPECT_EQ(std::string(buf), "h\xC3\xA9llo");
  EXPECT_EQ(platformGetClipboard(plat, buf, 1), 0u);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(platformGetClipboard(plat, buf, 3), 1u) << "a character is never cut in two";
  EXPECT_EQ(std::string(buf), "h");
  EXPECT_EQ(platformGetClipboard(plat, nullptr, 8), 0u);
}

// A window without keyboard focus (the dummy driver's window never has it):
// a controller button pressed meanwhile is reported, and so is its release; with
// SDL's default the press was dropped and the held button never seen.
TEST_F(DummyWindow, ControllersWorkWithoutKeyboardFocus) {
  ASSERT_EQ(SDL_GetKeyboardFocus(), nullptr);
  i32 index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_GAMECONTROLLER, SDL_CONTROLLER_AXIS_MAX,
                                        SDL_CONTROLLER_BUTTON_MAX, 0);
  ASSERT_GE(index, 0) << SDL_GetError();
  SDL_Joystick* joy = SDL_JoystickOpen(index);
  ASSERT_NE(joy, nullptr);
  InputEvent e;
  for (int i = 0; i < 32 && platformGamepadPoll(&e); i++) {
  }
  SDL_JoystickSetVirtualButton(joy, SDL_CONTROLLER_BUTTON_X, 1);
  platformPoll(plat);
  b8 pressed = false;
  while (platformPollInput(plat, &e))
    pressed |= e.type == InputEventGamepadButton && e.gamepadButton.button == InputGamepadButtonX &&
               e.gamepadButton.pressed;
  EXPECT_TRUE(pressed) << "a button held while the window lacks focus is reported";
  SDL_JoystickSetVirtualButton(joy, SDL_CONTROLLER_BUTTON_X, 0);
  ASSERT_TRUE(platformGamepadPoll(&e));
  expectButton(e, InputGamepadButtonX, false);
  SDL_JoystickClose(joy);
  SDL_JoystickDetachVirtual(index);
}

}  // namespace

// The minimised loop's wait: it comes back by itself, and an event ends it early.
TEST_F(DummyWindow, WaitWithTimeoutReturnsWithoutEventsAndDeliversOne) {
  InputEvent e;
  platformPoll(plat);
  while (platformPollInput(plat, &e)) {
  }
  while (platformWaitEventTimeout(plat, 0)) {
    while (platformPollInput(plat, &e)) {
    }
  }
  u64 start = SDL_GetTicks64();
  EXPECT_FALSE(platformWaitEventTimeout(plat, 60));
  EXPECT_GE(SDL_GetTicks64() - start, 40u);
  SDL_Event k{};
  k.type = SDL_KEYDOWN;
  k.key.keysym.scancode = SDL_SCANCODE_ESCAPE;
  SDL_PushEvent(&k);
  EXPECT_TRUE(platformWaitEventTimeout(plat, 5000));
  ASSERT_TRUE(platformPollInput(plat, &e));
  EXPECT_EQ(e.type, InputEventKey);
  EXPECT_EQ(e.value, 1);
}
