#include "terrain/world_editor.h"

#include <stb/stb_perlin.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "physics/shapes.h"
#include "physics/world.h"
#include "platform/memory.h"
#include "terrain/world_map.h"

namespace {

constexpr u32 kNoModel = 0xFFFFFFFFu;
constexpr u32 kInitialLive = 256;

// Holds the physics world's lock for a scope (re-entrant; nothing without a world).
struct PhysLock {
  World* w;
  explicit PhysLock(World* world) : w(world) {
    if (w) worldLock(w);
  }
  ~PhysLock() {
    if (w) worldUnlock(w);
  }
  PhysLock(const PhysLock&) = delete;
  PhysLock& operator=(const PhysLock&) = delete;
};

v4 yawQuat(f32 yaw) {
  f64 half = (f64)yaw * 0.5;
  return V4(0, std::sin(half), 0, std::cos(half));
}

v3 toV3(const f32* p) { return V3(p[0], p[1], p[2]); }

// Static bodies are not moved by steps: their broadphase box follows each edit
// here, or rays and contacts would still find them where they were made.
void refreshBodyBox(World* w, Body* b) { broadphaseUpdateBody(&w->broadphase, b->id, bodyComputeAabb(b), V3(0, 0, 0)); }

b8 gridOk(const WorldMap* wm) { return wm && wm->meta.heightmapW > 1 && wm->meta.heightmapH > 1; }

const WorldEntityInst* instanceOf(WorldEditor* we, const WorldLiveEntity& le) {
  u32 n = 0;
  WorldEntityInst* arr = worldTileEntities(we->wm, le.tileX, le.tileY, &n);
  return arr && le.index < n ? &arr[le.index] : nullptr;
}

f32 sphereRadius(const WorldEditor* we, const WorldEntityInst& inst) {
  const WorldEntityDef* d = worldCatalogGet(we->wm, inst.typeId);
  f32 r = d ? inst.scale * d->boundingRadius : 0.0f;
  return r > 0.5f ? r : 0.5f;
}

b8 growLive(WorldEditor* we) {
  if (we->liveCount < we->liveCap) return true;
  u32 cap = we->liveCap ? we->liveCap * 2 : kInitialLive;
  void* p = memRealloc(we->liveEntities, (size_t)cap * sizeof(WorldLiveEntity));
  if (!p) return false;
  we->liveEntities = static_cast<WorldLiveEntity*>(p);
  we->liveCap = cap;
  return true;
}

void spawnLiveEntity(WorldEditor* we, u32 tx, u32 ty, u32 index) {
  u32 n = 0;
  WorldEntityInst* arr = worldTileEntities(we->wm, tx, ty, &n);
  if (!arr || index >= n) return;
  const WorldEntityInst inst = arr[index];
  const WorldEntityDef* def = worldCatalogGet(we->wm, inst.typeId);
  u32 model = inst.typeId < we->modelIndexMapCap ? we->modelIndexMap[inst.typeId] : kNoModel;
  if (model == kNoModel && !we->models.spawn) {
    std::fprintf(stderr, "  spawnLive: no model for typeId %u (%s)\n", inst.typeId, def ? def->name : "");
    return;
  }
  if (!we->models.spawn || !growLive(we)) return;
  v4 q = yawQuat(inst.rotation);
  v3 pos = toV3(inst.pos);
  Entity e = we->models.spawn(we->models.user, we->ecs, model == kNoModel ? -1 : (i32)model, pos, q, inst.scale);
  if (!e) {
    if (model == kNoModel) std::fprintf(stderr, "  spawnLive: no model for typeId %u (%s)\n", inst.typeId, def ? def->name : "");
    else std::fprintf(stderr, "  spawnLive: modelSystemSpawn failed for typeId %u\n", inst.typeId);
    return;
  }
  i32 bodyId = -1;
  SphereShape* shape = nullptr;
  if (we->physWorld) {
    shape = static_cast<SphereShape*>(memAlloc(sizeof(SphereShape)));
    if (shape) {
      sphereInit(shape, sphereRadius(we, inst));
      PhysLock lock(we->physWorld);
      bodyId = worldCreateBody(we->physWorld);
      if (bodyId >= 0) {
        worldSetBodyType(we->physWorld, bodyId, BODY_STATIC);
        Body* b = worldGetBody(we->physWorld, bodyId);
        b->shape = &shape->base;
        b->localAabb = shapeComputeAabb(&shape->base, Transform{V3(0, 0, 0), quatIdentity()});
        b->friction = 0.5;
        b->restitution = 0.0;
        bodySetTransform(b, Transform{pos, q});
        refreshBodyBox(we->physWorld, b);
      }
    }
    if (bodyId < 0) {
      memFree(shape);
      shape = nullptr;
    }
  }
  if (bodyId >= 0) {
    if (we->models.bindBody) we->models.bindBody(we->models.user, we->ecs, e, bodyId, inst.color ? inst.color : 0xFF808080u);
    if (we->ecs) ecsReverseSet(we->ecs, ECS_SYS_PHYSICS_BODY, (u32)bodyId, e);
  }
  we->liveEntities[we->liveCount++] = WorldLiveEntity{tx, ty, index, e, bodyId, shape};
}

void despawnLiveEntity(WorldEditor* we, u32 i) {
  WorldLiveEntity& le = we->liveEntities[i];
  if (le.bodyId >= 0) {
    if (we->ecs) {
      ecsReverseSet(we->ecs, ECS_SYS_PHYSICS_BODY, (u32)le.bodyId, 0);
      if (ecsHas(we->ecs, ECS_SYS_PHYSICS_BODY, le.ecsEntity)) ecsDetach(we->ecs, ECS_SYS_PHYSICS_BODY, le.ecsEntity);
    }
    if (we->physWorld) {
      PhysLock lock(we->physWorld);
      Body* b = worldGetBody(we->physWorld, le.bodyId);
      if (b) b->shape = nullptr;
      worldDestroyBody(we->physWorld, le.bodyId);
    }
  }
  memFree(le.shape);
  if (we->ecs && le.ecsEntity) ecsEntityDestroy(we->ecs, le.ecsEntity);
  we->liveEntities[i] = we->liveEntities[we->liveCount - 1];
  we->liveCount--;
}

// Removes live entity i keeping the selection on the same entity.
void despawnKeepingSelection(WorldEditor* we, u32 i) {
  u32 last = we->liveCount - 1;
  if (we->selectedLive == (i32)i) we->selectedLive = -1;
  else if (we->selectedLive == (i32)last) we->selectedLive = (i32)i;
  despawnLiveEntity(we, i);
}

i32 findLive(const WorldEditor* we, u32 tx, u32 ty, u32 index) {
  for (u32 i = 0; i < we->liveCount; i++) {
    const WorldLiveEntity& le = we->liveEntities[i];
    if (le.tileX == tx && le.tileY == ty && le.index == index) return (i32)i;
  }
  return -1;
}

void setBodyPose(WorldEditor* we, i32 bodyId, v3 pos, const v4* rot) {
  if (!we->physWorld || bodyId < 0) return;
  PhysLock lock(we->physWorld);
  Body* b = worldGetBody(we->physWorld, bodyId);
  if (!b) return;
  worldSetBodyTransform(we->physWorld, bodyId, Transform{pos, rot ? *rot : b->rotation});
  refreshBodyBox(we->physWorld, b);
}

HeightFieldShape* heightfieldShape(WorldEditor* we, Body** outBody) {
  if (!we->physWorld || we->heightfieldBodyId < 0) return nullptr;
  Body* b = worldGetBody(we->physWorld, we->heightfieldBodyId);
  if (!b || !b->shape || b->shape->type != SHAPE_HEIGHTFIELD) return nullptr;
  *outBody = b;
  return reinterpret_cast<HeightFieldShape*>(b->shape);
}

void updateHeightfieldBox(WorldEditor* we, Body* b, HeightFieldShape* hf) {
  b->localAabb = shapeComputeAabb(&hf->base, Transform{V3(0, 0, 0), quatIdentity()});
  broadphaseUpdateBody(&we->physWorld->broadphase, we->heightfieldBodyId, bodyComputeAabb(b), V3(0, 0, 0));
}

// Wakes bodies over a sample rectangle (sleeping bodies do not see in-place edits).
void wakeSamples(WorldEditor* we, u32 x0, u32 z0, u32 x1, u32 z1) {
  if (!we->physWorld) return;
  const WorldMeta& m = we->wm->meta;
  Aabb box{V3(m.boundsMin[0] + (f64)x0 * m.cellSize - m.cellSize, -1e30, m.boundsMin[2] + (f64)z0 * m.cellSize - m.cellSize),
           V3(m.boundsMin[0] + (f64)x1 * m.cellSize + m.cellSize, 1e30, m.boundsMin[2] + (f64)z1 * m.cellSize + m.cellSize)};
  worldWakeRegion(we->physWorld, box);
}

void expandStrokeBounds(WorldEditor* we, u32 x0, u32 z0, u32 x1, u32 z1) {
  if (!we->strokeTouched) {
    we->strokeMinX = x0;
    we->strokeMinZ = z0;
    we->strokeMaxX = x1;
    we->strokeMaxZ = z1;
    we->strokeTouched = true;
    return;
  }
  if (x0 < we->strokeMinX) we->strokeMinX = x0;
  if (z0 < we->strokeMinZ) we->strokeMinZ = z0;
  if (x1 > we->strokeMaxX) we->strokeMaxX = x1;
  if (z1 > we->strokeMaxZ) we->strokeMaxZ = z1;
}

void refreshTerrainTiles(WorldEditor* we, u32 x0, u32 z0, u32 x1, u32 z1) {
  if ((!we->terrain.refreshTile && !we->terrain.refreshTileRect) || !gridOk(we->wm)) return;
  const WorldMeta& m = we->wm->meta;
  u32 tx0, tz0, tx1, tz1;
  worldPosToTile(we->wm, m.boundsMin[0] + (f32)x0 * m.cellSize, m.boundsMin[2] + (f32)z0 * m.cellSize, &tx0, &tz0);
  worldPosToTile(we->wm, m.boundsMin[0] + (f32)x1 * m.cellSize, m.boundsMin[2] + (f32)z1 * m.cellSize, &tx1, &tz1);
  // A sample on a tile border belongs to both chunks: include the tile before it.
  auto onBorder = [&](u32 sample, f32 bmin, u32 tile) {
    return tile > 0 && (f64)bmin + (f64)sample * m.cellSize == (f64)bmin + (f64)tile * m.tileSize;
  };
  if (onBorder(x0, m.boundsMin[0], tx0)) tx0--;
  if (onBorder(z0, m.boundsMin[2], tz0)) tz0--;
  for (u32 ty = tz0; ty <= tz1; ty++)
    for (u32 tx = tx0; tx <= tx1; tx++) {
      if (!worldTileIsLoaded(we->wm, tx, ty)) continue;
      if (we->terrain.refreshTileRect) we->terrain.refreshTileRect(we->terrain.user, tx, ty, x0, z0, x1, z1);
      else we->terrain.refreshTile(we->terrain.user, tx, ty);
    }
}

// The inclusive sample rectangle a brush covers; false when it misses the grid.
b8 brushRect(const WorldMap* wm, v3f c, f32 radius, u32* x0, u32* z0, u32* x1, u32* z1) {
  const WorldMeta& m = wm->meta;
  const f64 cell = m.cellSize;
  f64 fx0 = std::floor(((f64)c.x - radius - m.boundsMin[0]) / cell), fx1 = std::ceil(((f64)c.x + radius - m.boundsMin[0]) / cell);
  f64 fz0 = std::floor(((f64)c.z - radius - m.boundsMin[2]) / cell), fz1 = std::ceil(((f64)c.z + radius - m.boundsMin[2]) / cell);
  if (!std::isfinite(fx0) || !std::isfinite(fx1) || !std::isfinite(fz0) || !std::isfinite(fz1)) return false;
  fx0 = fx0 < 0 ? 0 : fx0;
  fz0 = fz0 < 0 ? 0 : fz0;
  f64 wMax = m.heightmapW - 1.0, hMax = m.heightmapH - 1.0;
  fx1 = fx1 > wMax ? wMax : fx1;
  fz1 = fz1 > hMax ? hMax : fz1;
  if (fx0 > fx1 || fz0 > fz1) return false;
  *x0 = (u32)fx0;
  *x1 = (u32)fx1;
  *z0 = (u32)fz0;
  *z1 = (u32)fz1;
  return true;
}

}  // namespace

