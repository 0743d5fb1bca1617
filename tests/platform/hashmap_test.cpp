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

// A key carrying its wanted home in its low 10 bits, for maps of 1024 slots.
u64 home10Hash(void*, const void* key, size_t) {
  u64 k;
  memcpy(&k, key, 8);
  const u64 inv = 0xf1de83e19937733dull;  // inverse of 0x9e3779b97f4a7c15 mod 2^64
  return ((k & 1023) << (64 - 10)) * inv;
}

// An entry more than 255 slots past its home has a saturated displacement byte
// and a hole more than 255 slots back; when its home lies after that hole it
// must stay, which only its recomputed home can tell.
TEST(HashMap, DeleteKeepsFarDisplacedEntriesWhoseHomeFollowsTheHole) {
  sm_allocator_t a{};
  a.hash = home10Hash;
  void* m = sm_new(800, 8, 8, &a);
  ASSERT_EQ(sm_cap(m), 1024u);
  std::vector<u64> keys;
  for (u64 home = 0; home <= 300; ++home) keys.push_back((1ull << 20) | home);  // each at its home
  keys.push_back((2ull << 20) | 5);  // homed at 5, lands in slot 301
  for (u64 k : keys) ASSERT_EQ(sm_put_(&m, &k, &k), 1);
  ASSERT_EQ(sm_check(m), 0u);
  ASSERT_EQ(sm_delete(m, &keys[0]), 0);  // the hole at slot 0, 301 slots before the far entry
  EXPECT_EQ(sm_check(m), 0u);
  for (size_t i = 1; i < keys.size(); ++i) {
    const u64* v = static_cast<const u64*>(sm_find(m, &keys[i]));
    ASSERT_NE(v, nullptr) << i;
    EXPECT_EQ(*v, keys[i]);
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

// Keys of keySize bytes derived from a number (the first 8 bytes hold it, any
// further bytes repeat a function of it), values of 24 bytes.
struct KeyBytes {
  u8 b[16];
};
KeyBytes keyOf(u64 n, u64 keySize) {
  KeyBytes k{};
  memcpy(k.b, &n, 8);
  for (u64 i = 8; i < keySize; ++i) k.b[i] = (u8)(n * 31 + i);
  return k;
}

// Random puts, overwrites, deletes and finds against std::unordered_map, with
// the table's layout (displacement bytes against recomputed homes, mirror,
// count) checked after every operation.
void differential(const sm_allocator_t* a, u64 keySize, u64 keySpace, int steps, u64 seed) {
  std::mt19937_64 rng(seed);
  void* m = sm_new(0, keySize, sizeof(Val24), a);
  ASSERT_NE(m, nullptr);
  std::unordered_map<u64, Val24> ref;
  for (int step = 0; step < steps; ++step) {
    // Small key space so that overwrites, deletes and hits are frequent.
    u64 n = rng() % keySpace;
    KeyBytes key = keyOf(n, keySize);
    int op = (int)(rng() % 10);
    if (op < 5) {
      Val24 v{rng(), rng(), rng()};
      int r = sm_put_(&m, key.b, &v);
      bool isNew = ref.find(n) == ref.end();
      ASSERT_EQ(r, isNew ? 1 : 0);
      ref[n] = v;
    } else if (op < 8) {
      int r = sm_delete(m, key.b);
      ASSERT_EQ(r, ref.erase(n) ? 0 : -1);
    } else {
      Val24* v = static_cast<Val24*>(sm_find(m, key.b));
      auto it = ref.find(n);
      ASSERT_EQ(v != nullptr, it != ref.end());
      if (keySize == 8) {
        ASSERT_EQ(sm_find_t<Val24>(m, n), v);  // the typed lookup agrees
      }
      if (v) {
        ASSERT_EQ(memcmp(v, &it->second, sizeof(Val24)), 0);
      }
    }
    ASSERT_EQ(sm_size(m), ref.size());
    ASSERT_EQ(sm_check(m), 0u) << "step " << step;
  }
  for (auto& [n, v] : ref) {
    KeyBytes key = keyOf(n, keySize);
    Val24* got = static_cast<Val24*>(sm_find(m, key.b));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(memcmp(got, &v, sizeof(Val24)), 0);
    EXPECT_EQ(sm_find_generic(m, key.b), got);  // the out-of-line lookup agrees
  }
  sm_clear(m);
  EXPECT_EQ(sm_size(m), 0u);
  for (auto& [n, v] : ref) EXPECT_EQ(sm_find(m, keyOf(n, keySize).b), nullptr);
  sm_free(m);
}

TEST(HashMap, DifferentialAgainstUnorderedMap) {
  // 8-byte keys take the inline lookup; 12-byte keys the generic path.
  struct Case { u64 keySize, keySpace; int steps; } cases[] = {{8, 2000, 60000}, {12, 1000, 20000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keySize);
    differential(nullptr, c.keySize, c.keySpace, c.steps, 12345);
  }
}

// 12-byte slots (the pair cache's shape) at the highest load growth allows:
// long clusters, several entries moved per delete, and growth copies of short
// slots, against std::unordered_map with the layout checked after every step.
TEST(HashMap, DifferentialWithSmallSlotsAtHighLoad) {
  std::mt19937_64 rng(777);
  void* m = sm_new(0, 8, 4, nullptr);
  std::unordered_map<u64, u32> ref;
  for (int step = 0; step < 40000; ++step) {
    // Keep the count near 7/8 of a 512-slot table so that it hovers at a growth point.
    u64 n = rng() % 600;
    u64 k = n * 0x9e3779b97f4a7c15ull;
    if (rng() % 100 < (ref.size() < 440 ? 70u : 40u)) {
      u32 v = (u32)rng();
      ASSERT_EQ(sm_put_(&m, &k, &v), ref.count(k) ? 0 : 1);
      ref[k] = v;
    } else {
      ASSERT_EQ(sm_delete(m, &k), ref.erase(k) ? 0 : -1);
    }
    ASSERT_EQ(sm_check(m), 0u) << "step " << step;
    ASSERT_EQ(sm_size(m), ref.size());
  }
  for (auto& [k, v] : ref) {
    const u32* got = sm_find_t<u32>(m, k);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(*got, v);
  }
  u64 full = 0;
  for (u64 i = 0; i < sm_cap(m); ++i) full += sm_slot_full(m, i) ? 1 : 0;
  EXPECT_EQ(full, ref.size());
  sm_free(m);
}

TEST(HashMap, DifferentialWithOneClusterWrappingPastTheLastSlot) {
  sm_allocator_t a{};
  a.hash = lastSlotHash;
  // Every key shares one home, so the cluster grows past the 255 that a
  // displacement byte holds and deletion must recompute homes beyond it.
  // Every probe walks the cluster, so keep it a few hundred keys long.
  differential(&a, 8, 700, 20000, 777);
}

// The map never keeps caller pointers, but a caller may pass pointers into the
// map itself (re-inserting a found entry under another key); growth must read
// them before it releases the old block (AddressSanitizer sees a late read).
TEST(HashMap, ArgumentsPointingIntoTheMapSurviveGrowth) {
  void* m = sm_new(0, 8, 8, nullptr);
  u64 k = 1, v = 100;
  ASSERT_EQ(sm_put_(&m, &k, &v), 1);
  for (u64 n = 2; n < 2000; ++n) {
    u64 prev = n - 1;
    const u64* pv = static_cast<const u64*>(sm_find(m, &prev));
    ASSERT_NE(pv, nullptr);
    // Alternate which call meets the growth points: a new key whose value
    // lies in the map, or an overwrite whose key and value both do.
    if (n % 2) {
      ASSERT_EQ(sm_put_(&m, &n, pv), 1);
    } else {
      ASSERT_EQ(sm_put_(&m, pv - 1, pv), 0);  // the key's bytes precede its value
      ASSERT_EQ(sm_put_(&m, &n, sm_find(m, &prev)), 1);
    }
  }
  EXPECT_EQ(sm_size(m), 1999u);
  for (u64 n = 1; n < 2000; ++n) {
    const u64* got = static_cast<const u64*>(sm_find(m, &n));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(*got, 100u);
  }
  sm_free(m);
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
