// The world map on a 1025 x 1025 world with 64 m tiles (289 tiles, 20 instances each):
// saves against an fsync'd plain write of the world's bytes (first save, and a save
// after one brush dab), opening with every tile loaded against a plain read of those
// bytes, and chunk geometry for every tile built from the heightmap against restoring
// the same chunks from stored mesh blobs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "platform/memory.h"
#include "store/blob_store.h"
#include "terrain/terrain_chunk.h"
#include "terrain/world_editor.h"
#include "terrain/world_map.h"

namespace {

std::string gDir, gPlain, gWorld;
size_t gWorldBytes = 0;

// Rolling hills with some noise: heights that compress like real terrain.
void fillWorld(WorldMap* wm) {
  const u32 W = wm->meta.heightmapW, H = wm->meta.heightmapH;
  u32 x = 12345;
  for (u32 z = 0; z < H; z++)
    for (u32 c = 0; c < W; c++) {
      x = x * 1664525u + 1013904223u;
      f32 h = 40.0f * std::sin(c * 0.013f) * std::cos(z * 0.011f) + (f32)(x >> 28) * 0.05f;
      wm->heightmap[(size_t)z * W + c] = (i16)(h / wm->meta.heightScale * 32767.0f);
      u8* s = wm->splatmap + ((size_t)z * W + c) * 4;
      s[0] = (u8)(200 - (c & 63));
      s[1] = (u8)(z & 63);
      s[2] = (u8)(x >> 26);
      s[3] = 0;
    }
  wm->heightmapDirty = wm->splatmapDirty = true;
  WorldEntityDef d{};
  std::snprintf(d.name, sizeof d.name, "rock");
  std::snprintf(d.meshPath, sizeof d.meshPath, "asset/rock.gltf");
  d.boundingRadius = 1;
  worldCatalogAdd(wm, &d);
  u32 gx, gy;
  worldTileGrid(wm, &gx, &gy);
  for (u32 ty = 0; ty < gy; ty++)
    for (u32 tx = 0; tx < gx; tx++)
      for (u32 i = 0; i < 20; i++) {
        f32 px = wm->meta.boundsMin[0] + tx * 64.0f + 3.0f * i, pz = wm->meta.boundsMin[2] + ty * 64.0f + 2.0f * i;
        if (px > wm->meta.boundsMax[0] || pz > wm->meta.boundsMax[2]) continue;
        worldEntityPlace(wm, 0, v3f{px, 0, pz, 0}, 0.1f * i, 1);
      }
}

size_t worldBytes(const WorldMap* wm) {
  size_t n = (size_t)wm->meta.heightmapW * wm->meta.heightmapH * 6 + wm->tileMaterialIdsCap + 64 + 68 + 208;
  for (u32 i = 0; i < wm->tileCount; i++) n += (size_t)wm->tiles[i].count * 32;
  return n;
}

WorldMap* newWorld(const std::string& path) {
  std::remove(path.c_str());
  WorldMap* wm = worldCreate();
  WorldMeta m = worldDefaultMeta(1025, 1025, 1, 64, 256);
  if (!worldNew(wm, path.c_str(), &m)) return nullptr;
  fillWorld(wm);
  return wm;
}

b8 writePlain() {
  std::vector<u8> bytes(gWorldBytes);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = (u8)(i * 2654435761u >> 13);
  int fd = open(gPlain.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  b8 ok = write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size() && fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

void plainWrite(benchmark::State& st) {
  for (auto _ : st)
    if (!writePlain()) st.SkipWithError("write failed");
}

void plainRead(benchmark::State& st) {
  std::vector<u8> bytes(gWorldBytes);
  for (auto _ : st) {
    int fd = open(gPlain.c_str(), O_RDONLY);
    if (read(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) st.SkipWithError("read failed");
    close(fd);
  }
}

// The same bytes from the disk itself (O_DIRECT, past the page cache).
void plainReadDirect(benchmark::State& st) {
  size_t n = (gWorldBytes + 4095) & ~(size_t)4095;
  void* buf = nullptr;
  if (posix_memalign(&buf, 4096, n) != 0) return st.SkipWithError("no memory");
  for (auto _ : st) {
    int fd = open(gPlain.c_str(), O_RDONLY | O_DIRECT);
    if (fd < 0) {
      st.SkipWithError("O_DIRECT not supported here");
      break;
    }
    if (read(fd, buf, n) < (ssize_t)gWorldBytes) st.SkipWithError("read failed");
    close(fd);
  }
  std::free(buf);
}

void firstSave(benchmark::State& st) {
  for (auto _ : st) {
    st.PauseTiming();
    WorldMap* wm = newWorld(gWorld);
    st.ResumeTiming();
    if (!wm || !worldSave(wm)) st.SkipWithError("save failed");
    st.PauseTiming();
    worldClose(wm);
    st.ResumeTiming();
  }
}

void saveAfterDab(benchmark::State& st) {
  WorldMap* wm = worldCreate();
  if (!worldOpen(wm, gWorld.c_str())) {
    st.SkipWithError("open failed");
    return;
  }
  WorldEditor we;
  worldEditorInit(&we, wm, nullptr, nullptr, nullptr);
  f32 x = -300;
  for (auto _ : st) {
    st.PauseTiming();
    worldEditorApplyHeightBrush(&we, v3f{x, 0, 100, 0}, 12, 3, WORLD_EDITOR_HEIGHT_BRUSH_RAISE, 0);
    worldEditorEndHeightStroke(&we);
    x += 40;
    st.ResumeTiming();
    if (!worldSave(wm)) st.SkipWithError("save failed");
  }
  worldEditorShutdown(&we);
  worldClose(wm);
}

void openAllTiles(benchmark::State& st) {
  for (auto _ : st) {
    WorldMap* wm = worldCreate();
    if (!worldOpen(wm, gWorld.c_str())) st.SkipWithError("open failed");
    u32 gx, gy;
    worldTileGrid(wm, &gx, &gy);
    for (u32 y = 0; y < gy; y++)
      for (u32 x = 0; x < gx; x++) worldTileLoad(wm, x, y);
    st.PauseTiming();
    worldClose(wm);
    st.ResumeTiming();
  }
}

// Chunks of all 289 tiles from the heightmap, and from stored blobs.
WorldMap* gMeshWorld = nullptr;
std::vector<WorldTerrainVert> gVerts(65536);
std::vector<u16> gIdx(65536 * 6);

void chunksFromHeightmap(benchmark::State& st) {
  u32 gx, gy;
  worldTileGrid(gMeshWorld, &gx, &gy);
  u64 chunks = 0;
  for (auto _ : st)
    for (u32 y = 0; y < gy; y++)
      for (u32 x = 0; x < gx; x++) {
        TerrainChunkGeometry g;
        chunks += terrainChunkBuild(gMeshWorld, x, y, gVerts.data(), gIdx.data(), &g);
      }
  st.counters["chunks/s"] = benchmark::Counter((double)chunks, benchmark::Counter::kIsRate);
}

void chunksFromBlobs(benchmark::State& st) {
  u32 gx, gy;
  worldTileGrid(gMeshWorld, &gx, &gy);
  u64 chunks = 0;
  std::vector<u8> buf(24 + 65536 * 12 + 65536 * 12);
  for (auto _ : st)
    for (u32 y = 0; y < gy; y++)
      for (u32 x = 0; x < gx; x++) {
        char key[64];
        std::snprintf(key, sizeof key, "terrain/mesh/%u_%u", x, y);
        size_t len = 0;
        TerrainMeshBlob b;
        if (bs_restore_buffer_into(gMeshWorld->store, key, buf.data(), buf.size(), &len) == BS_OK &&
            terrainMeshBlobParse(buf.data(), len, &b)) {
          std::memcpy(gVerts.data(), b.verts, (size_t)b.vertCount * 12);
          std::memcpy(gIdx.data(), b.indices, (size_t)b.indexCount * 2);
          chunks++;
        }
      }
  st.counters["chunks/s"] = benchmark::Counter((double)chunks, benchmark::Counter::kIsRate);
}

b8 storeMeshBlobs(WorldMap* wm) {
  u32 gx, gy;
  worldTileGrid(wm, &gx, &gy);
  std::vector<u8> blob;
  for (u32 y = 0; y < gy; y++)
    for (u32 x = 0; x < gx; x++) {
      TerrainChunkGeometry g;
      if (!terrainChunkBuild(wm, x, y, gVerts.data(), gIdx.data(), &g)) continue;
      blob.assign(24 + (size_t)g.vertCount * 12 + (size_t)g.indexCount * 2, 0);
      std::memcpy(blob.data(), g.origin, 12);
      std::memcpy(blob.data() + 12, &g.scale, 4);
      std::memcpy(blob.data() + 16, &g.vertCount, 4);
      std::memcpy(blob.data() + 20, &g.indexCount, 4);
      std::memcpy(blob.data() + 24, gVerts.data(), (size_t)g.vertCount * 12);
      std::memcpy(blob.data() + 24 + (size_t)g.vertCount * 12, gIdx.data(), (size_t)g.indexCount * 2);
      char key[64];
      std::snprintf(key, sizeof key, "terrain/mesh/%u_%u", x, y);
      if (bs_add_buffer(wm->store, blob.data(), blob.size(), key) != BS_OK) return false;
    }
  return bs_flush(wm->store) == BS_OK;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  gDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_world_" + std::to_string(getpid());
  if (mkdir(gDir.c_str(), 0755) != 0) return 1;
  gPlain = gDir + "/plain.bin";
  gWorld = gDir + "/world.qel";
  {
    WorldMap* wm = newWorld(gWorld);
    if (!wm) return 1;
    gWorldBytes = worldBytes(wm);
    if (!worldSave(wm)) return 1;
    worldClose(wm);
  }
  if (!writePlain()) return 1;
  std::string meshPath = gDir + "/meshes.qel";
  gMeshWorld = newWorld(meshPath);
  if (!gMeshWorld || !worldSave(gMeshWorld) || !storeMeshBlobs(gMeshWorld)) return 1;
  auto reg = [](const char* name, void (*fn)(benchmark::State&), int iters) {
    benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(iters);
  };
  reg("plain_write_fsync", plainWrite, 5);
  reg("world_first_save", firstSave, 3);
  reg("world_save_after_one_dab", saveAfterDab, 5);
  reg("plain_read", plainRead, 10);
  reg("plain_read_direct", plainReadDirect, 10);
  reg("world_open_all_tiles", openAllTiles, 5);
  reg("chunks_from_heightmap", chunksFromHeightmap, 3);
  reg("chunks_from_stored_blobs", chunksFromBlobs, 3);
  benchInitialize(argc, argv);
  benchmark::AddCustomContext("world", "1025 x 1025 samples, 64 m tiles, " + std::to_string(gWorldBytes >> 10) + " KiB");
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto t = [&](const char* n) {
    for (auto& [k, v] : reporter.results)
      if (k.rfind(n, 0) == 0) return v.seconds;
    return 0.0;
  };
  double write = t("plain_write_fsync"), read = t("plain_read");
  std::printf("\n%-28s %10s %10s %8s\n", "operation", "ms", "anchor ms", "ratio");
  auto row = [](const char* n, double v, double a, const char* goal) {
    std::printf("%-28s %10.2f %10.2f %7.2fx  %s\n", n, v * 1e3, a * 1e3, a > 0 ? v / a : 0.0, goal);
  };
  row("first save", t("world_first_save"), write, "(goal <= 8x fsync'd write)");
  row("save after one dab", t("world_save_after_one_dab"), write, "(goal <= 1x fsync'd write)");
  row("open with all tiles", t("world_open_all_tiles"), read, "(goal <= 3x plain read, page cache)");
  row("open with all tiles", t("world_open_all_tiles"), t("plain_read_direct"), "(the same against a read from disk)");
  double built = t("chunks_from_heightmap"), stored = t("chunks_from_stored_blobs");
  std::printf("%-28s %10.2f %10.2f %7.2fx  (goal >= 1x: stored / built time, CPU side only)\n", "289 chunks from heightmap",
              built * 1e3, stored * 1e3, built > 0 ? stored / built : 0.0);
  benchmark::Shutdown();
  worldClose(gMeshWorld);
  std::remove(meshPath.c_str());
  std::remove(gPlain.c_str());
  std::remove(gWorld.c_str());
  rmdir(gDir.c_str());
  return 0;
}
