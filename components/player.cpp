#include "components/player.h"

#include <cmath>
#include <cstring>

namespace {

f32 clampf(f32 v, f32 lo, f32 hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace

void inputStateReset(InputState* input) {
  if (input) std::memset(input, 0, sizeof(InputState));
}

void inputStateHandleEvent(InputState* input, const InputEvent* ev) {
  if (!input || !ev) return;
  switch (ev->type) {
    case InputEventKey:
      if (ev->key >= 1 && ev->key < InputKeyCount) input->keys[ev->key] = ev->value != 0;
      break;
    case InputEventMouseButton:
      if (ev->button >= InputMouseLeft && ev->button <= InputMouseRight) input->mouse[ev->button] = ev->value != 0;
      break;
    case InputEventGamepadAxis: {
      i32 axis = ev->gamepadAxis.axis;
      if (axis >= InputGamepadAxisLeftX && axis <= InputGamepadAxisRightY) {
        input->gamepadAxes[axis] = clampf((f32)ev->gamepadAxis.value / 32767.0f, -1.0f, 1.0f);
      } else if (axis == InputGamepadAxisLeftTrigger || axis == InputGamepadAxisRightTrigger) {
        // Triggers report 0..255; a released trigger must rest at 0.
        input->gamepadAxes[axis] = clampf((f32)ev->gamepadAxis.value / 255.0f, 0.0f, 1.0f);
      }
      break;
    }
    default:
      break;
  }
}

void localPlayerInit(LocalPlayer* player, const Camera* camera, Entity entity) {
  if (!player) return;
  std::memset(player, 0, sizeof(LocalPlayer));
  if (camera) player->camera = *camera;
  player->entity = entity;
  player->controllerId = -1;
  player->connected = true;
  player->active = true;
}

b8 localPlayerAssignController(LocalPlayer* player, i32 controllerId) {
  if (!player || controllerId < 0) return false;
  player->controllerId = controllerId;
  player->connected = true;
  player->active = true;
  return true;
}

void localPlayerUnassignController(LocalPlayer* player) {
  if (!player) return;
  player->controllerId = -1;
  player->connected = false;
  for (f32& a : player->input.gamepadAxes) a = 0.0f;
}

b8 localPlayerHandlesController(const LocalPlayer* player, i32 controllerId) {
  return player && player->active && player->connected && player->controllerId == controllerId;
}

void localPlayerHandleEvent(LocalPlayer* player, const InputEvent* ev) {
  if (!player || !ev) return;
  if (ev->type == InputEventGamepadButton || ev->type == InputEventGamepadAxis) {
    // A player without a controller has id -1, which no event carries.
    if (!localPlayerHandlesController(player, ev->value)) return;
  }
  inputStateHandleEvent(&player->input, ev);
}

void localPlayerUpdateFreeFly(LocalPlayer* player, f64 dt) {
  if (!player || !player->active || !player->connected) return;
  Camera* cam = &player->camera;
  const InputState& in = player->input;
  const f64 step = dt * cam->move_speed;
  const f64 dz = kPlayerDeadZone;
  if (in.keys[InputKeyW]) CameraMoveForward(cam, step);
  if (in.keys[InputKeyS]) CameraMoveForward(cam, -step);
  if (in.keys[InputKeyA]) CameraMoveRight(cam, -step);
  if (in.keys[InputKeyD]) CameraMoveRight(cam, step);
  if (in.keys[InputKeyE]) CameraMoveUp(cam, step);
  if (in.keys[InputKeyQ]) CameraMoveUp(cam, -step);

  const f64 lx = in.gamepadAxes[InputGamepadAxisLeftX], ly = in.gamepadAxes[InputGamepadAxisLeftY];
  if (std::fabs(lx) > dz) CameraMoveRight(cam, step * lx);
  if (std::fabs(ly) > dz) CameraMoveForward(cam, step * -ly);

  const f64 rx = in.gamepadAxes[InputGamepadAxisRightX], ry = in.gamepadAxes[InputGamepadAxisRightY];
  if (std::fabs(rx) > dz || std::fabs(ry) > dz)
    CameraRotate(cam, dt * 60.0 * -rx * cam->turn_speed, dt * 60.0 * -ry * cam->turn_speed);

  const f64 lt = in.gamepadAxes[InputGamepadAxisLeftTrigger], rt = in.gamepadAxes[InputGamepadAxisRightTrigger];
  if (rt > dz) CameraMoveUp(cam, step * rt);
  if (lt > dz) CameraMoveUp(cam, step * -lt);

  CameraUpdate(cam);
}
