// The frame thread's work beside a running physics thread: snapshot pins, body
// instances from the snapshot, tornado moves and debug lines (ThreadSanitizer).
#include <gtest/gtest.h>

#include <cstdio>

#include "app/state.h"
#include "platform/clock.h"
#include "platform/memory.h"

TEST(AppThreaded, FrameWorkBesideTheRunningPhysicsThread) {
  memoryInit(~0ull, ~0ull);
  State* s = static_cast<State*>(memCalloc(1, sizeof(State)));
  ASSERT_NE(s, nullptr);
  s->tornadoFieldIdx = -1;
  ASSERT_TRUE(ecsInit(&s->ecs, kAppMaxEntities));
  appRegisterComponents(&s->ecs);
  ASSERT_TRUE(worldInit(&s->world, nullptr));
  sceneSetup(s);
  ASSERT_NE(s->world.thread, nullptr);
  s->showAabb = s->showVelocity = true;
  u32 rebuilt = 0;
  f64 end = clockNanos() + 0.5e9;
  while (clockNanos() < end) {
    // A frame without a device: pin, tornado, skipped drawing, release.
    EXPECT_FALSE(renderFrame(s, 1.0 / 60.0));
    // The CPU side of drawing: instances and debug lines from a pinned snapshot.
    s->frameSnap = worldAcquireSnapshot(&s->world);
    rebuilt += buildBodyGeometry(s);
    worldReleaseSnapshot(&s->world);
    s->frameSnap = nullptr;
    nanoSleep(2000000);
  }
  EXPECT_GT(rebuilt, 3u);  // the thread kept publishing
  physicsStop(s);
  worldDestroy(&s->world);
  ecsDestroy(&s->ecs);
  memFree(s);
}

// Picks, blasts and gizmo drags from the frame thread while the physics thread
// steps: every ray hits (the broadphase is never caught mid-step) and the edits
// land between steps.
TEST(AppThreaded, BlastsAndGizmoEditsBesideTheRunningThreadAlwaysHit) {
  memoryInit(~0ull, ~0ull);
  State* s = static_cast<State*>(memCalloc(1, sizeof(State)));
  ASSERT_NE(s, nullptr);
  s->tornadoFieldIdx = -1;
  s->windowW = 640;
  s->windowH = 480;
  s->explosionParticleEmitterId = kParticleNoEmitter;
  gizmoInit(&s->gizmo);
  ASSERT_TRUE(ecsInit(&s->ecs, kAppMaxEntities));
  appRegisterComponents(&s->ecs);
  ASSERT_TRUE(worldInit(&s->world, nullptr));
  // Looking down at the floor from above: the floor is under every pointer
  // position, whatever the bodies do. Blasts go through the busy middle of the
  // scene (rays meet moving bodies), selections to an empty spot of the floor.
  Camera cam = CameraCreateFull(V3(20, 60, 20), V3(20, 0, 19), V3(0, 1, 0), 1.0, 640.0 / 480.0, 0.1, 1000.0);
  localPlayerInit(&s->player, &cam, 0);
  s->localPlayerCount = 1;
  sceneSetup(s);
  ASSERT_NE(s->world.thread, nullptr);
  InputEvent ev{};
  b8 quit = false;
  auto send = [&](InputEventType type, i32 a, i32 b, i32 value) {
    ev = InputEvent{};
    ev.type = type;
    if (type == InputEventMouseMotion) ev.motion = {a, b, 0, 0};
    if (type == InputEventMouseButton) ev.button = InputMouseLeft, ev.value = value;
    handleInputEvent(s, nullptr, &ev, &quit, 1.0 / 60.0);
  };
  f64 mx, my;
  ASSERT_TRUE(worldToScreen(&s->camera, V3(0, 5, 0), s->windowW, s->windowH, &mx, &my));
  ASSERT_TRUE(mx > 30 && my > 30 && mx < 600 && my < 450);
  u32 blasts = 0, misses = 0, selections = 0, drags = 0;
  f64 end = clockNanos() + 0.5e9;
  while (clockNanos() < end) {
    s->mouseBlastMode = true;
    s->editMode = false;
    send(InputEventMouseMotion, (i32)mx - 20 + (i32)(blasts % 40), (i32)my - 20 + (i32)(blasts / 40 % 40), 0);
    send(InputEventMouseButton, 0, 0, 1);
    send(InputEventMouseButton, 0, 0, 0);
    blasts++;
    misses += !s->blastMarkerValid;
    // Edit mode: select what is under the pointer (the floor is tracked too) and
    // drag its X handle a few pixels back and forth.
    s->mouseBlastMode = false;
    s->editMode = true;
    s->selectedEntity = 0;
    send(InputEventMouseMotion, 320, 240, 0);
    send(InputEventMouseButton, 0, 0, 1);
    send(InputEventMouseButton, 0, 0, 0);
    selections += s->selectedEntity != 0;
    if (Body* b = editorGetBody(s)) {
      worldLock(&s->world);
      v3 pos = b->position;
      worldUnlock(&s->world);
      f64 d = v3Length(s->camera.position - pos), hx, hy;
      if (worldToScreen(&s->camera, pos + V3(0.06 * d, 0, 0), s->windowW, s->windowH, &hx, &hy)) {
        send(InputEventMouseMotion, (i32)hx, (i32)hy, 0);
        send(InputEventMouseButton, 0, 0, 1);
        drags += s->gizmo.activeHandle == 0;
        send(InputEventMouseMotion, (i32)hx + (blasts % 2 ? 3 : -3), (i32)hy, 0);
        send(InputEventMouseButton, 0, 0, 0);
      }
    }
    // A frame now and then; otherwise back to back, so picks meet steps often.
    if (blasts % 16 == 0) {
      EXPECT_FALSE(renderFrame(s, 1.0 / 60.0));
    }
  }
  std::printf("%u blasts beside the thread\n", blasts);
  EXPECT_GT(blasts, 10u);
  EXPECT_EQ(misses, 0u);
  EXPECT_EQ(selections, blasts);
  // A body thrown under the spot may move before its handle is pressed.
  EXPECT_GE(drags, blasts / 2);
  physicsStop(s);
  worldDestroy(&s->world);
  ecsDestroy(&s->ecs);
  memFree(s);
}
