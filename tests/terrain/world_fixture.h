// Helpers shared by the world tests: a small world's meta, and a full picture of a
// map's contents (every tile's instances, terrain arrays, catalog, materials) to
// compare states.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "store/store_fixture.h"
#include "terrain/world_map.h"

namespace worldtest {

// 33 x 33 samples 2 m apart from (-32, -32), 16 m tiles: a 5 x 5 tile grid whose last
// row and column lie past the samples.
inline WorldMeta smallMeta() {
  WorldMeta m{};
  m.boundsMin[0] = -32;
  m.boundsMin[1] = -100;
  m.boundsMin[2] = -32;
  m.boundsMax[0] = 32;
  m.boundsMax[1] = 100;
  m.boundsMax[2] = 32;
  m.tileSize = 16;
  m.heightmapW = 33;
  m.heightmapH = 33;
  m.cellSize = 2;
  m.heightScale = 100;
  m.heightOffset = 0;
  m.flags = kWorldFlagTerrain;
  return m;
}

inline WorldEntityDef def(const char* name, const char* mesh, f32 radius) {
  WorldEntityDef d{};
  std::snprintf(d.name, sizeof d.name, "%s", name);
  std::snprintf(d.meshPath, sizeof d.meshPath, "%s", mesh);
  d.defaultScale = 1;
  d.boundingRadius = radius;
  return d;
}

inline v3f P(f32 x, f32 y, f32 z) { return v3f{x, y, z, 0}; }

struct Picture {
  std::vector<std::vector<WorldEntityInst>> tiles;  // grid order
  std::vector<i16> heights;
  std::vector<u8> splat;
  std::vector<WorldEntityDef> catalog;
  std::vector<WorldTerrainMaterial> materials;
  std::vector<u8> matids;
  WorldMeta meta;
  WorldEnv env;
};

inline bool sameInst(const WorldEntityInst& a, const WorldEntityInst& b) { return std::memcmp(&a, &b, 32) == 0; }

// Loads every tile of the grid (the picture must not depend on what was loaded).
inline Picture picture(WorldMap* wm) {
  Picture p{};
  u32 gx, gy;
  worldTileGrid(wm, &gx, &gy);
  for (u32 y = 0; y < gy; y++)
    for (u32 x = 0; x < gx; x++) {
      EXPECT_TRUE(worldTileLoad(wm, x, y));
      u32 n = 0;
      WorldEntityInst* e = worldTileEntities(wm, x, y, &n);
      p.tiles.emplace_back(e, e + n);
    }
  size_t n = (size_t)wm->meta.heightmapW * wm->meta.heightmapH;
  if (wm->heightmap) p.heights.assign(wm->heightmap, wm->heightmap + n);
  if (wm->splatmap) p.splat.assign(wm->splatmap, wm->splatmap + n * 4);
  p.catalog.assign(wm->catalog, wm->catalog + wm->catalogCount);
  p.materials.assign(wm->materials, wm->materials + wm->materialCount);
  if (wm->tileMaterialIds) p.matids.assign(wm->tileMaterialIds, wm->tileMaterialIds + wm->tileMaterialIdsCap);
  p.meta = wm->meta;
  p.env = wm->env;
  return p;
}

inline void expectSame(const Picture& a, const Picture& b, const char* what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(a.tiles.size(), b.tiles.size());
  for (size_t t = 0; t < a.tiles.size(); t++) {
    ASSERT_EQ(a.tiles[t].size(), b.tiles[t].size()) << "tile " << t;
    for (size_t i = 0; i < a.tiles[t].size(); i++)
      EXPECT_TRUE(sameInst(a.tiles[t][i], b.tiles[t][i])) << "tile " << t << " instance " << i;
  }
  EXPECT_TRUE(a.heights == b.heights);
  EXPECT_TRUE(a.splat == b.splat);
  ASSERT_EQ(a.catalog.size(), b.catalog.size());
  for (size_t i = 0; i < a.catalog.size(); i++) EXPECT_EQ(std::memcmp(&a.catalog[i], &b.catalog[i], 208), 0);
  ASSERT_EQ(a.materials.size(), b.materials.size());
  for (size_t i = 0; i < a.materials.size(); i++) EXPECT_EQ(std::memcmp(&a.materials[i], &b.materials[i], 264), 0);
  EXPECT_TRUE(a.matids == b.matids);
  EXPECT_EQ(std::memcmp(&a.env, &b.env, sizeof a.env), 0);
}

}  // namespace worldtest
