// The sandbox's input and interactions without a device: bindings, routing to
// players, mouse look, picking per split-screen cell, the blast's impulses and
// marker, gizmo edits on scene bodies, and resets replaying the same world.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "app/state.h"
#include "platform/memory.h"

namespace {

constexpr i32 kW = 1280, kH = 720;

struct Interact : testing::Test {
  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    s = static_cast<State*>(memCalloc(1, sizeof(State)));
    ASSERT_NE(s, nullptr);
    s->tornadoFieldIdx = -1;
    s->windowW = kW;
    s->windowH = kH;
    s->explosionParticleEmitterId = kParticleNoEmitter;
    gizmoInit(&s->gizmo);
    ASSERT_TRUE(ecsInit(&s->ecs, kAppMaxEntities));
    appRegisterComponents(&s->ecs);
    ASSERT_TRUE(worldInit(&s->world, nullptr));
    Camera cam = CameraCreateFull(V3(0, 80, 100), V3(0, 25, 0), V3(0, 1, 0), 1.0471975511965976, (f64)kW / kH, 0.1,
                                  500000.0);
    cam.move_speed = 30.0;
    localPlayerInit(&s->player, &cam, 0);
    s->localPlayerCount = 1;
    ASSERT_TRUE(sceneBuildDemo(s));
  }
  void TearDown() override {
    if (!s) return;
    physicsStop(s);
    worldDestroy(&s->world);
    ecsDestroy(&s->ecs);
    memFree(s);
  }

  void send(InputEvent ev) { handleInputEvent(s, nullptr, &ev, &quit, 1.0 / 60.0); }
  void key(InputKey k, i32 mods = 0) {
    InputEvent ev{};
    ev.type = InputEventKey;
    ev.key = k;
    ev.value = 1;
    ev.modifiers = mods;
    send(ev);
    ev.value = 0;
    send(ev);
  }
  void move(i32 x, i32 y, i32 dx = 0, i32 dy = 0) {
    InputEvent ev{};
    ev.type = InputEventMouseMotion;
    ev.motion = {x, y, dx, dy};
    send(ev);
  }
  void button(InputMouse b, b8 down) {
    InputEvent ev{};
    ev.type = InputEventMouseButton;
    ev.button = b;
    ev.value = down;
    send(ev);
  }
  void click(i32 x, i32 y) {
    move(x, y);
    button(InputMouseLeft, true);
    button(InputMouseLeft, false);
  }
  // Pixel of a world point in player i's cell.
  void pixelOf(u32 player, v3 p, i32* x, i32* y) {
    SplitViewport c = splitViewport(s->windowW, s->windowH, s->localPlayerCount, player);
    Camera* cam = &statePlayer(s, player)->camera;
    CameraSetAspect(cam, (f64)c.width / c.height);
    f64 sx, sy;
    ASSERT_TRUE(worldToScreen(cam, p, c.width, c.height, &sx, &sy));
    *x = c.x + (i32)std::lround(sx);
    *y = c.y + (i32)std::lround(sy);
  }
  i32 pyramidTop() {
    // The highest body of the pyramid: layer 7 at (-6, 7.75, -6).
    for (u32 i = 0; i < worldGetNumBodies(&s->world); i++) {
      const Body* b = worldGetBody(&s->world, (i32)i);
      if (b && std::fabs(b->position.x + 6) < 1e-9 && std::fabs(b->position.y - 7.75) < 1e-9) return (i32)i;
    }
    return -1;
  }

  State* s = nullptr;
  b8 quit = false;
};

TEST_F(Interact, KeyBindings) {
  struct Case {
    InputKey key;
    i32 mods;
    b8 State::*flag;
  } cases[] = {
      {InputKeyB, 0, &State::showAabb},
      {InputKeyV, 0, &State::showVelocity},
      {InputKeyI, 0, &State::showVectorFields},
      {InputKeyF1, 0, &State::editMode},
      {InputKeyF12, 0, &State::screenshotRequested},
  };
  for (const Case& c : cases) {
    b8 before = s->*c.flag;
    key(c.key, c.mods);
    EXPECT_NE(s->*c.flag, before) << c.key;
  }
  // Ctrl+V pastes; it does not toggle the velocities.
  b8 vel = s->showVelocity;
  key(InputKeyV, InputModCtrl);
  EXPECT_EQ(s->showVelocity, vel);
  EXPECT_FALSE(quit);
  key(InputKeyEsc);
  EXPECT_TRUE(quit);
  // Space runs and pauses the physics thread.
  key(InputKeySpace);
  EXPECT_TRUE(s->physicsRunning);
  EXPECT_NE(s->world.thread, nullptr);
  key(InputKeySpace);
  EXPECT_FALSE(s->physicsRunning);
  EXPECT_EQ(s->world.thread, nullptr);
}

