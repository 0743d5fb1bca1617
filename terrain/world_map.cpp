#include "terrain/world_map.h"

#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "store/blob_store.h"

static_assert(std::endian::native == std::endian::little, "world blobs are the records as they are");

namespace {

constexpr u32 kInitialStack = 256;
constexpr u32 kInitialCatalog = 128;
constexpr u32 kInitialMaterials = 32;
constexpr u32 kInitialTiles = 64;
constexpr u32 kInitialInstances = 32;
// Bounds on what an open or a new world may ask for, so that a damaged meta cannot
// make the sizes below wrap: 2^28 samples (1 GiB of splat map), 2^24 tiles.
constexpr u64 kMaxSamples = 1ull << 28;
constexpr u64 kMaxTiles = 1ull << 24;

template <class T>
b8 growArray(T** arr, u32* cap, u32 need, u32 initial) {
  if (need <= *cap && *arr) return true;
  u64 n = *cap ? *cap : initial;
  while (n < need) n *= 2;
  if (n > 0xFFFFFFFFull) return false;
  T* p = static_cast<T*>(memRealloc(*arr, (size_t)n * sizeof(T)));
  if (!p) return false;
  *arr = p;
  *cap = (u32)n;
  return true;
}

void freeCmdBuffers(WorldCmd* c) {
  if (c->type == WORLD_CMD_TERRAIN) {
    memFree(c->terrain.oldHeights);
    memFree(c->terrain.newHeights);
    c->terrain.oldHeights = c->terrain.newHeights = nullptr;
  } else if (c->type == WORLD_CMD_PAINT) {
    memFree(c->paint.oldSplat);
    memFree(c->paint.newSplat);
    c->paint.oldSplat = c->paint.newSplat = nullptr;
  }
}

u64 cmdBytes(const WorldCmd* c) {
  if (c->type == WORLD_CMD_TERRAIN) return 4ull * c->terrain.width * c->terrain.height;
  if (c->type == WORLD_CMD_PAINT) return 8ull * c->paint.width * c->paint.height;
  return 0;
}

void clearStack(WorldMap* wm, WorldCmd* stack, u32* count) {
  for (u32 i = 0; i < *count; i++) {
    wm->historyBytes -= cmdBytes(&stack[i]);
    freeCmdBuffers(&stack[i]);
  }
  *count = 0;
}

b8 finite3(const f32* v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

void setErr(char* err, u32 errSize, const char* msg) {
  if (err && errSize) std::snprintf(err, errSize, "%s", msg);
}

u32 gridCount(f32 span, f32 tile) {
  if (!(tile > 0.0f) || !(span > 0.0f)) return 1;
  f64 n = std::floor((f64)span / (f64)tile) + 1.0;
  return n >= 4294967295.0 ? 0xFFFFFFFFu : (u32)n;
}

WorldTile* findTile(WorldMap* wm, u32 tx, u32 ty) {
  for (u32 i = 0; i < wm->tileCount; i++)
    if (wm->tiles[i].tileX == tx && wm->tiles[i].tileY == ty) return &wm->tiles[i];
  return nullptr;
}

const WorldTile* findTileC(const WorldMap* wm, u32 tx, u32 ty) {
  for (u32 i = 0; i < wm->tileCount; i++)
    if (wm->tiles[i].tileX == tx && wm->tiles[i].tileY == ty) return &wm->tiles[i];
  return nullptr;
}

WorldTile* loadedTile(WorldMap* wm, u32 tx, u32 ty) {
  WorldTile* t = findTile(wm, tx, ty);
  return t && t->loaded ? t : nullptr;
}

i64 tileFlagIndex(const WorldMap* wm, u32 tx, u32 ty) {
  u32 gx, gy;
  worldTileGrid(wm, &gx, &gy);
  if (!wm->tileLoaded || tx >= gx || ty >= gy) return -1;
  return (i64)ty * gx + tx;
}

void setTileFlag(WorldMap* wm, u32 tx, u32 ty, b8 v) {
  i64 i = tileFlagIndex(wm, tx, ty);
  if (i >= 0) wm->tileLoaded[i] = v;
}

b8 tileAppend(WorldTile* t, const WorldEntityInst* inst) {
  if (!growArray(&t->instances, &t->capacity, t->count + 1, kInitialInstances)) return false;
  t->instances[t->count++] = *inst;
  t->dirty = true;
  return true;
}

void tileRemoveAt(WorldTile* t, u32 index) {
  t->instances[index] = t->instances[t->count - 1];
  t->count--;
  t->dirty = true;
}

void freeTile(WorldTile* t) {
  memFree(t->instances);
  t->instances = nullptr;
  t->count = t->capacity = 0;
}

void removeTileRecord(WorldMap* wm, WorldTile* t) {
  freeTile(t);
  u32 i = (u32)(t - wm->tiles);
  wm->tiles[i] = wm->tiles[wm->tileCount - 1];
  wm->tileCount--;
}

void tileKey(char* out, size_t n, u32 tx, u32 ty) { std::snprintf(out, n, "entities/%u_%u", tx, ty); }

// Reads an entry that may be missing. Missing: true with null/0. Present but
// unreadable: false (the caller must not write a default over it).
b8 restoreOptional(bs_store* s, const char* name, u8** out, size_t* len) {
  *out = nullptr;
  *len = 0;
  if (!bs_contains(s, name)) return true;
  return bs_restore_buffer(s, name, out, len) == BS_OK;
}

// Restores an entry of exactly `size` bytes into dst; false for any other size or an
// unreadable entry (dst may then hold partial bytes).
b8 restoreExact(bs_store* s, const char* name, u8* dst, size_t size) {
  size_t len = 0;
  return bs_restore_buffer_into(s, name, dst, size, &len) == BS_OK && len == size;
}

b8 ensureTileMaterialStorage(WorldMap* wm) {
  u32 gx, gy;
  worldTileGrid(wm, &gx, &gy);
  u64 need = 4ull * gx * gy;
  if (need > 0xFFFFFFFFull) return false;
  if (need <= wm->tileMaterialIdsCap && wm->tileMaterialIds) return true;
  u8* p = static_cast<u8*>(memRealloc(wm->tileMaterialIds, (size_t)need));
  if (!p) return false;
  for (u64 i = wm->tileMaterialIdsCap; i + 4 <= need; i += 4) {
    p[i] = 1;
    p[i + 1] = p[i + 2] = p[i + 3] = 0;
  }
  wm->tileMaterialIds = p;
  wm->tileMaterialIdsCap = (u32)need;
  return true;
}

b8 allocTileFlags(WorldMap* wm) {
  u32 gx, gy;
  worldTileGrid(wm, &gx, &gy);
  memFree(wm->tileLoaded);
  wm->tileLoaded = static_cast<b8*>(memCalloc((size_t)gx * gy, sizeof(b8)));
  return wm->tileLoaded != nullptr;
}

b8 hasTerrain(const WorldMeta& m) { return (m.flags & kWorldFlagTerrain) && m.heightmapW && m.heightmapH; }

// Releases what an open or a new world filled in, keeping the record reusable.
void resetContents(WorldMap* wm) {
  if (wm->store) bs_close(wm->store);
  wm->store = nullptr;
  memFree(wm->storePath);
  wm->storePath = nullptr;
  memFree(wm->heightmap);
  memFree(wm->splatmap);
  wm->heightmap = nullptr;
  wm->splatmap = nullptr;
  wm->heightmapDirty = wm->splatmapDirty = false;
  wm->materialCount = 0;
  memFree(wm->tileMaterialIds);
  wm->tileMaterialIds = nullptr;
  wm->tileMaterialIdsCap = 0;
  memFree(wm->tileLoaded);
  wm->tileLoaded = nullptr;
  wm->catalogCount = 0;
  for (u32 i = 0; i < wm->tileCount; i++) freeTile(&wm->tiles[i]);
  wm->tileCount = 0;
  clearStack(wm, wm->undoStack, &wm->undoCount);
  clearStack(wm, wm->redoStack, &wm->redoCount);
  wm->historyBytes = 0;
  std::memset(&wm->meta, 0, sizeof wm->meta);
  std::memset(&wm->env, 0, sizeof wm->env);
  wm->dirty = false;
}

char* copyString(const char* s) {
  size_t n = std::strlen(s) + 1;
  char* p = static_cast<char*>(memAlloc(n));
  if (p) std::memcpy(p, s, n);
  return p;
}

b8 pushCmd(WorldCmd** stack, u32* count, u32* cap, const WorldCmd* c) {
  if (!growArray(stack, cap, *count + 1, kInitialStack)) return false;
  (*stack)[(*count)++] = *c;
  return true;
}

// Records a new edit: clears the redo stack, pushes the command, marks the map dirty.
// On allocation failure the command's buffers are freed and false returned.
b8 recordCmd(WorldMap* wm, WorldCmd* c) {
  clearStack(wm, wm->redoStack, &wm->redoCount);
  if (!pushCmd(&wm->undoStack, &wm->undoCount, &wm->undoCap, c)) {
    freeCmdBuffers(c);
    return false;
  }
  wm->historyBytes += cmdBytes(c);
  // Past the bound the oldest steps go (an endless sculpting session must not run
  // out of memory); they can no longer be undone.
  u32 drop = 0;
  while (wm->historyBytes > wm->historyByteLimit && drop + 1 < wm->undoCount) {
    wm->historyBytes -= cmdBytes(&wm->undoStack[drop]);
    freeCmdBuffers(&wm->undoStack[drop]);
    drop++;
  }
  if (drop) {
    std::memmove(wm->undoStack, wm->undoStack + drop, (size_t)(wm->undoCount - drop) * sizeof(WorldCmd));
    wm->undoCount -= drop;
  }
  wm->dirty = true;
  return true;
}

b8 tileOfPos(const WorldMap* wm, const f32* pos, u32* tx, u32* ty) {
  if (!finite3(pos)) return false;
  u32 gx, gy;
  worldTileGrid(wm, &gx, &gy);
  if (wm->meta.tileSize > 0.0f) {
    if (pos[0] < wm->meta.boundsMin[0] || pos[2] < wm->meta.boundsMin[2]) return false;
  }
  worldPosToTile(wm, pos[0], pos[2], tx, ty);
  return *tx < gx && *ty < gy;
}

// Moves an instance of tile `from` (at index) to the tile of its new position;
// returns its index there (or in `from` when the tile stays the same).
u32 relocate(WorldMap* wm, WorldTile* from, u32 index, u32 tx, u32 ty) {
  if (from->tileX == tx && from->tileY == ty) return index;
  WorldEntityInst inst = from->instances[index];
  u32 fx = from->tileX, fy = from->tileY;
  worldTileLoad(wm, tx, ty);  // may move the tile array
  WorldTile* to = loadedTile(wm, tx, ty);
  from = loadedTile(wm, fx, fy);
  if (!to || !from || !tileAppend(to, &inst)) return index;
  tileRemoveAt(from, index);
  return to->count - 1;
}

void applyMove(WorldMap* wm, const WorldCmd* c, b8 forward) {
  const f32* fromPos = forward ? c->move.oldPos : c->move.newPos;
  const f32* toPos = forward ? c->move.newPos : c->move.oldPos;
  u32 fx, fy, tx, ty;
  worldPosToTile(wm, fromPos[0], fromPos[2], &fx, &fy);
  worldPosToTile(wm, toPos[0], toPos[2], &tx, &ty);
  if (!worldTileLoad(wm, fx, fy)) return;
  WorldTile* t = loadedTile(wm, fx, fy);
  if (!t) return;
  for (u32 i = 0; i < t->count; i++) {
    f32* p = t->instances[i].pos;
    if (p[0] != fromPos[0] || p[1] != fromPos[1] || p[2] != fromPos[2]) continue;
    std::memcpy(p, toPos, 12);
    t->dirty = true;
    u32 at = relocate(wm, t, i, tx, ty);
    // Undoing a move across tiles puts the instance back into its old slot (the move
    // had filled that slot with the tile's last instance, which goes back to the end).
    if (!forward && (fx != tx || fy != ty) && tx == c->move.tileX && ty == c->move.tileY) {
      WorldTile* back = loadedTile(wm, tx, ty);
      if (back && at < back->count && c->move.index < at) {
        WorldEntityInst tmp = back->instances[at];
        back->instances[at] = back->instances[c->move.index];
        back->instances[c->move.index] = tmp;
      }
    }
    return;
  }
}

void copyRect(void* dstMap, u32 mapW, const void* src, u32 x0, u32 z0, u32 w, u32 h, u32 texel) {
  u8* dst = static_cast<u8*>(dstMap);
  const u8* s = static_cast<const u8*>(src);
  for (u32 r = 0; r < h; r++)
    std::memcpy(dst + ((size_t)(z0 + r) * mapW + x0) * texel, s + (size_t)r * w * texel, (size_t)w * texel);
}

void readRect(const void* srcMap, u32 mapW, void* out, u32 x0, u32 z0, u32 w, u32 h, u32 texel) {
  const u8* src = static_cast<const u8*>(srcMap);
  u8* o = static_cast<u8*>(out);
  for (u32 r = 0; r < h; r++)
    std::memcpy(o + (size_t)r * w * texel, src + ((size_t)(z0 + r) * mapW + x0) * texel, (size_t)w * texel);
}

void applyCmd(WorldMap* wm, const WorldCmd* c, b8 forward) {
  switch (c->type) {
    case WORLD_CMD_PLACE: {
      const auto& p = c->place;
      if (!worldTileLoad(wm, p.tileX, p.tileY)) return;
      WorldTile* t = loadedTile(wm, p.tileX, p.tileY);
      if (!t) return;
      if (forward) {
        tileAppend(t, &p.inst);
      } else if (t->count) {
        t->count--;
        t->dirty = true;
      }
      return;
    }
    case WORLD_CMD_DELETE: {
      const auto& d = c->del;
      if (!worldTileLoad(wm, d.tileX, d.tileY)) return;
      WorldTile* t = loadedTile(wm, d.tileX, d.tileY);
      if (!t) return;
      if (forward) {
        if (d.index < t->count) tileRemoveAt(t, d.index);
      } else {
        u32 former = t->count;
        if (!tileAppend(t, &d.inst)) return;
        if (d.index < former) {
          WorldEntityInst tmp = t->instances[d.index];
          t->instances[d.index] = t->instances[former];
          t->instances[former] = tmp;
        }
      }
      return;
    }
    case WORLD_CMD_MOVE:
      applyMove(wm, c, forward);
      return;
    case WORLD_CMD_ROTATE:
    case WORLD_CMD_SCALE:
    case WORLD_CMD_MODIFY: {
      u32 tx = c->rotate.tileX, ty = c->rotate.tileY, idx = c->rotate.index;
      if (!worldTileLoad(wm, tx, ty)) return;
      WorldTile* t = loadedTile(wm, tx, ty);
      if (!t || idx >= t->count) return;
      WorldEntityInst& inst = t->instances[idx];
      if (c->type == WORLD_CMD_ROTATE) inst.rotation = forward ? c->rotate.newRot : c->rotate.oldRot;
      else if (c->type == WORLD_CMD_SCALE) inst.scale = forward ? c->scale.newScale : c->scale.oldScale;
      else inst = forward ? c->modify.newInst : c->modify.oldInst;
      t->dirty = true;
      return;
    }
    case WORLD_CMD_TERRAIN: {
      const auto& t = c->terrain;
      if (!wm->heightmap) return;
      copyRect(wm->heightmap, wm->meta.heightmapW, forward ? t.newHeights : t.oldHeights, t.x0, t.z0, t.width,
               t.height, 2);
      wm->heightmapDirty = true;
      return;
    }
    case WORLD_CMD_PAINT: {
      const auto& p = c->paint;
      if (!wm->splatmap) return;
      copyRect(wm->splatmap, wm->meta.heightmapW, forward ? p.newSplat : p.oldSplat, p.x0, p.z0, p.width, p.height,
               4);
      wm->splatmapDirty = true;
      return;
    }
  }
}

b8 rectEdit(WorldMap* wm, WorldCmdType type, void* map, u32 texel, u32 x0, u32 z0, u32 width, u32 height,
            const void* data) {
  u32 W = wm->meta.heightmapW, H = wm->meta.heightmapH;
  if (!map || !data || x0 >= W || z0 >= H || !width || !height) return false;
  if (width > W - x0) width = W - x0;
  if (height > H - z0) height = H - z0;
  size_t bytes = (size_t)width * height * texel;
  void* oldBuf = memAlloc(bytes);
  void* newBuf = memAlloc(bytes);
  if (!oldBuf || !newBuf) {
    memFree(oldBuf);
    memFree(newBuf);
    return false;
  }
  readRect(map, W, oldBuf, x0, z0, width, height, texel);
  std::memcpy(newBuf, data, bytes);
  WorldCmd c{};
  c.type = type;
  if (type == WORLD_CMD_TERRAIN)
    c.terrain = {x0, z0, width, height, static_cast<i16*>(oldBuf), static_cast<i16*>(newBuf)};
  else
    c.paint = {x0, z0, width, height, static_cast<u8*>(oldBuf), static_cast<u8*>(newBuf)};
  if (!recordCmd(wm, &c)) return false;
  copyRect(map, W, newBuf, x0, z0, width, height, texel);
  return true;
}

}  // namespace

void worldMetaTileGrid(const WorldMeta* m, u32* tilesX, u32* tilesY) {
  *tilesX = gridCount(m->boundsMax[0] - m->boundsMin[0], m->tileSize);
  *tilesY = gridCount(m->boundsMax[2] - m->boundsMin[2], m->tileSize);
}

void worldTileGrid(const WorldMap* wm, u32* tilesX, u32* tilesY) { worldMetaTileGrid(&wm->meta, tilesX, tilesY); }

u64 worldMetaMaxTileVerts(const WorldMeta* m) {
  if (!(m->cellSize > 0.0f) || !(m->tileSize > 0.0f)) return 0;
  // A tile spans tile / cell cells when tiles start on samples, else up to one more
  // than the rounded-up ratio (its first and last cells are cut by the borders).
  f64 r = (f64)m->tileSize / (f64)m->cellSize;
  f64 cells = r == std::floor(r) ? r : std::ceil(r) + 1.0;
  u64 nx = (u64)std::fmin(cells, m->heightmapW > 1 ? (f64)(m->heightmapW - 1) : 1.0);
  u64 nz = (u64)std::fmin(cells, m->heightmapH > 1 ? (f64)(m->heightmapH - 1) : 1.0);
  return (nx + 1) * (nz + 1);
}

b8 worldMetaCheck(const WorldMeta* m, u32 maxTileVerts, char* err, u32 errSize) {
  if (!finite3(m->boundsMin) || !finite3(m->boundsMax)) {
    setErr(err, errSize, "bounds are not finite");
    return false;
  }
  if (!std::isfinite(m->tileSize) || !(m->tileSize > 0.0f)) {
    setErr(err, errSize, "tile size must be a positive finite number");
    return false;
  }
  if (!std::isfinite(m->cellSize) || !(m->cellSize > 0.0f)) {
    setErr(err, errSize, "cell size must be a positive finite number");
    return false;
  }
  if (!std::isfinite(m->heightScale) || m->heightScale == 0.0f || !std::isfinite(m->heightOffset)) {
    setErr(err, errSize, "height scale must be finite and non-zero, height offset finite");
    return false;
  }
  f64 sx = (f64)m->boundsMax[0] - m->boundsMin[0], sz = (f64)m->boundsMax[2] - m->boundsMin[2];
  if (sx / m->tileSize + 1.0 > (f64)kMaxTiles || sz / m->tileSize + 1.0 > (f64)kMaxTiles) {
    setErr(err, errSize, "the tile grid is too large");
    return false;
  }
  u32 gx, gy;
  worldMetaTileGrid(m, &gx, &gy);
  if ((u64)gx * gy > kMaxTiles) {
    setErr(err, errSize, "the tile grid is too large");
    return false;
  }
  if (m->flags & kWorldFlagTerrain) {
    if (m->heightmapW < 2 || m->heightmapH < 2) {
      setErr(err, errSize, "a terrain needs at least 2 samples a side");
      return false;
    }
    if ((u64)m->heightmapW * m->heightmapH > kMaxSamples) {
      setErr(err, errSize, "the heightmap is too large");
      return false;
    }
  }
  if (maxTileVerts && (m->flags & kWorldFlagTerrain) && worldMetaMaxTileVerts(m) > maxTileVerts) {
    if (err && errSize)
      std::snprintf(err, errSize, "a tile would need %llu vertices (at most %u)",
                    (unsigned long long)worldMetaMaxTileVerts(m), maxTileVerts);
    return false;
  }
  return true;
}

WorldMeta worldDefaultMeta(u32 samplesX, u32 samplesZ, f32 cellSize, f32 tileSize, f32 heightRange) {
  WorldMeta m{};
  f32 hx = (f32)(((f64)samplesX - 1.0) * cellSize * 0.5), hz = (f32)(((f64)samplesZ - 1.0) * cellSize * 0.5);
  m.boundsMin[0] = -hx;
  m.boundsMin[1] = -heightRange;
  m.boundsMin[2] = -hz;
  m.boundsMax[0] = hx;
  m.boundsMax[1] = heightRange;
  m.boundsMax[2] = hz;
  m.tileSize = tileSize;
  m.heightmapW = samplesX;
  m.heightmapH = samplesZ;
  m.cellSize = cellSize;
  m.heightScale = heightRange;
  m.heightOffset = 0;
  m.flags = kWorldFlagTerrain;
  return m;
}

WorldMap* worldCreate() {
  WorldMap* wm = static_cast<WorldMap*>(memCalloc(1, sizeof(WorldMap)));
  if (!wm) return nullptr;
  wm->undoStack = static_cast<WorldCmd*>(memAlloc(kInitialStack * sizeof(WorldCmd)));
  wm->redoStack = static_cast<WorldCmd*>(memAlloc(kInitialStack * sizeof(WorldCmd)));
  wm->catalog = static_cast<WorldEntityDef*>(memAlloc(kInitialCatalog * sizeof(WorldEntityDef)));
  wm->materials = static_cast<WorldTerrainMaterial*>(memAlloc(kInitialMaterials * sizeof(WorldTerrainMaterial)));
  wm->tiles = static_cast<WorldTile*>(memAlloc(kInitialTiles * sizeof(WorldTile)));
  if (!wm->undoStack || !wm->redoStack || !wm->catalog || !wm->materials || !wm->tiles) {
    worldClose(wm);
    return nullptr;
  }
  wm->undoCap = wm->redoCap = kInitialStack;
  wm->catalogCapacity = kInitialCatalog;
  wm->materialCapacity = kInitialMaterials;
  wm->tileCapacity = kInitialTiles;
  wm->historyByteLimit = kWorldDefaultHistoryBytes;
  return wm;
}

void worldClose(WorldMap* wm) {
  if (!wm) return;
  resetContents(wm);
  memFree(wm->undoStack);
  memFree(wm->redoStack);
  memFree(wm->catalog);
  memFree(wm->materials);
  memFree(wm->tiles);
  memFree(wm);
}

b8 worldNew(WorldMap* wm, const char* path, const WorldMeta* metaIn) {
  if (!wm || !path || !metaIn) return false;
  char err[160];
  if (!worldMetaCheck(metaIn, 0, err, sizeof err)) {
    std::fprintf(stderr, "world: cannot create '%s': %s\n", path, err);
    return false;
  }
  struct stat st;
  if (stat(path, &st) == 0) {
    std::fprintf(stderr, "world: '%s' already exists\n", path);
    return false;
  }
  resetContents(wm);
  bs_cfg cfg{};
  bs_store* s = nullptr;
  if (bs_open(&s, path, &cfg) != BS_OK) {
    std::fprintf(stderr, "world: cannot create store '%s'\n", path);
    return false;
  }
  wm->store = s;
  wm->storePath = copyString(path);
  wm->meta = *metaIn;
  wm->meta.magic = kWorldMagic;
  wm->meta.version = 1;
  wm->meta.catalogCount = 0;
  b8 ok = wm->storePath != nullptr;
  if (ok && hasTerrain(wm->meta)) {
    size_t n = (size_t)wm->meta.heightmapW * wm->meta.heightmapH;
    wm->heightmap = static_cast<i16*>(memCalloc(n, 2));
    wm->splatmap = static_cast<u8*>(memAlloc(n * 4));
    ok = wm->heightmap && wm->splatmap;
    if (ok)
      for (size_t i = 0; i < n; i++) std::memcpy(wm->splatmap + i * 4, "\xff\0\0\0", 4);
  }
  ok = ok && ensureTileMaterialStorage(wm) && allocTileFlags(wm);
  ok = ok && bs_add_buffer(s, reinterpret_cast<const u8*>(&wm->meta), 64, "meta") == BS_OK;
  ok = ok && bs_add_buffer(s, reinterpret_cast<const u8*>(&wm->env), 68, "env") == BS_OK;
  if (ok && wm->heightmap) {
    size_t n = (size_t)wm->meta.heightmapW * wm->meta.heightmapH;
    ok = bs_add_buffer(s, reinterpret_cast<const u8*>(wm->heightmap), n * 2, "terrain/height") == BS_OK &&
         bs_add_buffer(s, wm->splatmap, n * 4, "terrain/splat") == BS_OK;
  }
  if (ok && wm->tileMaterialIds)
    ok = bs_add_buffer(s, wm->tileMaterialIds, wm->tileMaterialIdsCap, "terrain/matids") == BS_OK;
  ok = ok && bs_flush(s) == BS_OK;
  if (!ok) {
    std::fprintf(stderr, "world: cannot write the new world to '%s'\n", path);
    resetContents(wm);
    return false;
  }
  wm->dirty = false;
  return true;
}

b8 worldOpen(WorldMap* wm, const char* path) {
  if (!wm || !path) return false;
  struct stat st;
  if (stat(path, &st) != 0) {
    std::fprintf(stderr, "world: '%s' does not exist\n", path);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "world: '%s' is not a file\n", path);
    return false;
  }
  resetContents(wm);
  bs_cfg cfg{};
  bs_store* s = nullptr;
  bs_status st2 = bs_open(&s, path, &cfg);
  if (st2 != BS_OK) {
    std::fprintf(stderr, "world: cannot open '%s'%s\n", path, st2 == BS_BUSY ? " (in use by another process)" : "");
    return false;
  }
  wm->store = s;
  wm->storePath = copyString(path);
  const char* why = nullptr;
  char err[160];
  u8* buf = nullptr;
  size_t len = 0;
  if (!wm->storePath) why = "out of memory";
  if (!why) {
    if (!restoreOptional(s, "meta", &buf, &len)) why = "the meta entry cannot be read";
    else if (len >= 64) std::memcpy(&wm->meta, buf, 64);
    memFree(buf);
    buf = nullptr;
  }
  if (!why && wm->meta.magic != kWorldMagic) why = "not a world (no meta record)";
  if (!why && !worldMetaCheck(&wm->meta, 0, err, sizeof err)) why = err;
  // Every save writes the whole catalog, so a count past the store's entries is damage
  // (and would make the open walk billions of names).
  if (!why && wm->meta.catalogCount > bs_manifest_count(s)) why = "the meta names more catalog entries than the store holds";
  if (!why) {
    if (!restoreOptional(s, "env", &buf, &len)) why = "the env entry cannot be read";
    else if (len >= 68) std::memcpy(&wm->env, buf, 68);
    memFree(buf);
    buf = nullptr;
  }
  // Catalog: a missing or short entry keeps its slot as a placeholder, so instances
  // of later kinds keep naming their own kind.
  for (u32 i = 0; !why && i < wm->meta.catalogCount; i++) {
    char key[64];
    std::snprintf(key, sizeof key, "catalog/%u", i);
    if (!restoreOptional(s, key, &buf, &len)) {
      std::snprintf(err, sizeof err, "entry '%s' cannot be read", key);
      why = err;
      break;
    }
    if (!growArray(&wm->catalog, &wm->catalogCapacity, wm->catalogCount + 1, kInitialCatalog)) {
      why = "out of memory";
    } else {
      WorldEntityDef d{};
      if (len >= 208) {
        std::memcpy(&d, buf, 208);
        d.name[63] = 0;
        d.meshPath[127] = 0;
      } else {
        d.flags = kWorldDefPlaceholder;
      }
      d.typeId = i;
      wm->catalog[wm->catalogCount++] = d;
    }
    memFree(buf);
    buf = nullptr;
  }
  if (!why && hasTerrain(wm->meta)) {
    size_t n = (size_t)wm->meta.heightmapW * wm->meta.heightmapH;
    // The usual case, an entry of exactly the grid's size, is restored in place;
    // anything else takes the general path below.
    wm->heightmap = static_cast<i16*>(memAlloc(n * 2));
    wm->splatmap = static_cast<u8*>(memAlloc(n * 4));
    if (!wm->heightmap || !wm->splatmap) why = "out of memory";
    if (!why && !restoreExact(s, "terrain/height", reinterpret_cast<u8*>(wm->heightmap), n * 2)) {
      memFree(wm->heightmap);
      wm->heightmap = nullptr;
    }
    b8 splatDone = !why && restoreExact(s, "terrain/splat", wm->splatmap, n * 4);
    if (!why && !wm->heightmap) {
      if (!restoreOptional(s, "terrain/height", &buf, &len)) {
        why = "the heightmap entry cannot be read";
      } else if (len >= n * 2) {
        wm->heightmap = static_cast<i16*>(memAlloc(n * 2));
        if (wm->heightmap) std::memcpy(wm->heightmap, buf, n * 2);
        else why = "out of memory";
      }
      memFree(buf);
      buf = nullptr;
    }
    if (!why && !splatDone) {
      if (!restoreOptional(s, "terrain/splat", &buf, &len)) {
        why = "the splat map entry cannot be read";
      } else {
        if (len >= n * 4) std::memcpy(wm->splatmap, buf, n * 4);
        else
          for (size_t i = 0; i < n; i++) std::memcpy(wm->splatmap + i * 4, "\xff\0\0\0", 4);
      }
      memFree(buf);
      buf = nullptr;
    }
  }
  if (!why) {
    if (!restoreOptional(s, "terrain/materials", &buf, &len)) {
      why = "the materials entry cannot be read";
    } else if (len >= 264) {
      u32 count = (u32)(len / 264);
      if (!growArray(&wm->materials, &wm->materialCapacity, count, kInitialMaterials)) {
        why = "out of memory";
      } else {
        std::memcpy(wm->materials, buf, (size_t)count * 264);
        for (u32 i = 0; i < count; i++) {
          wm->materials[i].albedoPath[127] = 0;
          wm->materials[i].normalPath[127] = 0;
        }
        wm->materialCount = count;
      }
    }
    memFree(buf);
    buf = nullptr;
  }
  if (!why && (!ensureTileMaterialStorage(wm) || !allocTileFlags(wm))) why = "out of memory";
  if (!why) {
    if (!restoreOptional(s, "terrain/matids", &buf, &len)) why = "the tile materials entry cannot be read";
    else if (len) std::memcpy(wm->tileMaterialIds, buf, len < wm->tileMaterialIdsCap ? len : wm->tileMaterialIdsCap);
    memFree(buf);
    buf = nullptr;
  }
  if (why) {
    std::fprintf(stderr, "world: cannot open '%s': %s\n", path, why);
    resetContents(wm);
    return false;
  }
  wm->dirty = false;
  return true;
}

