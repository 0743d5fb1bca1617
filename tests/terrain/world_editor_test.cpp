#include <algorithm>
#include <cmath>
#include <set>

#include "terrain/editor_fixture.h"

using namespace worldtest;

namespace {

const f32 kQ = 100.0f / 32767.0f;  // metres per height step of the small world

i16 q(f32 metres) { return (i16)std::lround(metres / kQ); }

TEST_F(EditorTest, HeldRaiseDabIsNotCumulativeAndFlattenIsExact) {
  for (int i = 0; i < 10; i++)
    EXPECT_EQ(worldEditorApplyHeightBrush(&we, P(0, 0, 0), 6, 5, WORLD_EDITOR_HEIGHT_BRUSH_RAISE, 0), i == 0);
  EXPECT_EQ(sample(16, 16), q(5));                      // centre: strength x 1
  EXPECT_EQ(sample(17, 16), q(5 * (1 - 2.0f / 6)));     // 2 m out
  EXPECT_EQ(sample(19, 16), 0) << "outside the radius"; // 6 m out: falloff 0
  worldEditorEndHeightStroke(&we);
  EXPECT_EQ(wm->undoCount, 1u) << "one stroke is one command";
  // Flatten with strength x falloff >= 1 lands exactly on the target.
  EXPECT_TRUE(worldEditorApplyHeightBrush(&we, P(0, 0, 0), 4, 50, WORLD_EDITOR_HEIGHT_BRUSH_FLATTEN, -12.3f));
  EXPECT_EQ(sample(16, 16), q(-12.3f));
  EXPECT_EQ(sample(17, 16), q(-12.3f));  // f = 0.5, strength 50
  worldEditorEndHeightStroke(&we);
  // Smooth pulls a spike toward the mean of its 3 x 3 neighbourhood.
  std::vector<i16> flat(33 * 33, 0);
  flat[10 * 33 + 10] = 9000;
  worldTerrainPaint(wm, 0, 0, 33, 33, flat.data());
  EXPECT_TRUE(worldEditorApplyHeightBrush(&we, P(-12, 0, -12), 1, 1, WORLD_EDITOR_HEIGHT_BRUSH_SMOOTH, 0));
  EXPECT_NEAR(sample(10, 10), 9000 / 9.0, 1.0);
  worldEditorEndHeightStroke(&we);
}

TEST_F(EditorTest, BrushArgumentsOutOfRangeChangeNothing) {
  const struct {
    v3f c;
    f32 radius, strength;
    u32 brush;
  } cases[] = {
      {P(0, 0, 0), 0, 1, 0},        {P(0, 0, 0), 5, 0, 0},         {P(0, 0, 0), -5, 1, 0},
      {P(0, 0, 0), NAN, 1, 0},      {P(0, 0, 0), 5, INFINITY, 0},  {P(500, 0, 500), 5, 1, 0},
      {P(NAN, 0, 0), 5, 1, 0},      {P(0, 0, 0), 5, 1, 9},
  };
  std::vector<i16> before = heights();
  for (const auto& c : cases)
    EXPECT_FALSE(worldEditorApplyHeightBrush(&we, c.c, c.radius, c.strength, (WorldEditorHeightBrush)c.brush, 0));
  EXPECT_FALSE(worldEditorApplySplatBrush(&we, P(0, 0, 0), 5, 1, 4));
  EXPECT_TRUE(heights() == before);
  u32 undo = wm->undoCount;
  worldEditorEndStrokes(&we);
  EXPECT_EQ(wm->undoCount, undo) << "a stroke that touched nothing records nothing";
}

TEST_F(EditorTest, SplatBrushSaturatesWithinAStroke) {
  const u8* texel = wm->splatmap + (16 * 33 + 16) * 4;
  EXPECT_TRUE(worldEditorApplySplatBrush(&we, P(0, 0, 0), 4, 0.3f, 2));
  u8 first = texel[2];
  EXPECT_EQ(first, (u8)std::lround(0.3 * 255));
  for (int i = 0; i < 40; i++) worldEditorApplySplatBrush(&we, P(0, 0, 0), 4, 0.3f, 2);
  EXPECT_EQ(texel[0], 0);
  EXPECT_EQ(texel[2], 255);
  worldEditorEndSplatStroke(&we);
  ASSERT_TRUE(worldEditorUndo(&we));
  EXPECT_EQ(texel[0], 255);
  EXPECT_EQ(texel[2], 0);
}

TEST_F(EditorTest, OneUndoPerStrokeAndUndoMidStroke) {
  std::vector<i16> start = heights();
  u32 undo = wm->undoCount;
  const WorldEditorHeightBrush brushes[] = {WORLD_EDITOR_HEIGHT_BRUSH_RAISE, WORLD_EDITOR_HEIGHT_BRUSH_PERLIN,
                                            WORLD_EDITOR_HEIGHT_BRUSH_SMOOTH, WORLD_EDITOR_HEIGHT_BRUSH_FLATTEN};
  int k = 0;
  for (f32 x = -30; x <= 30; x += 3, k++)
    worldEditorApplyHeightBrush(&we, P(x, 0, x * 0.5f), 5, 20, brushes[k % 4], 7);
  std::vector<i16> stroked = heights();
  EXPECT_FALSE(stroked == start);
  worldEditorEndHeightStroke(&we);
  EXPECT_EQ(wm->undoCount, undo + 1);
  EXPECT_TRUE(heights() == stroked);
  ASSERT_TRUE(worldEditorUndo(&we));
  EXPECT_TRUE(heights() == start);
  ASSERT_TRUE(worldEditorRedo(&we));
  EXPECT_TRUE(heights() == stroked);
  // Undo in the middle of a stroke ends the stroke first and undoes all of it.
  worldEditorApplyHeightBrush(&we, P(10, 0, 10), 6, 30, WORLD_EDITOR_HEIGHT_BRUSH_RAISE, 0);
  EXPECT_TRUE(we.heightStrokeActive);
  ASSERT_TRUE(worldEditorUndo(&we));
  EXPECT_FALSE(we.heightStrokeActive);
  EXPECT_TRUE(heights() == stroked);
  ASSERT_TRUE(worldEditorRedo(&we));
  EXPECT_EQ(sample(21, 21), q(30));
  // Saved strokes reopen as they were.
  ASSERT_TRUE(worldSave(wm));
  std::vector<i16> saved = heights();
  worldEditorShutdown(&we);
  worldClose(wm);
  wm = worldCreate();
  ASSERT_TRUE(worldOpen(wm, path.c_str()));
  EXPECT_TRUE(heights() == saved);
  worldEditorInit(&we, wm, nullptr, &ecs, phys);
}

TEST_F(EditorTest, RayHitsTheHeightFieldAtTheMapsHeightAfterStrokesAndUndo) {
  ASSERT_GE(worldEditorCreateHeightfieldBody(&we), 0);
  auto probe = [&](const char* when) {
    SCOPED_TRACE(when);
    // On samples, where the field's triangles and the map's bilinear lookup agree.
    for (f32 x = -30; x <= 30; x += 6)
      for (f32 z = -30; z <= 30; z += 4) {
        RaycastHit hit{};
        ASSERT_TRUE(worldRaycast(phys, V3(x, 500, z), V3(x, -500, z), &hit)) << x << "," << z;
        EXPECT_EQ(hit.bodyId, we.heightfieldBodyId);
        EXPECT_NEAR(hit.worldPoint.y, worldHeightAt(wm, x, z), 0.02) << x << "," << z;
      }
  };
  probe("flat");
  worldEditorApplyHeightBrush(&we, P(-10, 0, -10), 12, 60, WORLD_EDITOR_HEIGHT_BRUSH_RAISE, 0);
  probe("mid-stroke: the box widened by the dab");
  worldEditorApplyHeightBrush(&we, P(15, 0, 10), 10, 40, WORLD_EDITOR_HEIGHT_BRUSH_FLATTEN, -40);
  worldEditorEndHeightStroke(&we);
  probe("after the stroke");
  worldEditorApplyHeightBrush(&we, P(0, 0, 20), 9, 30, WORLD_EDITOR_HEIGHT_BRUSH_PERLIN, 0);
  worldEditorEndHeightStroke(&we);
  ASSERT_TRUE(worldEditorUndo(&we));
  probe("after undo");
  ASSERT_TRUE(worldEditorUndo(&we));
  probe("after the second undo");
  RaycastHit hit{};
  ASSERT_TRUE(worldRaycast(phys, V3(-10, 500, -10), V3(-10, -500, -10), &hit));
  EXPECT_NEAR(hit.worldPoint.y, 0.0, 1e-6);
}

TEST_F(EditorTest, StreamingKeepsTheSquareAroundThePoint) {
  const struct {
    f32 x, z, r;
    std::set<std::pair<u32, u32>> tiles;
  } cases[] = {
      {-24, -24, 4, {{0, 0}}},                      // inside one tile
      {-17, -24, 4, {{0, 0}, {1, 0}}},              // square crosses the border at -16
      {-16, -16, 1, {{0, 0}, {1, 0}, {0, 1}, {1, 1}}},
      {-500, -500, 10, {}},                         // outside the world: nothing
      {-500, -24, 475, {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}}},  // reaches in from outside
      {0, 0, 1000, {}},                             // filled below
  };
  for (const auto& c : cases) {
    worldEditorUpdateStreaming(&we, c.x, c.z, c.r);
    std::set<std::pair<u32, u32>> loaded;
    for (u32 y = 0; y < 5; y++)
      for (u32 x = 0; x < 5; x++)
        if (worldTileIsLoaded(wm, x, y)) loaded.insert({x, y});
    if (c.r < 1000) EXPECT_EQ(loaded, c.tiles) << c.x << "," << c.z << " r " << c.r;
    else EXPECT_EQ(loaded.size(), 25u);
  }
}