TEST_F(Interact, LeavingEditModeClearsTheSelectionAndEndsTheDrag) {
  key(InputKeyF1);
  ASSERT_TRUE(s->editMode);
  i32 x, y;
  pixelOf(0, worldGetBody(&s->world, pyramidTop())->position, &x, &y);
  click(x, y);
  ASSERT_NE(s->selectedEntity, 0u);
  s->gizmo.activeHandle = 0;
  key(InputKeyF1);
  EXPECT_EQ(s->selectedEntity, 0u);
  EXPECT_EQ(s->gizmo.activeHandle, -1);
}

TEST_F(Interact, EventsReachTheirPlayers) {
  for (int i = 0; i < 3; i++) addLocalPlayer(s);
  ASSERT_EQ(s->localPlayerCount, 4u);
  EXPECT_EQ(addLocalPlayer(s), 0u);  // at most four
  ASSERT_TRUE(localPlayerAssignController(statePlayer(s, 1), 2));
  ASSERT_TRUE(localPlayerAssignController(statePlayer(s, 3), 2));
  ASSERT_TRUE(localPlayerAssignController(statePlayer(s, 0), 0));
  s->keyboardPlayer = 2;
  InputEvent axis{};
  axis.type = InputEventGamepadAxis;
  axis.value = 2;
  axis.gamepadAxis = {InputGamepadAxisLeftX, 32767};
  send(axis);
  InputEvent press{};
  press.type = InputEventKey;
  press.key = InputKeyW;
  press.value = 1;
  send(press);
  for (u32 i = 0; i < 4; i++) {
    const InputState& in = statePlayer(s, i)->input;
    EXPECT_EQ(in.gamepadAxes[InputGamepadAxisLeftX] > 0.9f, i == 1 || i == 3) << i;
    EXPECT_EQ(in.keys[InputKeyW], i == 2) << i;
  }
  // The keyboard player's slot goes: the keyboard comes back to player 0.
  removeLocalPlayer(s);
  EXPECT_EQ(s->keyboardPlayer, 2u);
  removeLocalPlayer(s);
  EXPECT_EQ(s->localPlayerCount, 2u);
  EXPECT_EQ(s->keyboardPlayer, 0u);
  // Added players stand 10 units apart along x.
  EXPECT_DOUBLE_EQ(statePlayer(s, 1)->camera.position.x, s->camera.position.x + 10.0);
}

TEST_F(Interact, MouseLookFollowsThePointer) {
  Camera before = s->camera;
  button(InputMouseRight, true);
  move(700, 360, 40, 0);  // right
  v3 fwd = CameraGetForward(&s->camera);
  EXPECT_GT(v3Dot(fwd, CameraGetRight(&before)), 0.01);
  before = s->camera;
  move(700, 330, 0, -30);  // up
  EXPECT_GT(s->camera.pitch, before.pitch);
  button(InputMouseRight, false);
  before = s->camera;
  move(800, 300, 50, 50);  // no button: no look
  EXPECT_EQ(s->camera.yaw, before.yaw);
}

TEST_F(Interact, WheelScalesTheKeyboardPlayersSpeedWithinBounds) {
  InputEvent w{};
  w.type = InputEventMouseWheel;
  w.wheel = {0, 1};
  send(w);
  EXPECT_DOUBLE_EQ(s->camera.move_speed, 37.5);
  for (int i = 0; i < 40; i++) send(w);
  EXPECT_EQ(s->camera.move_speed, 500.0);
  w.wheel.dy = -1;
  for (int i = 0; i < 80; i++) send(w);
  EXPECT_EQ(s->camera.move_speed, 1.0);
}

