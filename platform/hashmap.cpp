#include "platform/hashmap.h"

#include <emmintrin.h>
#include <xxhash.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr u8 kEmpty = 0x80;
constexpr u64 kGroup = 32;

// Bit k set where control byte k of the 32-byte group at p equals b.
inline u32 matchByte(const u8* p, u8 b) {
  __m128i needle = _mm_set1_epi8((char)b);
  __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  u32 mlo = (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(lo, needle));
  u32 mhi = (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(hi, needle));
  return mlo | (mhi << 16);
}

// Empty bytes are the only ones with the top bit set.
inline u32 matchEmpty(const u8* p) {
  __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  return (u32)_mm_movemask_epi8(lo) | ((u32)_mm_movemask_epi8(hi) << 16);
}

inline u64 homeIndex(u64 h, u64 lgcap) { return (h * 0x9e3779b97f4a7c15ull) >> (64 - lgcap); }
inline u8 h2Of(u64 h) { return (u8)((h >> 56) & 0x7F); }

inline void setCtrl(sm_header_t* hd, u64 p, u8 v) {
  hd->ctrl[p] = v;
  if (p < kGroup) hd->ctrl[hd->cap + p] = v;
}

inline u64 slotStride(const sm_header_t* hd) { return hd->key_size + hd->val_size; }

size_t blockBytes(u64 cap, u64 stride) { return sizeof(sm_header_t) + cap * stride + cap + kGroup; }

// The default callbacks are recognised and called directly on the hot paths.
inline u64 hashKey(sm_header_t* hd, const void* key) {
  if (hd->alloc.hash == nullptr) return XXH3_64bits(key, hd->key_size);
  return hd->alloc.hash(hd->alloc.ctx, key, hd->key_size);
}

inline bool keyEq(sm_header_t* hd, const void* a, const void* b) {
  if (hd->alloc.eq == nullptr) {
    switch (hd->key_size) {
      case 4: { u32 x, y; std::memcpy(&x, a, 4); std::memcpy(&y, b, 4); return x == y; }
      case 8: { u64 x, y; std::memcpy(&x, a, 8); std::memcpy(&y, b, 8); return x == y; }
      default: return std::memcmp(a, b, hd->key_size) == 0;
    }
  }
  return hd->alloc.eq(hd->alloc.ctx, a, b, hd->key_size) != 0;
}

void* allocBlock(const sm_allocator_t& a, size_t bytes) {
  return a.alloc ? a.alloc(a.ctx, bytes) : std::malloc(bytes);
}
void freeBlock(const sm_allocator_t& a, void* p) {
  if (a.free) a.free(a.ctx, p); else std::free(p);
}

// Creates an empty table of cap slots with hd's callbacks and sizes; null on failure.
sm_header_t* newTable(const sm_header_t& proto, u64 cap, u64 lgcap) {
  size_t bytes = blockBytes(cap, proto.key_size + proto.val_size);
  sm_header_t* hd = static_cast<sm_header_t*>(allocBlock(proto.alloc, bytes));
  if (!hd) return nullptr;
  *hd = proto;
  hd->cap = cap;
  hd->lgcap = lgcap;
  hd->size = 0;
  hd->ctrl = reinterpret_cast<u8*>(hd + 1) + cap * slotStride(hd);
  std::memset(hd->ctrl, kEmpty, cap + kGroup);
  return hd;
}

// Slot index of key, or -1; h is its hash.
inline i64 findSlot(sm_header_t* hd, const void* key, u64 h) {
  u8 tag = h2Of(h);
  u64 mask = hd->cap - 1;
  u64 i = homeIndex(h, hd->lgcap);
  u8* slots = reinterpret_cast<u8*>(hd + 1);
  u64 stride = slotStride(hd);
  for (;;) {
    const u8* g = hd->ctrl + i;
    for (u32 bits = matchByte(g, tag); bits; bits &= bits - 1) {
      u64 p = (i + (u64)__builtin_ctz(bits)) & mask;
      if (keyEq(hd, slots + p * stride, key)) return (i64)p;
    }
    if (matchEmpty(g)) return -1;
    i = (i + kGroup) & mask;
  }
}

// First empty slot on h's probe sequence (the key is known to be absent).
inline u64 findEmpty(sm_header_t* hd, u64 h) {
  u64 mask = hd->cap - 1;
  u64 i = homeIndex(h, hd->lgcap);
  for (;;) {
    u32 e = matchEmpty(hd->ctrl + i);
    if (e) return (i + (u64)__builtin_ctz(e)) & mask;
    i = (i + kGroup) & mask;
  }
}

}  // namespace

