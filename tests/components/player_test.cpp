#include "components/player.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

InputEvent axisEvent(i32 controller, i32 axis, i32 value) {
  InputEvent ev{};
  ev.type = InputEventGamepadAxis;
  ev.value = controller;
  ev.gamepadAxis.axis = axis;
  ev.gamepadAxis.value = value;
  return ev;
}

InputEvent keyEvent(InputKey key, bool down) {
  InputEvent ev{};
  ev.type = InputEventKey;
  ev.value = down ? 1 : 0;
  ev.key = key;
  return ev;
}

LocalPlayer makePlayer() {
  Camera cam = CameraCreate(V3(0, 10, 0), V3(0, 10, 10), 1.0, 1.0);
  LocalPlayer p;
  localPlayerInit(&p, &cam, 42);
  return p;
}

TEST(InputState, AxesAreNormalisedAndTriggersRestAtZero) {
  struct Case { i32 axis, raw; f32 stored; } cases[] = {
      {0, 32767, 1.0f}, {0, -32768, -1.0f}, {1, 0, 0.0f}, {3, -16384, -16384.0f / 32767.0f},
      {4, 0, 0.0f},     {4, 255, 1.0f},     {5, 128, 128.0f / 255.0f}, {5, 400, 1.0f}, {5, -5, 0.0f},
  };
  for (const Case& c : cases) {
    InputState s{};
    InputEvent ev = axisEvent(0, c.axis, c.raw);
    inputStateHandleEvent(&s, &ev);
    EXPECT_FLOAT_EQ(s.gamepadAxes[c.axis], c.stored) << "axis " << c.axis << " raw " << c.raw;
  }
}

TEST(InputState, KeysAndButtonsTrackPressAndReleaseAndIgnoreBadCodes) {
  InputState s{};
  InputEvent ev = keyEvent(InputKeyW, true);
  inputStateHandleEvent(&s, &ev);
  EXPECT_TRUE(s.keys[InputKeyW]);
  ev = keyEvent(InputKeyW, false);
  inputStateHandleEvent(&s, &ev);
  EXPECT_FALSE(s.keys[InputKeyW]);
  InputEvent bad[3] = {keyEvent(InputKeyCount, true), keyEvent((InputKey)0, true), axisEvent(0, 6, 100)};
  bad[1].type = InputEventMouseButton;
  bad[1].button = (InputMouse)4;
  InputState before = s;
  for (const InputEvent& e : bad) inputStateHandleEvent(&s, &e);
  EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);
  InputEvent mb{};
  mb.type = InputEventMouseButton;
  mb.value = 1;
  mb.button = InputMouseRight;
  inputStateHandleEvent(&s, &mb);
  EXPECT_TRUE(s.mouse[InputMouseRight]);
  inputStateHandleEvent(nullptr, &mb);
  inputStateHandleEvent(&s, nullptr);
  inputStateReset(&s);
  EXPECT_FALSE(s.mouse[InputMouseRight]);
}

TEST(LocalPlayer, OppositeKeysCancelAndOneKeyMovesByStep) {
  LocalPlayer p = makePlayer();
  InputEvent w = keyEvent(InputKeyW, true), s = keyEvent(InputKeyS, true);
  localPlayerHandleEvent(&p, &w);
  localPlayerHandleEvent(&p, &s);
  v3 start = p.camera.position;
  localPlayerUpdateFreeFly(&p, 0.1);
  EXPECT_NEAR(v3Length(p.camera.position - start), 0.0, 1e-12);
  s = keyEvent(InputKeyS, false);
  localPlayerHandleEvent(&p, &s);
  localPlayerUpdateFreeFly(&p, 0.1);
  EXPECT_NEAR(p.camera.position.z - start.z, 0.5, 1e-12);  // dt * move_speed along +z
  EXPECT_NEAR(p.camera.view.m[14], p.camera.position.z, 1e-9);  // matrices refreshed (f . eye)
}