TEST_F(EditorTest, DeleteAndCrossTileMoveKeepLiveEntitiesOnTheirInstances) {
  worldEditorUpdateStreaming(&we, 0, 0, 1000);
  for (int i = 0; i < 4; i++) ASSERT_EQ(worldEditorPlace(&we, 0, P(-30 + 3.0f * i, 0, -30), 0, 1), (u32)i);
  ASSERT_EQ(worldEditorPlace(&we, 0, P(5, 0, 5), 0, 1), 0u);
  ASSERT_EQ(we.liveCount, 5u);
  expectLiveMatchesMap();
  auto select = [&](f32 x) {
    for (u32 i = 0; i < we.liveCount; i++) {
      Body* b = worldGetBody(phys, we.liveEntities[i].bodyId);
      if (b->position.x == x) return worldEditorSelectFromBody(&we, we.liveEntities[i].bodyId);
    }
    return -1;
  };
  // Delete the first of tile (0, 0): its last instance fills the slot.
  ASSERT_GE(select(-30), 0);
  worldEditorDeleteSelected(&we);
  EXPECT_EQ(we.liveCount, 4u);
  EXPECT_EQ(worldEditorGetSelected(&we), nullptr);
  expectLiveMatchesMap();
  // Move the (new) first one of tile (0, 0) into tile (2, 2), then rotate the one that
  // was last in the old tile: its own instance turns.
  ASSERT_GE(select(-21), 0);  // now at index 0
  worldEditorApplyMove(&we, P(7, 1, 7));
  expectLiveMatchesMap();
  ASSERT_GE(select(-24), 0);  // was last of (0, 0), now at index 0
  worldEditorApplyRotate(&we, 1.25f);
  u32 n = 0;
  WorldEntityInst* t00 = worldTileEntities(wm, 0, 0, &n);
  ASSERT_EQ(n, 2u);
  for (u32 i = 0; i < n; i++) EXPECT_EQ(t00[i].rotation, t00[i].pos[0] == -24 ? 1.25f : 0.0f);
  worldEditorApplyScale(&we, 3);
  Body* b = worldGetBody(phys, worldEditorGetSelected(&we)->bodyId);
  EXPECT_EQ(reinterpret_cast<SphereShape*>(b->shape)->radius, 4.5);  // 3 x 1.5
  // Undo everything and redo it: the live scene follows the map each time.
  while (worldCanUndo(wm)) {
    ASSERT_TRUE(worldEditorUndo(&we));
    expectLiveMatchesMap();
  }
  EXPECT_EQ(we.liveCount, 0u);
  while (worldCanRedo(wm)) {
    ASSERT_TRUE(worldEditorRedo(&we));
    expectLiveMatchesMap();
  }
  EXPECT_EQ(we.liveCount, 4u);
}

