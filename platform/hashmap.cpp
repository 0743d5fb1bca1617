#include "platform/hashmap.h"

#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace {

constexpr u8 kEmpty = kSmEmpty;
constexpr u64 kGroup = kSmGroup;
// Displacement bytes saturate here; the home is then recomputed from the key.
constexpr u64 kDispMax = 255;

inline u64 homeIndex(u64 h, u64 lgcap) { return sm_home_index(h, lgcap); }
inline u8 h2Of(u64 h) { return sm_h2(h); }
inline u8 dispByte(u64 d) { return (u8)(d < kDispMax ? d : kDispMax); }

inline void setCtrl(sm_header_t* hd, u64 p, u8 v) {
  hd->ctrl[p] = v;
  if (p < kGroup) hd->ctrl[hd->cap + p] = v;
}

// Slots are a few dozen bytes: copy them inline with overlapping word moves
// rather than through a library call with a run-time length.
template <int N>
inline void move(u8* d, const u8* s) {
  u8 t[N];
  std::memcpy(t, s, N);
  std::memcpy(d, t, N);
}
inline void copyBytes(u8* d, const u8* s, u64 n) {
  if (n >= 16) {
    if (n > 32) {
      std::memcpy(d, s, n);
      return;
    }
    move<16>(d, s);
    move<16>(d + n - 16, s + n - 16);
  } else if (n >= 8) {
    move<8>(d, s);
    move<8>(d + n - 8, s + n - 8);
  } else if (n >= 4) {
    move<4>(d, s);
    move<4>(d + n - 4, s + n - 4);
  } else {
    for (u64 k = 0; k < n; ++k) d[k] = s[k];
  }
}

// Slot copies for the backward shift and growth, chosen once per call by
// stride so that their loops do not re-test the length for every entry.
struct CopyUpTo16 {  // 8 to 16 bytes
  u64 n;
  void operator()(u8* d, const u8* s) const {
    move<8>(d, s);
    move<8>(d + n - 8, s + n - 8);
  }
};
struct CopyUpTo32 {  // 16 to 32 bytes
  u64 n;
  void operator()(u8* d, const u8* s) const {
    move<16>(d, s);
    move<16>(d + n - 16, s + n - 16);
  }
};
struct CopyAny {
  u64 n;
  void operator()(u8* d, const u8* s) const { copyBytes(d, s, n); }
};

// Out of line, one function per slot copy, so that deletes needing no shift
// run in a small frame and each shift loop keeps its values in registers.
inline u64 slotStride(const sm_header_t* hd) { return hd->key_size + hd->val_size; }
inline u8* slotsOf(sm_header_t* hd) { return reinterpret_cast<u8*>(hd + 1); }
// One byte per slot after the control bytes and their mirror: how far a full
// slot lies past its home, so that deletion need not rehash to find homes.
// Bytes 0 to 31 are mirrored after the last like the control bytes, so that
// deletion can compare 16 of them from any slot.
inline u8* dispOf(sm_header_t* hd) { return hd->ctrl + hd->cap + kGroup; }
inline void setDisp(sm_header_t* hd, u64 p, u8 v) {
  u8* disp = dispOf(hd);
  disp[p] = v;
  if (p < kGroup) disp[hd->cap + p] = v;
}

// Key handling. The default callbacks stay null in the header, so that the hot
// paths call XXH3 and the byte comparison directly; 8-byte keys with both
// defaults (the common case) get a path of their own.
struct GenericKeys {
  sm_header_t* hd;
  u64 hash(const void* key) const {
    if (hd->alloc.hash == nullptr) return XXH3_64bits(key, hd->key_size);
    return hd->alloc.hash(hd->alloc.ctx, key, hd->key_size);
  }
  bool eq(const void* a, const void* b) const {
    if (hd->alloc.eq == nullptr) return std::memcmp(a, b, hd->key_size) == 0;
    return hd->alloc.eq(hd->alloc.ctx, a, b, hd->key_size) != 0;
  }
};

struct Default8Keys {
  u64 hash(const void* key) const { return XXH3_64bits(key, 8); }
  bool eq(const void* a, const void* b) const {
    u64 x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    return x == y;
  }
};

inline bool isDefault8(const sm_header_t* hd) {
  return hd->key_size == 8 && hd->alloc.hash == nullptr && hd->alloc.eq == nullptr;
}

// Result of one probe: the key's slot, or where it would be inserted (the first
// empty byte of the last group read).
struct Probe {
  u64 slot;
  bool found;
  u64 home;
};

