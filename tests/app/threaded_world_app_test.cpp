// The world's glue beside the running physics thread (ThreadSanitizer in CI):
// strokes, undo and redo, streaming and frames change the height field, its
// borrowed heightmap and the world's bodies while the thread steps.
#include "platform/clock.h"
#include "world_fixture.h"

namespace worldapp {
namespace {

TEST_F(WorldApp, StrokesUndoAndFramesBesideTheRunningPhysicsThread) {
  ASSERT_TRUE(newWorld(s, file("busy.qel").c_str()));
  WorldEntityDef rock{};
  rock.boundingRadius = 1.0f;
  const u32 kind = worldCatalogAdd(s->worldMap, &rock);
  physicsStart(s);
  ASSERT_NE(s->world.thread, nullptr);
  key(InputKeyF1);
  s->terrainTool = 2;
  s->terrainBrushStrength = 2.0f;
  u32 strokes = 0;
  f64 end = clockNanos() + 0.6e9;
  while (clockNanos() < end) {
    const f64 z = -150.0 + 10.0 * (strokes % 5);
    drag(V3(-20, 0, z), V3(20, 0, z), 3);
    worldEditorPlace(&s->worldEditor, kind, v3f{(f32)(strokes % 7) * 5.0f, 1, -100, 0}, 0, 1);
    if (strokes % 3 == 2) key(InputKeyZ, InputModCtrl);
    if (strokes % 4 == 3) key(InputKeyX, InputModCtrl);
    // A frame without a device: streaming, the snapshot pin and release.
    EXPECT_FALSE(renderFrame(s, 1.0 / 60.0));
    strokes++;
  }
  EXPECT_GT(strokes, 3u);
  EXPECT_TRUE(s->world.thread != nullptr);
  physicsStop(s);
  // Heights the physics sees are the map's.
  RaycastHit hit{};
  ASSERT_TRUE(worldRaycast(&s->world, V3(0, 300, -150), V3(0, -300, -150), &hit));
  EXPECT_NEAR(hit.worldPoint.y, worldHeightAt(s->worldMap, 0, -150), 0.05);
}

}  // namespace
}  // namespace worldapp
