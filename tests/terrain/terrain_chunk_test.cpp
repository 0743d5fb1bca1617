#include <cmath>
#include <cstring>
#include <vector>

#include "terrain/terrain_chunk.h"
#include "terrain/world_fixture.h"

using namespace storetest;
using namespace worldtest;

namespace {

struct Chunk {
  std::vector<WorldTerrainVert> v;
  std::vector<u16> i;
  TerrainChunkGeometry g{};
};

bool build(WorldMap* wm, u32 tx, u32 ty, Chunk* c) {
  u32 vc, ic;
  terrainChunkCounts(wm, tx, ty, &vc, &ic);
  if (!vc) return false;
  c->v.resize(vc);
  c->i.resize(ic);
  return terrainChunkBuild(wm, tx, ty, c->v.data(), c->i.data(), &c->g);
}

// World position of a packed vertex.
void decode(const Chunk& c, u32 k, f32* p) {
  for (int a = 0; a < 3; a++) p[a] = c.g.origin[a] + c.v[k].pos[a] / 32767.0f * c.g.scale;
}

class ChunkTest : public StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    wm = worldCreate();
    WorldMeta m = smallMeta();
    ASSERT_TRUE(worldNew(wm, path.c_str(), &m));
  }
  void TearDown() override {
    worldClose(wm);
    StoreDir::TearDown();
  }
  WorldMap* wm = nullptr;
};

TEST_F(ChunkTest, RangesShareBordersAndStopAtTheLastSample) {
  const struct {
    u32 tx, ty;
    bool inside;
    u32 x0, x1, z0, z1;
  } cases[] = {
      {0, 0, true, 0, 8, 0, 8},     // 16 m tiles over 2 m cells
      {1, 0, true, 8, 16, 0, 8},    // shares column 8 with its left neighbour
      {3, 3, true, 24, 32, 24, 32}, // ends at the last sample
      {4, 0, false, 0, 0, 0, 0},    // starts at the last sample: outside the sampled area
  };
  for (const auto& c : cases) {
    u32 x0 = 0, x1 = 0, z0 = 0, z1 = 0;
    EXPECT_EQ(terrainChunkRange(&wm->meta, c.tx, c.ty, &x0, &x1, &z0, &z1), c.inside) << c.tx << "," << c.ty;
    if (c.inside) {
      EXPECT_EQ((std::vector<u32>{x0, x1, z0, z1}), (std::vector<u32>{c.x0, c.x1, c.z0, c.z1}));
    }
  }
  // A tile cut by the samples' end (13 m tiles: the last one covers under one cell).
  WorldMeta m = smallMeta();
  m.tileSize = 21;
  u32 x0, x1, z0, z1;
  ASSERT_TRUE(terrainChunkRange(&m, 3, 0, &x0, &x1, &z0, &z1));
  EXPECT_EQ(x0, 31u);
  EXPECT_EQ(x1, 32u);  // one cell: still two triangles
  WorldMap* w = worldCreate();
  w->meta = m;
  std::vector<i16> h(33 * 33, 0);
  w->heightmap = h.data();
  u32 vc, ic;
  terrainChunkCounts(w, 3, 0, &vc, &ic);
  EXPECT_EQ(ic % 6, 0u);
  EXPECT_EQ(ic, 1u * (z1 - z0) * 6);
  w->heightmap = nullptr;
  worldClose(w);
}

TEST_F(ChunkTest, NeighboursMeetWithoutCracksAndFlatNormalsPointUp) {
  std::vector<i16> h(33 * 33);
  for (u32 z = 0; z < 33; z++)
    for (u32 x = 0; x < 33; x++) h[z * 33 + x] = (i16)((x * x * 13 + z * 301) % 20000 - 10000);
  worldTerrainPaint(wm, 0, 0, 33, 33, h.data());
  Chunk a, b;
  ASSERT_TRUE(build(wm, 0, 1, &a));
  ASSERT_TRUE(build(wm, 1, 1, &b));
  // Column 8 of a (its last) and column 0 of b hold the same samples.
  for (u32 r = 0; r <= 8; r++) {
    f32 pa[3], pb[3];
    decode(a, r * 9 + 8, pa);
    decode(b, r * 9 + 0, pb);
    for (int k = 0; k < 3; k++) EXPECT_NEAR(pa[k], pb[k], 2 * a.g.scale / 32767.0f + 1e-4f) << r;
    EXPECT_EQ(a.v[r * 9 + 8].normal[0], b.v[r * 9].normal[0]);
    EXPECT_EQ(a.v[r * 9 + 8].normal[1], b.v[r * 9].normal[1]);
    EXPECT_EQ(a.v[r * 9 + 8].uv[0], b.v[r * 9].uv[0]);
    EXPECT_NEAR(pa[1], worldHeightAt(wm, pa[0], pa[2]), 2 * a.g.scale / 32767.0f + 1e-3f);
  }
  // Triangles wind counter-clockwise seen from above (normal up).
  for (size_t t = 0; t < a.i.size(); t += 3) {
    f32 p0[3], p1[3], p2[3];
    decode(a, a.i[t], p0);
    decode(a, a.i[t + 1], p1);
    decode(a, a.i[t + 2], p2);
    f32 ux = p1[0] - p0[0], uz = p1[2] - p0[2], vx = p2[0] - p0[0], vz = p2[2] - p0[2];
    EXPECT_LT(ux * vz - uz * vx, 0.0f) << "triangle " << t / 3;  // y of (p1-p0) x (p2-p0) > 0
  }
  Chunk flat;
  std::vector<i16> zero(33 * 33, 0);
  worldTerrainPaint(wm, 0, 0, 33, 33, zero.data());
  ASSERT_TRUE(build(wm, 2, 2, &flat));
  for (const WorldTerrainVert& v : flat.v) {
    EXPECT_EQ(v.normal[0], 0);
    EXPECT_EQ(v.normal[1], 127);
  }
  EXPECT_EQ(flat.v.back().uv[0], (u16)std::lround(24.0 / 32 * 65535));
}

