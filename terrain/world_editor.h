// World editor: keeps the live scene in step with the world map. Streams tiles around
// a point, turns each placed instance of a loaded tile into a live entity (a model
// instance plus a static sphere body), offers the sandbox's editing operations (each
// one undo step) and the height and splat brushes applied in strokes (one undo step
// per stroke), and keeps the physics height field and the terrain chunks up to date.
//
// Every change to bodies, shapes or the heightmap (which the height field borrows and
// the physics thread reads) is made holding the physics world's lock.
#pragma once

#include "ecs/ecs.h"
#include "platform/types.h"
#include "platform/vecmath.h"

struct WorldMap;
struct World;
struct HeightFieldShape;

// The model side of live entities, supplied by the application (the model system).
// Any pointer may be null: without loadModel no kind has a model; without spawn no
// live entity is made.
struct WorldEditorModels {
  void* user;
  // Model index for a mesh path, or -1 when it cannot be loaded.
  i32 (*loadModel)(void* user, const char* meshPath);
  // Creates the entity of a model instance (modelIndex may be -1: the application
  // decides whether a kind without a model is shown); 0 on failure.
  Entity (*spawn)(void* user, Ecs* ecs, i32 modelIndex, v3 pos, v4 rotation, f32 scale);
  // Writes the model instance's pose.
  void (*setPose)(void* user, Ecs* ecs, Entity e, v3 pos, v4 rotation, f32 scale);
  // Attaches the physics-body component (body id and colour) to the entity.
  void (*bindBody)(void* user, Ecs* ecs, Entity e, i32 bodyId, u32 color);
  // Called after models were loaded for the catalog (descriptor rebuilds).
  void (*catalogLoaded)(void* user);
};

// The terrain chunks, supplied by the application (the terrain mesh). Rebuild requests
// may be coalesced by the receiver until its next pool flush.
struct WorldEditorTerrain {
  void* user;
  void (*loadTile)(void* user, u32 tileX, u32 tileY);
  void (*unloadTile)(void* user, u32 tileX, u32 tileY);
  void (*refreshTile)(void* user, u32 tileX, u32 tileY);
  // Optional: a height edit of samples x0..x1 x z0..z1 within the tile (brush dabs
  // and stroke ends use it when given, so a chunk can rewrite only that part).
  void (*refreshTileRect)(void* user, u32 tileX, u32 tileY, u32 x0, u32 z0, u32 x1, u32 z1);
  void (*refreshSplatmap)(void* user);
  void (*refreshChunkMaterialIds)(void* user, u32 tileX, u32 tileY);
};

struct WorldLiveEntity {
  u32 tileX;
  u32 tileY;
  u32 index;
  Entity ecsEntity;
  i32 bodyId;
  void* shape;  // the body's sphere, owned
};

enum WorldEditorHeightBrush : u32 {
  WORLD_EDITOR_HEIGHT_BRUSH_RAISE = 0,
  WORLD_EDITOR_HEIGHT_BRUSH_FLATTEN = 1,
  WORLD_EDITOR_HEIGHT_BRUSH_SMOOTH = 2,
  WORLD_EDITOR_HEIGHT_BRUSH_PERLIN = 3,
};

struct WorldEditor {
  WorldMap* wm;
  WorldEditorModels models;
  Ecs* ecs;
  World* physWorld;
  u32* modelIndexMap;  // catalog type id -> model index, all ones = none
  u32 modelIndexMapCap;
  WorldLiveEntity* liveEntities;
  u32 liveCount;
  u32 liveCap;
  i32 selectedLive;
  WorldEditorTerrain terrain;  // all null: no terrain attached
  i32 heightfieldBodyId;
  HeightFieldShape* ownedHeightfield;  // made by worldEditorCreateHeightfieldBody
  i16* heightStrokeSnapshot;
  u8* splatStrokeSnapshot;
  u32 strokeMinX, strokeMinZ, strokeMaxX, strokeMaxZ;
  b8 heightStrokeActive;
  b8 splatStrokeActive;
  b8 strokeTouched;
  f32 lastStreamX, lastStreamZ, streamRadius;
};

void worldEditorInit(WorldEditor* we, WorldMap* wm, const WorldEditorModels* models, Ecs* ecs, World* physWorld);
// Despawns every live entity, destroys a height-field body the editor made, frees the
// arrays and snapshots (an active stroke is dropped: end it first to keep it).
void worldEditorShutdown(WorldEditor* we);
void worldEditorSetTerrain(WorldEditor* we, const WorldEditorTerrain* terrain);

void worldEditorLoadCatalog(WorldEditor* we);
void worldEditorUpdateStreaming(WorldEditor* we, f32 camX, f32 camZ, f32 radius);
void worldEditorSpawnTile(WorldEditor* we, u32 tileX, u32 tileY);
void worldEditorDespawnTile(WorldEditor* we, u32 tileX, u32 tileY);
// After undo or redo: respawns every loaded tile, refreshes height field and terrain.
void worldEditorResync(WorldEditor* we);

i32 worldEditorSelectFromBody(WorldEditor* we, i32 bodyId);
WorldLiveEntity* worldEditorGetSelected(WorldEditor* we);

void worldEditorApplyMove(WorldEditor* we, v3f newPos);
void worldEditorApplyRotate(WorldEditor* we, f32 newRotY);
void worldEditorApplyScale(WorldEditor* we, f32 newScale);
// Index of the new instance in its tile, or all ones when refused.
u32 worldEditorPlace(WorldEditor* we, u32 typeId, v3f pos, f32 rot, f32 scale);
void worldEditorDeleteSelected(WorldEditor* we);

void worldEditorSetHeightfieldBody(WorldEditor* we, i32 bodyId);
// Makes a static height-field body borrowing the map's heightmap (placed at the map's
// minimum corner) and sets it; -1 when the map has no heightmap or memory runs out.
i32 worldEditorCreateHeightfieldBody(WorldEditor* we);
void worldEditorDestroyHeightfieldBody(WorldEditor* we);
void worldEditorRefreshHeightfield(WorldEditor* we);

void worldEditorBeginHeightStroke(WorldEditor* we);
void worldEditorEndHeightStroke(WorldEditor* we);
void worldEditorBeginSplatStroke(WorldEditor* we);
void worldEditorEndSplatStroke(WorldEditor* we);
// Ends whichever strokes are active (before saving, undo, redo, loading, focus loss, quit).
void worldEditorEndStrokes(WorldEditor* we);

b8 worldEditorApplyHeightBrush(WorldEditor* we, v3f center, f32 radius, f32 strength, WorldEditorHeightBrush brush,
                               f32 flattenTarget);
b8 worldEditorApplySplatBrush(WorldEditor* we, v3f center, f32 radius, f32 strength, u32 channel);
b8 worldEditorSetTerrainTileMaterial(WorldEditor* we, u32 tileX, u32 tileY, u32 slot, u8 materialId);

// Undo and redo as the program does them: active strokes end first, the map steps,
// the live scene is resynchronised. False when there was nothing to step.
b8 worldEditorUndo(WorldEditor* we);
b8 worldEditorRedo(WorldEditor* we);
