#include "terrain/terrain_chunk.h"

#include <cmath>
#include <cstring>

#include "terrain/world_map.h"

namespace {

u32 rd32(const u8* p) { return (u32)p[0] | ((u32)p[1] << 8) | ((u32)p[2] << 16) | ((u32)p[3] << 24); }

f32 rdf32(const u8* p) {
  u32 v = rd32(p);
  f32 f;
  std::memcpy(&f, &v, 4);
  return f;
}

// Round half away from zero, as lround, for values well inside the i32 range.
inline i32 roundAway(f32 v) { return (i32)(v + (v < 0.0f ? -0.5f : 0.5f)); }

u16 unorm16(f32 v) {
  v = v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
  return (u16)roundAway(v * 65535.0f);
}

i16 quantiseFast(f32 p, f32 origin, f32 invScale) {
  f32 q = (p - origin) * invScale;
  q = q < -1.0f ? -1.0f : (q > 1.0f ? 1.0f : q);
  return (i16)roundAway(q * 32767.0f);
}

}  // namespace

void terrainEncodeOctNormal(f32 x, f32 y, f32 z, f32* ox, f32* oy) {
  f32 s = std::fabs(x) + std::fabs(y) + std::fabs(z);
  if (!(s >= 1e-6f)) {
    *ox = 0.0f;
    *oy = 1.0f;
    return;
  }
  f32 u = x / s, v = y / s;
  if (!(z >= 0.0f)) {
    f32 nu = (1.0f - std::fabs(v)) * (u >= 0.0f ? 1.0f : -1.0f);
    f32 nv = (1.0f - std::fabs(u)) * (v >= 0.0f ? 1.0f : -1.0f);
    u = nu;
    v = nv;
  }
  *ox = u;
  *oy = v;
}

i8 terrainOctByte(f32 c) {
  if (!(c == c)) return 0;
  c = c < -1.0f ? -1.0f : (c > 1.0f ? 1.0f : c);
  return (i8)roundAway(c * 127.0f);
}

void terrainComputeTransform(const f32* bmin, const f32* bmax, f32* origin, f32* scale) {
  f32 s = 0.0f;
  for (int i = 0; i < 3; i++) {
    origin[i] = (bmin[i] + bmax[i]) * 0.5f;
    f32 h = (bmax[i] - bmin[i]) * 0.5f;
    if (h > s) s = h;
  }
  *scale = s < 1e-6f ? 1.0f : s;
}

b8 terrainMeshBlobParse(const u8* data, size_t len, TerrainMeshBlob* out) {
  if (!data || len < kTerrainMeshBlobHeader) return false;
  TerrainMeshBlob b{};
  for (int i = 0; i < 3; i++) b.origin[i] = rdf32(data + 4 * i);
  b.scale = rdf32(data + 12);
  b.vertCount = rd32(data + 16);
  b.indexCount = rd32(data + 20);
  u64 need = (u64)kTerrainMeshBlobHeader + 12ull * b.vertCount + 2ull * b.indexCount;
  if (need > len) return false;
  if (!b.vertCount || b.vertCount > 65536 || !b.indexCount || b.indexCount % 3) return false;
  if (!std::isfinite(b.origin[0]) || !std::isfinite(b.origin[1]) || !std::isfinite(b.origin[2]) ||
      !std::isfinite(b.scale) || !(b.scale > 0.0f))
    return false;
  b.verts = reinterpret_cast<const WorldTerrainVert*>(data + kTerrainMeshBlobHeader);
  b.indices = data + kTerrainMeshBlobHeader + 12ull * b.vertCount;
  for (u32 i = 0; i < b.indexCount; i++) {
    u32 idx = (u32)b.indices[2 * i] | ((u32)b.indices[2 * i + 1] << 8);
    if (idx >= b.vertCount) return false;
  }
  *out = b;
  return true;
}

