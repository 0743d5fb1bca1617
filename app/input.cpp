// Input dispatch: key and button state, players, window size and visibility.
#include "app/state.h"

namespace {

void handleKeyPress(State* state, u32 key) {
  switch (key) {
    case InputKeySpace:
      if (state->physicsRunning)
        physicsStop(state);
      else
        physicsStart(state);
      break;
    case InputKeyR: sceneSetup(state); break;
    case InputKeyB: state->showAabb = !state->showAabb; break;
    case InputKeyV: state->showVelocity = !state->showVelocity; break;
    // Stands in for the debug window's lighting button until that window exists.
    case InputKeyF2: rebuildLightingMode(state); break;
    default: break;
  }
}

}  // namespace

void handleInputEvent(State* state, Platform* plat, const InputEvent* ev, b8* quit, f64 dt) {
  (void)plat;
  if (!state) return;
  if (!ev) {
    for (u32 i = 0; i < state->localPlayerCount; i++) localPlayerUpdateFreeFly(statePlayer(state, i), dt);
    return;
  }
  if (ev->type == InputEventGamepadButton || ev->type == InputEventGamepadAxis) {
    for (u32 i = 0; i < state->localPlayerCount; i++) {
      LocalPlayer* p = statePlayer(state, i);
      if (localPlayerHandlesController(p, ev->value)) localPlayerHandleEvent(p, ev);
    }
  } else if (LocalPlayer* kb = statePlayer(state, state->keyboardPlayer)) {
    kb->connected = true;
    localPlayerHandleEvent(kb, ev);
  }
  switch (ev->type) {
    case InputEventKey:
      if (ev->key < InputKeyCount) state->keys[ev->key] = ev->value != 0;
      if (ev->value && ev->key == InputKeyEsc && quit) *quit = true;
      if (ev->value) handleKeyPress(state, ev->key);
      break;
    case InputEventMouseButton:
      if (ev->button < 4) state->mouse[ev->button] = ev->value != 0;
      break;
    case InputEventMouseMotion:
      state->mouseX = ev->motion.x;
      state->mouseY = ev->motion.y;
      break;
    case InputEventResize:
      state->windowW = ev->resize.width;
      state->windowH = ev->resize.height;
      if (ev->resize.width > 0 && ev->resize.height > 0) {
        f64 aspect = (f64)ev->resize.width / (f64)ev->resize.height;
        for (u32 i = 0; i < state->localPlayerCount; i++) CameraSetAspect(&statePlayer(state, i)->camera, aspect);
      }
      rendererResize(&state->renderer, (u32)ev->resize.width, (u32)ev->resize.height);
      break;
    case InputEventVisibility:
      state->windowVisible = ev->visibility.visible;
      break;
    default:
      break;
  }
}
