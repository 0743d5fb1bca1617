// A program State without a device, the demo scene built, and a scratch folder
// for world files: the terrain world's glue driven through the input handler.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "app/state.h"
#include "platform/memory.h"

namespace worldapp {

constexpr i32 kW = 1280, kH = 720;

struct WorldApp : testing::Test {
  void SetUp() override {
    char tmpl[] = "/tmp/terrain_world_app_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    memoryInit(~0ull, ~0ull);
    s = static_cast<State*>(memCalloc(1, sizeof(State)));
    ASSERT_NE(s, nullptr);
    s->tornadoFieldIdx = -1;
    s->heightfieldBodyId = -1;
    s->windowW = kW;
    s->windowH = kH;
    s->explosionParticleEmitterId = kParticleNoEmitter;
    s->terrainBrushRadius = 12.0f;
    s->terrainBrushStrength = 1.0f;
    s->terrainSplatStrength = 0.35f;
    gizmoInit(&s->gizmo);
    ASSERT_TRUE(ecsInit(&s->ecs, kAppMaxEntities));
    appRegisterComponents(&s->ecs);
    ASSERT_TRUE(worldInit(&s->world, nullptr));
    Camera cam = CameraCreateFull(V3(0, 80, 100), V3(0, 25, 0), V3(0, 1, 0), 1.0471975511965976, (f64)kW / kH, 0.1,
                                  500000.0);
    localPlayerInit(&s->player, &cam, 0);
    s->localPlayerCount = 1;
    ASSERT_TRUE(sceneBuildDemo(s));
  }
  void TearDown() override {
    if (s) {
      physicsStop(s);
      closeWorld(s);
      worldDestroy(&s->world);
      ecsDestroy(&s->ecs);
      memFree(s);
    }
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }

  std::string file(const char* name) const { return dir + "/" + name; }
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
  void move(i32 x, i32 y) {
    InputEvent ev{};
    ev.type = InputEventMouseMotion;
    ev.motion = {x, y, 0, 0};
    send(ev);
  }
  void button(b8 down) {
    InputEvent ev{};
    ev.type = InputEventMouseButton;
    ev.button = InputMouseLeft;
    ev.value = down;
    send(ev);
  }
  // The window pixel of a world point seen by player 0.
  void pixelOf(v3 p, i32* x, i32* y) {
    CameraSetAspect(&s->camera, (f64)kW / kH);
    f64 sx = 0, sy = 0;
    ASSERT_TRUE(worldToScreen(&s->camera, p, kW, kH, &sx, &sy));
    *x = (i32)std::lround(sx);
    *y = (i32)std::lround(sy);
  }
  // A height stroke dragged from world point a to b (edit mode, height tool).
  void drag(v3 a, v3 b, int steps = 6) {
    i32 x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    pixelOf(a, &x0, &y0);
    pixelOf(b, &x1, &y1);
    move(x0, y0);
    button(true);
    for (int i = 1; i <= steps; i++) move(x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps);
    button(false);
  }

  std::string dir;
  State* s = nullptr;
  b8 quit = false;
};

}  // namespace worldapp
