// Terrain chunks on lavapipe (headless surface), 1025 x 1025 world with 64 m tiles:
// - remesh after one dab of radius 12 (brush, height field, the touched tiles rebuilt
//   and flushed in one submit) against the upload floor: the same tiles' bytes staged
//   and flushed in one submit;
// - streaming: all 289 chunks built from the heightmap and uploaded after a camera
//   jump, against restoring the same chunks from stored "terrain/mesh" blobs.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "physics/world.h"
#include "platform/memory.h"
#include "renderer/renderer.h"
#include "renderer/vkloader.h"
#include "store/blob_store.h"
#include "terrain/terrain_chunk.h"
#include "terrain/terrain_mesh.h"
#include "terrain/world_editor.h"
#include "terrain/world_map.h"

namespace {

struct Gpu {
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  MeshPool vertexPool{}, indexPool{};
  bool ok = false;
};

Gpu gGpu;
WorldMap* gWm = nullptr;
World* gPhys = nullptr;
WorldEditor gWe{};
TerrainMesh gTm{};
std::string gDir, gPath;

bool gpuInit() {
  Gpu* g = &gGpu;
  if (volkInitialize() != VK_SUCCESS) return false;
  const char* exts[] = {VK_KHR_SURFACE_EXTENSION_NAME, VK_EXT_HEADLESS_SURFACE_EXTENSION_NAME};
  VkApplicationInfo app{};
  app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
  app.apiVersion = VK_API_VERSION_1_2;
  VkInstanceCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
  ci.pApplicationInfo = &app;
  ci.enabledExtensionCount = 2;
  ci.ppEnabledExtensionNames = exts;
  if (vkCreateInstance(&ci, nullptr, &g->instance) != VK_SUCCESS) return false;
  volkLoadInstance(g->instance);
  VkHeadlessSurfaceCreateInfoEXT si{};
  si.sType = VK_STRUCTURE_TYPE_HEADLESS_SURFACE_CREATE_INFO_EXT;
  if (!vkCreateHeadlessSurfaceEXT || vkCreateHeadlessSurfaceEXT(g->instance, &si, nullptr, &g->surface) != VK_SUCCESS)
    return false;
  if (!rendererInit(&g->r, g->instance, g->surface, 64, 64)) return false;
  meshPoolInit(&g->vertexPool, g->r.device, g->r.physicalDevice, 64u << 20, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT);
  meshPoolInit(&g->indexPool, g->r.device, g->r.physicalDevice, 64u << 20, VK_BUFFER_USAGE_INDEX_BUFFER_BIT);
  g->ok = true;
  return true;
}

void fillHills(WorldMap* wm) {
  const u32 W = wm->meta.heightmapW, H = wm->meta.heightmapH;
  for (u32 z = 0; z < H; z++)
    for (u32 x = 0; x < W; x++) {
      f32 h = 40.0f * std::sin(x * 0.013f) * std::cos(z * 0.011f);
      wm->heightmap[(size_t)z * W + x] = (i16)(h / wm->meta.heightScale * 32767.0f);
    }
  wm->heightmapDirty = true;
}

void flushNow() {
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(&gGpu.r);
  terrainMeshFlush(&gTm, cmd);
  rendererEndOneTimeCommands(&gGpu.r, cmd);
}

void loadAll() {
  u32 gx, gy;
  worldTileGrid(gWm, &gx, &gy);
  for (u32 y = 0; y < gy; y++)
    for (u32 x = 0; x < gx; x++) terrainMeshLoadTile(&gTm, x, y);
}

void unloadAll() {
  while (gTm.chunkCount) terrainMeshUnloadTile(&gTm, gTm.chunks[0].tileX, gTm.chunks[0].tileY);
  // Frees wait for the GPU serial; nothing is in flight between iterations.
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(&gGpu.r);
  meshPoolFlush(&gGpu.vertexPool, cmd);
  meshPoolFlush(&gGpu.indexPool, cmd);
  rendererEndOneTimeCommands(&gGpu.r, cmd);
}

f32 gDabX = -300;
std::vector<std::pair<u32, u32>> gTouched;  // tiles a dab at gDabX touches

void remeshAfterDab(benchmark::State& st) {
  loadAll();
  flushNow();
  // Dabs of a drag within one stroke (the stroke's first dab, which copies the
  // heightmap, is outside the timing), moving 1 m at a time inside one tile.
  u32 n = 0;
  for (auto _ : st) {
    st.PauseTiming();
    if (n % 10 == 0) {
      worldEditorEndHeightStroke(&gWe);
      worldEditorBeginHeightStroke(&gWe);
      flushNow();
    }
    f32 x = gDabX + (f32)(n % 10) * 1.0f - 5.0f;
    n++;
    st.ResumeTiming();
    worldEditorApplyHeightBrush(&gWe, v3f{x, 0, 32, 0}, 12, 2, WORLD_EDITOR_HEIGHT_BRUSH_RAISE, 0);
    flushNow();
  }
  worldEditorEndHeightStroke(&gWe);
  flushNow();
}

void uploadFloor(benchmark::State& st) {
  loadAll();
  flushNow();
  // The bytes of the tiles one dab touches (a dab at x = -300, z = 32 with radius 12
  // covers tile columns 3 and 4 of rows 8 and 9: four chunks).
  std::vector<std::vector<u8>> bytes;
  std::vector<const TerrainChunk*> chunks;
  for (u32 i = 0; i < gTm.chunkCount; i++) {
    const TerrainChunk& c = gTm.chunks[i];
    for (auto [tx, ty] : gTouched)
      if (c.tileX == tx && c.tileY == ty) {
        chunks.push_back(&c);
        bytes.emplace_back((size_t)c.vertexCount * 12 + (size_t)c.indexCount * 2, (u8)i);
      }
  }
  for (auto _ : st) {
    for (size_t k = 0; k < chunks.size(); k++) {
      const TerrainChunk& c = *chunks[k];
      std::memcpy(meshPoolStage(&gGpu.vertexPool, c.vertexAlloc), bytes[k].data(), (size_t)c.vertexCount * 12);
      std::memcpy(meshPoolStage(&gGpu.indexPool, c.indexAlloc), bytes[k].data() + (size_t)c.vertexCount * 12,
                  (size_t)c.indexCount * 2);
    }
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&gGpu.r);
    meshPoolFlush(&gGpu.vertexPool, cmd);
    meshPoolFlush(&gGpu.indexPool, cmd);
    rendererEndOneTimeCommands(&gGpu.r, cmd);
  }
  st.counters["tiles"] = (double)chunks.size();
}

