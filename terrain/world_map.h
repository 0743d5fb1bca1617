// World map: the persistent description of an editable terrain world kept in one
// blob store: metadata and environment, one heightmap and one four-channel splat map,
// terrain materials, four material ids per tile, a catalog of placeable kinds and the
// placed instances, loaded tile by tile. Every edit is a command on an undo stack.
// Nothing here knows physics or rendering.
//
// Only worldSave writes to the store: edits, tile unloads and close never do, so the
// file always holds the last save (and a save is on disk when worldSave returns true).
#pragma once

#include "platform/types.h"
#include "platform/vecmath.h"

struct bs_store;

inline constexpr u32 kWorldMagic = 0x444C5257u;  // "WRLD" on disk
inline constexpr u32 kWorldFlagTerrain = 1u;
// Refusal value of worldEntityPlace.
inline constexpr u32 kWorldNoIndex = 0xFFFFFFFFu;

// All blobs are these records written out as they are (little-endian, no padding).
struct WorldMeta {
  u32 magic;
  u32 version;
  f32 boundsMin[3];
  f32 boundsMax[3];
  f32 tileSize;
  u32 heightmapW;
  u32 heightmapH;
  f32 cellSize;
  f32 heightScale;
  f32 heightOffset;
  u32 catalogCount;
  u32 flags;
};
static_assert(sizeof(WorldMeta) == 64);

struct WorldEnv {
  f32 sunDir[3];
  f32 sunColor[3];
  f32 ambientColor[3];
  f32 fogStart;
  f32 fogEnd;
  f32 fogColor[3];
  f32 waterLevel;
  u32 waterColor;
  u32 flags;
};
static_assert(sizeof(WorldEnv) == 68);

struct WorldEntityDef {
  u32 typeId;
  char name[64];
  char meshPath[128];
  f32 defaultScale;
  f32 boundingRadius;
  u32 flags;
};
static_assert(sizeof(WorldEntityDef) == 208);

// Set on a catalog slot whose stored entry was missing or short at open: the slot
// keeps later kinds on their own instances.
inline constexpr u32 kWorldDefPlaceholder = 0x80000000u;

struct WorldEntityInst {
  u32 typeId;
  f32 pos[3];
  f32 rotation;
  f32 scale;
  u32 color;
  u32 flags;
};
static_assert(sizeof(WorldEntityInst) == 32);

struct WorldTerrainMaterial {
  u32 id;
  char albedoPath[128];
  char normalPath[128];
  f32 uvScale;
};
static_assert(sizeof(WorldTerrainMaterial) == 264);

// A tile's instances in memory. `loaded` false: the tile streamed out with unsaved
// edits; its instances wait here for the next save (or for the tile to come back).
struct WorldTile {
  u32 tileX;
  u32 tileY;
  WorldEntityInst* instances;
  u32 count;
  u32 capacity;
  b8 dirty;
  b8 loaded;
};

enum WorldCmdType : u32 {
  WORLD_CMD_PLACE = 0,
  WORLD_CMD_DELETE = 1,
  WORLD_CMD_MOVE = 2,
  WORLD_CMD_ROTATE = 3,
  WORLD_CMD_SCALE = 4,
  WORLD_CMD_MODIFY = 5,
  WORLD_CMD_TERRAIN = 6,
  WORLD_CMD_PAINT = 7,
};

struct WorldCmd {
  WorldCmdType type;
  union {
    struct { u32 tileX, tileY, index; WorldEntityInst inst; } place;
    struct { u32 tileX, tileY, index; WorldEntityInst inst; } del;
    struct { u32 tileX, tileY, index; f32 oldPos[3]; f32 newPos[3]; } move;
    struct { u32 tileX, tileY, index; f32 oldRot, newRot; } rotate;
    struct { u32 tileX, tileY, index; f32 oldScale, newScale; } scale;
    struct { u32 tileX, tileY, index; WorldEntityInst oldInst, newInst; } modify;
    struct { u32 x0, z0, width, height; i16* oldHeights; i16* newHeights; } terrain;
    struct { u32 x0, z0, width, height; u8* oldSplat; u8* newSplat; } paint;
  };
};

struct WorldMap {
  bs_store* store;
  char* storePath;
  WorldMeta meta;
  WorldEnv env;
  i16* heightmap;
  u8* splatmap;
  b8 heightmapDirty;
  b8 splatmapDirty;
  WorldTerrainMaterial* materials;
  u32 materialCount;
  u32 materialCapacity;
  u8* tileMaterialIds;
  u32 tileMaterialIdsCap;
  b8* tileLoaded;
  WorldEntityDef* catalog;
  u32 catalogCount;
  u32 catalogCapacity;
  WorldTile* tiles;
  u32 tileCount;
  u32 tileCapacity;
  WorldCmd* undoStack;
  u32 undoCount;
  u32 undoCap;
  WorldCmd* redoStack;
  u32 redoCount;
  u32 redoCap;
  b8 dirty;
  // Bytes the terrain and paint commands of both stacks hold, and the bound past which
  // the oldest undo steps are dropped (the newest step is always kept).
  u64 historyBytes;
  u64 historyByteLimit;
};

