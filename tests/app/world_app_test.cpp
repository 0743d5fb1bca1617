// The terrain world in the program, without a device: "New World", opening bad
// files, strokes under the pointer with Ctrl+S, Ctrl+Z and Ctrl+X, resets and
// Delete with a world open.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "world_fixture.h"

namespace worldapp {
namespace {

const HeightFieldShape* heightfieldOf(State* s) {
  const Body* b = worldGetBody(&s->world, s->heightfieldBodyId);
  if (!b || !b->shape || b->shape->type != SHAPE_HEIGHTFIELD) return nullptr;
  return reinterpret_cast<const HeightFieldShape*>(b->shape);
}

// The terrain height under (x, z) as a physics ray from above finds it.
f64 rayHeight(State* s, f64 x, f64 z) {
  RaycastHit hit{};
  if (!worldRaycast(&s->world, V3(x, 400, z), V3(x, -400, z), &hit)) return -1000.0;
  return hit.worldPoint.y;
}

i64 fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (i64)st.st_size : -1;
}

TEST_F(WorldApp, NewWorldOpensAtOnceAndRefusesAnExistingFile) {
  const std::string path = file("new.qel");
  ASSERT_TRUE(newWorld(s, path.c_str()));
  ASSERT_TRUE(s->worldLoaded);
  const WorldMeta& m = s->worldMap->meta;
  EXPECT_EQ(m.heightmapW, 1025u);
  EXPECT_EQ(m.heightmapH, 1025u);
  EXPECT_EQ(m.cellSize, 1.0f);
  EXPECT_EQ(m.tileSize, 64.0f);
  EXPECT_EQ(m.boundsMin[0], -512.0f);
  EXPECT_EQ(m.boundsMax[2], 512.0f);
  // The physics height field borrows the map's heightmap.
  const HeightFieldShape* hf = heightfieldOf(s);
  ASSERT_NE(hf, nullptr);
  EXPECT_EQ(hf->heights, s->worldMap->heightmap);
  EXPECT_NEAR(rayHeight(s, 0.5, -150.5), 0.0, 1e-6);

  const i64 size = fileSize(path);
  WorldMap* before = s->worldMap;
  EXPECT_FALSE(newWorld(s, path.c_str()));
  EXPECT_EQ(fileSize(path), size);
  EXPECT_EQ(s->worldMap, before);  // the open world stays
}

TEST_F(WorldApp, ABadFileKeepsTheOpenWorldAndAMissingOneIsNotCreated) {
  const std::string good = file("good.qel"), bad = file("bad.qel"), missing = file("missing.qel");
  ASSERT_TRUE(newWorld(s, good.c_str()));
  std::ofstream(bad) << "not a world store at all";
  WorldMap* open = s->worldMap;
  const i32 body = s->heightfieldBodyId;
  EXPECT_FALSE(loadWorld(s, bad.c_str()));
  EXPECT_FALSE(loadWorld(s, missing.c_str()));
  EXPECT_EQ(fileSize(missing), -1);
  ASSERT_TRUE(s->worldLoaded);
  EXPECT_EQ(s->worldMap, open);
  EXPECT_EQ(s->heightfieldBodyId, body);
  EXPECT_NEAR(rayHeight(s, 3, -200), 0.0, 1e-6);
  // The open file itself opens again (its store lock is let go first).
  EXPECT_TRUE(loadWorld(s, good.c_str()));
  EXPECT_NE(heightfieldOf(s), nullptr);
}

TEST_F(WorldApp, AStrokeUnderThePointerIsSavedUndoneAndRedone) {
  const std::string path = file("hill.qel");
  ASSERT_TRUE(newWorld(s, path.c_str()));
  // Straight down: a rising hill does not pull the point under the pointer aside.
  Camera top = CameraCreateFull(V3(0, 300, -140), V3(0, 0, -140), V3(0, 0, -1), 1.0, (f64)kW / kH, 0.1, 1000.0);
  localPlayerInit(&s->player, &top, 0);
  key(InputKeyF1);
  ASSERT_TRUE(s->editMode);
  s->terrainTool = 2;
  s->terrainBrushStrength = 4.0f;
  drag(V3(-10, 0, -150), V3(10, 0, -150));
  EXPECT_FALSE(s->terrainStrokeActive);
  EXPECT_EQ(s->worldMap->undoCount, 1u);  // one step for the whole stroke
  // Raising only: later dabs of the stroke never lower what earlier ones raised.
  const f32 hill = worldHeightAt(s->worldMap, 0, -150);
  EXPECT_GT(hill, 3.5f);
  EXPECT_GT(worldHeightAt(s->worldMap, -6.5f, -150), 3.5f);
  EXPECT_NEAR(rayHeight(s, 0, -150), hill, 0.05);  // the height field follows
  EXPECT_NEAR(worldHeightAt(s->worldMap, 0, -100), 0.0f, 1e-6f);

  key(InputKeyS, InputModCtrl);
  EXPECT_FALSE(s->worldMap->dirty);
  key(InputKeyZ, InputModCtrl);
  EXPECT_NEAR(worldHeightAt(s->worldMap, 0, -150), 0.0f, 1e-6f);
  EXPECT_NEAR(rayHeight(s, 0, -150), 0.0, 0.05);
  key(InputKeyX, InputModCtrl);
  EXPECT_EQ(worldHeightAt(s->worldMap, 0, -150), hill);

  // A second hill, not saved, is gone when the world is opened again.
  drag(V3(-60, 0, -120), V3(-50, 0, -120));
  EXPECT_GT(worldHeightAt(s->worldMap, -55, -120), 3.0f);
  closeWorld(s);
  EXPECT_FALSE(s->worldLoaded);
  EXPECT_EQ(s->heightfieldBodyId, -1);
  ASSERT_TRUE(loadWorld(s, path.c_str()));
  EXPECT_EQ(worldHeightAt(s->worldMap, 0, -150), hill);
  EXPECT_NEAR(worldHeightAt(s->worldMap, -55, -120), 0.0f, 1e-6f);
}

TEST_F(WorldApp, ResetKeepsTheWorldsBodiesAndDeleteRemovesTheSelection) {
  ASSERT_TRUE(newWorld(s, file("things.qel").c_str()));
  WorldEntityDef rock{};
  std::snprintf(rock.name, sizeof rock.name, "rock");
  rock.defaultScale = 1.0f;
  rock.boundingRadius = 2.0f;
  const u32 kind = worldCatalogAdd(s->worldMap, &rock);
  ASSERT_NE(worldEditorPlace(&s->worldEditor, kind, v3f{-60, 2, -150, 0}, 0, 1), kWorldNoIndex);
  ASSERT_EQ(s->worldEditor.liveCount, 1u);

  key(InputKeyR);  // the demo scene again, the world's bodies with it
  ASSERT_EQ(s->worldEditor.liveCount, 1u);
  const WorldLiveEntity& le = s->worldEditor.liveEntities[0];
  const Body* b = worldGetBody(&s->world, le.bodyId);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->position.x, -60.0);
  EXPECT_EQ(b->position.z, -150.0);
  EXPECT_EQ(ecsReverseGet(&s->ecs, ECS_SYS_PHYSICS_BODY, (u32)le.bodyId), le.ecsEntity);
  const HeightFieldShape* hf = heightfieldOf(s);
  ASSERT_NE(hf, nullptr);
  EXPECT_EQ(hf->heights, s->worldMap->heightmap);
  EXPECT_NEAR(rayHeight(s, 100, -200), 0.0, 1e-6);

  // Picked in edit mode, then deleted: gone from the scene and from the map.
  key(InputKeyF1);
  i32 x = 0, y = 0;
  pixelOf(V3(-60, 2, -150), &x, &y);
  move(x, y);
  button(true);
  button(false);
  ASSERT_NE(s->selectedEntity, 0u);
  ASSERT_GE(s->worldEditor.selectedLive, 0);
  key(InputKeyDelete);
  EXPECT_EQ(s->selectedEntity, 0u);
  EXPECT_EQ(s->worldEditor.liveCount, 0u);
  u32 tx, ty, n = 0;
  worldPosToTile(s->worldMap, -60, -150, &tx, &ty);
  worldTileEntities(s->worldMap, tx, ty, &n);
  EXPECT_EQ(n, 0u);
  key(InputKeyZ, InputModCtrl);  // and back
  EXPECT_EQ(s->worldEditor.liveCount, 1u);
}

}  // namespace
}  // namespace worldapp
