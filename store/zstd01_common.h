// Pieces shared by the v0.1 compressor and decompressor: constants, error codes,
// little helpers. Internal to store/.
#pragma once

#include <cstring>

#include "platform/types.h"
#include "store/zstd01.h"

namespace zstd01 {

inline constexpr u8 kMagic[4] = {0xFD, 0x2F, 0xB5, 0x1E};
inline constexpr size_t kBlockHeaderSize = 3;
inline constexpr size_t kMaxBlockSize = 131072;  // decoded bytes per block we write or accept strictly
inline constexpr size_t kMinMatch = 4;
inline constexpr u32 kMaxLLSymbol = 63;
inline constexpr u32 kMaxOffCode = 31;
inline constexpr u32 kMaxMLSymbol = 127;
inline constexpr u32 kLLBasicLog = 6;
inline constexpr u32 kOffBasicLog = 5;
inline constexpr u32 kMLBasicLog = 7;
inline constexpr u32 kLLMaxLog = 10;
inline constexpr u32 kOffMaxLog = 9;
inline constexpr u32 kMLMaxLog = 10;
inline constexpr u32 kHufWeightMaxLog = 12;
inline constexpr u32 kHufMaxBits = 12;
// A match must start this many bytes before the end of the output buffer for the
// original reader, which decodes with a fixed over-copy margin.
inline constexpr size_t kEndMargin = 8;

enum BlockType : u32 { kBlockCompressed = 0, kBlockRaw = 1, kBlockRle = 2, kBlockEnd = 3 };

inline size_t errorCode(ZSTD_ErrorCode e) { return static_cast<size_t>(0) - static_cast<size_t>(e); }

inline u16 readLE16(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }
inline u32 readLE24(const u8* p) { return static_cast<u32>(p[0] | (p[1] << 8) | (p[2] << 16)); }
inline u64 readLE64(const u8* p) {
  u64 v;
  std::memcpy(&v, p, 8);
  return v;  // the reference machine is little-endian
}
inline void writeLE64(u8* p, u64 v) { std::memcpy(p, &v, 8); }

inline u32 highBit(u32 v) { return 31u - static_cast<u32>(__builtin_clz(v)); }

}  // namespace zstd01
