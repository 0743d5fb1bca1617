// The world fuzzer's input format, shared with its seed generator: 64 bytes of meta
// (grids kept small enough for a fuzzer's memory), then entries, each a selector byte,
// a 16-bit length and that many bytes.
#pragma once

#include <cstdio>
#include <cstring>

#include "store/blob_store.h"
#include "terrain/world_map.h"

// The entry name a selector byte stands for.
inline void worldFuzzName(u8 sel, char* out, size_t n) {
  static const char* fixed[] = {"env", "terrain/height", "terrain/splat", "terrain/materials", "terrain/matids"};
  if (sel < 5) std::snprintf(out, n, "%s", fixed[sel]);
  else if (sel < 13) std::snprintf(out, n, "catalog/%u", sel - 5u);
  else if (sel < 128) std::snprintf(out, n, "entities/%u_%u", (sel - 13u) % 6, (sel - 13u) / 6 % 6);
  else std::snprintf(out, n, "terrain/mesh/%u_%u", (sel - 128u) % 6, (sel - 128u) / 6 % 6);
}

inline bool worldFuzzWriteStore(const char* path, const u8* data, size_t size) {
  if (size < 64) return false;
  WorldMeta m;
  std::memcpy(&m, data, 64);
  // Keep what the open allocates small: at most 4096 samples, 36 tiles (the checks of
  // larger grids are the same code).
  if ((unsigned long long)m.heightmapW * m.heightmapH > 4096) m.heightmapW = m.heightmapH = 64;
  if (m.tileSize > 0 && (m.boundsMax[0] - m.boundsMin[0]) / m.tileSize > 6) m.boundsMax[0] = m.boundsMin[0];
  if (m.tileSize > 0 && (m.boundsMax[2] - m.boundsMin[2]) / m.tileSize > 6) m.boundsMax[2] = m.boundsMin[2];
  bs_cfg cfg{};
  cfg.chunk_size = 4096;
  cfg.nz_block_size = 1;
  bs_store* s = nullptr;
  if (bs_open(&s, path, &cfg) != BS_OK) return false;
  bs_add_buffer(s, reinterpret_cast<const u8*>(&m), 64, "meta");
  size_t at = 64;
  while (at + 3 <= size) {
    u8 sel = data[at];
    size_t len = (size_t)data[at + 1] | ((size_t)data[at + 2] << 8);
    at += 3;
    if (len > size - at) len = size - at;
    char name[64];
    worldFuzzName(sel, name, sizeof name);
    bs_add_buffer(s, len ? data + at : nullptr, len, name);
    at += len;
  }
  return bs_close(s) == BS_OK;
}
