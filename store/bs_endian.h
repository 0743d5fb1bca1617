// Little-endian loads and stores for the store's on-disk records.
#pragma once

#include "platform/types.h"

inline u32 le_load32(const u8* p) {
  return (u32)p[0] | ((u32)p[1] << 8) | ((u32)p[2] << 16) | ((u32)p[3] << 24);
}
inline u64 le_load64(const u8* p) { return (u64)le_load32(p) | ((u64)le_load32(p + 4) << 32); }
inline void le_store32(u8* p, u32 v) {
  p[0] = (u8)v;
  p[1] = (u8)(v >> 8);
  p[2] = (u8)(v >> 16);
  p[3] = (u8)(v >> 24);
}
inline void le_store64(u8* p, u64 v) {
  le_store32(p, (u32)v);
  le_store32(p + 4, (u32)(v >> 32));
}