b8 worldSave(WorldMap* wm) {
  if (!wm || !wm->store) return false;
  bs_store* s = wm->store;
  b8 ok = true;
  wm->meta.catalogCount = wm->catalogCount;
  ok &= bs_add_buffer(s, reinterpret_cast<const u8*>(&wm->meta), 64, "meta") == BS_OK;
  ok &= bs_add_buffer(s, reinterpret_cast<const u8*>(&wm->env), 68, "env") == BS_OK;
  for (u32 i = 0; i < wm->catalogCount; i++) {
    char key[64];
    std::snprintf(key, sizeof key, "catalog/%u", i);
    ok &= bs_add_buffer(s, reinterpret_cast<const u8*>(&wm->catalog[i]), 208, key) == BS_OK;
  }
  for (u32 i = 0; i < wm->tileCount; i++) {
    WorldTile* t = &wm->tiles[i];
    if (!t->dirty) continue;
    char key[64];
    tileKey(key, sizeof key, t->tileX, t->tileY);
    if (t->count)
      ok &= bs_add_buffer(s, reinterpret_cast<const u8*>(t->instances), (size_t)t->count * 32, key) == BS_OK;
    else if (bs_contains(s, key))
      ok &= bs_delete(s, key) == BS_OK;
  }
  size_t n = (size_t)wm->meta.heightmapW * wm->meta.heightmapH;
  if (wm->heightmapDirty && wm->heightmap)
    ok &= bs_add_buffer(s, reinterpret_cast<const u8*>(wm->heightmap), n * 2, "terrain/height") == BS_OK;
  if (wm->splatmapDirty && wm->splatmap) ok &= bs_add_buffer(s, wm->splatmap, n * 4, "terrain/splat") == BS_OK;
  if (wm->materialCount)
    ok &= bs_add_buffer(s, reinterpret_cast<const u8*>(wm->materials), (size_t)wm->materialCount * 264,
                        "terrain/materials") == BS_OK;
  else if (bs_contains(s, "terrain/materials"))
    ok &= bs_delete(s, "terrain/materials") == BS_OK;
  if (wm->tileMaterialIds)
    ok &= bs_add_buffer(s, wm->tileMaterialIds, wm->tileMaterialIdsCap, "terrain/matids") == BS_OK;
  else if (bs_contains(s, "terrain/matids"))
    ok &= bs_delete(s, "terrain/matids") == BS_OK;
  ok = ok && bs_flush(s) == BS_OK;
  if (!ok) return false;
  // Durable: only now are the flags cleared and tiles that streamed out released.
  for (u32 i = wm->tileCount; i-- > 0;) {
    wm->tiles[i].dirty = false;
    if (!wm->tiles[i].loaded) removeTileRecord(wm, &wm->tiles[i]);
  }
  wm->heightmapDirty = wm->splatmapDirty = false;
  wm->dirty = false;
  return true;
}