void worldEditorInit(WorldEditor* we, WorldMap* wm, const WorldEditorModels* models, Ecs* ecs, World* physWorld) {
  std::memset(we, 0, sizeof *we);
  we->wm = wm;
  if (models) we->models = *models;
  we->ecs = ecs;
  we->physWorld = physWorld;
  we->selectedLive = -1;
  we->heightfieldBodyId = -1;
  u32 cap = wm && wm->catalogCapacity ? wm->catalogCapacity : 128;
  we->modelIndexMap = static_cast<u32*>(memAlloc((size_t)cap * sizeof(u32)));
  if (we->modelIndexMap) {
    std::memset(we->modelIndexMap, 0xFF, (size_t)cap * sizeof(u32));
    we->modelIndexMapCap = cap;
  }
}

void worldEditorShutdown(WorldEditor* we) {
  while (we->liveCount) despawnLiveEntity(we, we->liveCount - 1);
  worldEditorDestroyHeightfieldBody(we);
  memFree(we->liveEntities);
  memFree(we->modelIndexMap);
  memFree(we->heightStrokeSnapshot);
  memFree(we->splatStrokeSnapshot);
  std::memset(we, 0, sizeof *we);
  we->selectedLive = -1;
  we->heightfieldBodyId = -1;
}

void worldEditorSetTerrain(WorldEditor* we, const WorldEditorTerrain* terrain) {
  if (terrain) we->terrain = *terrain;
  else std::memset(&we->terrain, 0, sizeof we->terrain);
}

