// Fuzzes a world's stored entries: the input becomes a store (a meta record, then
// entries chosen by a selector byte), which is opened as a world; every tile is loaded,
// heights are looked up, an edit is made, undone, redone and saved, and the stored
// chunk meshes are parsed.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/memory.h"
#include "store/blob_store.h"
#include "terrain/terrain_chunk.h"
#include "terrain/world_map.h"
#include "world_fuzz_input.h"

namespace {

const std::string& storePath() {
  static std::string p = [] {
    const char* tmp = getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_world_" + std::to_string(getpid()) + ".qel";
  }();
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
  const std::string& path = storePath();
  unlink(path.c_str());
  if (!worldFuzzWriteStore(path.c_str(), data, size)) return 0;
  WorldMap* wm = worldCreate();
  if (wm && worldOpen(wm, path.c_str())) {
    u32 gx, gy;
    worldTileGrid(wm, &gx, &gy);
    for (u32 y = 0; y < gy && y < 6; y++)
      for (u32 x = 0; x < gx && x < 6; x++) {
        if (!worldTileLoad(wm, x, y)) continue;
        u32 n = 0;
        WorldEntityInst* e = worldTileEntities(wm, x, y, &n);
        for (u32 i = 0; i < n; i++) {
          volatile const WorldEntityDef* d = worldCatalogGet(wm, e[i].typeId);
          (void)d;
        }
        TerrainPiece pieces[64];
        u32 np = terrainChunkPieces(wm, x, y, pieces, 64);
        for (u32 k = 0; k < np; k++) {
          const TerrainPiece& p = pieces[k];
          u32 vc = (p.x1 - p.x0 + 1) * (p.z1 - p.z0 + 1), ic = (p.x1 - p.x0) * (p.z1 - p.z0) * 6;
          WorldTerrainVert* v = static_cast<WorldTerrainVert*>(memAlloc((size_t)vc * sizeof(WorldTerrainVert)));
          u16* idx = static_cast<u16*>(memAlloc((size_t)ic * 2));
          TerrainChunkGeometry g;
          if (v && idx && terrainPieceBuild(wm, &p, v, idx, &g)) terrainBuildRowVerts(wm, p.x0, p.x1, p.z0, g.origin, g.scale, v);
          memFree(v);
          memFree(idx);
        }
        char key[64];
        std::snprintf(key, sizeof key, "terrain/mesh/%u_%u", x, y);
        u8* buf = nullptr;
        size_t len = 0;
        if (bs_restore_buffer(wm->store, key, &buf, &len) == BS_OK) {
          TerrainMeshBlob b;
          terrainMeshBlobParse(buf, len, &b);
        }
        memFree(buf);
      }
    volatile f32 h = worldHeightAt(wm, wm->meta.boundsMin[0] + 1.5f, wm->meta.boundsMax[2]);
    (void)h;
    u32 n = 0;
    if (worldTileEntities(wm, 0, 0, &n) && n) {
      worldEntityMove(wm, 0, 0, n - 1, v3f{wm->meta.boundsMin[0], 0, wm->meta.boundsMin[2], 0});
      worldEntityDelete(wm, 0, 0, 0);
    }
    i16 patch[4] = {1, -2, 3, -4};
    worldTerrainPaint(wm, 1, 1, 2, 2, patch);
    worldUndo(wm);
    worldUndo(wm);
    worldRedo(wm);
    worldSave(wm);
  }
  worldClose(wm);
  unlink(path.c_str());
  return 0;
}
