// The sandbox's debug windows: the "Physics", "Debug" and "Keys" headers of the
// "Terrain" window, the "Players" window and "Entity Info". Buttons that stop
// threads, rebuild pipelines or rebuild the scene only queue their action: it
// runs at the start of the next frame, never while this frame is recorded.
#include <cstdio>

#include "app/state.h"

namespace {

template <typename... Args>
void labelf(mu_Context* ctx, const char* fmt, Args... args) {
  char buf[160];
  std::snprintf(buf, sizeof buf, fmt, args...);
  mu_label(ctx, buf);
}

template <typename... Args>
b8 buttonf(mu_Context* ctx, const char* fmt, Args... args) {
  char buf[96];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return mu_button(ctx, buf) != 0;
}

const char* kBindings[] = {
    "W A S D Q E: fly",   "Right drag: look",   "Wheel: flight speed", "Space: pause / run",
    "R: reset scene",     "B: boxes",           "V: velocities",       "I: vector fields",
    "F1: edit mode",      "F2: lighting mode",  "F12: screenshot",     "Ctrl+V: paste",
    "Esc: quit",
};

// One control per row, as wide as the window.
void fullWidthRows(mu_Context* ctx) {
  const int width[1] = {-1};
  mu_layout_row(ctx, 1, width, 0);
}

const char* bodyTypeName(BodyType t) {
  return t == BODY_STATIC ? "Static" : (t == BODY_KINEMATIC ? "Kinematic" : "Dynamic");
}

void shapeLine(mu_Context* ctx, const Shape* shape) {
  if (!shape) {
    mu_label(ctx, "Shape: Other");
    return;
  }
  switch (shape->type) {
    case SHAPE_BOX: {
      v3 h = reinterpret_cast<const BoxShape*>(shape)->halfExtents;
      labelf(ctx, "Shape: Box (%.2f x %.2f x %.2f)", 2 * h.x, 2 * h.y, 2 * h.z);
      break;
    }
    case SHAPE_SPHERE: labelf(ctx, "Shape: Sphere (r=%.2f)", reinterpret_cast<const SphereShape*>(shape)->radius); break;
    case SHAPE_CAPSULE: {
      const auto* c = reinterpret_cast<const CapsuleShape*>(shape);
      labelf(ctx, "Shape: Capsule (r=%.2f h=%.2f)", c->radius, 2 * c->halfHeight);
      break;
    }
    default: mu_label(ctx, "Shape: Other"); break;
  }
}

}  // namespace

void drawPhysicsHeader(State* s, mu_Context* ctx) {
  if (!mu_header_ex(ctx, "Physics", MU_OPT_EXPANDED)) return;
  if (mu_button(ctx, s->physicsRunning ? "Pause" : "Play")) s->pendingActions |= kActionPlayPause;
  if (mu_button(ctx, "Step")) s->pendingActions |= kActionStep;
  if (mu_button(ctx, "Reset")) s->pendingActions |= kActionReset;
  if (mu_button(ctx, s->mouseBlastMode ? "Mouse Blast: On" : "Mouse Blast: Off")) s->mouseBlastMode = !s->mouseBlastMode;
  if (mu_button(ctx, "Spawn CesiumMan")) s->pendingActions |= kActionSpawnCharacter;
  b8 rq = s->renderer.lightingMode == RENDERER_LIGHTING_RAY_QUERY;
  if (mu_button(ctx, rq ? "Lighting: Ray Query" : "Lighting: Shadow Maps")) s->pendingActions |= kActionLighting;
}

void drawDebugHeader(State* s, mu_Context* ctx) {
  if (!mu_header_ex(ctx, "Debug", 0)) return;
  uiCheckbox(ctx, "Show AABBs", &s->showAabb);
  uiCheckbox(ctx, "Show velocities", &s->showVelocity);
  uiCheckbox(ctx, "Show heightfield", &s->showHeightfield);
  uiCheckbox(ctx, "Show vector fields", &s->showVectorFields);
  b8 trace = flameGraphIsEnabled(&s->flameGraph);
  if (uiCheckbox(ctx, "Show trace", &trace) & MU_RES_CHANGE) {
    flameGraphSetEnabled(&s->flameGraph, trace);
    traceProfilerSetPaused(!trace);
  }
}

void drawKeysHeader(State*, mu_Context* ctx) {
  if (!mu_header_ex(ctx, "Keys", 0)) return;
  for (const char* line : kBindings) mu_label(ctx, line);
}

void drawBodyStats(State* s, mu_Context* ctx) {
  worldLock(&s->world);
  u32 bodies = worldGetNumBodies(&s->world), contacts = worldGetNumContacts(&s->world);
  worldUnlock(&s->world);
  labelf(ctx, "Bodies: %u", bodies);
  labelf(ctx, "Contacts: %u", contacts);
}

