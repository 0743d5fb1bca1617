// FSE table descriptions and decoding tables of the v0.1 format.
#include "store/zstd01_bits.h"

namespace zstd01 {

namespace {

// Forward bit reader over a bounded buffer; reading past the end sets `over`.
struct FwdReader {
  const u8* src;
  size_t size;
  size_t pos;  // in bits
  bool over;

  u32 peek(u32 n) const {
    u32 v = 0;
    for (u32 i = 0; i < n; i++) {
      size_t p = pos + i;
      u32 bit = (p >> 3) < size ? (src[p >> 3] >> (p & 7)) & 1u : 0u;
      v |= bit << i;
    }
    return v;
  }
  void skip(u32 n) {
    pos += n;
    if ((pos + 7) / 8 > size) over = true;
  }
  u32 read(u32 n) {
    u32 v = peek(n);
    skip(n);
    return v;
  }
};

}  // namespace

size_t fseReadDescription(i16* counts, u32* maxSymbol, u32* tableLog, u32 maxSymbolAllowed,
                          u32 maxLogAllowed, const u8* src, size_t srcSize) {
  if (srcSize == 0) return errorCode(ZSTD_error_srcSize_wrong);
  FwdReader r{src, srcSize, 0, false};
  u32 log = r.read(4) + 5;
  if (log > 15 || log > maxLogAllowed) return errorCode(ZSTD_error_tableLog_tooLarge);
  i32 remaining = (1 << log) + 1;
  i32 threshold = 1 << log;
  u32 width = log + 1;
  u32 n = 0;  // symbols decoded so far
  bool afterZero = false;
  while (remaining > 1 && n <= maxSymbolAllowed) {
    if (afterZero) {
      for (;;) {
        u32 k = r.read(2);
        if (r.over) return errorCode(ZSTD_error_srcSize_wrong);
        for (u32 i = 0; i < k; i++) {
          if (n > maxSymbolAllowed) return errorCode(ZSTD_error_maxSymbolValue_tooLarge);
          counts[n++] = 0;
        }
        if (k != 3) break;
      }
      if (n > maxSymbolAllowed) return errorCode(ZSTD_error_maxSymbolValue_tooLarge);
    }
    i32 limit = 2 * threshold - 1 - remaining;
    i32 v = static_cast<i32>(r.peek(width - 1));
    if (v < limit) {
      r.skip(width - 1);
    } else {
      v = static_cast<i32>(r.peek(width));
      if (v >= threshold) v -= limit;
      r.skip(width);
    }
    if (r.over) return errorCode(ZSTD_error_srcSize_wrong);
    i32 count = v - 1;
    counts[n++] = static_cast<i16>(count);
    remaining -= count < 0 ? -count : count;
    afterZero = count == 0;
    while (remaining < threshold) {
      width--;
      threshold >>= 1;
    }
  }
  if (remaining != 1 || n == 0) return errorCode(ZSTD_error_corruption_detected);
  *maxSymbol = n - 1;
  *tableLog = log;
  return (r.pos + 7) / 8;
}

bool fseBuildTable(FseCell* table, const i16* counts, u32 maxSymbol, u32 tableLog) {
  u32 size = 1u << tableLog;
  u32 mask = size - 1;
  u32 step = (size >> 1) + (size >> 3) + 3;
  u8 symbolAt[4096];
  u16 nextX[256];
  u32 high = size - 1;
  for (u32 s = 0; s <= maxSymbol; s++) {
    if (counts[s] == -1) {
      symbolAt[high--] = static_cast<u8>(s);
      nextX[s] = 1;
    } else {
      nextX[s] = static_cast<u16>(counts[s]);
    }
  }
  u32 pos = 0;
  for (u32 s = 0; s <= maxSymbol; s++) {
    for (i32 i = 0; i < counts[s]; i++) {
      symbolAt[pos] = static_cast<u8>(s);
      do {
        pos = (pos + step) & mask;
      } while (pos > high);
    }
  }
  if (pos != 0) return false;
  for (u32 i = 0; i < size; i++) {
    u8 s = symbolAt[i];
    u32 x = nextX[s]++;
    u32 nb = tableLog - highBit(x);
    table[i].symbol = s;
    table[i].nbBits = static_cast<u8>(nb);
    table[i].base = static_cast<u16>((x << nb) - size);
  }
  return true;
}

}  // namespace zstd01