b8 terrainChunkRange(const WorldMeta* m, u32 tileX, u32 tileY, u32* x0, u32* x1, u32* z0, u32* z1) {
  u32 W = m->heightmapW, H = m->heightmapH;
  if (W < 2 || H < 2 || !(m->cellSize > 0.0f) || !(m->tileSize > 0.0f)) return false;
  const f64 cell = m->cellSize, tile = m->tileSize;
  auto axis = [&](f64 bmin, u32 t, u32 n, u32* a, u32* b) -> b8 {
    f64 o = bmin + tile * t;
    f64 end = bmin + (f64)(n - 1) * cell;
    if (!(o < end)) return false;
    f64 lo = std::floor(tile * t / cell);
    u32 s0 = lo <= 0.0 ? 0u : (lo >= (f64)(n - 1) ? n - 1 : (u32)lo);
    f64 hi = std::ceil((std::fmin(end, o + tile) - bmin) / cell);
    u32 s1 = hi >= (f64)n ? n - 1 : (hi <= 0.0 ? 0u : (u32)hi);
    if (s1 <= s0) s1 = s0 + 1 < n - 1 ? s0 + 1 : n - 1;
    if (s1 <= s0) return false;
    *a = s0;
    *b = s1;
    return true;
  };
  return axis(m->boundsMin[0], tileX, W, x0, x1) && axis(m->boundsMin[2], tileY, H, z0, z1);
}

void terrainChunkCounts(const WorldMap* wm, u32 tileX, u32 tileY, u32* vertCount, u32* indexCount) {
  *vertCount = *indexCount = 0;
  u32 x0, x1, z0, z1;
  if (!wm->heightmap || !terrainChunkRange(&wm->meta, tileX, tileY, &x0, &x1, &z0, &z1)) return;
  u64 nx = x1 - x0, nz = z1 - z0;
  u64 v = (nx + 1) * (nz + 1), i = nx * nz * 6;
  if (v > 0xFFFFFFFFull || i > 0xFFFFFFFFull) return;
  *vertCount = (u32)v;
  *indexCount = (u32)i;
}

b8 terrainChunkBuild(const WorldMap* wm, u32 tileX, u32 tileY, WorldTerrainVert* verts, u16* indices,
                     TerrainChunkGeometry* out) {
  TerrainPiece p;
  if (!wm->heightmap || !terrainChunkRange(&wm->meta, tileX, tileY, &p.x0, &p.x1, &p.z0, &p.z1)) return false;
  return terrainPieceBuild(wm, &p, verts, indices, out);
}

u32 terrainChunkPieces(const WorldMap* wm, u32 tileX, u32 tileY, TerrainPiece* out, u32 maxPieces) {
  TerrainPiece t;
  if (!wm->heightmap || !terrainChunkRange(&wm->meta, tileX, tileY, &t.x0, &t.x1, &t.z0, &t.z1)) return 0;
  const u64 cols = (u64)t.x1 - t.x0 + 1;
  if (cols * 2 > 65536) return 0;  // not even two rows fit
  const u32 rows = (u32)(65536 / cols) - 1;  // cells per band; bands share their border rows
  u32 n = 0;
  for (u32 z = t.z0; z < t.z1 && n < maxPieces; z += rows, n++)
    out[n] = TerrainPiece{t.x0, t.x1, z, t.z1 - z > rows ? z + rows : t.z1};
  return n;
}

namespace {

// Vertices of samples x0..x1 of rows z0..z1 quantised to the cube (origin, scale).
void buildVerts(const WorldMap* wm, u32 x0, u32 x1, u32 z0, u32 z1, const f32* origin, f32 scale,
                WorldTerrainVert* v) {
  const WorldMeta& m = wm->meta;
  const u32 W = m.heightmapW, H = m.heightmapH;
  const i16* hm = wm->heightmap;
  const f32 k = m.heightScale / 32767.0f;
  const f32 invScale = 1.0f / scale;
  const f32 invW = 1.0f / (f32)(W - 1), invH = 1.0f / (f32)(H - 1);
  const f64 cell = m.cellSize;
  for (u32 z = z0; z <= z1; z++) {
    u32 zu = z > 0 ? z - 1 : z, zd = z + 1 < H ? z + 1 : z;
    const i16* row = hm + (size_t)z * W;
    const i16* rowU = hm + (size_t)zu * W;
    const i16* rowD = hm + (size_t)zd * W;
    const f64 dZz = (f64)(zd - zu) * cell;
    const i16 qz = quantiseFast(m.boundsMin[2] + (f32)z * m.cellSize, origin[2], invScale);
    const u16 uvz = unorm16(((f32)z * invH));
    for (u32 x = x0; x <= x1; x++, v++) {
      u32 xl = x > 0 ? x - 1 : x, xr = x + 1 < W ? x + 1 : x;
      // n = dZ x dX with dX = (dXx, dXy, 0), dZ = (0, dZy, dZz); dXx and dZz are positive.
      f64 dXx = (f64)(xr - xl) * cell;
      f64 dXy = ((f64)row[xr] - row[xl]) * k;
      f64 dZy = ((f64)rowD[x] - rowU[x]) * k;
      f64 n0 = -dZz * dXy, n1 = dZz * dXx, n2 = -dZy * dXx;
      f64 inv = 1.0 / std::sqrt(n0 * n0 + n1 * n1 + n2 * n2);
      f32 ox, oy;
      terrainEncodeOctNormal((f32)(n0 * inv), (f32)(n1 * inv), (f32)(n2 * inv), &ox, &oy);
      v->pos[0] = quantiseFast(m.boundsMin[0] + (f32)x * m.cellSize, origin[0], invScale);
      v->pos[1] = quantiseFast((f32)row[x] * (1.0f / 32767.0f) * m.heightScale + m.heightOffset, origin[1], invScale);
      v->pos[2] = qz;
      v->normal[0] = terrainOctByte(ox);
      v->normal[1] = terrainOctByte(oy);
      v->uv[0] = unorm16((f32)x * invW);
      v->uv[1] = uvz;
    }
  }
}

}  // namespace