template <typename Keys>
inline Probe probe(sm_header_t* hd, const Keys& keys, const void* key, u64 h) {
  const u64 mask = hd->cap - 1;
  const u64 stride = slotStride(hd);
  u8* slots = slotsOf(hd);
  const u64 home = homeIndex(h, hd->lgcap);
  u64 i = home;
  __builtin_prefetch(slots + i * stride);
  const __m128i needle = _mm_set1_epi8((char)h2Of(h));
  // As the inline lookup: 16 control bytes at a time, the window with an
  // empty byte the last; that byte is where an absent key would go.
  for (;;) {
    const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hd->ctrl + i));
    for (u32 bits = (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(g, needle)); bits; bits &= bits - 1) {
      u64 p = (i + (u64)__builtin_ctz(bits)) & mask;
      if (keys.eq(slots + p * stride, key)) return {p, true, home};
    }
    if (u32 empty = (u32)_mm_movemask_epi8(g)) return {(i + (u64)__builtin_ctz(empty)) & mask, false, home};
    i = (i + 16) & mask;
  }
}

void* allocBlock(const sm_allocator_t& a, size_t bytes) { return a.alloc ? a.alloc(a.ctx, bytes) : std::malloc(bytes); }
void freeBlock(const sm_allocator_t& a, void* p) {
  if (a.free)
    a.free(a.ctx, p);
  else
    std::free(p);
}

// An empty table of cap slots with proto's callbacks and sizes; null on failure
// or when the block size does not fit in size_t.
sm_header_t* newTable(const sm_header_t& proto, u64 cap, u64 lgcap) {
  u64 stride = proto.key_size + proto.val_size;
  if (cap > (~0ull - sizeof(sm_header_t) - 2 * kGroup) / (stride + 2)) return nullptr;
  size_t bytes = sizeof(sm_header_t) + cap * stride + 2 * (cap + kGroup);
  sm_header_t* hd = static_cast<sm_header_t*>(allocBlock(proto.alloc, bytes));
  if (!hd) return nullptr;
  *hd = proto;
  hd->cap = cap;
  hd->lgcap = lgcap;
  hd->home_shift = 64 - lgcap;
  hd->fast_stride = proto.key_size == 8 && !proto.alloc.hash && !proto.alloc.eq ? stride : 0;
  hd->size = 0;
  hd->ctrl = slotsOf(hd) + cap * stride;
  std::memset(hd->ctrl, kEmpty, cap + kGroup);
  std::memset(dispOf(hd), 0, cap + kGroup);
  return hd;
}

// Every entry of hd into the empty table nh, in slot order (so that placement,
// and with it iteration order, depends only on the entries), each at the
// first empty slot from its home.
template <typename Keys, typename Copy>
void rehashWith(sm_header_t* nh, sm_header_t* hd, const Keys& keys, Copy copySlot) {
  // Fields in locals: the byte stores below could alias the headers.
  const u64 stride = slotStride(hd);
  const u8* oldCtrl = hd->ctrl;
  const u8* oldSlots = slotsOf(hd);
  const u64 oldCap = hd->cap;
  u8* ctrl = nh->ctrl;
  u8* disp = dispOf(nh);
  u8* slots = slotsOf(nh);
  const u64 mask = nh->cap - 1;
  const u64 lgcap = nh->lgcap;
  const u64 mirrorAdd = nh->cap < kGroup ? nh->cap : kGroup;  // as in the backward shift
  u64 n = 0;
  for (u64 i = 0; i < oldCap; ++i) {
    if (oldCtrl[i] & kEmpty) continue;
    const u8* s = oldSlots + i * stride;
    const u64 h = keys.hash(s);
    const u64 home = homeIndex(h, lgcap);
    u64 q = home;
    u32 e;
    while (!(e = (u32)_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ctrl + q)))))
      q = (q + 16) & mask;
    const u64 p = (q + (u64)(u32)__builtin_ctz(e)) & mask;
    const u64 m = ((p - kGroup) & mask) + mirrorAdd;
    const u8 tag = h2Of(h);
    ctrl[p] = tag;
    ctrl[m] = tag;
    const u8 d = dispByte((p - home) & mask);
    disp[p] = d;
    disp[m] = d;
    copySlot(slots + p * stride, s);
    ++n;
  }
  nh->size = n;
}

template <typename Keys>
void rehashInto(sm_header_t* nh, sm_header_t* hd, const Keys& keys) {
  const u64 stride = slotStride(hd);
  if (stride >= 8 && stride <= 16)
    rehashWith(nh, hd, keys, CopyUpTo16{stride});
  else if (stride >= 16 && stride <= 32)
    rehashWith(nh, hd, keys, CopyUpTo32{stride});
  else
    rehashWith(nh, hd, keys, CopyAny{stride});
}