void streamFromHeightmap(benchmark::State& st) {
  for (auto _ : st) {
    st.PauseTiming();
    unloadAll();
    st.ResumeTiming();
    loadAll();
    flushNow();
  }
  st.counters["chunks/s"] = benchmark::Counter((double)st.iterations() * gTm.chunkCount, benchmark::Counter::kIsRate);
}

void streamFromBlobs(benchmark::State& st) {
  i16* heights = gWm->heightmap;
  gWm->heightmap = nullptr;  // the stored-mesh path
  for (auto _ : st) {
    st.PauseTiming();
    unloadAll();
    st.ResumeTiming();
    loadAll();
    flushNow();
  }
  st.counters["chunks/s"] = benchmark::Counter((double)st.iterations() * gTm.chunkCount, benchmark::Counter::kIsRate);
  gWm->heightmap = heights;
}

b8 storeMeshBlobs() {
  u32 gx, gy;
  worldTileGrid(gWm, &gx, &gy);
  std::vector<WorldTerrainVert> v(65536);
  std::vector<u16> idx(65536 * 6);
  std::vector<u8> blob;
  for (u32 y = 0; y < gy; y++)
    for (u32 x = 0; x < gx; x++) {
      TerrainChunkGeometry g;
      if (!terrainChunkBuild(gWm, x, y, v.data(), idx.data(), &g)) continue;
      blob.assign(24 + (size_t)g.vertCount * 12 + (size_t)g.indexCount * 2, 0);
      std::memcpy(blob.data(), g.origin, 12);
      std::memcpy(blob.data() + 12, &g.scale, 4);
      std::memcpy(blob.data() + 16, &g.vertCount, 4);
      std::memcpy(blob.data() + 20, &g.indexCount, 4);
      std::memcpy(blob.data() + 24, v.data(), (size_t)g.vertCount * 12);
      std::memcpy(blob.data() + 24 + (size_t)g.vertCount * 12, idx.data(), (size_t)g.indexCount * 2);
      char key[64];
      std::snprintf(key, sizeof key, "terrain/mesh/%u_%u", x, y);
      if (bs_add_buffer(gWm->store, blob.data(), blob.size(), key) != BS_OK) return false;
    }
  return bs_flush(gWm->store) == BS_OK;
}

}  // namespace

