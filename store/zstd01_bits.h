// Bit streams and FSE tables of the v0.1 format, shared by both directions.
// Internal to store/.
#pragma once

#include "store/zstd01_common.h"

namespace zstd01 {

// Reads a backward bitstream: the last value written comes out first. Bits below
// the stream's start read as zero; reading past them is an overrun that left()
// reports as negative, so callers check once at the end instead of per read.
struct BackReader {
  const u8* begin;
  const u8* cur;   // the 8-byte window [cur, cur + 8) when the stream has 8 bytes or more
  u64 bits;
  u32 consumed;    // bits of the window already read, counted from its top
  u32 pad;         // zero bits below a stream shorter than 8 bytes

  // read(n) for n <= 57 between reloads; values are always < 2^n, even on overrun.
  inline u64 peek(u32 n) const { return ((bits << (consumed & 63)) >> 1) >> (63 - n); }
  // peek for 1 <= n <= 57: one shift fewer.
  inline u64 peekNonZero(u32 n) const { return (bits << (consumed & 63)) >> (64 - n); }
  inline u64 read(u32 n) {
    u64 v = peek(n);
    consumed += n;
    return v;
  }
  inline void skip(u32 n) { consumed += n; }
  inline void reload() {
    if (cur == begin) return;
    size_t bytes = consumed >> 3;
    size_t avail = static_cast<size_t>(cur - begin);
    if (bytes > avail) bytes = avail;
    cur -= bytes;
    consumed -= static_cast<u32>(bytes * 8);
    bits = readLE64(cur);
  }
  inline i64 left() const {
    return static_cast<i64>(cur - begin) * 8 + 64 - static_cast<i64>(pad) - static_cast<i64>(consumed);
  }
  inline bool exhausted() const { return left() == 0; }
};

// False when the stream is empty or its last byte lacks the end mark.
inline bool backReaderInit(BackReader* r, const u8* data, size_t size) {
  if (size == 0 || data[size - 1] == 0) return false;
  u32 mark = highBit(data[size - 1]);
  r->begin = data;
  if (size >= 8) {
    r->cur = data + size - 8;
    r->bits = readLE64(r->cur);
    r->pad = 0;
  } else {
    u64 v = 0;
    for (size_t i = 0; i < size; i++) v |= static_cast<u64>(data[i]) << (8 * i);
    r->pad = static_cast<u32>(8 * (8 - size));
    r->bits = v << r->pad;
    r->cur = data;
  }
  r->consumed = 8 - mark;  // the end mark and the zeros above it
  return true;
}

// Writes a backward bitstream front to back; the reader sees it in reverse.
struct BitWriter {
  u8* start;
  u8* ptr;
  u8* end;      // writing stops 8 bytes before the real end; overflow is sticky
  u64 acc;
  u32 nbits;
  bool overflow;

  inline void add(u64 v, u32 n) {  // n <= 56 - nbits after a flush
    acc |= v << nbits;
    nbits += n;
  }
  inline void flush() {
    if (ptr > end) {
      overflow = true;
      ptr = end;
    }
    writeLE64(ptr, acc);
    u32 bytes = nbits >> 3;
    ptr += bytes;
    acc = bytes == 8 ? 0 : acc >> (bytes * 8);
    nbits &= 7;
  }
};

inline void bitWriterInit(BitWriter* w, u8* dst, size_t cap) {
  w->start = dst;
  w->ptr = dst;
  w->end = dst + (cap >= 8 ? cap - 8 : 0);
  w->acc = 0;
  w->nbits = 0;
  w->overflow = cap < 8;
}

// Adds the end mark and returns the stream size, or 0 when it did not fit.
inline size_t bitWriterClose(BitWriter* w) {
  w->add(1, 1);
  w->flush();
  if (w->overflow) return 0;
  size_t size = static_cast<size_t>(w->ptr - w->start) + (w->nbits > 0 ? 1 : 0);
  if (w->ptr + (w->nbits > 0 ? 1 : 0) > w->end + 8) return 0;
  return size;
}

// One decoding state of an FSE table.
struct FseCell {
  u16 base;
  u8 symbol;
  u8 nbBits;
};

// Spreads normalized counts (-1 = "less than one state") over 2^tableLog cells and
// fills the decoding table. counts[] covers symbols 0..maxSymbol. Returns false when
// the spread does not come back to its start (inconsistent counts).
bool fseBuildTable(FseCell* table, const i16* counts, u32 maxSymbol, u32 tableLog);

// Parses a forward-bitstream table description. Returns bytes used or an error code.
size_t fseReadDescription(i16* counts, u32* maxSymbol, u32* tableLog, u32 maxSymbolAllowed,
                          u32 maxLogAllowed, const u8* src, size_t srcSize);

}  // namespace zstd01
