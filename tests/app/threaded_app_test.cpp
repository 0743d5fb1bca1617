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