template <typename Keys>
int put(void** mp, const Keys& keysOld, const void* key, const void* val) {
  sm_header_t* hd = sm_header(*mp);
  const u64 stride = slotStride(hd);
  // Grow before looking, even when the key turns out to exist.
  sm_header_t* old = nullptr;
  if (8 * hd->size + 8 >= 7 * hd->cap) {
    sm_header_t* nh = newTable(*hd, hd->cap * 2, hd->lgcap + 1);
    if (!nh) return -1;
    rehashInto(nh, hd, keysOld);
    old = hd;
    hd = nh;
    *mp = hd + 1;
  }
  Keys keys = keysOld;
  if constexpr (requires { keys.hd; }) keys.hd = hd;
  u64 h = keys.hash(key);
  Probe pr = probe(hd, keys, key, h);
  u8* slot = slotsOf(hd) + pr.slot * stride;
  int added = 0;
  if (pr.found) {
    copyBytes(slot + hd->key_size, static_cast<const u8*>(val), hd->val_size);
  } else {
    setCtrl(hd, pr.slot, h2Of(h));
    setDisp(hd, pr.slot, dispByte((pr.slot - pr.home) & (hd->cap - 1)));
    if constexpr (std::is_same_v<Keys, Default8Keys>)
      move<8>(slot, static_cast<const u8*>(key));
    else
      copyBytes(slot, static_cast<const u8*>(key), hd->key_size);
    copyBytes(slot + hd->key_size, static_cast<const u8*>(val), hd->val_size);
    ++hd->size;
    added = 1;
  }
  // Only now: key and val may point into the old block.
  if (old) freeBlock(old->alloc, old);
  return added;
}

template <typename Keys, typename Copy>
__attribute__((noinline)) void shiftBack(sm_header_t* hd, const Keys& keys, u64 hole, Copy copySlot);

template <typename Keys>
inline int erase(sm_header_t* hd, const Keys& keys, const void* key) {
  const u64 h = keys.hash(key);
  Probe pr = probe(hd, keys, key, h);
  if (!pr.found) return -1;
  --hd->size;
  // Nothing to shift when the next slot (or its mirror) is empty.
  if (hd->ctrl[pr.slot + 1] & kEmpty) {
    setCtrl(hd, pr.slot, kEmpty);
    return 0;
  }
  const u64 stride = slotStride(hd);
  if (stride >= 8 && stride <= 16)
    shiftBack(hd, keys, pr.slot, CopyUpTo16{stride});
  else if (stride >= 16 && stride <= 32)
    shiftBack(hd, keys, pr.slot, CopyUpTo32{stride});
  else
    shiftBack(hd, keys, pr.slot, CopyAny{stride});
  return 0;
}

// kAfter[t] holds, for the 16 slots of a window, their distances from a hole at
// the window's slot t: k - t for slot k, 0 up to the hole (masked off there).
struct DistanceTable {
  __m128i v[16];
  DistanceTable() {
    for (int t = 0; t < 16; ++t) {
      alignas(16) u8 b[16];
      for (int k = 0; k < 16; ++k) b[k] = (u8)(k > t ? k - t : 0);
      v[t] = _mm_load_si128(reinterpret_cast<const __m128i*>(b));
    }
  }
};
const DistanceTable kAfter;

template <typename Keys, typename Copy>
__attribute__((noinline)) void shiftBack(sm_header_t* hd, const Keys& keys, u64 hole, Copy copySlot) {
  // Header fields are read once: the slot copies below could alias them.
  u8* ctrl = hd->ctrl;
  u8* disp = dispOf(hd);
  u8* slots = slotsOf(hd);
  const u64 mask = hd->cap - 1;
  const u64 stride = slotStride(hd);
  const u64 lgcap = hd->lgcap;
  const u64 cap = hd->cap;
  u64 j = hole;
  u64 i = (j + 1) & mask;
  // Backward shift: each entry after the hole moves into it unless that would
  // put it before its home; no tombstones are left. An entry d slots past its
  // home moves when the hole is at most d slots back. Rather than stepping
  // through the cluster, 16 slots at a time are read: their control bytes give
  // the cluster's end (the first empty byte), their displacement bytes are
  // compared with their distances from the hole, and the first that reaches it
  // is the next entry to move; the hole follows it, and the rest of the window
  // is compared again against the new hole without reading it again (moves
  // write only at the hole, before what is still to compare). Distances are
  // saturated like the bytes, so a saturated byte is only a candidate,
  // confirmed from its recomputed home. Reads past the last slot land on the
  // mirrors. Bytes j and j's mirror: cap + j for j < 32, j itself (written
  // twice) beyond.
  const u64 mirrorAdd = cap < kGroup ? cap : kGroup;
  const __m128i ramp = _mm_setr_epi8(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
  for (;;) {
    const u32 e = (u32)_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ctrl + i)));
    // Slots before the first empty byte (all 16 when there is none).
    u32 live = (e & (0u - e)) - 1;
    const u64 back0 = (i - j) & mask;  // distance of i from the hole, at least 1
    const __m128i dv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(disp + i));
    __m128i distv = _mm_adds_epu8(ramp, _mm_set1_epi8((char)(u8)(back0 - 1 < 255 ? back0 - 1 : 255)));
    u32 bits = (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(dv, distv), dv)) & live;
    while (bits) {
      const u64 t = (u64)(u32)__builtin_ctz(bits);
      const u64 p = (i + t) & mask;
      const u64 back = (p - j) & mask;
      u64 d = disp[p];
      if (__builtin_expect(d == kDispMax, 0)) {
        d = (p - homeIndex(keys.hash(slots + p * stride), lgcap)) & mask;
        if (d < back) {  // its home lies after the hole: it stays
          bits &= bits - 1;
          continue;
        }
      }
      copySlot(slots + j * stride, slots + p * stride);
      const u8 c = ctrl[p];
      ctrl[j] = c;
      ctrl[((j - kGroup) & mask) + mirrorAdd] = c;
      const u8 nd = dispByte(d - back);
      disp[j] = nd;
      disp[((j - kGroup) & mask) + mirrorAdd] = nd;
      j = p;
      live &= 0xFFFFFFFEu << t;
      distv = kAfter.v[t];
      bits = (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(dv, distv), dv)) & live;
    }
    if (e) break;
    i = (i + 16) & mask;
  }
  setCtrl(hd, j, kEmpty);
}

}  // namespace

