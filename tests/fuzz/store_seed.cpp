// Writes seeds for fuzz_store into argv[1]: small valid stores (empty, single and
// multi-chunk entries, deleted and replaced entries, encrypted), their truncations
// and bit flips.
#include <cstdio>
#include <string>
#include <vector>

#include "store/blob_store.h"
#include "store_fuzz_key.h"

namespace {

using Bytes = std::vector<u8>;

Bytes readAll(const std::string& path) {
  Bytes b;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return b;
  u8 tmp[4096];
  size_t n;
  while ((n = std::fread(tmp, 1, sizeof tmp, f)) > 0) b.insert(b.end(), tmp, tmp + n);
  std::fclose(f);
  return b;
}

void writeAll(const std::string& path, const Bytes& b) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
}

Bytes content(int kind, size_t n) {
  Bytes b(n);
  u32 x = 2463534242u + (u32)kind;
  for (size_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = kind == 0 ? (u8)x : kind == 1 ? (u8)("terrain tiles "[i % 14]) : (u8)((i / 64) & 0xFF);
  }
  return b;
}

// Builds one store; returns its bytes.
Bytes makeStore(const std::string& path, int variant, const std::string& pub) {
  std::remove(path.c_str());
  bs_cfg cfg{};
  cfg.chunk_size = 4096;
  cfg.nz_block_size = 1;
  if (variant == 4) cfg.recipient_pub_path = pub.c_str();
  bs_store* s = nullptr;
  if (bs_open(&s, path.c_str(), &cfg) != BS_OK) return {};
  Bytes a = content(1, 9000), b = content(0, 300), c = content(2, 4096);
  switch (variant) {
    case 0: break;  // empty store
    case 1: bs_add_buffer(s, b.data(), b.size(), "tile/0_0"); break;
    case 2:
      bs_add_buffer(s, a.data(), a.size(), "terrain/height");
      bs_add_buffer(s, c.data(), c.size(), "terrain/splat");
      bs_add_buffer(s, nullptr, 0, "empty");
      break;
    case 3:
      bs_add_buffer(s, a.data(), a.size(), "a");
      bs_add_buffer(s, b.data(), b.size(), "b");
      bs_add_buffer(s, c.data(), c.size(), "c");
      bs_add_buffer(s, b.data(), b.size(), "a");  // replaced
      bs_delete(s, "c");
      break;
    case 4:
      bs_add_buffer(s, a.data(), a.size(), "sealed");
      bs_add_buffer(s, nullptr, 0, "empty");
      break;
  }
  bs_flush(s);
  Bytes out = readAll(path);  // before close, which may compact
  bs_close(s);
  std::remove(path.c_str());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: seed_store <directory>\n");
    return 2;
  }
  std::string dir = argv[1], priv, pub;
  if (!storeFuzzWriteKeys(dir + "/.seed_key", &priv, &pub)) return 1;
  for (int v = 0; v < 5; v++) {
    Bytes b = makeStore(dir + "/.seed_store.qel", v, pub);
    if (b.empty()) return 1;
    std::string base = dir + "/store" + std::to_string(v);
    writeAll(base + "_valid", b);
    for (size_t cut : {b.size() / 2, b.size() - 1, (size_t)200})
      if (cut < b.size()) writeAll(base + "_cut" + std::to_string(cut), Bytes(b.begin(), b.begin() + cut));
    u32 x = 99u + (u32)v;
    for (int k = 0; k < 4; k++) {
      Bytes f = b;
      x = x * 1664525u + 1013904223u;
      size_t bit = x % (f.size() * 8);
      f[bit / 8] ^= (u8)(1u << (bit % 8));
      writeAll(base + "_flip" + std::to_string(k), f);
    }
  }
  std::remove(priv.c_str());
  std::remove(pub.c_str());
  return 0;
}
