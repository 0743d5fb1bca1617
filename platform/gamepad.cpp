// Controllers 0 to 3 through SDL's game-controller mapping, polled against the
// state last reported so that each call yields at most one change.
#include <SDL2/SDL.h>

#include <cstring>

#include "platform/window.h"

namespace {

struct PadState {
  u16 buttons;  // controller state bits, see kInputGamepadButtonBits
  i32 axes[InputGamepadAxisCount];
};

struct Pad {
  SDL_GameController* controller;
  SDL_JoystickID id;
  PadState remembered;
};

Pad gPads[kPlatformMaxGamepads];

struct ButtonMap {
  SDL_GameControllerButton sdl;
  u16 bit;
};

constexpr ButtonMap kButtons[] = {
    {SDL_CONTROLLER_BUTTON_A, 0x1000},          {SDL_CONTROLLER_BUTTON_B, 0x2000},
    {SDL_CONTROLLER_BUTTON_X, 0x4000},          {SDL_CONTROLLER_BUTTON_Y, 0x8000},
    {SDL_CONTROLLER_BUTTON_BACK, 0x0020},       {SDL_CONTROLLER_BUTTON_START, 0x0010},
    {SDL_CONTROLLER_BUTTON_LEFTSTICK, 0x0040},  {SDL_CONTROLLER_BUTTON_RIGHTSTICK, 0x0080},
    {SDL_CONTROLLER_BUTTON_LEFTSHOULDER, 0x0100}, {SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, 0x0200},
    {SDL_CONTROLLER_BUTTON_DPAD_UP, 0x0001},    {SDL_CONTROLLER_BUTTON_DPAD_DOWN, 0x0002},
    {SDL_CONTROLLER_BUTTON_DPAD_LEFT, 0x0004},  {SDL_CONTROLLER_BUTTON_DPAD_RIGHT, 0x0008},
};

PadState readState(SDL_GameController* c) {
  PadState s{};
  for (const ButtonMap& b : kButtons)
    if (SDL_GameControllerGetButton(c, b.sdl)) s.buttons |= b.bit;
  // SDL already reports the sticks with up negative.
  s.axes[InputGamepadAxisLeftX] = SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTX);
  s.axes[InputGamepadAxisLeftY] = SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTY);
  s.axes[InputGamepadAxisRightX] = SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_RIGHTX);
  s.axes[InputGamepadAxisRightY] = SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_RIGHTY);
  i32 lt = SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_TRIGGERLEFT);
  i32 rt = SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_TRIGGERRIGHT);
  s.axes[InputGamepadAxisLeftTrigger] = (lt < 0 ? 0 : lt) >> 7;
  s.axes[InputGamepadAxisRightTrigger] = (rt < 0 ? 0 : rt) >> 7;
  return s;
}

// Drops detached controllers and opens new ones into free slots.
void refreshPads() {
  for (Pad& p : gPads) {
    if (p.controller && !SDL_GameControllerGetAttached(p.controller)) {
      SDL_GameControllerClose(p.controller);
      p = Pad{};
    }
  }
  i32 n = SDL_NumJoysticks();
  for (i32 i = 0; i < n; i++) {
    if (!SDL_IsGameController(i)) continue;
    SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(i);
    b8 open = false;
    for (const Pad& p : gPads) open |= p.controller && p.id == id;
    if (open) continue;
    for (Pad& p : gPads) {
      if (p.controller) continue;
      p.controller = SDL_GameControllerOpen(i);
      if (p.controller) {
        p.id = id;
        p.remembered = PadState{};
      }
      break;
    }
  }
}

}  // namespace

void platformGamepadInit() {
  // Controllers work while another window has the keyboard (SDL's default drops
  // their events then, so a button pressed meanwhile would never be reported).
  SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
  for (Pad& p : gPads) {
    if (p.controller) SDL_GameControllerClose(p.controller);
    p = Pad{};
  }
}

void platformGamepadShutdown() { platformGamepadInit(); }

b8 platformGamepadPoll(InputEvent* event) {
  if (!event || !SDL_WasInit(SDL_INIT_GAMECONTROLLER)) return false;
  SDL_GameControllerUpdate();
  refreshPads();
  PadState now[kPlatformMaxGamepads];
  for (u32 i = 0; i < kPlatformMaxGamepads; i++)
    if (gPads[i].controller) now[i] = readState(gPads[i].controller);
  for (u32 i = 0; i < kPlatformMaxGamepads; i++) {
    Pad& p = gPads[i];
    if (!p.controller) continue;
    u16 changed = now[i].buttons ^ p.remembered.buttons;
    if (!changed) continue;
    for (u32 code = InputGamepadButtonA; code <= InputGamepadButtonDPadRight; code++) {
      u16 bit = kInputGamepadButtonBits[code];
      if (!bit || !(changed & bit)) continue;
      std::memset(static_cast<void*>(event), 0, sizeof(*event));
      event->type = InputEventGamepadButton;
      event->value = (i32)i;
      event->gamepadButton.button = (InputGamepadButton)code;
      event->gamepadButton.pressed = (now[i].buttons & bit) != 0;
      // Sticks and triggers that moved with it are taken as seen; other buttons
      // that changed in the same poll are reported by the following calls rather
      // than lost.
      p.remembered.buttons ^= bit;
      std::memcpy(p.remembered.axes, now[i].axes, sizeof(p.remembered.axes));
      return true;
    }
  }
  for (u32 i = 0; i < kPlatformMaxGamepads; i++) {
    Pad& p = gPads[i];
    if (!p.controller) continue;
    for (i32 a = 0; a < InputGamepadAxisCount; a++) {
      if (now[i].axes[a] == p.remembered.axes[a]) continue;
      std::memset(static_cast<void*>(event), 0, sizeof(*event));
      event->type = InputEventGamepadAxis;
      event->value = (i32)i;
      event->gamepadAxis.axis = a;
      event->gamepadAxis.value = now[i].axes[a];
      std::memcpy(p.remembered.axes, now[i].axes, sizeof(p.remembered.axes));
      return true;
    }
  }
  return false;
}

b8 platformGamepadIsConnected(u32 index) {
  if (index >= kPlatformMaxGamepads || !SDL_WasInit(SDL_INIT_GAMECONTROLLER)) return false;
  refreshPads();
  return gPads[index].controller != nullptr;
}

b8 platformGamepadNextHotplugEvent(InputEvent*) { return false; }
