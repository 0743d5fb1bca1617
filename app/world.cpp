// The terrain world in the program: opening, making and closing a world, its
// streaming around player 0, brushes under the pointer, saving, undo and redo,
// world entities edited with the gizmo, and the chunks' uploads and draws.
// Bodies, the height field and the heightmap it borrows change only under the
// world lock (the editor takes it), so the physics thread keeps stepping.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/state.h"
#include "platform/memory.h"

namespace {

constexpr f32 kStreamRadius = 3000.0f;
constexpr f64 kHoverRayLength = 500000.0;
constexpr u32 kNoModel = 0xFFFFFFFFu;
// The splat pipeline's slot; the plain textured path borrows the models' slot 6.
constexpr u32 kTerrainPlainSlot = 6, kTerrainSplatSlot = 12;

// ---- The model side of world entities ----

i32 worldLoadModel(void* user, const char* meshPath) {
  State* s = static_cast<State*>(user);
  for (u32 i = 0; i < s->worldModelCount; i++)
    if (std::strcmp(s->worldModels[i].path, meshPath) == 0) return (i32)s->worldModels[i].modelIndex;
  u32 index = loadModelAsset(s, meshPath);
  if (index == kNoModel) {
    std::fprintf(stderr, "Failed to load model: %s\n", meshPath);
    return -1;
  }
  // Loaded once per path for the life of the program: a world switch keeps the
  // model, so the default character's index stays valid too.
  if (s->worldModelCount < kWorldModelSlots) {
    WorldModelSlot& slot = s->worldModels[s->worldModelCount++];
    std::snprintf(slot.path, sizeof slot.path, "%s", meshPath);
    slot.modelIndex = index;
  }
  return (i32)index;
}

ModelComp* modelOf(State* s, Entity e) {
  return static_cast<ModelComp*>(ecsGetComponent(&s->ecs, ECS_SYS_MODEL, e));
}

void setModelPose(ModelComp* m, v3 pos, v4 rot, f32 scale) {
  m->position = v3f{(f32)pos.x, (f32)pos.y, (f32)pos.z, 0};
  m->rotation = v4f{(f32)rot.x, (f32)rot.y, (f32)rot.z, (f32)rot.w};
  m->scale = scale;
}

// A kind without a model is still a live entity: its sphere body is drawn.
Entity worldSpawn(void* user, Ecs* ecs, i32 modelIndex, v3 pos, v4 rot, f32 scale) {
  State* s = static_cast<State*>(user);
  if (modelIndex < 0 || !s->modelSys) return ecsCreate(ecs);
  Entity e = modelSystemSpawn(s->modelSys, ecs, (u32)modelIndex, v3f{(f32)pos.x, (f32)pos.y, (f32)pos.z, 0},
                              v4f{(f32)rot.x, (f32)rot.y, (f32)rot.z, (f32)rot.w});
  if (ModelComp* m = e ? modelOf(s, e) : nullptr) setModelPose(m, pos, rot, scale);
  return e;
}

void worldSetPose(void* user, Ecs*, Entity e, v3 pos, v4 rot, f32 scale) {
  State* s = static_cast<State*>(user);
  if (ModelComp* m = modelOf(s, e)) setModelPose(m, pos, rot, scale);
}

void worldBindBody(void* user, Ecs* ecs, Entity e, i32 bodyId, u32 color) {
  if (ecsAttach(ecs, ECS_SYS_PHYSICS_BODY, e) < 0) return;
  auto* c = static_cast<PhysicsBodyComp*>(ecsGetComponent(ecs, ECS_SYS_PHYSICS_BODY, e));
  c->bodyId = bodyId;
  c->color = color;
  (void)user;
}

WorldEditorModels editorModels(State* s) {
  WorldEditorModels m{};
  m.user = s;
  m.loadModel = worldLoadModel;
  m.spawn = worldSpawn;
  m.setPose = worldSetPose;
  m.bindBody = worldBindBody;
  return m;
}

// ---- The chunks: rebuilds wait for the frame's flush ----

TerrainMesh* meshOf(void* user) { return static_cast<TerrainMesh*>(user); }

WorldEditorTerrain editorTerrain(State* s) {
  WorldEditorTerrain t{};
  t.user = &s->terrainMesh;
  t.loadTile = [](void* u, u32 x, u32 y) { terrainMeshLoadTile(meshOf(u), x, y); };
  t.unloadTile = [](void* u, u32 x, u32 y) { terrainMeshUnloadTile(meshOf(u), x, y); };
  t.refreshTile = [](void* u, u32 x, u32 y) { terrainMeshQueueRefresh(meshOf(u), x, y); };
  t.refreshTileRect = [](void* u, u32 x, u32 y, u32 x0, u32 z0, u32 x1, u32 z1) {
    terrainMeshQueueRefreshRect(meshOf(u), x, y, x0, z0, x1, z1);
  };
  t.refreshSplatmap = [](void* u) { terrainMeshRefreshSplatmap(meshOf(u)); };
  t.refreshChunkMaterialIds = [](void* u, u32 x, u32 y) { terrainMeshRefreshChunkMaterialIds(meshOf(u), x, y); };
  return t;
}

// Chunk builds and both pools in one submit, for loads outside the frame.
void flushNow(State* s) {
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(&s->renderer);
  if (!cmd) return;
  if (s->terrainMeshUp) terrainMeshFlush(&s->terrainMesh, cmd);
  meshPoolFlush(&s->vertexPool, cmd);
  meshPoolFlush(&s->indexPool, cmd);
  rendererEndOneTimeCommands(&s->renderer, cmd);
}

void publishIfStopped(State* s) {
  if (!s->world.thread) worldPublishSnapshot(&s->world);
}

b8 samePath(const char* a, const char* b) {
  struct stat sa, sb;
  if (!a || !b) return false;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return std::strcmp(a, b) == 0;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void clearSelection(State* s) {
  s->selectedEntity = 0;
  gizmoEndDrag(&s->gizmo);
  s->terrainHoverValid = false;
}

// The editor's live entities and height field body go; the map stays open.
void dropEditor(State* s) {
  worldEditorShutdown(&s->worldEditor);
  s->heightfieldBodyId = -1;
}

// Editor, catalog models and height field body for the open map.
void makeEditor(State* s) {
  WorldEditorModels models = editorModels(s);
  worldEditorInit(&s->worldEditor, s->worldMap, &models, &s->ecs, &s->world);
  if (s->terrainMeshUp) {
    WorldEditorTerrain hooks = editorTerrain(s);
    worldEditorSetTerrain(&s->worldEditor, &hooks);
  }
  worldEditorLoadCatalog(&s->worldEditor);
  s->heightfieldBodyId = worldEditorCreateHeightfieldBody(&s->worldEditor);
}

}  // namespace

void closeWorld(State* s) {
  if (!s || !s->worldLoaded) return;
  rendererWaitIdle(&s->renderer);
  // The stroke becomes its undo step; nothing is saved.
  endTerrainStroke(s);
  clearSelection(s);
  dropEditor(s);
  if (s->terrainMeshUp) terrainMeshDestroy(&s->terrainMesh);
  s->terrainMeshUp = false;
  worldClose(s->worldMap);
  s->worldMap = nullptr;
  s->worldLoaded = false;
  publishIfStopped(s);
}

b8 loadWorld(State* s, const char* path) {
  if (!s || !path || !path[0]) return false;
  rendererWaitIdle(&s->renderer);
  endTerrainStroke(s);
  clearSelection(s);
  // The store is locked while open: the same file is closed before it opens again.
  if (s->worldLoaded && samePath(s->worldMap->storePath, path)) closeWorld(s);
  WorldMap* wm = worldCreate();
  if (!wm || !worldOpen(wm, path)) {
    std::fprintf(stderr, "Failed to open world: %s\n", path);
    worldClose(wm);
    return false;
  }
  closeWorld(s);
  s->worldMap = wm;
  s->terrainMeshUp = false;
  // Without a device (tests of the glue) the world has no chunks.
  if ((wm->meta.flags & kWorldFlagTerrain) && s->renderer.device) {
    terrainMeshInit(&s->terrainMesh, wm, &s->vertexPool, &s->indexPool, &s->pipelines, kTerrainPlainSlot,
                    kTerrainSplatSlot, &s->renderer, s->lighting.setLayout);
    s->terrainMeshUp = true;
  }
  makeEditor(s);
  s->worldLoaded = true;
  const Camera& cam = s->camera;
  worldEditorUpdateStreaming(&s->worldEditor, (f32)cam.position.x, (f32)cam.position.z, kStreamRadius);
  publishIfStopped(s);
  flushNow(s);
  std::printf("World loaded: %s (%u catalog entries, %u terrain chunks)\n", path, wm->catalogCount,
              s->terrainMeshUp ? s->terrainMesh.chunkCount : 0u);
  std::fflush(stdout);
  return true;
}

b8 newWorld(State* s, const char* path) {
  if (!s || !path || !path[0]) return false;
  WorldMap* wm = worldCreate();
  WorldMeta meta = worldDefaultMeta(1025, 1025, 1.0f, 64.0f, 256.0f);
  b8 made = wm && worldNew(wm, path, &meta);
  worldClose(wm);
  if (!made) {
    std::fprintf(stderr, "Failed to create world: %s\n", path);
    return false;
  }
  return loadWorld(s, path);
}

void streamWorld(State* s) {
  if (!s || !s->worldLoaded) return;
  const Camera& cam = s->camera;
  worldEditorUpdateStreaming(&s->worldEditor, (f32)cam.position.x, (f32)cam.position.z, kStreamRadius);
}

void endTerrainStroke(State* s) {
  if (!s || !s->worldLoaded) return;
  worldEditorEndStrokes(&s->worldEditor);
  s->terrainStrokeActive = false;
  publishIfStopped(s);
}

b8 saveWorld(State* s) {
  if (!s || !s->worldLoaded) return false;
  endTerrainStroke(s);
  if (!worldSave(s->worldMap)) {
    std::fprintf(stderr, "Failed to save world: %s\n", s->worldMap->storePath);
    return false;
  }
  std::printf("World saved: %s\n", s->worldMap->storePath);
  std::fflush(stdout);
  return true;
}

void undoWorld(State* s) {
  if (!s || !s->worldLoaded) return;
  endTerrainStroke(s);
  // Resync makes every live entity anew: the selection names none of them.
  clearSelection(s);
  worldEditorUndo(&s->worldEditor);
  publishIfStopped(s);
}

void redoWorld(State* s) {
  if (!s || !s->worldLoaded) return;
  endTerrainStroke(s);
  clearSelection(s);
  worldEditorRedo(&s->worldEditor);
  publishIfStopped(s);
}

void deleteWorldSelection(State* s) {
  if (!s || !s->worldLoaded || !worldEditorGetSelected(&s->worldEditor)) return;
  endTerrainStroke(s);
  gizmoEndDrag(&s->gizmo);
  worldEditorDeleteSelected(&s->worldEditor);
  s->selectedEntity = 0;
  publishIfStopped(s);
}

namespace {

struct HoverHit {
  i32 bodyId;
  f64 fraction;
  v3 point;
};

b8 keepHeightfieldHit(const RaycastHit* hit, void* user) {
  auto* h = static_cast<HoverHit*>(user);
  if (hit->bodyId == h->bodyId && hit->hitFraction < h->fraction) {
    h->fraction = hit->hitFraction;
    h->point = hit->worldPoint;
  }
  return true;
}

u32 sampleIndex(f64 pos, f64 boundsMin, f64 cell, u32 count) {
  f64 i = std::round((pos - boundsMin) / cell);
  if (!(i > 0.0)) return 0;
  return i > (f64)(count - 1) ? count - 1 : (u32)i;
}

}  // namespace

void updateTerrainHover(State* s, i32 x, i32 y) {
  if (!s) return;
  s->terrainHoverValid = false;
  if (!s->worldLoaded || s->heightfieldBodyId < 0) return;
  v3 o, d;
  if (!pointerRay(s, x, y, &o, &d)) return;
  HoverHit h{s->heightfieldBodyId, 2.0, V3(0, 0, 0)};
  worldLock(&s->world);
  worldRaycastAll(&s->world, o, o + d * kHoverRayLength, keepHeightfieldHit, &h);
  worldUnlock(&s->world);
  if (h.fraction > 1.0) return;
  const WorldMeta& m = s->worldMap->meta;
  s->terrainHoverValid = true;
  s->terrainHoverPos = v3f{(f32)h.point.x, (f32)h.point.y, (f32)h.point.z, 0};
  worldPosToTile(s->worldMap, (f32)h.point.x, (f32)h.point.z, &s->terrainHoverTileX, &s->terrainHoverTileY);
  s->terrainHoverSampleX = sampleIndex(h.point.x, m.boundsMin[0], m.cellSize, m.heightmapW);
  s->terrainHoverSampleY = sampleIndex(h.point.z, m.boundsMin[2], m.cellSize, m.heightmapH);
}

void applyTerrainBrush(State* s) {
  if (!s || !s->worldLoaded || !s->terrainHoverValid) return;
  WorldEditor* we = &s->worldEditor;
  if (s->terrainTool == 2)
    worldEditorApplyHeightBrush(we, s->terrainHoverPos, s->terrainBrushRadius, s->terrainBrushStrength,
                                (WorldEditorHeightBrush)s->heightBrush, s->flattenTarget);
  else if (s->terrainTool == 1)
    worldEditorApplySplatBrush(we, s->terrainHoverPos, s->terrainBrushRadius, s->terrainSplatStrength,
                               s->splatChannel);
  publishIfStopped(s);
}

b8 terrainPress(State* s) {
  if (!s || !s->worldLoaded || s->terrainTool == 0) return false;
  updateTerrainHover(s, s->mouseX, s->mouseY);
  if (!s->terrainHoverValid) return false;
  if (s->terrainTool == 2) {
    if (s->heightBrush == WORLD_EDITOR_HEIGHT_BRUSH_FLATTEN) s->flattenTarget = s->terrainHoverPos.y;
    worldEditorBeginHeightStroke(&s->worldEditor);
  } else {
    worldEditorBeginSplatStroke(&s->worldEditor);
  }
  s->terrainStrokeActive = true;
  applyTerrainBrush(s);
  return true;
}

void worldSelectBody(State* s, i32 bodyId) {
  if (s && s->worldLoaded) worldEditorSelectFromBody(&s->worldEditor, bodyId);
}

void commitGizmoToWorld(State* s) {
  if (!s || !s->worldLoaded || s->gizmo.activeHandle < 0) return;
  WorldLiveEntity* le = worldEditorGetSelected(&s->worldEditor);
  Body* b = editorGetBody(s);
  if (!le || !b || b->id != le->bodyId) return;
  worldLock(&s->world);
  v3 pos = b->position;
  v4 q = b->rotation;
  worldUnlock(&s->world);
  i32 handle = s->gizmo.activeHandle;
  WorldEditor* we = &s->worldEditor;
  if (handle <= 2) {
    worldEditorApplyMove(we, v3f{(f32)pos.x, (f32)pos.y, (f32)pos.z, 0});
  } else if (handle <= 5) {
    worldEditorApplyRotate(we, (f32)(2.0 * std::atan2(q.y, q.w)));
  } else {
    u32 n = 0;
    WorldEntityInst* inst = worldTileEntities(s->worldMap, le->tileX, le->tileY, &n);
    f32 base = inst && le->index < n ? inst[le->index].scale : 1.0f;
    worldEditorApplyScale(we, base * (f32)s->lastScaleRatio);
  }
  publishIfStopped(s);
}

void worldBeforeSceneClear(State* s) {
  if (!s || !s->worldLoaded) return;
  endTerrainStroke(s);
  // Its bodies name slots of the physics world that is about to be cleared.
  dropEditor(s);
}

void worldAfterSceneBuild(State* s) {
  if (!s || !s->worldLoaded) return;
  makeEditor(s);
  // Tiles stay loaded and their chunks stay valid: only entities come back.
  WorldEditorTerrain none{};
  worldEditorSetTerrain(&s->worldEditor, &none);
  worldEditorResync(&s->worldEditor);
  if (s->terrainMeshUp) {
    WorldEditorTerrain hooks = editorTerrain(s);
    worldEditorSetTerrain(&s->worldEditor, &hooks);
  }
}

void worldLightingChanged(State* s) {
  if (s && s->terrainMeshUp) terrainMeshSetLightSetLayout(&s->terrainMesh, s->lighting.setLayout);
}

void worldFlushChunks(State* s, VkCommandBuffer cmd) {
  if (s && s->terrainMeshUp) terrainMeshFlush(&s->terrainMesh, cmd);
}

void worldDrawTerrain(State* s, VkCommandBuffer cmd, const mat4f32* vp, const v4* planes) {
  if (!s || !s->terrainMeshUp || !s->terrainMesh.chunkCount) return;
  terrainMeshDraw(&s->terrainMesh, cmd, vp, s->lighting.descSet, planes, lightingGetAddress(&s->lighting));
}

void worldDrawTerrainShadow(State* s, VkCommandBuffer cmd, const mat4f32* lightVP) {
  if (!s || !s->terrainMeshUp || !s->terrainMesh.chunkCount) return;
  terrainMeshDrawShadow(&s->terrainMesh, cmd, lightVP, &s->lighting);
}

b8 placeWorldModel(State* s, const char* path) {
  if (!s || !path || !s->worldLoaded) return false;
  rendererWaitIdle(&s->renderer);
  i32 model = worldLoadModel(s, path);
  if (model < 0) return true;
  WorldEntityDef def{};
  const char* slash = std::strrchr(path, '/');
  std::snprintf(def.name, sizeof def.name, "%s", slash ? slash + 1 : path);
  std::snprintf(def.meshPath, sizeof def.meshPath, "%s", path);
  def.defaultScale = 1.0f;
  def.boundingRadius = s->modelSys && (u32)model < s->modelSys->modelCount
                           ? s->modelSys->models[model]->boundingRadius
                           : 1.0f;
  def.flags = 1;
  u32 typeId = worldCatalogAdd(s->worldMap, &def);
  if (typeId == kWorldNoIndex) {
    std::fprintf(stderr, "Failed to add %s to the world's catalog\n", path);
    return true;
  }
  // The editor's catalog-to-model table learns the new kind (doubling).
  WorldEditor* we = &s->worldEditor;
  if (typeId >= we->modelIndexMapCap) {
    u32 cap = we->modelIndexMapCap ? we->modelIndexMapCap : 128;
    while (cap <= typeId) cap *= 2;
    auto* grown = static_cast<u32*>(memRealloc(we->modelIndexMap, (size_t)cap * sizeof(u32)));
    if (!grown) return true;
    std::memset(grown + we->modelIndexMapCap, 0xFF, (size_t)(cap - we->modelIndexMapCap) * sizeof(u32));
    we->modelIndexMap = grown;
    we->modelIndexMapCap = cap;
  }
  we->modelIndexMap[typeId] = (u32)model;
  const v3 at = s->camera.position + CameraGetForward(&s->camera) * 20.0;
  if (worldEditorPlace(we, typeId, v3f{(f32)at.x, (f32)at.y, (f32)at.z, 0}, 0.0f, 1.0f) == kWorldNoIndex)
    std::fprintf(stderr, "Cannot place %s outside the world\n", path);
  publishIfStopped(s);
  return true;
}