int sm_eq_default(void*, const void* a, const void* b, size_t key_size) { return std::memcmp(a, b, key_size) == 0; }
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
  if (key_size > (~0ull >> 2) || val_size > (~0ull >> 2)) return nullptr;
  u64 cap = 2, lg = 1;
  if (init_cap > 0) {
    if (init_cap > (~0ull >> 4)) return nullptr;
    u64 want = (8 * init_cap + 6) / 7;
    while (cap < want) {
      cap <<= 1;
      ++lg;
    }
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

namespace {

template <typename Keys>
inline void* findIn(sm_header_t* hd, const Keys& keys, const void* key) {
  Probe pr = probe(hd, keys, key, keys.hash(key));
  if (!pr.found) return nullptr;
  return slotsOf(hd) + pr.slot * slotStride(hd) + hd->key_size;
}

}  // namespace

void* sm_find_generic(void* m, const void* key) {
  if (!m) return nullptr;
  sm_header_t* hd = sm_header(m);
  if (isDefault8(hd)) return findIn(hd, Default8Keys{}, key);
  return findIn(hd, GenericKeys{hd}, key);
}

// Not inlined into the by-value form: there the compiler would see every key
// size read from an 8-byte local.
static __attribute__((noinline)) void* findGenericOutOfLine(void* m, const void* key) { return sm_find_generic(m, key); }
void* sm_find_generic_u64(void* m, u64 key) { return findGenericOutOfLine(m, &key); }

u64 sm_check(void* m) {
  if (!m) return 0;
  sm_header_t* hd = sm_header(m);
  GenericKeys keys{hd};
  const u64 mask = hd->cap - 1;
  const u8* ctrl = hd->ctrl;
  const u8* disp = dispOf(hd);
  u64 faults = 0, full = 0;
  // Walk once around from just after an empty slot, counting the full slots in
  // a row: a key d slots past its home needs d full slots before it.
  u64 start = 0;
  while (start < hd->cap && !(ctrl[start] & kEmpty)) ++start;
  if (start == hd->cap) return 1;  // no empty slot at all
  u64 run = 0;
  for (u64 n = 1; n <= hd->cap; ++n) {
    u64 p = (start + n) & mask;
    if (ctrl[p] & kEmpty) {
      run = 0;
      continue;
    }
    ++full;
    u64 h = keys.hash(slotsOf(hd) + p * slotStride(hd));
    u64 d = (p - homeIndex(h, hd->lgcap)) & mask;
    if (ctrl[p] != h2Of(h) || disp[p] != dispByte(d) || d > run) ++faults;
    ++run;
  }
  for (u64 p = 0; p < kGroup; ++p) {
    u8 want = p < hd->cap ? ctrl[p] : kEmpty;
    faults += ctrl[hd->cap + p] != want ? 1 : 0;
    if (p < hd->cap && !(ctrl[p] & kEmpty)) faults += disp[hd->cap + p] != disp[p] ? 1 : 0;
  }
  return faults + (full != hd->size ? 1 : 0);
}

int sm_put_(void** mp, const void* key, const void* val) {
  if (!mp || !*mp) return -1;
  sm_header_t* hd = sm_header(*mp);
  if (hd->fast_stride) return put(mp, Default8Keys{}, key, val);
  return put(mp, GenericKeys{hd}, key, val);
}

int sm_delete(void* m, const void* key) {
  if (!m) return -1;
  sm_header_t* hd = sm_header(m);
  if (hd->fast_stride) return erase(hd, Default8Keys{}, key);
  return erase(hd, GenericKeys{hd}, key);
}
