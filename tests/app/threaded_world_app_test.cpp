// The world's glue beside the running physics thread (ThreadSanitizer in CI):
// strokes, undo and redo, streaming and frames change the height field, its
// borrowed heightmap and the world's bodies while the thread steps.
#include "world_fixture.h"

namespace worldapp {
namespace {

TEST_F(WorldApp, StrokesUndoAndFramesBesideTheRunningPhysicsThread) {
  // A small world: the glue is what is under test, not the size.
  const std::string path = file("busy.qel");
  WorldMap* made = worldCreate();
  WorldMeta meta = worldDefaultMeta(129, 129, 1.0f, 32.0f, 64.0f);
  ASSERT_TRUE(worldNew(made, path.c_str(), &meta));
  worldClose(made);
  ASSERT_TRUE(loadWorld(s, path.c_str()));
  WorldEntityDef rock{};
  rock.boundingRadius = 1.0f;
  const u32 kind = worldCatalogAdd(s->worldMap, &rock);
  physicsStart(s);
  ASSERT_NE(s->world.thread, nullptr);
  key(InputKeyF1);
  s->terrainTool = 2;
  s->terrainBrushStrength = 2.0f;
  // A fixed number of rounds: under ThreadSanitizer each takes far longer.
  for (u32 strokes = 0; strokes < 8; strokes++) {
    const f64 z = -50.0 + 8.0 * (strokes % 5);
    drag(V3(-20, 0, z), V3(20, 0, z), 3);
    worldEditorPlace(&s->worldEditor, kind, v3f{(f32)(strokes % 7) * 5.0f, 1, -30, 0}, 0, 1);
    if (strokes % 3 == 2) key(InputKeyZ, InputModCtrl);
    if (strokes % 4 == 3) key(InputKeyX, InputModCtrl);
    // A frame without a device: streaming, the snapshot pin and release.
    EXPECT_FALSE(renderFrame(s, 1.0 / 60.0));
  }
  EXPECT_TRUE(s->world.thread != nullptr);
  physicsStop(s);
  // Heights the physics sees are the map's.
  RaycastHit hit{};
  ASSERT_TRUE(worldRaycast(&s->world, V3(0, 300, -50), V3(0, -300, -50), &hit));
  EXPECT_GT(hit.worldPoint.y, 0.5);
  EXPECT_NEAR(hit.worldPoint.y, worldHeightAt(s->worldMap, 0, -50), 0.05);
}

}  // namespace
}  // namespace worldapp