u32 worldCatalogAdd(WorldMap* wm, const WorldEntityDef* def) {
  if (!growArray(&wm->catalog, &wm->catalogCapacity, wm->catalogCount + 1, kInitialCatalog)) return kWorldNoIndex;
  u32 i = wm->catalogCount++;
  wm->catalog[i] = *def;
  wm->catalog[i].typeId = i;
  wm->catalog[i].name[63] = 0;
  wm->catalog[i].meshPath[127] = 0;
  wm->dirty = true;
  return i;
}

const WorldEntityDef* worldCatalogGet(const WorldMap* wm, u32 typeId) {
  return wm && typeId < wm->catalogCount ? &wm->catalog[typeId] : nullptr;
}

b8 worldTileLoad(WorldMap* wm, u32 tx, u32 ty) {
  WorldTile* t = findTile(wm, tx, ty);
  if (t) {
    // Either loaded, or streamed out with unsaved edits that come back as they are.
    t->loaded = true;
    setTileFlag(wm, tx, ty, true);
    return true;
  }
  u8* buf = nullptr;
  size_t len = 0;
  if (wm->store) {
    char key[64];
    tileKey(key, sizeof key, tx, ty);
    if (!restoreOptional(wm->store, key, &buf, &len)) {
      std::fprintf(stderr, "world: entities of tile %u,%u cannot be read; the tile stays unloaded\n", tx, ty);
      return false;
    }
  }
  if (!growArray(&wm->tiles, &wm->tileCapacity, wm->tileCount + 1, kInitialTiles)) {
    memFree(buf);
    return false;
  }
  WorldTile nt{};
  nt.tileX = tx;
  nt.tileY = ty;
  nt.loaded = true;
  u32 count = (u32)(len / 32 > 0xFFFFFFF ? 0xFFFFFFF : len / 32);
  if (count) {
    if (!growArray(&nt.instances, &nt.capacity, count, kInitialInstances)) {
      memFree(buf);
      return false;
    }
    std::memcpy(nt.instances, buf, (size_t)count * 32);
    nt.count = count;
  }
  memFree(buf);
  wm->tiles[wm->tileCount++] = nt;
  setTileFlag(wm, tx, ty, true);
  return true;
}