TEST_F(Interact, PickingUsesTheCellUnderThePointer) {
  addLocalPlayer(s);
  // Player 1 looks at the pyramid top from the side; player 0 at the sky.
  Camera side = CameraCreateFull(V3(-6, 7.75, 20), V3(-6, 7.75, -6), V3(0, 1, 0), 1.0, 1.0, 0.1, 1000.0);
  statePlayer(s, 1)->camera = side;
  Camera sky = CameraCreateFull(V3(0, 50, 0), V3(0, 100, 1), V3(0, 1, 0), 1.0, 1.0, 0.1, 1000.0);
  s->camera = sky;
  key(InputKeyF1);
  i32 x, y;
  pixelOf(1, V3(-6, 7.75, -5.5), &x, &y);
  ASSERT_GE(x, kW / 2);
  click(x, y);
  ASSERT_NE(s->selectedEntity, 0u);
  EXPECT_EQ(editorGetBody(s)->id, pyramidTop());
  // The same spot of the left cell shows sky: selecting there clears it.
  click(x - kW / 2, y);
  EXPECT_EQ(s->selectedEntity, 0u);
}

TEST_F(Interact, BlastPushesBodiesByDistanceAndWakesThem) {
  s->mouseBlastMode = true;
  i32 top = pyramidTop();
  i32 x, y;
  pixelOf(0, worldGetBody(&s->world, top)->position + V3(0, 0.5, 0), &x, &y);
  click(x, y);
  ASSERT_TRUE(s->blastMarkerValid);
  EXPECT_EQ(s->blastMarkerRadius, 8.0f);
  v3 c = V3(s->blastMarkerPos.x, s->blastMarkerPos.y, s->blastMarkerPos.z);
  EXPECT_NEAR(c.y, 8.25, 0.05);
  u32 pushed = 0;
  for (u32 i = 0; i < worldGetNumBodies(&s->world); i++) {
    const Body* b = worldGetBody(&s->world, (i32)i);
    v3 off = b->position - c;
    f64 d = v3Length(off), f = 1.0 - d / 8.0;
    if (b->type != BODY_DYNAMIC || d > 8.0) {
      EXPECT_EQ(v3Length(b->linearVelocity), 0.0) << i;
      continue;
    }
    v3 want = (off / d * (200.0 * f) + V3(0, 50.0 * f, 0)) * b->invMass;
    EXPECT_LT(v3Length(b->linearVelocity - want), 1e-3 * (1.0 + v3Length(want))) << i;
    EXPECT_TRUE(b->isAwake);
    pushed++;
  }
  EXPECT_GT(pushed, 20u);
}

TEST_F(Interact, AFarBlastOnlyMarksAndAMissClearsTheMarker) {
  s->mouseBlastMode = true;
  i32 x, y;
  pixelOf(0, V3(40, 0.25, 40), &x, &y);  // the floor, far from every body
  click(x, y);
  ASSERT_TRUE(s->blastMarkerValid);
  EXPECT_NEAR(s->blastMarkerPos.x, 40.0, 0.1);
  for (u32 i = 0; i < worldGetNumBodies(&s->world); i++)
    EXPECT_EQ(v3Length(worldGetBody(&s->world, (i32)i)->linearVelocity), 0.0);
  click(kW / 2, 2);  // sky
  EXPECT_FALSE(s->blastMarkerValid);
  // In blast mode a click never selects.
  key(InputKeyF1);
  pixelOf(0, worldGetBody(&s->world, pyramidTop())->position, &x, &y);
  click(x, y);
  EXPECT_EQ(s->selectedEntity, 0u);
}

