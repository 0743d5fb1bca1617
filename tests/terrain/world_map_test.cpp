#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <limits>

#include "terrain/world_fixture.h"

using namespace storetest;
using namespace worldtest;

namespace {

class WorldMapTest : public StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    wm = worldCreate();
    ASSERT_NE(wm, nullptr);
  }
  void TearDown() override {
    worldClose(wm);
    StoreDir::TearDown();
  }
  // A new world with two kinds and instances on three tiles.
  void makeWorld() {
    WorldMeta m = smallMeta();
    ASSERT_TRUE(worldNew(wm, path.c_str(), &m));
    WorldEntityDef rock = def("rock", "asset/rock.gltf", 1.5f), tree = def("tree", "asset/tree.gltf", 3);
    ASSERT_EQ(worldCatalogAdd(wm, &rock), 0u);
    ASSERT_EQ(worldCatalogAdd(wm, &tree), 1u);
    ASSERT_EQ(worldEntityPlace(wm, 0, P(-30, 1, -30), 0.5f, 1), 0u);
    ASSERT_EQ(worldEntityPlace(wm, 1, P(-20, 2, -25), 0, 2), 1u);
    ASSERT_EQ(worldEntityPlace(wm, 0, P(-18, 3, -19), 1, 1), 2u);  // tile (0, 0), third
    ASSERT_EQ(worldEntityPlace(wm, 1, P(5, 0, 5), 0, 1), 0u);       // tile (2, 2)
    ASSERT_EQ(worldEntityPlace(wm, 0, P(20, 0, -30), 0, 1), 0u);    // tile (3, 0)
    ASSERT_TRUE(worldSave(wm));
    // Start each case from an empty history.
    while (worldCanUndo(wm)) wm->undoCount--;
  }
  void reopen() {
    worldClose(wm);
    wm = worldCreate();
    ASSERT_TRUE(worldOpen(wm, path.c_str()));
  }
  void unloadAll() {
    u32 gx, gy;
    worldTileGrid(wm, &gx, &gy);
    for (u32 y = 0; y < gy; y++)
      for (u32 x = 0; x < gx; x++) worldTileUnload(wm, x, y);
  }
  WorldMap* wm = nullptr;
};

struct EditCase {
  const char* name;
  std::function<void(WorldMap*)> edit;
};

std::vector<EditCase> editCases() {
  return {
      {"place", [](WorldMap* w) { EXPECT_EQ(worldEntityPlace(w, 1, P(-25, 7, -27), 0.25f, 3), 3u); }},
      {"delete middle", [](WorldMap* w) { worldEntityDelete(w, 0, 0, 1); }},
      {"delete last", [](WorldMap* w) { worldEntityDelete(w, 0, 0, 2); }},
      {"move within tile", [](WorldMap* w) { EXPECT_TRUE(worldEntityMove(w, 0, 0, 0, P(-29, 1, -29))); }},
      {"move across tiles", [](WorldMap* w) { EXPECT_TRUE(worldEntityMove(w, 0, 0, 0, P(10, 1, 10))); }},
      {"rotate", [](WorldMap* w) { worldEntityRotate(w, 0, 0, 1, 2.5f); }},
      {"scale", [](WorldMap* w) { worldEntityScale(w, 2, 2, 0, 4); }},
      {"modify",
       [](WorldMap* w) {
         WorldEntityInst i{1, {0, 0, 0}, 3, 5, 0xFF00FF00u, 7};
         worldEntityModify(w, 3, 0, 0, &i);
       }},
      {"terrain",
       [](WorldMap* w) {
         std::vector<i16> h(5 * 4);
         for (size_t i = 0; i < h.size(); i++) h[i] = (i16)(100 * i + 1);
         worldTerrainPaint(w, 30, 3, 5, 4, h.data());  // clipped to 3 columns
       }},
      {"paint",
       [](WorldMap* w) {
         std::vector<u8> s(3 * 2 * 4);
         for (size_t i = 0; i < s.size(); i++) s[i] = (u8)(i * 9);
         worldSplatPaint(w, 0, 31, 3, 2, s.data());
       }},
  };
}