void worldTileUnload(WorldMap* wm, u32 tx, u32 ty) {
  WorldTile* t = loadedTile(wm, tx, ty);
  if (!t) return;
  setTileFlag(wm, tx, ty, false);
  // A dirty tile keeps its instances until the next save writes them.
  if (t->dirty) t->loaded = false;
  else removeTileRecord(wm, t);
}

b8 worldTileIsLoaded(const WorldMap* wm, u32 tx, u32 ty) {
  const WorldTile* t = findTileC(wm, tx, ty);
  return t && t->loaded;
}

WorldEntityInst* worldTileEntities(WorldMap* wm, u32 tx, u32 ty, u32* outCount) {
  WorldTile* t = loadedTile(wm, tx, ty);
  if (outCount) *outCount = t ? t->count : 0;
  return t ? t->instances : nullptr;
}

void worldPosToTile(const WorldMap* wm, f32 x, f32 z, u32* outTX, u32* outTY) {
  f32 ts = wm->meta.tileSize;
  if (!(ts > 0.0f)) {
    *outTX = *outTY = 0;
    return;
  }
  f32 inv = 1.0f / ts;
  f32 fx = std::fmax(0.0f, (x - wm->meta.boundsMin[0]) * inv);
  f32 fz = std::fmax(0.0f, (z - wm->meta.boundsMin[2]) * inv);
  *outTX = fx >= 4294967295.0f ? 0xFFFFFFFFu : (u32)fx;
  *outTY = fz >= 4294967295.0f ? 0xFFFFFFFFu : (u32)fz;
}