TEST_F(Interact, GizmoMovesTheSelectionAndScalesOnlyItsOwnCube) {
  key(InputKeyF1);
  i32 top = pyramidTop();
  Body* b = worldGetBody(&s->world, top);
  i32 x, y;
  pixelOf(0, b->position, &x, &y);
  click(x, y);
  ASSERT_EQ(editorGetBody(s), b);
  const Shape* shared = b->shape;
  Body* other = worldGetBody(&s->world, top - 1);
  ASSERT_EQ(other->shape, shared);
  // Drag the X translation handle 2 units along x.
  f64 d = v3Length(s->camera.position - b->position);
  v3 start = b->position;
  pixelOf(0, start + V3(0.06 * d, 0, 0), &x, &y);
  move(x, y);
  button(InputMouseLeft, true);
  ASSERT_EQ(s->gizmo.activeHandle, 0);
  i32 tx, ty;
  pixelOf(0, start + V3(0.06 * d + 2.0, 0, 0), &tx, &ty);
  move(tx, ty);
  button(InputMouseLeft, false);
  EXPECT_EQ(s->gizmo.activeHandle, -1);
  EXPECT_NEAR(b->position.x, start.x + 2.0, 0.1);
  EXPECT_EQ(b->position.y, start.y);
  // Stopped thread: the move is published for drawing.
  const Snapshot* snap = worldAcquireSnapshot(&s->world);
  EXPECT_EQ(snap->xforms[top].pos.x, b->position.x);
  worldReleaseSnapshot(&s->world);
  // Scale knob X: twice as far out doubles the cube, its neighbours keep theirs.
  start = b->position;
  d = v3Length(s->camera.position - start);
  pixelOf(0, start + V3(0.138 * d, 0, 0), &x, &y);
  move(x, y);
  button(InputMouseLeft, true);
  ASSERT_EQ(s->gizmo.activeHandle, 6);
  pixelOf(0, start + V3(2 * 0.138 * d, 0, 0), &tx, &ty);
  move(tx, ty);
  button(InputMouseLeft, false);
  ASSERT_NE(b->shape, shared);
  EXPECT_NEAR(reinterpret_cast<const BoxShape*>(b->shape)->halfExtents.x, 1.0, 0.05);
  EXPECT_EQ(reinterpret_cast<const BoxShape*>(shared)->halfExtents.x, 0.5);
  EXPECT_EQ(other->shape, shared);
  EXPECT_NEAR(b->localAabb.max.x, reinterpret_cast<const BoxShape*>(b->shape)->halfExtents.x, 0.05);
}

TEST_F(Interact, ScaleHandlesDoNothingWithoutRoomForAPrivateShape) {
  key(InputKeyF1);
  s->numBoxShapes = kSceneShapes;  // every box entry taken
  Body* b = worldGetBody(&s->world, pyramidTop());
  i32 x, y;
  pixelOf(0, b->position, &x, &y);
  click(x, y);
  ASSERT_EQ(editorGetBody(s), b);
  f64 d = v3Length(s->camera.position - b->position);
  pixelOf(0, b->position + V3(0.138 * d, 0, 0), &x, &y);
  move(x, y);
  button(InputMouseLeft, true);
  EXPECT_EQ(s->gizmo.activeHandle, -1);
  EXPECT_EQ(reinterpret_cast<const BoxShape*>(b->shape)->halfExtents.x, 0.5);
}

TEST_F(Interact, TwoResetsReplayTheSameWorldTornadoIncluded) {
  auto run = [&] {
    sceneBuildDemo(s);
    std::vector<f64> out;
    for (int i = 0; i < 240; i++) {
      updateTornado(s, 1.0 / 60.0);
      worldStep(&s->world, kPhysicsStep);
    }
    out.push_back(s->tornadoData.centre.x);
    out.push_back(s->tornadoData.centre.z);
    for (u32 i = 0; i < worldGetNumBodies(&s->world); i++) {
      const Body* b = worldGetBody(&s->world, (i32)i);
      out.insert(out.end(), {b->position.x, b->position.y, b->position.z, b->rotation.w});
    }
    return out;
  };
  std::vector<f64> a = run();
  std::vector<f64> b = run();
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(f64)), 0);
  EXPECT_NE(a[0], 0.0);  // the tornado moved
}

}  // namespace

