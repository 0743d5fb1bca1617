// Open-addressing hash map with fixed-size byte keys and values: one control byte
// per slot matched 32 at a time, linear probing, backward-shift deletion.
// The handle points at slot 0 of a single block; the header sits just before it.
#pragma once

#include <cstddef>

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
};

// Null callbacks take the defaults: system heap, XXH3-64 of the key, byte comparison.
void* sm_new(u64 init_cap, u64 key_size, u64 val_size, const sm_allocator_t* allocs);
void sm_free(void* m);
void sm_clear(void* m);
// Pointer to the value stored for key, or null.
void* sm_find(void* m, const void* key);
// 1: added; 0: overwritten; -1: growth could not allocate (nothing changed).
int sm_put_(void** m, const void* key, const void* val);
// 0: removed; -1: absent.
int sm_delete(void* m, const void* key);

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