void drawPlayersWindow(State* s, mu_Context* ctx) {
  f32 k = uiGetScale(&s->ui);
  mu_Rect rect = mu_rect((int)(s->windowW - 380 * k), (int)(10 * k), (int)(360 * k), (int)(360 * k));
  if (!mu_begin_window_ex(ctx, "Players", rect, MU_OPT_NOCLOSE)) return;
  fullWidthRows(ctx);
  labelf(ctx, "Split screen: %u", s->localPlayerCount);
  if (s->localPlayerCount < kMaxLocalPlayers) {
    if (mu_button(ctx, "Add Player")) addLocalPlayer(s);
  } else {
    mu_button_ex(ctx, "Max Players", 0, MU_OPT_ALIGNCENTER | MU_OPT_NOINTERACT);
  }
  if (s->localPlayerCount >= 2 && mu_button(ctx, "Remove Player")) removeLocalPlayer(s);
  for (u32 i = 0; i < s->localPlayerCount; i++) {
    LocalPlayer* p = statePlayer(s, i);
    const char* role = i == s->keyboardPlayer ? "Keyboard" : (p->controllerId >= 0 ? "Controller" : "Unassigned");
    labelf(ctx, "P%u: %s", i + 1, role);
    if (i != s->keyboardPlayer && buttonf(ctx, "P%u: Use Keyboard", i + 1)) {
      s->keyboardPlayer = i;
      if (p->controllerId >= 0) localPlayerUnassignController(p);
      p->connected = true;
    }
    for (i32 id = 0; id < 8; id++) {
      if (!platformGamepadIsConnected((u32)id)) continue;
      if (buttonf(ctx, "P%u: Use Controller %d", i + 1, id)) {
        for (u32 j = 0; j < s->localPlayerCount; j++)
          if (j != i && statePlayer(s, j)->controllerId == id) localPlayerUnassignController(statePlayer(s, j));
        localPlayerAssignController(p, id);
      }
    }
    if (p->controllerId >= 0 && buttonf(ctx, "P%u: Release Controller", i + 1)) localPlayerUnassignController(p);
  }
  mu_end_window(ctx);
}

void drawEntityInfoWindow(State* s, mu_Context* ctx) {
  if (!s->editMode || !s->selectedEntity) return;
  f32 k = uiGetScale(&s->ui);
  mu_Rect rect = mu_rect((int)(s->windowW - 610 * k), (int)(10 * k), (int)(600 * k), (int)(400 * k));
  // The records are live: read them between physics steps.
  worldLock(&s->world);
  const Body* b = editorGetBody(s);
  if (b && mu_begin_window_ex(ctx, "Entity Info", rect, 0)) {
    fullWidthRows(ctx);
    Entity e = s->selectedEntity;
    labelf(ctx, "Entity: %u (idx:%u gen:%u)", e, ecsEntityIndex(e), ecsEntityGeneration(e));
    labelf(ctx, "Body ID: %d", b->id);
    labelf(ctx, "Type: %s", bodyTypeName(b->type));
    shapeLine(ctx, b->shape);
    if (mu_header_ex(ctx, "Transform", MU_OPT_EXPANDED)) {
      labelf(ctx, "Pos: %.2f, %.2f, %.2f", b->position.x, b->position.y, b->position.z);
      labelf(ctx, "Rot: %.3f, %.3f, %.3f, %.3f", b->rotation.x, b->rotation.y, b->rotation.z, b->rotation.w);
    }
    if (mu_header_ex(ctx, "Dynamics", 0)) {
      labelf(ctx, "Mass: %.2f", b->mass);
      labelf(ctx, "Velocity: %.2f, %.2f, %.2f", b->linearVelocity.x, b->linearVelocity.y, b->linearVelocity.z);
      labelf(ctx, "Ang Vel: %.2f, %.2f, %.2f", b->angularVelocity.x, b->angularVelocity.y, b->angularVelocity.z);
      labelf(ctx, "Friction: %.2f  Restitution: %.2f", b->friction, b->restitution);
      labelf(ctx, "Awake: %s", b->isAwake ? "Yes" : "No");
    }
    mu_end_window(ctx);
  }
  worldUnlock(&s->world);
}

void applyPendingActions(State* s) {
  u32 a = s->pendingActions;
  s->pendingActions = 0;
  if (a & kActionPlayPause) {
    if (s->physicsRunning)
      physicsStop(s);
    else
      physicsStart(s);
  }
  if (a & kActionStep) {
    // Exactly one step on this thread, shown at once.
    physicsStop(s);
    worldStep(&s->world, kPhysicsStep);
    worldPublishSnapshot(&s->world);
  }
  if (a & kActionReset) sceneSetup(s);
  if (a & kActionSpawnCharacter) spawnCharacter(s);
  if (a & kActionLighting) rebuildLightingMode(s);
}