namespace {

// A blast turns the default character into a ragdoll when it stands in reach,
// and leaves one out of reach alone (no GPU: the model system on the CPU).
TEST_F(Interact, ABlastTurnsACharacterInReachIntoARagdoll) {
  MeshPool vp{}, ip{};
  meshPoolInitRanges(&vp, 1u << 26);
  meshPoolInitRanges(&ip, 1u << 26);
  s->modelSys = modelSystemCreate(nullptr, nullptr, &vp, &ip, 8);
  ASSERT_NE(s->modelSys, nullptr);
  s->cesiumManModelIndex = modelSystemLoadModel(s->modelSys, TERRAIN_CHARACTER_GLTF);
  ASSERT_NE(s->cesiumManModelIndex, 0xFFFFFFFFu);
  modelSystemRebuildDescriptors(s->modelSys);
  Entity near = modelSystemSpawn(s->modelSys, &s->ecs, s->cesiumManModelIndex, v3f{40, 0.25f, 44, 0}, v4f{0, 0, 0, 1});
  Entity far = modelSystemSpawn(s->modelSys, &s->ecs, s->cesiumManModelIndex, v3f{-60, 0.25f, 60, 0}, v4f{0, 0, 0, 1});
  ASSERT_NE(near, 0u);
  ASSERT_NE(far, 0u);
  EXPECT_FALSE(ecsHas(&s->ecs, ECS_SYS_PHYSICS_BODY, near));  // spawned characters have no body
  u32 bodiesBefore = worldGetNumBodies(&s->world);
  s->mouseBlastMode = true;
  i32 x, y;
  pixelOf(0, V3(40, 0.25, 40), &x, &y);  // the floor 4 units from the near one
  click(x, y);
  ASSERT_TRUE(s->blastMarkerValid);
  EXPECT_TRUE(ecsHas(&s->ecs, ECS_SYS_RAGDOLL, near));
  EXPECT_FALSE(ecsHas(&s->ecs, ECS_SYS_RAGDOLL, far));
  EXPECT_GE(worldGetNumBodies(&s->world), bodiesBefore + 12);  // twelve parts
  // A second blast does not make a second ragdoll of the same character.
  u32 bodies = worldGetNumBodies(&s->world);
  click(x, y);
  EXPECT_EQ(worldGetNumBodies(&s->world), bodies);
  physicsStop(s);
  modelSystemCleanup(s->modelSys, &s->ecs);
  modelSystemDestroy(s->modelSys, &s->ecs);
  s->modelSys = nullptr;
  meshPoolDestroy(&vp);
  meshPoolDestroy(&ip);
}

}  // namespace

namespace {

// While a text box has the focus typed keys are text: only Esc and Ctrl+V (which
// pastes the clipboard into the box) act; the camera does not fly either.
TEST_F(Interact, ATextBoxWithFocusKeepsKeysFromTheBindings) {
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  s->plat = platformCreateWindow(800, 600, "test", false);
  ASSERT_NE(s->plat, nullptr);
  ASSERT_TRUE(fontInitRuntime(&s->font, nullptr, nullptr, PIPELINE_FONT, TERRAIN_FONT_FILE, 24.0f, 512, 512));
  uiInit(&s->ui, nullptr, nullptr, &s->font, PIPELINE_UI);
  s->windowW = 800;
  s->windowH = 600;
  static char text[256];
  text[0] = '\0';
  auto frame = [&] {
    fontBeginFrame(&s->font);
    uiBegin(&s->ui);
    mu_Context* ctx = uiGetMuContext(&s->ui);
    if (mu_begin_window_ex(ctx, "Box", mu_rect(100, 100, 300, 120), MU_OPT_NOCLOSE)) {
      const int w[1] = {-1};
      mu_layout_row(ctx, 1, w, 0);
      mu_textbox_ex(ctx, text, sizeof text, 0);
      mu_end_window(ctx);
    }
    uiEnd(&s->ui, VK_NULL_HANDLE, 800, 600);
  };
  frame();
  // Click into the box (the pointer rests a few frames first, as a user's would).
  move(200, 150);
  frame();
  frame();
  button(InputMouseLeft, true);
  frame();
  button(InputMouseLeft, false);
  frame();
  ASSERT_TRUE(appTextInputActive(s));
  EXPECT_EQ(s->selectedEntity, 0u);
  InputEvent t{};
  t.type = InputEventText;
  std::strcpy(t.text.text, "r");
  send(t);
  key(InputKeyR);  // would reset the scene and start the thread
  key(InputKeyB);
  key(InputKeySpace);
  InputEvent w{};
  w.type = InputEventKey;
  w.key = InputKeyW;
  w.value = 1;
  send(w);
  frame();
  EXPECT_FALSE(s->physicsRunning);
  EXPECT_EQ(s->world.thread, nullptr);
  EXPECT_FALSE(s->showAabb);
  EXPECT_FALSE(s->player.input.keys[InputKeyW]);
  platformSetClipboard(s->plat, "pasted");
  key(InputKeyV, InputModCtrl);
  frame();
  EXPECT_STREQ(text, "rpasted");
  EXPECT_FALSE(s->showVelocity);
  key(InputKeyEsc);
  EXPECT_TRUE(quit);
  uiDestroy(&s->ui);
  fontDestroy(&s->font);
  platformDestroy(s->plat);
  s->plat = nullptr;
}

}  // namespace