enum class Between { Nothing, StreamOutAndBack, Save, SaveAndReopenTilesOnly };

TEST_F(WorldMapTest, EveryCommandUndoesAndRedoesAlsoAfterStreamingAndSaving) {
  const struct {
    const char* name;
    Between between;
  } variants[] = {{"in memory", Between::Nothing},
                  {"tiles streamed out between", Between::StreamOutAndBack},
                  {"saved between", Between::Save}};
  for (const auto& v : variants) {
    for (const EditCase& c : editCases()) {
      SCOPED_TRACE(std::string(v.name) + ": " + c.name);
      worldClose(wm);
      wm = worldCreate();
      std::remove(path.c_str());
      makeWorld();
      auto between = [&] {
        if (v.between == Between::StreamOutAndBack) unloadAll();
        if (v.between == Between::Save) {
          ASSERT_TRUE(worldSave(wm));
          unloadAll();
        }
      };
      Picture before = picture(wm);
      c.edit(wm);
      ASSERT_TRUE(worldCanUndo(wm));
      EXPECT_TRUE(wm->dirty);
      Picture after = picture(wm);
      between();
      ASSERT_TRUE(worldUndo(wm));
      expectSame(picture(wm), before, "undone");
      between();
      ASSERT_TRUE(worldRedo(wm));
      expectSame(picture(wm), after, "redone");
      between();
      ASSERT_TRUE(worldUndo(wm));
      expectSame(picture(wm), before, "undone again");
      // What was saved last is what a reopened world holds.
      ASSERT_TRUE(worldSave(wm));
      reopen();
      expectSame(picture(wm), before, "reopened");
    }
  }
}

TEST_F(WorldMapTest, SavedWorldReopensEqual) {
  makeWorld();
  wm->env.sunDir[1] = -1;
  wm->env.waterColor = 0x11223344;
  WorldTerrainMaterial mat{};
  std::snprintf(mat.albedoPath, sizeof mat.albedoPath, "asset/grass.ktx2");
  mat.uvScale = 8;
  ASSERT_EQ(worldMaterialAdd(wm, &mat), 0u);
  u8 ids[4] = {1, 1, 0, 0};
  ASSERT_TRUE(worldSetTileMaterialIds(wm, 2, 3, ids));
  EXPECT_FALSE(worldSetTileMaterialIds(wm, 5, 0, ids));
  std::vector<i16> h(33 * 33);
  for (size_t i = 0; i < h.size(); i++) h[i] = (i16)((i * 37) % 65535 - 32767);
  worldTerrainPaint(wm, 0, 0, 33, 33, h.data());
  EXPECT_TRUE(worldEntityMove(wm, 0, 0, 1, P(31, 0, 31)));  // into the last tile row/column
  Picture saved = picture(wm);
  ASSERT_TRUE(worldSave(wm));
  EXPECT_FALSE(wm->dirty);
  reopen();
  EXPECT_FALSE(worldTileIsLoaded(wm, 0, 0)) << "no tile is loaded by an open";
  expectSame(picture(wm), saved, "reopened");
  EXPECT_EQ(worldHeightAt(wm, -32, -32), h[0] * (100.0f / 32767.0f));
}