void worldEditorLoadCatalog(WorldEditor* we) {
  WorldMap* wm = we->wm;
  for (u32 i = 0; wm && i < wm->catalogCount; i++) {
    const char* path = wm->catalog[i].meshPath;
    if (!path[0]) continue;
    u32 model = kNoModel;
    for (u32 j = 0; j < i; j++)
      if (std::strcmp(wm->catalog[j].meshPath, path) == 0) {
        model = j < we->modelIndexMapCap ? we->modelIndexMap[j] : kNoModel;
        break;
      }
    if (model == kNoModel && we->models.loadModel) {
      i32 m = we->models.loadModel(we->models.user, path);
      if (m >= 0) model = (u32)m;
    }
    if (model == kNoModel) continue;
    if (i >= we->modelIndexMapCap) {
      u32 cap = we->modelIndexMapCap ? we->modelIndexMapCap : 128;
      while (cap <= i) cap *= 2;
      u32* p = static_cast<u32*>(memRealloc(we->modelIndexMap, (size_t)cap * sizeof(u32)));
      if (!p) continue;
      std::memset(p + we->modelIndexMapCap, 0xFF, (size_t)(cap - we->modelIndexMapCap) * sizeof(u32));
      we->modelIndexMap = p;
      we->modelIndexMapCap = cap;
    }
    we->modelIndexMap[i] = model;
  }
  if (we->models.catalogLoaded) we->models.catalogLoaded(we->models.user);
}

