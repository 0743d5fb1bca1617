#include "platform/hashmap.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace {

struct Val24 { u64 a, b, c; };

TEST(HashMap, InitialCapacities) {
  struct Case { u64 init, cap; } cases[] = {{0, 2}, {1, 2}, {7, 8}, {64, 128}};
  for (auto c : cases) {
    void* m = sm_new(c.init, 8, 4, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(sm_cap(m), c.cap) << "init " << c.init;
    sm_free(m);
  }
}

TEST(HashMap, CapacitiesWhoseBlockSizeOverflowsFail) {
  // cap * stride would wrap to a small block that the control bytes then overrun.
  EXPECT_EQ(sm_new(1ull << 59, 8, 8, nullptr), nullptr);
  EXPECT_EQ(sm_new(1ull << 40, 1ull << 30, 8, nullptr), nullptr);
  EXPECT_EQ(sm_new(~0ull, 8, 8, nullptr), nullptr);
}

TEST(HashMap, GrowthPoints) {
  void* m = sm_new(0, 8, 4, nullptr);
  u64 k = 1; u32 v = 10;
  EXPECT_EQ(sm_put_(&m, &k, &v), 1);
  EXPECT_EQ(sm_cap(m), 2u);
  k = 2;
  EXPECT_EQ(sm_put_(&m, &k, &v), 1);
  EXPECT_EQ(sm_cap(m), 4u);
  k = 3;
  EXPECT_EQ(sm_put_(&m, &k, &v), 1);
  EXPECT_EQ(sm_cap(m), 4u);
  k = 4;
  EXPECT_EQ(sm_put_(&m, &k, &v), 1);
  EXPECT_EQ(sm_cap(m), 8u);
  // Overwrite: returns 0, size unchanged.
  k = 2; v = 99;
  EXPECT_EQ(sm_put_(&m, &k, &v), 0);
  EXPECT_EQ(sm_size(m), 4u);
  EXPECT_EQ(*static_cast<u32*>(sm_find(m, &k)), 99u);
  k = 1234;
  EXPECT_EQ(sm_delete(m, &k), -1);
  EXPECT_EQ(sm_size(m), 4u);
  sm_free(m);
}

// A hash that puts every key at a chosen home slot, to build clusters that wrap.
u64 homeHash(void*, const void* key, size_t) {
  u64 k;
  memcpy(&k, key, 8);
  // Keys carry their wanted home in the low byte; the multiplier's inverse puts it there.
  const u64 inv = 0xf1de83e19937733dull;  // inverse of 0x9e3779b97f4a7c15 mod 2^64
  u64 home = k & 0xFF;
  return (home << (64 - 8)) * inv;  // lgcap 8: home = (h * M) >> 56
}

TEST(HashMap, DeleteFromWrappingClusterKeepsKeysReachable) {
  sm_allocator_t a{};
  a.hash = homeHash;
  void* m = sm_new(200, 8, 8, &a);  // cap 256
  ASSERT_EQ(sm_cap(m), 256u);
  // Ten keys homed at 250..255 and 0: the cluster wraps into slots 0..
  std::vector<u64> keys;
  for (u64 i = 0; i < 12; ++i) {
    u64 home = (250 + i / 2) & 0xFF;
    u64 key = (i << 8) | home;
    keys.push_back(key);
    ASSERT_EQ(sm_put_(&m, &key, &key), 1);
  }
  ASSERT_EQ(sm_cap(m), 256u);
  for (size_t d = 0; d < keys.size(); d += 3) {
    ASSERT_EQ(sm_delete(m, &keys[d]), 0);
    for (size_t j = 0; j < keys.size(); ++j) {
      void* v = sm_find(m, &keys[j]);
      if (j <= d && j % 3 == 0) {
        EXPECT_EQ(v, nullptr);
      } else {
        ASSERT_NE(v, nullptr) << "key " << j << " lost after deleting " << d;
        EXPECT_EQ(*static_cast<u64*>(v), keys[j]);
      }
    }
  }
  sm_free(m);
}

// Homes every key at the last slot whatever the capacity: (h * M) has all top
// bits set. Every insert joins one cluster that wraps from the last slot to 0.
u64 lastSlotHash(void*, const void* key, size_t) {
  u64 k;
  memcpy(&k, key, 8);
  const u64 inv = 0xf1de83e19937733dull;  // inverse of 0x9e3779b97f4a7c15 mod 2^64
  return (~0ull - (k % 4096)) * inv;
}

void differential(const sm_allocator_t* a, u64 keySpace, int steps, u64 seed) {
  std::mt19937_64 rng(seed);
  void* m = sm_new(0, 8, sizeof(Val24), a);
  std::unordered_map<u64, Val24> ref;
  for (int step = 0; step < steps; ++step) {
    // Small key space so that overwrites, deletes and hits are frequent.
    u64 key = rng() % keySpace;
    int op = (int)(rng() % 10);
    if (op < 5) {
      Val24 v{rng(), rng(), rng()};
      int r = sm_put_(&m, &key, &v);
      bool isNew = ref.find(key) == ref.end();
      ASSERT_EQ(r, isNew ? 1 : 0);
      ref[key] = v;
    } else if (op < 8) {
      int r = sm_delete(m, &key);
      ASSERT_EQ(r, ref.erase(key) ? 0 : -1);
    } else {
      Val24* v = static_cast<Val24*>(sm_find(m, &key));
      auto it = ref.find(key);
      ASSERT_EQ(v != nullptr, it != ref.end());
      if (v) {
        ASSERT_EQ(memcmp(v, &it->second, sizeof(Val24)), 0);
      }
    }
    ASSERT_EQ(sm_size(m), ref.size());
  }
  for (auto& [k, v] : ref) {
    Val24* got = static_cast<Val24*>(sm_find(m, &k));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(memcmp(got, &v, sizeof(Val24)), 0);
  }
  sm_clear(m);
  EXPECT_EQ(sm_size(m), 0u);
  for (auto& [k, v] : ref) EXPECT_EQ(sm_find(m, &k), nullptr);
  sm_free(m);
}

TEST(HashMap, DifferentialAgainstUnorderedMap) { differential(nullptr, 5000, 200000, 12345); }

TEST(HashMap, DifferentialWithOneClusterWrappingPastTheLastSlot) {
  sm_allocator_t a{};
  a.hash = lastSlotHash;
  // Every probe walks the cluster, so keep it a few hundred keys long.
  differential(&a, 400, 30000, 777);
}

struct FailingAlloc {
  int allowed;
};
void* failAlloc(void* ctx, size_t bytes) {
  auto* f = static_cast<FailingAlloc*>(ctx);
  if (f->allowed <= 0) return nullptr;
  --f->allowed;
  return malloc(bytes);
}
void failFree(void*, void* p) { free(p); }

TEST(HashMap, GrowthFailureChangesNothing) {
  FailingAlloc fa{1};
  sm_allocator_t a{&fa, failAlloc, failFree, nullptr, nullptr};
  void* m = sm_new(0, 8, 4, &a);
  ASSERT_NE(m, nullptr);
  u64 k = 7; u32 v = 1;
  ASSERT_EQ(sm_put_(&m, &k, &v), 1);
  void* before = m;
  u64 k2 = 8; u32 v2 = 2;
  EXPECT_EQ(sm_put_(&m, &k2, &v2), -1);  // needs growth, allocator refuses
  EXPECT_EQ(m, before);
  EXPECT_EQ(sm_size(m), 1u);
  EXPECT_EQ(sm_find(m, &k2), nullptr);
  // Even an overwrite that would grow first leaves the old value.
  u32 v3 = 3;
  EXPECT_EQ(sm_put_(&m, &k, &v3), -1);
  EXPECT_EQ(*static_cast<u32*>(sm_find(m, &k)), 1u);
  fa.allowed = 1;
  EXPECT_EQ(sm_put_(&m, &k2, &v2), 1);
  EXPECT_EQ(*static_cast<u32*>(sm_find(m, &k2)), 2u);
  sm_free(m);
}

}  // namespace
