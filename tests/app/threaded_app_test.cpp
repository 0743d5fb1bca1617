// The frame thread's work beside a running physics thread: snapshot pins, body
// instances from the snapshot, tornado moves and debug lines (ThreadSanitizer).
#include <gtest/gtest.h>

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
  // Looking down at the floor's middle from above: the floor is always under the
  // pointer, whatever the bodies do.
  Camera cam = CameraCreateFull(V3(30, 60, 30), V3(30, 0, 29), V3(0, 1, 0), 1.0, 640.0 / 480.0, 0.1, 1000.0);
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
  u32 blasts = 0, misses = 0, selections = 0, drags = 0;
  f64 end = clockNanos() + 0.5e9;
  while (clockNanos() < end) {
    s->mouseBlastMode = true;
    s->editMode = false;
    send(InputEventMouseMotion, 320 + (i32)(blasts % 40), 240, 0);
    send(InputEventMouseButton, 0, 0, 1);
    send(InputEventMouseButton, 0, 0, 0);
    blasts++;
    misses += !s->blastMarkerValid;
    // Edit mode: select what is under the pointer (the floor is tracked too) and
    // drag its X handle a few pixels back and forth.
    s->mouseBlastMode = false;
    s->editMode = true;
    s->selectedEntity = 0;
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
    EXPECT_FALSE(renderFrame(s, 1.0 / 60.0));
    nanoSleep(1000000);
  }
  EXPECT_GT(blasts, 10u);
  EXPECT_EQ(misses, 0u);
  EXPECT_EQ(selections, blasts);
  EXPECT_EQ(drags, blasts);
  physicsStop(s);
  worldDestroy(&s->world);
  ecsDestroy(&s->ecs);
  memFree(s);
}
