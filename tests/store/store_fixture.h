// Helpers shared by the store tests: a scratch directory, file bytes, test data.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "store/blob_store.h"

namespace storetest {

using Bytes = std::vector<u8>;

// A fresh directory per test, removed afterwards.
class StoreDir : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/bs_test_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir = buf.data();
    path = dir + "/world.qel";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string file(const char* name) const { return dir + "/" + name; }

  std::string dir, path;
};

inline bs_cfg smallCfg(u32 chunk = 4096, u32 workers = 1) {
  bs_cfg c{};
  c.chunk_size = chunk;
  c.nz_block_size = workers;
  return c;
}

inline Bytes readFile(const std::string& p) {
  Bytes b;
  FILE* f = std::fopen(p.c_str(), "rb");
  if (!f) return b;
  u8 tmp[65536];
  size_t n;
  while ((n = std::fread(tmp, 1, sizeof tmp, f)) > 0) b.insert(b.end(), tmp, tmp + n);
  std::fclose(f);
  return b;
}

inline void writeFile(const std::string& p, const Bytes& b) {
  FILE* f = std::fopen(p.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!b.empty()) {
    ASSERT_EQ(std::fwrite(b.data(), 1, b.size(), f), b.size());
  }
  std::fclose(f);
}

inline bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

inline u64 fileSize(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? (u64)st.st_size : 0;
}

// Deterministic bytes: incompressible noise, or text-like data that compresses.
inline Bytes noise(size_t n, u64 seed) {
  Bytes b(n);
  u64 x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b[i] = (u8)x;
  }
  return b;
}

inline Bytes text(size_t n, u64 seed) {
  static const char* words[] = {"terrain ", "height ", "splat ", "tile ", "entity ", "world ", "rock ", "grass "};
  Bytes b;
  u64 x = seed + 7;
  while (b.size() < n) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    const char* w = words[(x >> 33) % 8];
    b.insert(b.end(), w, w + std::strlen(w));
  }
  b.resize(n);
  return b;
}

// Restores an entry; empty optional-like result through ok.
inline Bytes restore(bs_store* s, const char* name, bs_status* status = nullptr) {
  u8* buf = nullptr;
  size_t n = 0;
  bs_status r = bs_restore_buffer(s, name, &buf, &n);
  if (status) *status = r;
  Bytes out;
  if (r == BS_OK && n) out.assign(buf, buf + n);
  memFree(buf);
  return out;
}

// prefix followed by the number (avoids a false -Wrestrict of g++ 12 on string +).
inline std::string nm(const char* prefix, u64 i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%llu", prefix, (unsigned long long)i);
  return buf;
}

inline u32 le32(const Bytes& b, size_t at) {
  return (u32)b[at] | ((u32)b[at + 1] << 8) | ((u32)b[at + 2] << 16) | ((u32)b[at + 3] << 24);
}
inline u64 le64(const Bytes& b, size_t at) { return (u64)le32(b, at) | ((u64)le32(b, at + 4) << 32); }
inline void put32(Bytes& b, size_t at, u32 v) {
  for (int i = 0; i < 4; i++) b[at + i] = (u8)(v >> (8 * i));
}
inline void put64(Bytes& b, size_t at, u64 v) {
  for (int i = 0; i < 8; i++) b[at + i] = (u8)(v >> (8 * i));
}

}  // namespace storetest