TEST_F(WorldMapTest, TileMappingEdgeCases) {
  makeWorld();
  const struct {
    f32 x, z;
    u32 tx, ty;
  } cases[] = {
      {-32, -32, 0, 0},       // at the minimum
      {-1000, -32, 0, 0},     // below: clamped to 0
      {-16.001f, -16, 0, 1},  // just before a border, on a border
      {32, 32, 4, 4},         // the maximum lies in the last tile
      {1000, 0, 64, 2},       // far beyond: outside the grid, not clamped
  };
  for (const auto& c : cases) {
    u32 tx, ty;
    worldPosToTile(wm, c.x, c.z, &tx, &ty);
    EXPECT_EQ(tx, c.tx) << c.x;
    EXPECT_EQ(ty, c.ty) << c.z;
  }
  EXPECT_TRUE(worldTileLoad(wm, 64, 2));
  EXPECT_TRUE(worldTileIsLoaded(wm, 64, 2));
  EXPECT_EQ(worldTileMaterialIds(wm, 64, 2), nullptr);
  // Positions off the grid or not finite are refused: streaming would never load them.
  const f32 nan = std::numeric_limits<f32>::quiet_NaN(), inf = std::numeric_limits<f32>::infinity();
  const v3f bad[] = {P(1000, 0, 0), P(0, 0, 1000), P(-33, 0, 0), P(nan, 0, 0), P(0, inf, 0), P(0, 0, -inf)};
  u32 undo = wm->undoCount;
  for (const v3f& p : bad) {
    EXPECT_EQ(worldEntityPlace(wm, 0, p, 0, 1), kWorldNoIndex) << p.x << " " << p.y << " " << p.z;
    EXPECT_FALSE(worldEntityMove(wm, 0, 0, 0, p));
  }
  EXPECT_EQ(wm->undoCount, undo);
}

TEST_F(WorldMapTest, HeightLookupEdgeCases) {
  WorldMeta m = smallMeta();
  ASSERT_TRUE(worldNew(wm, path.c_str(), &m));
  std::vector<i16> h(33 * 33);
  for (u32 z = 0; z < 33; z++)
    for (u32 x = 0; x < 33; x++) h[z * 33 + x] = (i16)(x * 100 + z * 7);
  worldTerrainPaint(wm, 0, 0, 33, 33, h.data());
  const f32 k = 100.0f / 32767.0f;
  auto sample = [&](u32 x, u32 z) { return (f32)h[z * 33 + x] * k; };
  EXPECT_FLOAT_EQ(worldHeightAt(wm, 32, 32), sample(32, 32));        // last sample exactly
  EXPECT_FLOAT_EQ(worldHeightAt(wm, 500, 500), sample(32, 32));      // beyond: the edge value
  EXPECT_FLOAT_EQ(worldHeightAt(wm, -500, -32), sample(0, 0));       // before the first
  EXPECT_FLOAT_EQ(worldHeightAt(wm, -31, -32), (sample(0, 0) + sample(1, 0)) / 2);  // halfway
  EXPECT_NEAR(worldHeightAt(wm, -31, -31), (sample(0, 0) + sample(1, 0) + sample(0, 1) + sample(1, 1)) / 4, 1e-4);
  WorldMap* empty = worldCreate();
  empty->meta.heightOffset = 12.5f;
  EXPECT_EQ(worldHeightAt(empty, 3, 4), 12.5f);
  worldClose(empty);
}

TEST_F(WorldMapTest, UndoOfDeleteRestoresTheSlotAndNewEditsClearRedo) {
  makeWorld();
  u32 n = 0;
  WorldEntityInst second = worldTileEntities(wm, 0, 0, &n)[1];
  worldEntityDelete(wm, 0, 0, 1);
  ASSERT_TRUE(worldUndo(wm));
  EXPECT_TRUE(sameInst(worldTileEntities(wm, 0, 0, &n)[1], second));
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(worldCanRedo(wm));
  worldEntityRotate(wm, 0, 0, 0, 1);
  EXPECT_FALSE(worldCanRedo(wm));
  // Edits of unloaded tiles or missing indices record nothing.
  u32 undo = wm->undoCount;
  worldEntityDelete(wm, 0, 0, 3);
  worldEntityRotate(wm, 1, 1, 0, 1);
  worldTileUnload(wm, 2, 2);
  worldEntityScale(wm, 2, 2, 0, 2);
  EXPECT_EQ(wm->undoCount, undo);
}