void worldEditorUpdateStreaming(WorldEditor* we, f32 camX, f32 camZ, f32 radius) {
  WorldMap* wm = we->wm;
  if (!wm || !(wm->meta.tileSize > 0.0f) || !std::isfinite(camX) || !std::isfinite(camZ) || !(radius >= 0.0f)) return;
  u32 gx, gy;
  worldTileGrid(wm, &gx, &gy);
  const f64 ts = wm->meta.tileSize;
  // Signed arithmetic: a point outside the world clamps to an empty or edge range.
  auto range = [&](f64 c, f64 bmin, u32 n, u32* lo, u32* hi) {
    f64 a = std::floor((c - radius - bmin) / ts), b = std::floor((c + radius - bmin) / ts) + 1.0;
    a = a < 0 ? 0 : (a > n ? n : a);
    b = b < 0 ? 0 : (b > n ? n : b);
    *lo = (u32)a;
    *hi = (u32)b;
  };
  u32 x0, x1, z0, z1;
  range(camX, wm->meta.boundsMin[0], gx, &x0, &x1);
  range(camZ, wm->meta.boundsMin[2], gy, &z0, &z1);
  for (u32 i = wm->tileCount; i-- > 0;) {
    if (i >= wm->tileCount) continue;
    const WorldTile& t = wm->tiles[i];
    if (!t.loaded) continue;
    if (t.tileX >= x0 && t.tileX < x1 && t.tileY >= z0 && t.tileY < z1) continue;
    u32 tx = t.tileX, ty = t.tileY;
    worldEditorDespawnTile(we, tx, ty);
    worldTileUnload(wm, tx, ty);
  }
  for (u32 z = z0; z < z1; z++)
    for (u32 x = x0; x < x1; x++)
      if (!worldTileIsLoaded(wm, x, z) && worldTileLoad(wm, x, z)) worldEditorSpawnTile(we, x, z);
  we->lastStreamX = camX;
  we->lastStreamZ = camZ;
  we->streamRadius = radius;
}

void worldEditorSpawnTile(WorldEditor* we, u32 tx, u32 ty) {
  u32 n = 0;
  worldTileEntities(we->wm, tx, ty, &n);
  for (u32 i = 0; i < n; i++) spawnLiveEntity(we, tx, ty, i);
  if (we->terrain.loadTile) we->terrain.loadTile(we->terrain.user, tx, ty);
}

void worldEditorDespawnTile(WorldEditor* we, u32 tx, u32 ty) {
  for (u32 i = we->liveCount; i-- > 0;)
    if (we->liveEntities[i].tileX == tx && we->liveEntities[i].tileY == ty) despawnKeepingSelection(we, i);
  if (we->terrain.unloadTile) we->terrain.unloadTile(we->terrain.user, tx, ty);
}

void worldEditorResync(WorldEditor* we) {
  WorldMap* wm = we->wm;
  while (we->liveCount) despawnLiveEntity(we, we->liveCount - 1);
  we->selectedLive = -1;
  for (u32 i = 0; i < wm->tileCount; i++) {
    if (!wm->tiles[i].loaded) continue;
    u32 n = wm->tiles[i].count, tx = wm->tiles[i].tileX, ty = wm->tiles[i].tileY;
    for (u32 k = 0; k < n; k++) spawnLiveEntity(we, tx, ty, k);
    // Undo and redo may have loaded tiles the terrain has no chunk for yet.
    if (we->terrain.loadTile) we->terrain.loadTile(we->terrain.user, tx, ty);
  }
  worldEditorRefreshHeightfield(we);
  if (we->terrain.refreshSplatmap) we->terrain.refreshSplatmap(we->terrain.user);
  for (u32 i = 0; i < wm->tileCount; i++) {
    if (!wm->tiles[i].loaded) continue;
    if (we->terrain.refreshTile) we->terrain.refreshTile(we->terrain.user, wm->tiles[i].tileX, wm->tiles[i].tileY);
    if (we->terrain.refreshChunkMaterialIds)
      we->terrain.refreshChunkMaterialIds(we->terrain.user, wm->tiles[i].tileX, wm->tiles[i].tileY);
  }
  if (gridOk(wm)) wakeSamples(we, 0, 0, wm->meta.heightmapW - 1, wm->meta.heightmapH - 1);
}

i32 worldEditorSelectFromBody(WorldEditor* we, i32 bodyId) {
  we->selectedLive = -1;
  for (u32 i = 0; bodyId >= 0 && i < we->liveCount; i++)
    if (we->liveEntities[i].bodyId == bodyId) {
      we->selectedLive = (i32)i;
      break;
    }
  return we->selectedLive;
}