TEST_F(EditorTest, MoveIntoAnUnloadedTileBringsItsEntitiesAlong) {
  worldEditorUpdateStreaming(&we, 10, 10, 1000);
  ASSERT_EQ(worldEditorPlace(&we, 0, P(25, 0, 25), 0, 1), 0u);  // tile (3, 3)
  ASSERT_EQ(worldEditorPlace(&we, 0, P(-25, 0, -25), 0, 1), 0u);
  ASSERT_TRUE(worldSave(wm));
  worldEditorUpdateStreaming(&we, -24, -24, 2);  // only tile (0, 0) stays
  ASSERT_EQ(we.liveCount, 1u);
  worldEditorSelectFromBody(&we, we.liveEntities[0].bodyId);
  worldEditorApplyMove(&we, P(26, 0, 26));
  EXPECT_EQ(we.liveCount, 2u);
  expectLiveMatchesMap();
  // Off the grid: refused, nothing moves.
  worldEditorApplyMove(&we, P(900, 0, 26));
  expectLiveMatchesMap();
  EXPECT_EQ(worldEditorGetSelected(&we)->tileX, 3u);
}

TEST_F(EditorTest, TileMaterialSlots) {
  EXPECT_TRUE(worldEditorSetTerrainTileMaterial(&we, 1, 2, 3, 7));
  EXPECT_EQ(worldTileMaterialIds(wm, 1, 2)[3], 7);
  EXPECT_EQ(worldTileMaterialIds(wm, 1, 2)[0], 1);
  EXPECT_FALSE(worldEditorSetTerrainTileMaterial(&we, 1, 2, 4, 7));
  EXPECT_FALSE(worldEditorSetTerrainTileMaterial(&we, 5, 0, 0, 7));
}

}  // namespace