TEST_F(WorldMapTest, EmptiedTileDeletesItsEntryOnSave) {
  makeWorld();
  worldEntityDelete(wm, 3, 0, 0);
  ASSERT_TRUE(worldSave(wm));
  EXPECT_FALSE(bs_contains(wm->store, "entities/3_0"));
  EXPECT_TRUE(bs_contains(wm->store, "entities/2_2"));
  reopen();
  u32 n = 7;
  worldTileLoad(wm, 3, 0);
  worldTileEntities(wm, 3, 0, &n);
  EXPECT_EQ(n, 0u);
}

// Unsaved edits never reach the file, not by streaming a tile out nor by closing.
TEST_F(WorldMapTest, OnlyASaveWrites) {
  makeWorld();
  Picture saved = picture(wm);
  EXPECT_EQ(worldEntityPlace(wm, 0, P(5, 0, 6), 0, 1), 1u);
  WorldEntityDef extra = def("extra", "asset/x.gltf", 1);
  worldCatalogAdd(wm, &extra);
  EXPECT_EQ(worldEntityPlace(wm, 2, P(-30, 0, 20), 0, 1), 0u);
  std::vector<i16> h(4, 999);
  worldTerrainPaint(wm, 1, 1, 2, 2, h.data());
  unloadAll();  // dirty tiles stream out
  // A dirty tile that streams back keeps its unsaved edit.
  u32 n = 0;
  ASSERT_TRUE(worldTileLoad(wm, 2, 2));
  worldTileEntities(wm, 2, 2, &n);
  EXPECT_EQ(n, 2u);
  Bytes file = readFile(path);
  reopen();
  expectSame(picture(wm), saved, "after close without save");
  EXPECT_EQ(wm->catalogCount, 2u);
  EXPECT_TRUE(readFile(path) == file) << "opening and closing changed the file";
}

TEST_F(WorldMapTest, StreamedOutEditsAreWrittenByTheNextSave) {
  makeWorld();
  EXPECT_EQ(worldEntityPlace(wm, 0, P(5, 0, 6), 0, 1), 1u);
  worldTileUnload(wm, 2, 2);
  EXPECT_FALSE(worldTileIsLoaded(wm, 2, 2));
  u32 n = 9;
  EXPECT_EQ(worldTileEntities(wm, 2, 2, &n), nullptr);
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(worldSave(wm));
  EXPECT_EQ(wm->tileCount, 2u) << "the streamed-out tile is released once saved";
  reopen();
  worldTileLoad(wm, 2, 2);
  worldTileEntities(wm, 2, 2, &n);
  EXPECT_EQ(n, 2u);
}

