// Writes seeds for fuzz_world into argv[1]: small worlds with terrain, catalog,
// materials, instances on several tiles and a stored chunk mesh, and variants of them.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "terrain/terrain_chunk.h"
#include "terrain/world_map.h"

namespace {

using Bytes = std::vector<u8>;

void entry(Bytes& b, u8 sel, const void* data, size_t len) {
  b.push_back(sel);
  b.push_back((u8)len);
  b.push_back((u8)(len >> 8));
  const u8* p = static_cast<const u8*>(data);
  b.insert(b.end(), p, p + len);
}

Bytes world(u32 w, u32 h, f32 tile, u32 instances, bool mesh) {
  WorldMeta m = worldDefaultMeta(w, h, 1.0f, tile, 50.0f);
  m.magic = kWorldMagic;
  m.version = 1;
  m.catalogCount = 2;
  Bytes b(reinterpret_cast<const u8*>(&m), reinterpret_cast<const u8*>(&m) + 64);
  WorldEnv env{};
  env.fogEnd = 100;
  entry(b, 0, &env, sizeof env);
  std::vector<i16> heights((size_t)w * h);
  for (size_t i = 0; i < heights.size(); i++) heights[i] = (i16)(i * 977);
  entry(b, 1, heights.data(), heights.size() * 2);
  std::vector<u8> splat((size_t)w * h * 4, 64);
  entry(b, 2, splat.data(), splat.size());
  WorldTerrainMaterial mat{};
  std::snprintf(mat.albedoPath, sizeof mat.albedoPath, "asset/grass.ktx2");
  entry(b, 3, &mat, sizeof mat);
  u8 ids[16] = {1, 0, 0, 0, 2, 1, 0, 0};
  entry(b, 4, ids, sizeof ids);
  for (u32 c = 0; c < 2; c++) {
    WorldEntityDef d{};
    std::snprintf(d.name, sizeof d.name, "kind%u", c);
    d.boundingRadius = 1.0f + (f32)c;
    entry(b, (u8)(5 + c), &d, sizeof d);
  }
  std::vector<WorldEntityInst> inst(instances);
  for (u32 i = 0; i < instances; i++) inst[i] = WorldEntityInst{i % 3, {m.boundsMin[0] + i, 0, m.boundsMin[2] + i}, 0, 1, 0, 0};
  if (instances) {
    entry(b, 13, inst.data(), inst.size() * sizeof(WorldEntityInst));
    entry(b, 14, inst.data(), inst.size() * sizeof(WorldEntityInst) / 2 + 5);  // a short tail
  }
  if (mesh) {
    Bytes blob(24 + 4 * 12 + 6 * 2, 0);
    f32 hdr[4] = {0, 0, 0, 2};
    u32 counts[2] = {4, 6};
    std::memcpy(blob.data(), hdr, 16);
    std::memcpy(blob.data() + 16, counts, 8);
    u16 idx[6] = {0, 2, 1, 1, 2, 3};
    std::memcpy(blob.data() + 24 + 48, idx, 12);
    entry(b, 128, blob.data(), blob.size());
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const Bytes seeds[] = {world(17, 17, 8, 5, true), world(9, 33, 4, 0, false), world(2, 2, 1, 40, true),
                         world(33, 9, 64, 3, true)};
  int n = 0;
  for (const Bytes& s : seeds) {
    std::string p = std::string(argv[1]) + "/seed" + std::to_string(n++);
    FILE* f = std::fopen(p.c_str(), "wb");
    if (!f) return 1;
    std::fwrite(s.data(), 1, s.size(), f);
    std::fclose(f);
  }
  return 0;
}