WorldLiveEntity* worldEditorGetSelected(WorldEditor* we) {
  if (we->selectedLive < 0 || (u32)we->selectedLive >= we->liveCount) return nullptr;
  return &we->liveEntities[we->selectedLive];
}

void worldEditorApplyMove(WorldEditor* we, v3f newPos) {
  WorldLiveEntity* sel = worldEditorGetSelected(we);
  if (!sel) return;
  WorldMap* wm = we->wm;
  u32 fromX = sel->tileX, fromY = sel->tileY, index = sel->index;
  u32 oldCount = 0;
  worldTileEntities(wm, fromX, fromY, &oldCount);
  u32 tx, ty;
  worldPosToTile(wm, newPos.x, newPos.z, &tx, &ty);
  b8 cross = tx != fromX || ty != fromY;
  // A destination tile not loaded yet comes in with its own live entities first.
  if (cross && !worldTileIsLoaded(wm, tx, ty)) {
    u32 gx, gy;
    worldTileGrid(wm, &gx, &gy);
    if (tx >= gx || ty >= gy || !worldTileLoad(wm, tx, ty)) return;
    worldEditorSpawnTile(we, tx, ty);
    sel = worldEditorGetSelected(we);
  }
  if (!worldEntityMove(wm, fromX, fromY, index, newPos)) return;
  v3 p = V3(newPos.x, newPos.y, newPos.z);
  const WorldEntityInst* inst = nullptr;
  if (cross) {
    u32 n = 0;
    WorldEntityInst* arr = worldTileEntities(wm, tx, ty, &n);
    // The moved instance was appended; the old tile's last one filled its slot.
    i32 moved = findLive(we, fromX, fromY, oldCount - 1);
    if (moved >= 0 && moved != we->selectedLive) we->liveEntities[moved].index = index;
    sel->tileX = tx;
    sel->tileY = ty;
    sel->index = n - 1;
    inst = arr ? &arr[n - 1] : nullptr;
  } else {
    inst = instanceOf(we, *sel);
  }
  if (we->models.setPose && inst) {
    v4 q = yawQuat(inst->rotation);
    we->models.setPose(we->models.user, we->ecs, sel->ecsEntity, p, q, inst->scale);
  }
  setBodyPose(we, sel->bodyId, p, nullptr);
}

void worldEditorApplyRotate(WorldEditor* we, f32 newRotY) {
  WorldLiveEntity* sel = worldEditorGetSelected(we);
  if (!sel) return;
  worldEntityRotate(we->wm, sel->tileX, sel->tileY, sel->index, newRotY);
  const WorldEntityInst* inst = instanceOf(we, *sel);
  if (!inst) return;
  v4 q = yawQuat(newRotY);
  v3 p = toV3(inst->pos);
  if (we->models.setPose) we->models.setPose(we->models.user, we->ecs, sel->ecsEntity, p, q, inst->scale);
  setBodyPose(we, sel->bodyId, p, &q);
}

void worldEditorApplyScale(WorldEditor* we, f32 newScale) {
  WorldLiveEntity* sel = worldEditorGetSelected(we);
  if (!sel) return;
  worldEntityScale(we->wm, sel->tileX, sel->tileY, sel->index, newScale);
  const WorldEntityInst* inst = instanceOf(we, *sel);
  if (!inst) return;
  if (we->models.setPose)
    we->models.setPose(we->models.user, we->ecs, sel->ecsEntity, toV3(inst->pos), yawQuat(inst->rotation), newScale);
  if (!we->physWorld || sel->bodyId < 0 || !worldCatalogGet(we->wm, inst->typeId)) return;
  PhysLock lock(we->physWorld);
  Body* b = worldGetBody(we->physWorld, sel->bodyId);
  if (!b || !b->shape || b->shape->type != SHAPE_SPHERE) return;
  sphereInit(reinterpret_cast<SphereShape*>(b->shape), sphereRadius(we, *inst));
  b->localAabb = shapeComputeAabb(b->shape, Transform{V3(0, 0, 0), quatIdentity()});
  refreshBodyBox(we->physWorld, b);
  worldWakeRegion(we->physWorld, bodyComputeAabb(b));
}

u32 worldEditorPlace(WorldEditor* we, u32 typeId, v3f pos, f32 rot, f32 scale) {
  u32 tx, ty;
  worldPosToTile(we->wm, pos.x, pos.z, &tx, &ty);
  b8 wasLoaded = worldTileIsLoaded(we->wm, tx, ty);
  u32 index = worldEntityPlace(we->wm, typeId, pos, rot, scale);
  if (index == kWorldNoIndex) return index;
  if (wasLoaded) spawnLiveEntity(we, tx, ty, index);
  else worldEditorSpawnTile(we, tx, ty);
  return index;
}

void worldEditorDeleteSelected(WorldEditor* we) {
  WorldLiveEntity* sel = worldEditorGetSelected(we);
  if (!sel) return;
  u32 tx = sel->tileX, ty = sel->tileY, index = sel->index;
  u32 before = 0;
  worldTileEntities(we->wm, tx, ty, &before);
  worldEntityDelete(we->wm, tx, ty, index);
  u32 after = 0;
  worldTileEntities(we->wm, tx, ty, &after);
  if (after == before) return;  // refused
  despawnKeepingSelection(we, (u32)we->selectedLive);
  we->selectedLive = -1;
  i32 moved = findLive(we, tx, ty, after);
  if (moved >= 0) we->liveEntities[moved].index = index;
}