// A save is on disk when it returns: a process killed right after keeps everything.
TEST_F(WorldMapTest, KilledRightAfterSaveKeepsTheSave) {
  makeWorld();
  worldClose(wm);
  wm = nullptr;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    WorldMap* w = worldCreate();
    if (!w || !worldOpen(w, path.c_str())) _exit(3);
    worldEntityPlace(w, 1, P(7, 1, 7), 0.5f, 2);
    std::vector<i16> h(33 * 33, 1234);
    worldTerrainPaint(w, 0, 0, 33, 33, h.data());
    std::vector<u8> s(4 * 4, 77);
    worldSplatPaint(w, 10, 10, 2, 2, s.data());
    WorldEntityDef d = def("late", "asset/late.gltf", 2);
    worldCatalogAdd(w, &d);
    if (!worldSave(w)) _exit(4);
    raise(SIGKILL);
    _exit(5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
  wm = worldCreate();
  ASSERT_TRUE(worldOpen(wm, path.c_str()));
  EXPECT_EQ(wm->catalogCount, 3u);
  EXPECT_STREQ(wm->catalog[2].name, "late");
  EXPECT_EQ(wm->heightmap[33 * 33 - 1], 1234);
  EXPECT_EQ(wm->splatmap[(11 * 33 + 11) * 4 + 3], 77);
  u32 n = 0;
  worldTileLoad(wm, 2, 2);
  WorldEntityInst* e = worldTileEntities(wm, 2, 2, &n);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(e[1].pos[0], 7.0f);
  EXPECT_EQ(e[1].scale, 2.0f);
}

TEST_F(WorldMapTest, NewRefusesExistingFilesAndBadMetas) {
  writeFile(path, Bytes{1, 2, 3});
  WorldMeta m = smallMeta();
  EXPECT_FALSE(worldNew(wm, path.c_str(), &m));
  EXPECT_TRUE(readFile(path) == (Bytes{1, 2, 3}));
  std::string fresh = file("fresh.qel");
  m.cellSize = 0;
  EXPECT_FALSE(worldNew(wm, fresh.c_str(), &m));
  EXPECT_FALSE(exists(fresh));
  // Tiles over 65536 vertices are refused where asked.
  WorldMeta big = smallMeta();
  big.heightmapW = big.heightmapH = 1025;
  big.cellSize = 1;
  big.tileSize = 256;
  char err[128];
  EXPECT_FALSE(worldMetaCheck(&big, 65536, err, sizeof err));
  big.tileSize = 64;
  EXPECT_TRUE(worldMetaCheck(&big, 65536, err, sizeof err)) << err;
}

// Damaged metas fail the open with a message and leave the file as it was.
TEST_F(WorldMapTest, DamagedMetasAreRefused) {
  const f32 nan = std::numeric_limits<f32>::quiet_NaN(), inf = std::numeric_limits<f32>::infinity();
  const struct {
    const char* what;
    std::function<void(WorldMeta&)> damage;
    size_t len;
  } cases[] = {
      {"wrong magic", [](WorldMeta& m) { m.magic = 0x12345678; }, 64},
      {"short meta", [](WorldMeta&) {}, 63},
      {"empty meta", [](WorldMeta&) {}, 0},
      {"NaN cell size", [&](WorldMeta& m) { m.cellSize = nan; }, 64},
      {"zero cell size", [](WorldMeta& m) { m.cellSize = 0; }, 64},
      {"negative cell size", [](WorldMeta& m) { m.cellSize = -2; }, 64},
      {"infinite tile size", [&](WorldMeta& m) { m.tileSize = inf; }, 64},
      {"zero tile size", [](WorldMeta& m) { m.tileSize = 0; }, 64},
      {"zero height scale", [](WorldMeta& m) { m.heightScale = 0; }, 64},
      {"one sample wide", [](WorldMeta& m) { m.heightmapW = 1; }, 64},
      {"no samples", [](WorldMeta& m) { m.heightmapH = 0; }, 64},
      {"overflowing samples", [](WorldMeta& m) { m.heightmapW = m.heightmapH = 0x80000000u; }, 64},
      {"overflowing tile grid", [](WorldMeta& m) { m.tileSize = 1e-30f; }, 64},
      {"infinite bounds", [&](WorldMeta& m) { m.boundsMax[0] = inf; }, 64},
      {"catalog count past the entries", [](WorldMeta& m) { m.catalogCount = 0xFFFFFFF0u; }, 64},
  };
  makeWorld();
  worldClose(wm);
  wm = nullptr;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bs_store* s = nullptr;
    bs_cfg cfg{};
    ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
    Bytes good = restore(s, "meta");
    ASSERT_EQ(good.size(), 64u);
    WorldMeta m;
    std::memcpy(&m, good.data(), 64);
    c.damage(m);
    ASSERT_EQ(bs_add_buffer(s, reinterpret_cast<const u8*>(&m), c.len, "meta"), BS_OK);
    ASSERT_EQ(bs_close(s), BS_OK);
    Bytes before = readFile(path);
    WorldMap* w = worldCreate();
    EXPECT_FALSE(worldOpen(w, path.c_str()));
    EXPECT_EQ(w->store, nullptr);
    worldClose(w);
    EXPECT_TRUE(readFile(path) == before);
    ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
    ASSERT_EQ(bs_add_buffer(s, good.data(), 64, "meta"), BS_OK);
    ASSERT_EQ(bs_close(s), BS_OK);
  }
  wm = worldCreate();
  EXPECT_TRUE(worldOpen(wm, path.c_str()));
}