b8 terrainPieceBuild(const WorldMap* wm, const TerrainPiece* piece, WorldTerrainVert* verts, u16* indices,
                     TerrainChunkGeometry* out) {
  const WorldMeta& m = wm->meta;
  if (!wm->heightmap || m.heightmapW < 2 || m.heightmapH < 2) return false;
  const u32 x0 = piece->x0, x1 = piece->x1, z0 = piece->z0, z1 = piece->z1;
  if (x1 <= x0 || z1 <= z0 || x1 >= m.heightmapW || z1 >= m.heightmapH) return false;
  u32 nx = x1 - x0, nz = z1 - z0;
  u64 vcount = (u64)(nx + 1) * (nz + 1);
  if (vcount > 65536) return false;
  // Bounds: x and z from the sample range, y from the extreme samples.
  f32 yA, yB;
  terrainSampleRange(wm, x0, x1, z0, z1, &yA, &yB);
  f32 bmin[3] = {m.boundsMin[0] + (f32)x0 * m.cellSize, yA, m.boundsMin[2] + (f32)z0 * m.cellSize};
  f32 bmax[3] = {m.boundsMin[0] + (f32)x1 * m.cellSize, yB, m.boundsMin[2] + (f32)z1 * m.cellSize};
  TerrainChunkGeometry g{};
  terrainComputeTransform(bmin, bmax, g.origin, &g.scale);
  buildVerts(wm, x0, x1, z0, z1, g.origin, g.scale, verts);
  u16* o = indices;
  for (u32 r = 0; r < nz; r++)
    for (u32 c = 0; c < nx; c++) {
      u32 i = r * (nx + 1) + c, j = i + nx + 1;
      o[0] = (u16)i;
      o[1] = (u16)j;
      o[2] = (u16)(i + 1);
      o[3] = (u16)(i + 1);
      o[4] = (u16)j;
      o[5] = (u16)(j + 1);
      o += 6;
    }
  g.vertCount = (u32)vcount;
  g.indexCount = nx * nz * 6;
  if (out) *out = g;
  return true;
}

void terrainSampleRange(const WorldMap* wm, u32 x0, u32 x1, u32 z0, u32 z1, f32* lo, f32* hi) {
  const WorldMeta& m = wm->meta;
  i16 a = 32767, b = -32768;
  for (u32 z = z0; z <= z1; z++) {
    const i16* row = wm->heightmap + (size_t)z * m.heightmapW;
    for (u32 x = x0; x <= x1; x++) {
      a = row[x] < a ? row[x] : a;
      b = row[x] > b ? row[x] : b;
    }
  }
  f32 ya = (f32)a * (1.0f / 32767.0f) * m.heightScale + m.heightOffset;
  f32 yb = (f32)b * (1.0f / 32767.0f) * m.heightScale + m.heightOffset;
  *lo = ya < yb ? ya : yb;
  *hi = ya < yb ? yb : ya;
}

void terrainBuildRowVerts(const WorldMap* wm, u32 x0, u32 x1, u32 z, const f32* origin, f32 scale,
                          WorldTerrainVert* out) {
  buildVerts(wm, x0, x1, z, z, origin, scale, out);
}