int sm_eq_default(void*, const void* a, const void* b, size_t key_size) {
  return std::memcmp(a, b, key_size) == 0;
}
void* sm_alloc(void*, size_t bytes) { return std::malloc(bytes); }
void sm_unalloc(void*, void* ptr) { std::free(ptr); }

void* sm_new(u64 init_cap, u64 key_size, u64 val_size, const sm_allocator_t* allocs) {
  sm_header_t proto{};
  if (allocs) proto.alloc = *allocs;
  if (!proto.alloc.alloc || !proto.alloc.free) {
    proto.alloc.alloc = nullptr;  // system heap, called directly
    proto.alloc.free = nullptr;
    proto.alloc.ctx = nullptr;
  }
  // Default hash and eq stay null internally so the hot paths can inline them.
  if (proto.alloc.eq == sm_eq_default) proto.alloc.eq = nullptr;
  proto.key_size = key_size;
  proto.val_size = val_size;
  u64 cap = 2, lg = 1;
  if (init_cap > 0) {
    if (init_cap > (~0ull >> 4)) return nullptr;
    u64 want = (8 * init_cap + 6) / 7;
    while (cap < want) { cap <<= 1; ++lg; }
  }
  sm_header_t* hd = newTable(proto, cap, lg);
  return hd ? static_cast<void*>(hd + 1) : nullptr;
}

void sm_free(void* m) {
  if (!m) return;
  sm_header_t* hd = sm_header(m);
  sm_allocator_t a = hd->alloc;
  freeBlock(a, hd);
}

void sm_clear(void* m) {
  if (!m) return;
  sm_header_t* hd = sm_header(m);
  std::memset(hd->ctrl, kEmpty, hd->cap + kGroup);
  hd->size = 0;
}

void* sm_find(void* m, const void* key) {
  if (!m) return nullptr;
  sm_header_t* hd = sm_header(m);
  i64 p = findSlot(hd, key, hashKey(hd, key));
  if (p < 0) return nullptr;
  return static_cast<u8*>(m) + (u64)p * slotStride(hd) + hd->key_size;
}

int sm_put_(void** mp, const void* key, const void* val) {
  if (!mp || !*mp) return -1;
  sm_header_t* hd = sm_header(*mp);
  u64 stride = slotStride(hd);
  if (8 * hd->size + 8 >= 7 * hd->cap) {
    sm_header_t* nh = newTable(*hd, hd->cap * 2, hd->lgcap + 1);
    if (!nh) return -1;
    u8* oldSlots = reinterpret_cast<u8*>(hd + 1);
    u8* newSlots = reinterpret_cast<u8*>(nh + 1);
    for (u64 i = 0; i < hd->cap; ++i) {
      if (hd->ctrl[i] & kEmpty) continue;
      const u8* s = oldSlots + i * stride;
      u64 h = hashKey(nh, s);
      u64 p = findEmpty(nh, h);
      setCtrl(nh, p, h2Of(h));
      std::memcpy(newSlots + p * stride, s, stride);
      ++nh->size;
    }
    freeBlock(hd->alloc, hd);
    hd = nh;
    *mp = hd + 1;
  }
  u8* slots = reinterpret_cast<u8*>(hd + 1);
  u64 h = hashKey(hd, key);
  i64 found = findSlot(hd, key, h);
  if (found >= 0) {
    std::memcpy(slots + (u64)found * stride + hd->key_size, val, hd->val_size);
    return 0;
  }
  u64 p = findEmpty(hd, h);
  setCtrl(hd, p, h2Of(h));
  std::memcpy(slots + p * stride, key, hd->key_size);
  std::memcpy(slots + p * stride + hd->key_size, val, hd->val_size);
  ++hd->size;
  return 1;
}

int sm_delete(void* m, const void* key) {
  if (!m) return -1;
  sm_header_t* hd = sm_header(m);
  i64 found = findSlot(hd, key, hashKey(hd, key));
  if (found < 0) return -1;
  --hd->size;
  u64 mask = hd->cap - 1;
  u64 stride = slotStride(hd);
  u8* slots = static_cast<u8*>(m);
  u64 j = (u64)found;
  u64 i = (j + 1) & mask;
  while (!(hd->ctrl[i] & kEmpty)) {
    u64 home = homeIndex(hashKey(hd, slots + i * stride), hd->lgcap);
    bool stays = (j < i) ? (j < home && home <= i) : (home > j || home <= i);
    if (!stays) {
      std::memcpy(slots + j * stride, slots + i * stride, stride);
      setCtrl(hd, j, hd->ctrl[i]);
      j = i;
    }
    i = (i + 1) & mask;
  }
  setCtrl(hd, j, kEmpty);
  return 0;
}