f32 worldHeightAt(const WorldMap* wm, f32 x, f32 z) {
  const WorldMeta& m = wm->meta;
  u32 W = m.heightmapW, H = m.heightmapH;
  if (!wm->heightmap || W < 2 || H < 2) return m.heightOffset;
  f32 inv = 1.0f / m.cellSize;
  f32 fx = (x - m.boundsMin[0]) * inv, fz = (z - m.boundsMin[2]) * inv;
  auto axis = [](f32 f, u32 n, u32* cell, f32* frac) {
    if (!(f >= 0.0f)) {  // negative or NaN
      *cell = 0;
      *frac = 0.0f;
    } else if (f >= (f32)(n - 1)) {
      *cell = n - 2;
      *frac = 1.0f;
    } else {
      *cell = (u32)f;
      *frac = f - (f32)*cell;
    }
  };
  u32 cx, cz;
  f32 tx, tz;
  axis(fx, W, &cx, &tx);
  axis(fz, H, &cz, &tz);
  const i16* row0 = wm->heightmap + (size_t)cz * W;
  const i16* row1 = row0 + W;
  f32 s00 = row0[cx], s10 = row0[cx + 1], s01 = row1[cx], s11 = row1[cx + 1];
  f32 top = std::fma(tx, s10 - s00, s00);
  f32 bottom = std::fma(tx, s11 - s01, s01);
  f32 sample = std::fma(tz, bottom - top, top);
  return std::fma(sample, m.heightScale * (1.0f / 32767.0f), m.heightOffset);
}