TEST_F(WorldMapTest, MissingPathsAreRefusedNotCreated) {
  std::string missing = file("nowhere.qel");
  EXPECT_FALSE(worldOpen(wm, missing.c_str()));
  EXPECT_FALSE(exists(missing));
  EXPECT_FALSE(worldOpen(wm, dir.c_str()));  // a directory
  EXPECT_FALSE(worldSave(wm));
  writeFile(missing, Bytes{});
  EXPECT_FALSE(worldOpen(wm, missing.c_str())) << "an empty store has no meta";
}

// A missing or short catalog entry keeps its slot, so later kinds keep their instances.
TEST_F(WorldMapTest, MissingCatalogEntryKeepsItsSlot) {
  makeWorld();
  WorldEntityDef third = def("bush", "asset/bush.gltf", 1);
  worldCatalogAdd(wm, &third);
  ASSERT_TRUE(worldSave(wm));
  worldClose(wm);
  const char* damage[] = {"delete", "short"};
  for (const char* how : damage) {
    SCOPED_TRACE(how);
    bs_store* s = nullptr;
    bs_cfg cfg{};
    ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
    if (how[0] == 'd') ASSERT_EQ(bs_delete(s, "catalog/1"), BS_OK);
    else ASSERT_EQ(bs_add_buffer(s, reinterpret_cast<const u8*>("tree"), 4, "catalog/1"), BS_OK);
    ASSERT_EQ(bs_close(s), BS_OK);
    wm = worldCreate();
    ASSERT_TRUE(worldOpen(wm, path.c_str()));
    ASSERT_EQ(wm->catalogCount, 3u);
    EXPECT_STREQ(worldCatalogGet(wm, 0)->name, "rock");
    EXPECT_TRUE(worldCatalogGet(wm, 1)->flags & kWorldDefPlaceholder);
    EXPECT_EQ(worldCatalogGet(wm, 1)->meshPath[0], 0);
    EXPECT_STREQ(worldCatalogGet(wm, 2)->name, "bush");
    EXPECT_EQ(worldCatalogGet(wm, 2)->typeId, 2u);
    worldClose(wm);
  }
  wm = worldCreate();
}

// Entries that exist but do not read back fail the open (or the tile load): a default
// saved later would replace the data.
TEST_F(WorldMapTest, UnreadableEntriesAreNotReplaced) {
  makeWorld();
  worldClose(wm);
  wm = nullptr;
  const char* names[] = {"terrain/height", "entities/2_2", "catalog/1", "env"};
  Bytes original = readFile(path);
  for (const char* name : names) {
    SCOPED_TRACE(name);
    writeFile(path, original);
    // Incompressible bytes under the entry, then one of them flipped in the file.
    Bytes junk = noise(name[0] == 't' ? 33 * 33 * 2 : 4096, 11);
    bs_store* s = nullptr;
    bs_cfg cfg{};
    ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
    ASSERT_EQ(bs_add_buffer(s, junk.data(), junk.size(), name), BS_OK);
    ASSERT_EQ(bs_close(s), BS_OK);
    Bytes f = readFile(path);
    size_t at = std::search(f.begin(), f.end(), junk.begin() + 100, junk.begin() + 164) - f.begin();
    ASSERT_LT(at, f.size());
    f[at + 10] ^= 0x40;
    writeFile(path, f);
    WorldMap* w = worldCreate();
    if (name[0] == 'e' && name[1] == 'n' && name[2] == 't') {
      ASSERT_TRUE(worldOpen(w, path.c_str()));
      EXPECT_FALSE(worldTileLoad(w, 2, 2));
      EXPECT_FALSE(worldTileIsLoaded(w, 2, 2));
      EXPECT_EQ(worldEntityPlace(w, 0, P(5, 0, 5), 0, 1), kWorldNoIndex);
      EXPECT_TRUE(worldSave(w));
      EXPECT_TRUE(bs_contains(w->store, name)) << "the damaged entry is left for repair";
    } else {
      EXPECT_FALSE(worldOpen(w, path.c_str()));
    }
    worldClose(w);
  }
}