void worldEditorSetHeightfieldBody(WorldEditor* we, i32 bodyId) { we->heightfieldBodyId = bodyId; }

i32 worldEditorCreateHeightfieldBody(WorldEditor* we) {
  WorldMap* wm = we->wm;
  if (!we->physWorld || !wm || !wm->heightmap || !gridOk(wm)) return -1;
  worldEditorDestroyHeightfieldBody(we);
  auto* hf = static_cast<HeightFieldShape*>(memAlloc(sizeof(HeightFieldShape)));
  if (!hf) return -1;
  const WorldMeta& m = wm->meta;
  PhysLock lock(we->physWorld);
  heightFieldInitBorrowed(hf, wm->heightmap, m.heightmapH, m.heightmapW, m.cellSize, m.heightScale, m.heightOffset);
  i32 id = worldCreateBody(we->physWorld);
  if (id < 0) {
    memFree(hf);
    return -1;
  }
  worldSetBodyType(we->physWorld, id, BODY_STATIC);
  Body* b = worldGetBody(we->physWorld, id);
  b->shape = &hf->base;
  b->localAabb = shapeComputeAabb(&hf->base, Transform{V3(0, 0, 0), quatIdentity()});
  b->friction = 0.8;
  b->restitution = 0.0;
  bodySetTransform(b, Transform{V3(m.boundsMin[0], 0, m.boundsMin[2]), quatIdentity()});
  we->ownedHeightfield = hf;
  we->heightfieldBodyId = id;
  broadphaseUpdateBody(&we->physWorld->broadphase, id, bodyComputeAabb(b), V3(0, 0, 0));
  return id;
}

void worldEditorDestroyHeightfieldBody(WorldEditor* we) {
  if (!we->ownedHeightfield) return;
  if (we->physWorld && we->heightfieldBodyId >= 0) {
    PhysLock lock(we->physWorld);
    Body* b = worldGetBody(we->physWorld, we->heightfieldBodyId);
    if (b) b->shape = nullptr;
    worldDestroyBody(we->physWorld, we->heightfieldBodyId);
  }
  memFree(we->ownedHeightfield);
  we->ownedHeightfield = nullptr;
  we->heightfieldBodyId = -1;
}

void worldEditorRefreshHeightfield(WorldEditor* we) {
  Body* b = nullptr;
  PhysLock lock(we->physWorld);
  HeightFieldShape* hf = heightfieldShape(we, &b);
  if (!hf) return;
  heightFieldInitBorrowed(hf, hf->heights, hf->rows, hf->cols, hf->cellSize, hf->heightScale, hf->heightOffset);
  updateHeightfieldBox(we, b, hf);
}

void worldEditorBeginHeightStroke(WorldEditor* we) {
  WorldMap* wm = we->wm;
  if (!wm || !wm->heightmap || !gridOk(wm) || we->heightStrokeActive) return;
  size_t n = (size_t)wm->meta.heightmapW * wm->meta.heightmapH;
  we->heightStrokeSnapshot = static_cast<i16*>(memAlloc(n * 2));
  if (!we->heightStrokeSnapshot) return;
  std::memcpy(we->heightStrokeSnapshot, wm->heightmap, n * 2);
  we->heightStrokeActive = true;
  we->strokeTouched = false;
}

void worldEditorBeginSplatStroke(WorldEditor* we) {
  WorldMap* wm = we->wm;
  if (!wm || !wm->splatmap || !gridOk(wm) || we->splatStrokeActive) return;
  size_t n = (size_t)wm->meta.heightmapW * wm->meta.heightmapH;
  we->splatStrokeSnapshot = static_cast<u8*>(memAlloc(n * 4));
  if (!we->splatStrokeSnapshot) return;
  std::memcpy(we->splatStrokeSnapshot, wm->splatmap, n * 4);
  we->splatStrokeActive = true;
  we->strokeTouched = false;
}