int main(int argc, char** argv) {
  if (!gpuInit()) {
    std::fprintf(stderr, "no Vulkan device with a headless surface\n");
    return 1;
  }
  const char* tmp = std::getenv("TMPDIR");
  gDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_terrain_" + std::to_string(getpid());
  if (mkdir(gDir.c_str(), 0755) != 0) return 1;
  gPath = gDir + "/world.qel";
  gWm = worldCreate();
  WorldMeta m = worldDefaultMeta(1025, 1025, 1, 64, 256);
  if (!worldNew(gWm, gPath.c_str(), &m)) return 1;
  fillHills(gWm);
  if (!worldSave(gWm) || !storeMeshBlobs()) return 1;
  gPhys = static_cast<World*>(memCalloc(1, sizeof(World)));
  if (!gPhys || !worldInit(gPhys, nullptr)) return 1;
  worldEditorInit(&gWe, gWm, nullptr, nullptr, gPhys);
  if (worldEditorCreateHeightfieldBody(&gWe) < 0) return 1;
  // Only the chunk ranges and uploads are measured: no pipelines or textures.
  gTm.wm = gWm;
  gTm.renderer = &gGpu.r;
  gTm.vertexPool = &gGpu.vertexPool;
  gTm.indexPool = &gGpu.indexPool;
  WorldEditorTerrain hooks{};
  hooks.user = &gTm;
  hooks.refreshTile = [](void* u, u32 x, u32 y) { terrainMeshQueueRefresh(static_cast<TerrainMesh*>(u), x, y); };
  hooks.refreshTileRect = [](void* u, u32 x, u32 y, u32 x0, u32 z0, u32 x1, u32 z1) {
    terrainMeshQueueRefreshRect(static_cast<TerrainMesh*>(u), x, y, x0, z0, x1, z1);
  };
  worldEditorSetTerrain(&gWe, &hooks);
  u32 gx, gy;
  worldTileGrid(gWm, &gx, &gy);
  for (u32 y = 0; y < gy; y++)
    for (u32 x = 0; x < gx; x++) worldTileLoad(gWm, x, y);
  // Tiles a dab touches: its sample rectangle, each sample's tile and the tile before
  // a border sample (as the editor refreshes them).
  for (u32 ty = 0; ty < gy; ty++)
    for (u32 tx = 0; tx < gx; tx++) {
      f32 x0 = m.boundsMin[0] + 64.0f * tx, z0 = m.boundsMin[2] + 64.0f * ty;
      if (gDabX + 13 >= x0 && gDabX - 13 <= x0 + 64 && 32 + 13 >= z0 && 32 - 13 <= z0 + 64) gTouched.push_back({tx, ty});
    }
  auto reg = [](const char* name, void (*fn)(benchmark::State&), int iters) {
    benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(iters);
  };
  reg("remesh_after_one_dab", remeshAfterDab, 20);
  reg("upload_floor_same_tiles", uploadFloor, 20);
  reg("stream_289_from_heightmap", streamFromHeightmap, 3);
  reg("stream_289_from_stored_blobs", streamFromBlobs, 3);
  benchInitialize(argc, argv);
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto t = [&](const char* n) {
    for (auto& [k, v] : reporter.results)
      if (k.rfind(n, 0) == 0) return v.seconds;
    return 0.0;
  };
  double remesh = t("remesh_after_one_dab"), floor = t("upload_floor_same_tiles");
  double built = t("stream_289_from_heightmap"), stored = t("stream_289_from_stored_blobs");
  std::printf("\n%-34s %9s %9s %8s\n", "operation", "ms", "anchor ms", "ratio");
  std::printf("%-34s %9.2f %9.2f %7.2fx  (goal <= 3x; %zu tiles)\n", "remesh after one dab", remesh * 1e3, floor * 1e3,
              floor > 0 ? remesh / floor : 0.0, gTouched.size());
  std::printf("%-34s %9.2f %9.2f %7.2fx  (goal >= 1x: stored time / built time)\n", "289 chunks built vs stored",
              built * 1e3, stored * 1e3, built > 0 ? stored / built : 0.0);
  benchmark::Shutdown();
  unloadAll();
  worldEditorShutdown(&gWe);
  worldDestroy(gPhys);
  memFree(gPhys);
  worldClose(gWm);
  meshPoolDestroy(&gGpu.vertexPool);
  meshPoolDestroy(&gGpu.indexPool);
  rendererDestroy(&gGpu.r);
  std::remove(gPath.c_str());
  rmdir(gDir.c_str());
  return 0;
}