TEST_F(WorldMapTest, VisibilityCullsTilesAndInstances) {
  makeWorld();
  // Only x >= 0 is inside (plane x = 0), the other planes far away.
  v4 planes[6] = {{1, 0, 0, 0}, {-1, 0, 0, 1e6}, {0, 1, 0, 1e6}, {0, -1, 0, 1e6}, {0, 0, 1, 1e6}, {0, 0, -1, 1e6}};
  u32 gx, gy;
  worldTileGrid(wm, &gx, &gy);
  for (u32 y = 0; y < gy; y++)
    for (u32 x = 0; x < gx; x++) worldTileLoad(wm, x, y);
  std::vector<f32> xs;
  u32 n = worldQueryVisible(wm, planes, [](const WorldEntityInst* i, const WorldEntityDef*, void* u) {
    static_cast<std::vector<f32>*>(u)->push_back(i->pos[0]);
  }, &xs);
  EXPECT_EQ(n, 2u);
  std::sort(xs.begin(), xs.end());
  EXPECT_EQ(xs, (std::vector<f32>{5, 20}));
  // A sphere that reaches over the plane stays visible; an unknown kind always does.
  planes[0].w = -5.5;  // x >= 5.5
  EXPECT_EQ(worldQueryVisible(wm, planes, nullptr, nullptr), 2u) << "tree at x 5, radius 3";
  planes[0].w = -8.5;
  EXPECT_EQ(worldQueryVisible(wm, planes, nullptr, nullptr), 1u);
  worldEntityPlace(wm, 9, P(1, 0, 1), 0, 1);
  planes[0].w = -1.5;
  EXPECT_EQ(worldQueryVisible(wm, planes, nullptr, nullptr), 3u);
}

// The undo history keeps its terrain and paint buffers under a byte bound by dropping
// the oldest steps; the newest step stays even when it alone is larger.
TEST_F(WorldMapTest, UndoHistoryStaysWithinItsByteBound) {
  WorldMeta m = smallMeta();
  ASSERT_TRUE(worldNew(wm, path.c_str(), &m));
  const u64 step = 4ull * 10 * 10;  // old and new samples of a 10 x 10 terrain edit
  wm->historyByteLimit = 3 * step;
  std::vector<std::vector<i16>> states;
  for (int k = 0; k < 5; k++) {
    states.emplace_back(wm->heightmap, wm->heightmap + 33 * 33);
    std::vector<i16> h(100, (i16)(1000 * (k + 1)));
    worldTerrainPaint(wm, 2 + k, 2, 10, 10, h.data());
  }
  EXPECT_EQ(wm->undoCount, 3u);
  EXPECT_EQ(wm->historyBytes, 3 * step);
  while (worldUndo(wm)) {
  }
  EXPECT_TRUE(std::vector<i16>(wm->heightmap, wm->heightmap + 33 * 33) == states[2]) << "back to after the second edit";
  EXPECT_EQ(wm->historyBytes, 3 * step) << "redo steps count too";
  std::vector<i16> big(33 * 33, 5);
  worldTerrainPaint(wm, 0, 0, 33, 33, big.data());
  EXPECT_EQ(wm->redoCount, 0u);
  EXPECT_EQ(wm->undoCount, 1u);
  EXPECT_EQ(wm->historyBytes, 4ull * 33 * 33);
  ASSERT_TRUE(worldUndo(wm));
  EXPECT_TRUE(std::vector<i16>(wm->heightmap, wm->heightmap + 33 * 33) == states[2]);
}

}  // namespace