u32 worldQueryVisible(WorldMap* wm, const v4* planes, WorldVisibleFn fn, void* userData) {
  u32 visible = 0;
  const WorldMeta& m = wm->meta;
  for (u32 ti = 0; ti < wm->tileCount; ti++) {
    const WorldTile& t = wm->tiles[ti];
    if (!t.loaded || !t.count) continue;
    f64 bx0 = (f64)m.boundsMin[0] + (f64)m.tileSize * t.tileX, bz0 = (f64)m.boundsMin[2] + (f64)m.tileSize * t.tileY;
    f64 lo[3] = {bx0, m.boundsMin[1], bz0}, hi[3] = {bx0 + m.tileSize, m.boundsMax[1], bz0 + m.tileSize};
    b8 culled = false;
    for (int p = 0; p < 6 && !culled; p++) {
      const v4& pl = planes[p];
      f64 cx = pl.x > 0 ? hi[0] : lo[0], cy = pl.y > 0 ? hi[1] : lo[1], cz = pl.z > 0 ? hi[2] : lo[2];
      if (pl.x * cx + pl.y * cy + pl.z * cz + pl.w < 0) culled = true;
    }
    if (culled) continue;
    for (u32 i = 0; i < t.count; i++) {
      const WorldEntityInst& inst = t.instances[i];
      const WorldEntityDef* def = worldCatalogGet(wm, inst.typeId);
      if (def) {
        f64 r = (f64)inst.scale * def->boundingRadius;
        b8 out = false;
        if (r > 0)
          for (int p = 0; p < 6 && !out; p++) {
            const v4& pl = planes[p];
            if (pl.x * inst.pos[0] + pl.y * inst.pos[1] + pl.z * inst.pos[2] + pl.w < -r) out = true;
          }
        if (out) continue;
      }
      if (fn) fn(&inst, def, userData);
      visible++;
    }
  }
  return visible;
}

