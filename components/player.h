// Local split-screen players: a camera, the input state that drives it, an
// optional game controller and the entity the player stands for.
#pragma once

#include "components/camera.h"
#include "ecs/ecs.h"
#include "platform/input.h"

inline constexpr f64 kPlayerDeadZone = 0.15;

struct InputState {
  b8 keys[InputKeyCount];  // by InputKey code
  b8 mouse[4];             // by InputMouse code
  // 0..3 sticks (left x, left y, right x, right y) in [-1, 1]; 4, 5 triggers
  // (left, right) in [0, 1], 0 at rest.
  f32 gamepadAxes[InputGamepadAxisCount];
};

struct LocalPlayer {
  Camera camera;
  InputState input;
  Entity entity;
  i32 controllerId;  // -1 for none
  b8 connected;
  b8 active;
};

void inputStateReset(InputState* input);
void inputStateHandleEvent(InputState* input, const InputEvent* ev);

// Copies the camera (left zeroed when null).
void localPlayerInit(LocalPlayer* player, const Camera* camera, Entity entity);
// False (nothing changed) for a negative id or a null player.
b8 localPlayerAssignController(LocalPlayer* player, i32 controllerId);
// Also zeroes the axes, so a stick held while unplugging does not keep steering.
void localPlayerUnassignController(LocalPlayer* player);
b8 localPlayerHandlesController(const LocalPlayer* player, i32 controllerId);
// Controller events count only when they come from this player's controller.
void localPlayerHandleEvent(LocalPlayer* player, const InputEvent* ev);
// Free flight from the input state; dt in seconds.
void localPlayerUpdateFreeFly(LocalPlayer* player, f64 dt);
