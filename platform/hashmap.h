// Open-addressing hash map with fixed-size byte keys and values: one control byte
// per slot matched 32 at a time, linear probing, backward-shift deletion.
// The handle points at slot 0 of a single block; the header sits just before it.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstring>

// XXH3 compiled in, so that the inline lookup below hashes without a call.
#ifndef XXH_INLINE_ALL
#define XXH_INLINE_ALL
#endif
#include <xxhash.h>

#include "platform/types.h"

struct sm_allocator_t {
  void* ctx;
  void* (*alloc)(void* ctx, size_t bytes);
  void (*free)(void* ctx, void* ptr);
  u64 (*hash)(void* ctx, const void* key, size_t key_size);
  int (*eq)(void* ctx, const void* a, const void* b, size_t key_size);
};

struct sm_header_t {
  sm_allocator_t alloc;
  u8* ctrl;
  u64 cap;
  u64 size;
  u64 lgcap;
  u64 key_size;
  u64 val_size;
  // Derived, so that the inline lookup tests one field: the slot size when the
  // keys are 8 bytes with the default hash and comparison, else 0.
  u64 fast_stride;
  // 64 - lgcap: the home index's shift.
  u64 home_shift;
};

// Null callbacks take the defaults: system heap, XXH3-64 of the key, byte comparison.
void* sm_new(u64 init_cap, u64 key_size, u64 val_size, const sm_allocator_t* allocs);
void sm_free(void* m);
void sm_clear(void* m);
// Pointer to the value stored for key, or null (inline below).
inline void* sm_find(void* m, const void* key);
// The out-of-line lookup for any key size and callbacks.
void* sm_find_generic(void* m, const void* key);
// The same for an 8-byte key passed by value, so that the inline lookup's
// fallback does not make its caller keep the key in memory.
void* sm_find_generic_u64(void* m, u64 key);
// 1: added; 0: overwritten; -1: growth could not allocate (nothing changed).
int sm_put_(void** m, const void* key, const void* val);
// 0: removed; -1: absent.
int sm_delete(void* m, const void* key);

// Debug check of the whole table: every full slot's displacement byte equals
// its distance from its home slot (255 for 255 and more), no empty slot lies
// between a key and its home, and the mirror and the count agree. The number of
// faults found, 0 for a sound table (and for null).
u64 sm_check(void* m);

int sm_eq_default(void* ctx, const void* a, const void* b, size_t key_size);
void* sm_alloc(void* ctx, size_t bytes);
void sm_unalloc(void* ctx, void* ptr);

inline sm_header_t* sm_header(void* m) { return static_cast<sm_header_t*>(m) - 1; }
inline u64 sm_size(void* m) { return m ? sm_header(m)->size : 0; }
inline u64 sm_cap(void* m) { return m ? sm_header(m)->cap : 0; }
// Typed convenience: sm_put(map, &key, &val) with any handle pointer type.
template <typename T>
inline int sm_put(T*& m, const void* key, const void* val) {
  void* h = m;
  int r = sm_put_(&h, key, val);
  m = static_cast<T*>(h);
  return r;
}
// Iteration over slots: slot i is full when sm_slot_full(m, i); its key starts at sm_slot(m, i).
inline bool sm_slot_full(void* m, u64 i) { return sm_header(m)->ctrl[i] < 0x80; }
inline u8* sm_slot(void* m, u64 i) {
  sm_header_t* h = sm_header(m);
  return static_cast<u8*>(m) + i * (h->key_size + h->val_size);
}

// Layout shared by the inline lookup and the implementation.
inline constexpr u8 kSmEmpty = 0x80;
inline constexpr u64 kSmGroup = 32;
inline u64 sm_home_index(u64 h, u64 lgcap) { return (h * 0x9e3779b97f4a7c15ull) >> (64 - lgcap); }
// The tag kept in a full slot's control byte: low hash bits, which the home
// index (the product's top bits) barely depends on.
inline u8 sm_h2(u64 h) { return (u8)(h & 0x7F); }

// Lookup for 8-byte keys with the default hash and comparison, the common case
// (pair caches, store indexes), inlined into the caller. kStride is the slot
// size when the caller knows it (0: read from the header). Control bytes are
// read 16 at a time from the home slot on; a key never lies past an empty slot
// of its probe run, so the first window holding an empty byte is the last.
// Tag matches past that byte are only compared in vain, never found.
template <u64 kStride = 0>
__attribute__((always_inline)) inline void* sm_find_u64(sm_header_t* hd, u64 key) {
  const u64 h = XXH3_64bits(&key, 8);
  const u64 mask = hd->cap - 1;
  const u64 stride = kStride ? kStride : hd->fast_stride;
  u8* slots = reinterpret_cast<u8*>(hd + 1);
  const u8* ctrl = hd->ctrl;
  u64 i = (h * 0x9e3779b97f4a7c15ull) >> hd->home_shift;
  __builtin_prefetch(slots + i * stride);
  const __m128i needle = _mm_set1_epi8((char)sm_h2(h));
  for (;;) {
    const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ctrl + i));
    for (u32 bits = (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(g, needle)); bits; bits &= bits - 1) {
      u8* s = slots + ((i + (u64)(u32)__builtin_ctz(bits)) & mask) * stride;
      u64 k;
      std::memcpy(&k, s, 8);
      if (k == key) return s + 8;
    }
    if (_mm_movemask_epi8(g)) return nullptr;
    i = (i + 16) & mask;
  }
}

__attribute__((always_inline)) inline void* sm_find(void* m, const void* key) {
  if (!m) return nullptr;
  sm_header_t* hd = sm_header(m);
  if (__builtin_expect(hd->fast_stride != 0, 1)) {
    u64 k;
    std::memcpy(&k, key, 8);
    return sm_find_u64(hd, k);
  }
  return sm_find_generic(m, key);
}

// Typed lookup for a map of 8-byte keys and V values: the slot size is known
// at compile time. Maps with other sizes or callbacks take the general path.
template <typename V>
__attribute__((always_inline)) inline V* sm_find_t(void* m, u64 key) {
  if (!m) return nullptr;
  sm_header_t* hd = sm_header(m);
  if (__builtin_expect(hd->fast_stride == 8 + sizeof(V), 1))
    return static_cast<V*>(sm_find_u64<8 + sizeof(V)>(hd, key));
  return static_cast<V*>(sm_find_generic_u64(m, key));
}