u32 worldEntityPlace(WorldMap* wm, u32 typeId, v3f pos, f32 rotation, f32 scale) {
  f32 p[3] = {pos.x, pos.y, pos.z};
  u32 tx, ty;
  if (!tileOfPos(wm, p, &tx, &ty)) return kWorldNoIndex;
  if (!worldTileLoad(wm, tx, ty)) return kWorldNoIndex;
  WorldTile* t = loadedTile(wm, tx, ty);
  WorldEntityInst inst{typeId, {p[0], p[1], p[2]}, rotation, scale, 0, 0};
  if (!t || !growArray(&t->instances, &t->capacity, t->count + 1, kInitialInstances)) return kWorldNoIndex;
  WorldCmd c{};
  c.type = WORLD_CMD_PLACE;
  c.place.tileX = tx;
  c.place.tileY = ty;
  c.place.index = t->count;
  c.place.inst = inst;
  if (!recordCmd(wm, &c)) return kWorldNoIndex;
  tileAppend(t, &inst);
  return c.place.index;
}

void worldEntityDelete(WorldMap* wm, u32 tx, u32 ty, u32 index) {
  WorldTile* t = loadedTile(wm, tx, ty);
  if (!t || index >= t->count) return;
  WorldCmd c{};
  c.type = WORLD_CMD_DELETE;
  c.del.tileX = tx;
  c.del.tileY = ty;
  c.del.index = index;
  c.del.inst = t->instances[index];
  if (!recordCmd(wm, &c)) return;
  tileRemoveAt(t, index);
}

