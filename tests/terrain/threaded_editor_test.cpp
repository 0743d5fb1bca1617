// Brushing, undo and streaming on the frame thread beside the running physics thread:
// every change to the heightmap the height field borrows, and to bodies, holds the
// world lock (ThreadSanitizer runs this in CI), and bodies resting on the terrain
// stay on it.
#include "physics/dynamics.h"
#include "platform/clock.h"
#include "platform/threads.h"
#include "terrain/editor_fixture.h"

using namespace worldtest;

namespace {

TEST_F(EditorTest, BrushesUndoAndStreamingBesideThePhysicsThread) {
  ASSERT_GE(worldEditorCreateHeightfieldBody(&we), 0);
  for (int i = 0; i < 6; i++) ASSERT_NE(worldEditorPlace(&we, 0, P(-28 + 10.0f * i, 0, 12), 0, 1), kWorldNoIndex);
  SphereShape ball;
  sphereInit(&ball, 0.5);
  std::vector<i32> balls;
  for (int i = 0; i < 8; i++) {
    worldLock(phys);
    i32 id = worldCreateBody(phys);
    worldSetBodyType(phys, id, BODY_DYNAMIC);
    Body* b = worldGetBody(phys, id);
    bodySetMass(b, 1.0);
    bodySetLocalInertiaTensor(b, bodyInertiaSphere(1.0, 0.5));
    b->shape = &ball.base;
    b->localAabb = shapeComputeAabb(&ball.base, Transform{V3(0, 0, 0), quatIdentity()});
    bodySetTransform(b, Transform{V3(-20 + 5.0 * i, 3, -10), quatIdentity()});
    worldUnlock(phys);
    balls.push_back(id);
  }
  ASSERT_TRUE(worldStartThread(phys, 0.0));
  u64 end = clockNanos() + 600000000ull;
  int round = 0;
  while (clockNanos() < end) {
    f32 x = -24 + (f32)(round % 9) * 6;
    worldEditorApplyHeightBrush(&we, P(x, 0, -10), 6, 0.3f, WORLD_EDITOR_HEIGHT_BRUSH_RAISE, 0);  // gentle under the balls
    worldEditorApplyHeightBrush(&we, P(x, 0, 24), 6, 8, WORLD_EDITOR_HEIGHT_BRUSH_PERLIN, 0);
    worldEditorApplyHeightBrush(&we, P(x + 2, 0, -8), 6, 2, WORLD_EDITOR_HEIGHT_BRUSH_SMOOTH, 0);
    worldEditorApplySplatBrush(&we, P(x, 0, 0), 4, 0.5f, (u32)round % 4);
    if (round % 3 == 2) worldEditorEndStrokes(&we);
    if (round % 7 == 6) worldEditorUndo(&we);
    worldEditorUpdateStreaming(&we, (f32)(round % 2 ? -24 : 20), 12, 10);
    round++;
    nanoSleep(2000000);
  }
  worldEditorEndStrokes(&we);
  worldStopThread(phys);
  EXPECT_GT(round, 20);
  // Terrain raised under a ball pushes it up over a few steps; none fell through.
  for (int i = 0; i < 60; i++) worldStep(phys, 1.0 / 120.0);
  for (i32 id : balls) {
    Body* b = worldGetBody(phys, id);
    EXPECT_GT(b->position.y, worldHeightAt(wm, (f32)b->position.x, (f32)b->position.z) - 0.25) << "ball " << id;
  }
}

}  // namespace