TEST_F(ChunkTest, LargeTilesSplitIntoBandsWithinSixteenBitIndices) {
  WorldMap* w = worldCreate();
  const struct {
    u32 samples;
    f32 tile;
    u32 pieces;
  } cases[] = {{257, 256, 2}, {301, 512, 2}, {1025, 1024, 17}, {129, 64, 1}};
  for (const auto& c : cases) {
    w->meta = worldDefaultMeta(c.samples, c.samples, 1, c.tile, 10);
    std::vector<i16> h((size_t)c.samples * c.samples, 0);
    w->heightmap = h.data();
    TerrainPiece p[64];
    u32 n = terrainChunkPieces(w, 0, 0, p, 64);
    EXPECT_EQ(n, c.pieces) << c.samples;
    u32 x0, x1, z0, z1;
    ASSERT_TRUE(terrainChunkRange(&w->meta, 0, 0, &x0, &x1, &z0, &z1));
    for (u32 i = 0; i < n; i++) {
      EXPECT_LE((u64)(p[i].x1 - p[i].x0 + 1) * (p[i].z1 - p[i].z0 + 1), 65536u);
      EXPECT_EQ(p[i].z0, i ? p[i - 1].z1 : z0) << "bands meet";
      EXPECT_EQ(p[i].x0, x0);
      EXPECT_EQ(p[i].x1, x1);
    }
    if (n) {
      EXPECT_EQ(p[n - 1].z1, z1);
    }
    w->heightmap = nullptr;
  }
  worldClose(w);
}

TEST(TerrainMeshBlob, HostileBlobsAreRefused) {
  auto blob = [](f32 scale, u32 verts, u32 indices, size_t actualVerts, size_t actualIdx, u16 badIndex) {
    std::vector<u8> b(24 + actualVerts * 12 + actualIdx * 2, 0);
    f32 hdr[4] = {1, 2, 3, scale};
    std::memcpy(b.data(), hdr, 16);
    std::memcpy(b.data() + 16, &verts, 4);
    std::memcpy(b.data() + 20, &indices, 4);
    for (size_t i = 0; i < actualIdx; i++) {
      u16 v = (u16)(i % (actualVerts ? actualVerts : 1));
      if (i == actualIdx - 1 && badIndex) v = badIndex;
      std::memcpy(b.data() + 24 + actualVerts * 12 + i * 2, &v, 2);
    }
    return b;
  };
  const struct {
    const char* what;
    std::vector<u8> data;
    bool ok;
  } cases[] = {
      {"valid", blob(2, 4, 6, 4, 6, 0), true},
      {"index past the vertices", blob(2, 4, 6, 4, 6, 4), false},
      {"short", blob(2, 4, 6, 4, 5, 0), false},
      {"counts that wrap 32 bits", blob(2, 0x40000000u, 0x80000000u, 4, 6, 0), false},
      {"huge vertex count", blob(2, 0xFFFFFFFFu, 6, 4, 6, 0), false},
      {"no indices", blob(2, 4, 0, 4, 0, 0), false},
      {"partial triangle", blob(2, 4, 4, 4, 4, 0), false},
      {"zero scale", blob(0, 4, 6, 4, 6, 0), false},
      {"NaN scale", blob(std::nanf(""), 4, 6, 4, 6, 0), false},
      {"header only", std::vector<u8>(23, 0), false},
  };
  for (const auto& c : cases) {
    TerrainMeshBlob out{};
    EXPECT_EQ(terrainMeshBlobParse(c.data.data(), c.data.size(), &out), c.ok) << c.what;
  }
}

}  // namespace