namespace {

// Turns the stroke's changes (map = final values, snapshot = before) into one command.
template <class T>
b8 finishStroke(WorldEditor* we, T* map, T* snapshot, u32 texel, b8 height) {
  WorldMap* wm = we->wm;
  const u32 W = wm->meta.heightmapW;
  u32 w = we->strokeMaxX - we->strokeMinX + 1, h = we->strokeMaxZ - we->strokeMinZ + 1;
  T* finalVals = static_cast<T*>(memAlloc((size_t)w * h * texel * sizeof(T)));
  if (!finalVals) return false;
  for (u32 r = 0; r < h; r++) {
    size_t at = ((size_t)(we->strokeMinZ + r) * W + we->strokeMinX) * texel;
    std::memcpy(finalVals + (size_t)r * w * texel, map + at, (size_t)w * texel * sizeof(T));
    // Outside the bounds the map equals the snapshot: the rectangle is all to put back.
    std::memcpy(map + at, snapshot + at, (size_t)w * texel * sizeof(T));
  }
  u32 before = wm->undoCount;
  if (height) worldTerrainPaint(wm, we->strokeMinX, we->strokeMinZ, w, h, reinterpret_cast<const i16*>(finalVals));
  else worldSplatPaint(wm, we->strokeMinX, we->strokeMinZ, w, h, reinterpret_cast<const u8*>(finalVals));
  if (wm->undoCount == before) {
    // The command could not be recorded: keep the stroke's result on the map.
    for (u32 r = 0; r < h; r++) {
      size_t at = ((size_t)(we->strokeMinZ + r) * W + we->strokeMinX) * texel;
      std::memcpy(map + at, finalVals + (size_t)r * w * texel, (size_t)w * texel * sizeof(T));
    }
    if (height) wm->heightmapDirty = true;
    else wm->splatmapDirty = true;
    wm->dirty = true;
  }
  memFree(finalVals);
  return true;
}

}  // namespace

void worldEditorEndHeightStroke(WorldEditor* we) {
  if (!we->heightStrokeActive) return;
  if (we->strokeTouched) {
    {
      PhysLock lock(we->physWorld);
      finishStroke<i16>(we, we->wm->heightmap, we->heightStrokeSnapshot, 1, true);
    }
    worldEditorRefreshHeightfield(we);
    refreshTerrainTiles(we, we->strokeMinX, we->strokeMinZ, we->strokeMaxX, we->strokeMaxZ);
  }
  memFree(we->heightStrokeSnapshot);
  we->heightStrokeSnapshot = nullptr;
  we->heightStrokeActive = false;
  we->strokeTouched = false;
}

void worldEditorEndSplatStroke(WorldEditor* we) {
  if (!we->splatStrokeActive) return;
  if (we->strokeTouched) {
    finishStroke<u8>(we, we->wm->splatmap, we->splatStrokeSnapshot, 4, false);
    if (we->terrain.refreshSplatmap) we->terrain.refreshSplatmap(we->terrain.user);
  }
  memFree(we->splatStrokeSnapshot);
  we->splatStrokeSnapshot = nullptr;
  we->splatStrokeActive = false;
  we->strokeTouched = false;
}

void worldEditorEndStrokes(WorldEditor* we) {
  worldEditorEndHeightStroke(we);
  worldEditorEndSplatStroke(we);
}

b8 worldEditorApplyHeightBrush(WorldEditor* we, v3f c, f32 radius, f32 strength, WorldEditorHeightBrush brush,
                               f32 flattenTarget) {
  WorldMap* wm = we->wm;
  if (!wm || !wm->heightmap || !gridOk(wm) || !(radius > 0.0f) || !(strength > 0.0f) || !std::isfinite(radius) ||
      !std::isfinite(strength) || brush > WORLD_EDITOR_HEIGHT_BRUSH_PERLIN)
    return false;
  if (!we->heightStrokeActive) worldEditorBeginHeightStroke(we);
  u32 x0, z0, x1, z1;
  if (!brushRect(wm, c, radius, &x0, &z0, &x1, &z1)) return false;
  const WorldMeta& m = wm->meta;
  const u32 W = m.heightmapW, H = m.heightmapH;
  const i16* src = we->heightStrokeSnapshot ? we->heightStrokeSnapshot : wm->heightmap;
  const f32 k = m.heightScale / 32767.0f;
  b8 changed = false;
  i16 lo = 32767, hi = -32767;
  PhysLock lock(we->physWorld);
  for (u32 z = z0; z <= z1; z++)
    for (u32 x = x0; x <= x1; x++) {
      f32 wx = m.boundsMin[0] + (f32)x * m.cellSize, wz = m.boundsMin[2] + (f32)z * m.cellSize;
      f32 dx = wx - c.x, dz = wz - c.z;
      f32 d = std::sqrt(dx * dx + dz * dz);
      if (d > radius) continue;
      f32 f = 1.0f - d / radius;
      f32 h0 = (f32)src[(size_t)z * W + x] * k + m.heightOffset;
      f32 h = h0;
      switch (brush) {
        case WORLD_EDITOR_HEIGHT_BRUSH_RAISE: {
          // Never below what the stroke already made: a drag raises its whole path.
          f32 now = (f32)wm->heightmap[(size_t)z * W + x] * k + m.heightOffset;
          h = std::fmax(now, h0 + f * strength);
          break;
        }
        case WORLD_EDITOR_HEIGHT_BRUSH_FLATTEN: {
          f32 t = std::fmin(1.0f, f * strength);
          h = h0 + t * (flattenTarget - h0);
          break;
        }
        case WORLD_EDITOR_HEIGHT_BRUSH_SMOOTH: {
          f32 sum = 0.0f;
          u32 n = 0;
          for (u32 zz = z > 0 ? z - 1 : 0; zz <= z + 1 && zz < H; zz++)
            for (u32 xx = x > 0 ? x - 1 : 0; xx <= x + 1 && xx < W; xx++, n++)
              sum += (f32)src[(size_t)zz * W + xx] * k + m.heightOffset;
          f32 t = std::fmin(1.0f, f * strength);
          h = h0 + t * (sum / (f32)n - h0);
          break;
        }
        case WORLD_EDITOR_HEIGHT_BRUSH_PERLIN:
          h = h0 + stb_perlin_fbm_noise3(wx * 0.04f, 0.0f, wz * 0.04f, 2.0f, 0.5f, 4) * f * strength;
          break;
      }
      f64 q = std::nearbyint(((f64)h - m.heightOffset) * 32767.0 / m.heightScale);
      if (!(q >= -32767.0)) q = -32767.0;  // also NaN (a flatten target that is not finite)
      if (q > 32767.0) q = 32767.0;
      i16 s = (i16)q;
      i16& dst = wm->heightmap[(size_t)z * W + x];
      if (s != dst) {
        dst = s;
        changed = true;
      }
      if (s < lo) lo = s;
      if (s > hi) hi = s;
    }
  if (!changed) return false;
  wm->heightmapDirty = true;
  expandStrokeBounds(we, x0, z0, x1, z1);
  // Only widen the height field's range here; the stroke's end rescans it.
  Body* b = nullptr;
  if (HeightFieldShape* hf = heightfieldShape(we, &b)) {
    f64 sLo = (f64)lo * hf->heightScale / 32767.0 + hf->heightOffset;
    f64 sHi = (f64)hi * hf->heightScale / 32767.0 + hf->heightOffset;
    if (sLo < hf->minHeight) hf->minHeight = sLo;
    if (sHi > hf->maxHeight) hf->maxHeight = sHi;
    updateHeightfieldBox(we, b, hf);
  }
  wakeSamples(we, x0, z0, x1, z1);
  refreshTerrainTiles(we, x0, z0, x1, z1);
  return true;
}