b8 worldEntityMove(WorldMap* wm, u32 tx, u32 ty, u32 index, v3f newPos) {
  WorldTile* t = loadedTile(wm, tx, ty);
  if (!t || index >= t->count) return false;
  f32 np[3] = {newPos.x, newPos.y, newPos.z};
  u32 nx, ny;
  if (!tileOfPos(wm, np, &nx, &ny)) return false;
  // Load the destination first: a failure there must leave the edit unrecorded.
  if (!worldTileLoad(wm, nx, ny)) return false;
  t = loadedTile(wm, tx, ty);
  WorldCmd c{};
  c.type = WORLD_CMD_MOVE;
  c.move.tileX = tx;
  c.move.tileY = ty;
  c.move.index = index;
  std::memcpy(c.move.oldPos, t->instances[index].pos, 12);
  std::memcpy(c.move.newPos, np, 12);
  if (!recordCmd(wm, &c)) return false;
  std::memcpy(t->instances[index].pos, np, 12);
  t->dirty = true;
  relocate(wm, t, index, nx, ny);
  return true;
}

void worldEntityRotate(WorldMap* wm, u32 tx, u32 ty, u32 index, f32 newRot) {
  WorldTile* t = loadedTile(wm, tx, ty);
  if (!t || index >= t->count) return;
  WorldCmd c{};
  c.type = WORLD_CMD_ROTATE;
  c.rotate = {tx, ty, index, t->instances[index].rotation, newRot};
  if (!recordCmd(wm, &c)) return;
  t->instances[index].rotation = newRot;
  t->dirty = true;
}

void worldEntityScale(WorldMap* wm, u32 tx, u32 ty, u32 index, f32 newScale) {
  WorldTile* t = loadedTile(wm, tx, ty);
  if (!t || index >= t->count) return;
  WorldCmd c{};
  c.type = WORLD_CMD_SCALE;
  c.scale = {tx, ty, index, t->instances[index].scale, newScale};
  if (!recordCmd(wm, &c)) return;
  t->instances[index].scale = newScale;
  t->dirty = true;
}

void worldEntityModify(WorldMap* wm, u32 tx, u32 ty, u32 index, const WorldEntityInst* inst) {
  WorldTile* t = loadedTile(wm, tx, ty);
  if (!t || !inst || index >= t->count) return;
  // Position changes go through Move (they may change the tile).
  WorldEntityInst next = *inst;
  std::memcpy(next.pos, t->instances[index].pos, 12);
  WorldCmd c{};
  c.type = WORLD_CMD_MODIFY;
  c.modify.tileX = tx;
  c.modify.tileY = ty;
  c.modify.index = index;
  c.modify.oldInst = t->instances[index];
  c.modify.newInst = next;
  if (!recordCmd(wm, &c)) return;
  t->instances[index] = next;
  t->dirty = true;
}

void worldTerrainPaint(WorldMap* wm, u32 x0, u32 z0, u32 width, u32 height, const i16* newHeights) {
  if (rectEdit(wm, WORLD_CMD_TERRAIN, wm->heightmap, 2, x0, z0, width, height, newHeights))
    wm->heightmapDirty = true;
}

void worldSplatPaint(WorldMap* wm, u32 x0, u32 z0, u32 width, u32 height, const u8* newSplat) {
  if (rectEdit(wm, WORLD_CMD_PAINT, wm->splatmap, 4, x0, z0, width, height, newSplat)) wm->splatmapDirty = true;
}

b8 worldUndo(WorldMap* wm) {
  if (!wm || !wm->undoCount) return false;
  if (!growArray(&wm->redoStack, &wm->redoCap, wm->redoCount + 1, kInitialStack)) return false;
  WorldCmd c = wm->undoStack[--wm->undoCount];
  applyCmd(wm, &c, false);
  wm->redoStack[wm->redoCount++] = c;
  wm->dirty = true;
  return true;
}

b8 worldRedo(WorldMap* wm) {
  if (!wm || !wm->redoCount) return false;
  if (!growArray(&wm->undoStack, &wm->undoCap, wm->undoCount + 1, kInitialStack)) return false;
  WorldCmd c = wm->redoStack[--wm->redoCount];
  applyCmd(wm, &c, true);
  wm->undoStack[wm->undoCount++] = c;
  wm->dirty = true;
  return true;
}

b8 worldCanUndo(const WorldMap* wm) { return wm && wm->undoCount > 0; }
b8 worldCanRedo(const WorldMap* wm) { return wm && wm->redoCount > 0; }

u32 worldMaterialCount(const WorldMap* wm) { return wm ? wm->materialCount : 0; }

const WorldTerrainMaterial* worldMaterialGet(const WorldMap* wm, u32 id) {
  return wm && id < wm->materialCount ? &wm->materials[id] : nullptr;
}

u32 worldMaterialAdd(WorldMap* wm, const WorldTerrainMaterial* mat) {
  if (!growArray(&wm->materials, &wm->materialCapacity, wm->materialCount + 1, kInitialMaterials))
    return kWorldNoIndex;
  u32 i = wm->materialCount++;
  wm->materials[i] = *mat;
  wm->materials[i].id = i;
  wm->materials[i].albedoPath[127] = 0;
  wm->materials[i].normalPath[127] = 0;
  wm->dirty = true;
  return i;
}

const u8* worldTileMaterialIds(const WorldMap* wm, u32 tx, u32 ty) {
  u32 gx, gy;
  worldTileGrid(wm, &gx, &gy);
  if (tx >= gx || ty >= gy) return nullptr;
  u64 off = 4ull * ((u64)ty * gx + tx);
  if (!wm->tileMaterialIds || off + 4 > wm->tileMaterialIdsCap) return nullptr;
  return wm->tileMaterialIds + off;
}

b8 worldSetTileMaterialIds(WorldMap* wm, u32 tx, u32 ty, const u8* ids) {
  const u8* p = worldTileMaterialIds(wm, tx, ty);
  if (!p || !ids) return false;
  std::memcpy(const_cast<u8*>(p), ids, 4);
  wm->dirty = true;
  return true;
}
