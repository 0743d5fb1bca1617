// Input dispatch: routing to players and the interface, key bindings, the mouse
// (blast, selection, gizmo drags, look), wheel, window size and visibility,
// controller hot-plug.
#include <cstdio>

#include "app/state.h"

namespace {

constexpr u32 kPasteLimit = 4096;

void toggleEditMode(State* s) {
  s->editMode = !s->editMode;
  if (!s->editMode) {
    s->selectedEntity = 0;
    gizmoEndDrag(&s->gizmo);
  }
}

// While a text box has focus only Esc and Ctrl+V act: typed letters are text.
void handleKeyPress(State* s, const InputEvent* ev, b8* quit, b8 typing) {
  b8 ctrl = (ev->modifiers & InputModCtrl) != 0;
  if (ev->key == InputKeyEsc) {
    if (quit) *quit = true;
    return;
  }
  if (ev->key == InputKeyV && ctrl) {
    char text[kPasteLimit + 1];
    u32 n = s->plat ? platformGetClipboard(s->plat, text, sizeof text) : 0;
    if (n > 0) {
      text[n < kPasteLimit ? n : kPasteLimit] = '\0';
      appUiPasteText(s, text);
    }
    return;
  }
  if (typing) return;
  if (ctrl && (ev->key == InputKeyS || ev->key == InputKeyZ || ev->key == InputKeyX)) {
    if (ev->key == InputKeyS) saveWorld(s);
    else if (ev->key == InputKeyZ) undoWorld(s);
    else redoWorld(s);
    return;
  }
  switch (ev->key) {
    case InputKeySpace:
      if (s->physicsRunning)
        physicsStop(s);
      else
        physicsStart(s);
      break;
    case InputKeyR: sceneSetup(s); break;
    case InputKeyB: s->showAabb = !s->showAabb; break;
    case InputKeyV: s->showVelocity = !s->showVelocity; break;
    case InputKeyI: s->showVectorFields = !s->showVectorFields; break;
    case InputKeyF1: toggleEditMode(s); break;
    // Stands in for the debug window's lighting button until that window exists.
    case InputKeyF2: rebuildLightingMode(s); break;
    // Stands in for the debug window's "Spawn CesiumMan" button until it exists.
    case InputKeyF4: spawnCesiumMan(s); break;
    case InputKeyF12: s->screenshotRequested = true; break;
    case InputKeyDelete: deleteWorldSelection(s); break;
    default: break;
  }
}

void handleMouseButton(State* s, const InputEvent* ev) {
  if (ev->button < 4) s->mouse[ev->button] = ev->value != 0;
  if (ev->button != InputMouseLeft) return;
  if (!ev->value) {
    // A release ends the stroke (one undo step) or the drag, which a world
    // entity's map keeps.
    if (s->terrainStrokeActive) endTerrainStroke(s);
    else commitGizmoToWorld(s);
    gizmoEndDrag(&s->gizmo);
    return;
  }
  if (appPointerOverUi(s)) return;
  if (s->mouseBlastMode) {
    applyMouseBlast(s, s->mouseX, s->mouseY);
    return;
  }
  if (s->editMode && !terrainPress(s)) gizmoPress(s, s->mouseX, s->mouseY);
}

void handleMotion(State* s, const InputEvent* ev) {
  s->mouseX = ev->motion.x;
  s->mouseY = ev->motion.y;
  updateTerrainHover(s, s->mouseX, s->mouseY);
  if (s->terrainStrokeActive && s->mouse[InputMouseLeft]) applyTerrainBrush(s);
  if (s->editMode && s->mouse[InputMouseLeft] && s->gizmo.activeHandle >= 0) gizmoMotion(s, s->mouseX, s->mouseY);
  if (s->mouse[InputMouseRight]) {
    // The view follows the pointer as it follows the right stick: right turns
    // right (negative yaw), up looks up.
    LocalPlayer* kb = statePlayer(s, s->keyboardPlayer);
    if (kb) {
      Camera* c = &kb->camera;
      CameraRotate(c, -c->turn_speed * ev->motion.dx, -c->turn_speed * ev->motion.dy);
      CameraUpdate(c);
    }
  }
}

void handleWheel(State* s, const InputEvent* ev) {
  LocalPlayer* kb = statePlayer(s, s->keyboardPlayer);
  if (!kb) return;
  f64 speed = kb->camera.move_speed * (ev->wheel.dy > 0 ? 1.25 : 0.8);
  kb->camera.move_speed = speed < 1.0 ? 1.0 : (speed > 500.0 ? 500.0 : speed);
}

void handleResize(State* s, const InputEvent* ev) {
  s->windowW = ev->resize.width;
  s->windowH = ev->resize.height;
  if (ev->resize.width > 0 && ev->resize.height > 0) {
    f64 aspect = (f64)ev->resize.width / (f64)ev->resize.height;
    for (u32 i = 0; i < s->localPlayerCount; i++) CameraSetAspect(&statePlayer(s, i)->camera, aspect);
  }
  if (s->renderer.device) rendererResize(&s->renderer, (u32)ev->resize.width, (u32)ev->resize.height);
  appUiResize(s);
}

}  // namespace