b8 worldEditorApplySplatBrush(WorldEditor* we, v3f c, f32 radius, f32 strength, u32 channel) {
  WorldMap* wm = we->wm;
  if (!wm || channel > 3 || !wm->splatmap || !gridOk(wm) || !(radius > 0.0f) || !(strength > 0.0f) ||
      !std::isfinite(radius) || !std::isfinite(strength))
    return false;
  if (!we->splatStrokeActive) worldEditorBeginSplatStroke(we);
  u32 x0, z0, x1, z1;
  if (!brushRect(wm, c, radius, &x0, &z0, &x1, &z1)) return false;
  const WorldMeta& m = wm->meta;
  b8 changed = false;
  for (u32 z = z0; z <= z1; z++)
    for (u32 x = x0; x <= x1; x++) {
      f32 dx = m.boundsMin[0] + (f32)x * m.cellSize - c.x, dz = m.boundsMin[2] + (f32)z * m.cellSize - c.z;
      f32 d = std::sqrt(dx * dx + dz * dz);
      if (d > radius) continue;
      f32 w = strength * (1.0f - d / radius);
      if (!(w > 0.0f)) continue;
      f32 t = std::fmin(w, 1.0f);
      u8* texel = wm->splatmap + ((size_t)z * m.heightmapW + x) * 4;
      for (u32 ch = 0; ch < 4; ch++) {
        f32 target = ch == channel ? 255.0f : 0.0f;
        f32 v = texel[ch] + t * (target - texel[ch]);
        v = v < 0.0f ? 0.0f : (v > 255.0f ? 255.0f : v);
        u8 nv = (u8)std::lround(v);
        // Rounding alone stops a weak dab one step short of the target for ever.
        if (nv == texel[ch] && texel[ch] != (u8)target) nv = (u8)(texel[ch] + (target > texel[ch] ? 1 : -1));
        if (nv != texel[ch]) {
          texel[ch] = nv;
          changed = true;
        }
      }
    }
  if (!changed) return false;
  wm->splatmapDirty = true;
  expandStrokeBounds(we, x0, z0, x1, z1);
  return true;
}

b8 worldEditorSetTerrainTileMaterial(WorldEditor* we, u32 tx, u32 ty, u32 slot, u8 materialId) {
  if (slot >= 4) return false;
  const u8* cur = worldTileMaterialIds(we->wm, tx, ty);
  if (!cur) return false;
  u8 ids[4];
  std::memcpy(ids, cur, 4);
  ids[slot] = materialId;
  if (!worldSetTileMaterialIds(we->wm, tx, ty, ids)) return false;
  if (we->terrain.refreshChunkMaterialIds) we->terrain.refreshChunkMaterialIds(we->terrain.user, tx, ty);
  return true;
}

b8 worldEditorUndo(WorldEditor* we) {
  worldEditorEndStrokes(we);
  b8 ok;
  {
    PhysLock lock(we->physWorld);
    ok = worldUndo(we->wm);
  }
  if (ok) worldEditorResync(we);
  return ok;
}

b8 worldEditorRedo(WorldEditor* we) {
  worldEditorEndStrokes(we);
  b8 ok;
  {
    PhysLock lock(we->physWorld);
    ok = worldRedo(we->wm);
  }
  if (ok) worldEditorResync(we);
  return ok;
}