inline constexpr u64 kWorldDefaultHistoryBytes = 256ull << 20;

typedef void (*WorldVisibleFn)(const WorldEntityInst* inst, const WorldEntityDef* def, void* userData);

WorldMap* worldCreate();
// Releases everything; never saves (unsaved edits are dropped, the file keeps the last save).
void worldClose(WorldMap* wm);

// Checks a meta record a world can be made from or opened with; false with a message
// in err (finite positive cell and tile sizes, non-zero height scale, at least 2
// samples a side with terrain, grids whose sizes fit). maxTileVerts > 0 also refuses
// tiles whose chunk would need more vertices than that.
b8 worldMetaCheck(const WorldMeta* meta, u32 maxTileVerts, char* err, u32 errSize);
// Tile grid of a meta record (at least 1 x 1).
void worldMetaTileGrid(const WorldMeta* meta, u32* tilesX, u32* tilesY);
// Vertices of the largest chunk a tile of this meta builds from the heightmap.
u64 worldMetaMaxTileVerts(const WorldMeta* meta);

// The meta of a new world centred on the origin: samplesX x samplesZ heights cellSize
// apart, tileSize tiles, heights within +-heightRange (the y bounds too), terrain on.
WorldMeta worldDefaultMeta(u32 samplesX, u32 samplesZ, f32 cellSize, f32 tileSize, f32 heightRange);
// Largest chunk a world made by the program or qel may have (16-bit indices).
inline constexpr u32 kWorldMaxTileVerts = 65536;

// Creates a world in a new store file; refuses a path that exists. False (with a
// message on stderr) when the meta is refused or any write or the flush fails.
b8 worldNew(WorldMap* wm, const char* path, const WorldMeta* meta);
// Loads a world. Refuses a missing path (nothing is created), a damaged meta, and
// entries that exist but cannot be read; prints the reason on stderr.
b8 worldOpen(WorldMap* wm, const char* path);
// Writes everything changed and flushes the store; true only when all of it is durable.
b8 worldSave(WorldMap* wm);

u32 worldCatalogAdd(WorldMap* wm, const WorldEntityDef* def);
const WorldEntityDef* worldCatalogGet(const WorldMap* wm, u32 typeId);

void worldTileGrid(const WorldMap* wm, u32* tilesX, u32* tilesY);
// False when the tile's stored entities exist but cannot be read (the tile stays unloaded).
b8 worldTileLoad(WorldMap* wm, u32 tileX, u32 tileY);
void worldTileUnload(WorldMap* wm, u32 tileX, u32 tileY);
b8 worldTileIsLoaded(const WorldMap* wm, u32 tileX, u32 tileY);
WorldEntityInst* worldTileEntities(WorldMap* wm, u32 tileX, u32 tileY, u32* outCount);

void worldPosToTile(const WorldMap* wm, f32 x, f32 z, u32* outTX, u32* outTY);
f32 worldHeightAt(const WorldMap* wm, f32 x, f32 z);
u32 worldQueryVisible(WorldMap* wm, const v4* planes, WorldVisibleFn fn, void* userData);

// Edits. Place returns kWorldNoIndex when the position is not finite or outside the
// tile grid; Move refuses such positions the same way (no command either).
u32 worldEntityPlace(WorldMap* wm, u32 typeId, v3f pos, f32 rotation, f32 scale);
void worldEntityDelete(WorldMap* wm, u32 tileX, u32 tileY, u32 index);
b8 worldEntityMove(WorldMap* wm, u32 tileX, u32 tileY, u32 index, v3f newPos);
void worldEntityRotate(WorldMap* wm, u32 tileX, u32 tileY, u32 index, f32 newRot);
void worldEntityScale(WorldMap* wm, u32 tileX, u32 tileY, u32 index, f32 newScale);
void worldEntityModify(WorldMap* wm, u32 tileX, u32 tileY, u32 index, const WorldEntityInst* inst);
void worldTerrainPaint(WorldMap* wm, u32 x0, u32 z0, u32 width, u32 height, const i16* newHeights);
void worldSplatPaint(WorldMap* wm, u32 x0, u32 z0, u32 width, u32 height, const u8* newSplat);

b8 worldUndo(WorldMap* wm);
b8 worldRedo(WorldMap* wm);
b8 worldCanUndo(const WorldMap* wm);
b8 worldCanRedo(const WorldMap* wm);

u32 worldMaterialCount(const WorldMap* wm);
const WorldTerrainMaterial* worldMaterialGet(const WorldMap* wm, u32 id);
// Appends a material (its id becomes its index); kWorldNoIndex on allocation failure.
u32 worldMaterialAdd(WorldMap* wm, const WorldTerrainMaterial* mat);
const u8* worldTileMaterialIds(const WorldMap* wm, u32 tileX, u32 tileY);
b8 worldSetTileMaterialIds(WorldMap* wm, u32 tileX, u32 tileY, const u8* ids);