void dropDisconnectedControllers(State* s) {
  if (!s) return;
  for (u32 i = 0; i < s->localPlayerCount; i++) {
    LocalPlayer* p = statePlayer(s, i);
    if (p->controllerId >= 0 && !platformGamepadIsConnected((u32)p->controllerId)) localPlayerUnassignController(p);
  }
}

void handleInputEvent(State* s, Platform* plat, const InputEvent* ev, b8* quit, f64 dt) {
  if (!s) return;
  if (!ev) {
    // The window layer reports no unplugging: a controller that is gone is noticed here.
    if (plat) dropDisconnectedControllers(s);
    for (u32 i = 0; i < s->localPlayerCount; i++) localPlayerUpdateFreeFly(statePlayer(s, i), dt);
    return;
  }
  b8 typing = appTextInputActive(s);
  if (ev->type == InputEventGamepadButton || ev->type == InputEventGamepadAxis) {
    for (u32 i = 0; i < s->localPlayerCount; i++) {
      LocalPlayer* p = statePlayer(s, i);
      if (localPlayerHandlesController(p, ev->value)) localPlayerHandleEvent(p, ev);
    }
  } else if (LocalPlayer* kb = statePlayer(s, s->keyboardPlayer)) {
    kb->connected = true;
    // Keys typed into a text box do not fly the camera.
    if (!(typing && ev->type == InputEventKey && ev->value)) localPlayerHandleEvent(kb, ev);
  }
  appUiInput(s, ev);
  switch (ev->type) {
    case InputEventKey:
      if (ev->key < InputKeyCount) s->keys[ev->key] = ev->value != 0;
      if (ev->value) handleKeyPress(s, ev, quit, typing);
      break;
    case InputEventMouseButton: handleMouseButton(s, ev); break;
    case InputEventMouseMotion: handleMotion(s, ev); break;
    case InputEventMouseWheel: handleWheel(s, ev); break;
    case InputEventResize: handleResize(s, ev); break;
    case InputEventVisibility:
      s->windowVisible = ev->visibility.visible;
      // A stroke does not outlive the window going away (its release may never come).
      if (!s->windowVisible) endTerrainStroke(s);
      break;
    case InputEventGamepads: dropDisconnectedControllers(s); break;
    case InputEventAudioDevices: voipPanelReloadDevices(s->voipPanel); break;
    default: break;
  }
}

u32 addLocalPlayer(State* s) {
  if (!s || s->localPlayerCount >= kMaxLocalPlayers) return 0;
  u32 i = s->localPlayerCount;
  Camera cam = s->camera;
  cam.position.x += 10.0 * i;
  cam.target.x += 10.0 * i;
  CameraUpdate(&cam);
  LocalPlayer* p = statePlayer(s, i);
  localPlayerInit(p, &cam, 0);
  p->controllerId = -1;
  s->localPlayerCount = i + 1;
  return s->localPlayerCount;
}

u32 removeLocalPlayer(State* s) {
  if (!s || s->localPlayerCount < 2) return s ? s->localPlayerCount : 0;
  u32 removed = --s->localPlayerCount;
  localPlayerUnassignController(statePlayer(s, removed));
  // The keyboard never stays with a player that is gone.
  if (s->keyboardPlayer >= s->localPlayerCount) s->keyboardPlayer = 0;
  if (s->gizmoPlayer >= s->localPlayerCount) gizmoEndDrag(&s->gizmo);
  return s->localPlayerCount;
}