TEST(LocalPlayer, ControllerEventsOnlyFromTheAssignedController) {
  LocalPlayer p = makePlayer();
  InputEvent ev = axisEvent(0, 0, 32767);
  localPlayerHandleEvent(&p, &ev);  // no controller yet
  EXPECT_EQ(p.input.gamepadAxes[0], 0.0f);
  EXPECT_FALSE(localPlayerAssignController(&p, -1));
  ASSERT_TRUE(localPlayerAssignController(&p, 2));
  EXPECT_TRUE(localPlayerHandlesController(&p, 2));
  localPlayerHandleEvent(&p, &ev);  // controller 0 is someone else's
  EXPECT_EQ(p.input.gamepadAxes[0], 0.0f);
  ev.value = 2;
  localPlayerHandleEvent(&p, &ev);
  EXPECT_EQ(p.input.gamepadAxes[0], 1.0f);
  // Releasing zeroes the axes; the former id no longer reaches the player.
  localPlayerUnassignController(&p);
  EXPECT_EQ(p.input.gamepadAxes[0], 0.0f);
  localPlayerHandleEvent(&p, &ev);
  EXPECT_EQ(p.input.gamepadAxes[0], 0.0f);
  EXPECT_FALSE(localPlayerHandlesController(&p, 2));
  // And a disconnected player does not fly.
  InputEvent w = keyEvent(InputKeyW, true);
  localPlayerHandleEvent(&p, &w);
  v3 start = p.camera.position;
  localPlayerUpdateFreeFly(&p, 1.0);
  EXPECT_EQ(p.camera.position.z, start.z);
}

TEST(LocalPlayer, SticksRotateAndMoveBeyondTheDeadZone) {
  LocalPlayer p = makePlayer();
  localPlayerAssignController(&p, 0);
  const f64 dt = 1.0 / 60.0;
  // Right stick (0.5, 0.1): past the dead zone on x, so y rotates the pitch too.
  p.input.gamepadAxes[2] = 0.5f;
  p.input.gamepadAxes[3] = 0.1f;
  f64 yaw0 = p.camera.yaw, pitch0 = p.camera.pitch;
  localPlayerUpdateFreeFly(&p, dt);
  EXPECT_NEAR(p.camera.yaw - yaw0, dt * 60 * -0.5 * 0.002, 1e-9);
  EXPECT_NEAR(p.camera.pitch - pitch0, dt * 60 * -(f64)0.1f * 0.002, 1e-9);
  // Inside the dead zone nothing moves.
  p.input.gamepadAxes[2] = 0.14f;
  p.input.gamepadAxes[3] = -0.14f;
  p.input.gamepadAxes[0] = 0.149f;
  Camera before = p.camera;
  localPlayerUpdateFreeFly(&p, dt);
  EXPECT_EQ(p.camera.yaw, before.yaw);
  EXPECT_EQ(p.camera.position.x, before.position.x);
  // Left stick pushed up (negative y) flies forward.
  p.input.gamepadAxes[0] = 0.0f;
  p.input.gamepadAxes[1] = -1.0f;
  before = p.camera;
  localPlayerUpdateFreeFly(&p, dt);
  v3 moved = p.camera.position - before.position;
  EXPECT_NEAR(v3Dot(moved, CameraGetForward(&before)), dt * 5.0, 1e-9);
}

TEST(LocalPlayer, ReleasedTriggersLeaveTheCameraStill) {
  LocalPlayer p = makePlayer();
  localPlayerAssignController(&p, 1);
  InputEvent lt = axisEvent(1, 4, 0), rt = axisEvent(1, 5, 0);
  localPlayerHandleEvent(&p, &lt);
  localPlayerHandleEvent(&p, &rt);
  v3 start = p.camera.position;
  localPlayerUpdateFreeFly(&p, 1.0);
  EXPECT_EQ(p.camera.position.y, start.y);
  rt = axisEvent(1, 5, 255);
  localPlayerHandleEvent(&p, &rt);
  localPlayerUpdateFreeFly(&p, 0.5);
  EXPECT_NEAR(p.camera.position.y - start.y, 2.5, 1e-12);
}

}  // namespace
