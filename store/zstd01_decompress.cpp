// Decoder for zstd v0.1 frames. Huffman and RLE literals are decoded into the tail
// of the destination (as the original reader does), so no buffer beyond the
// caller's is needed; tables live on the stack.
#include "store/zstd01_bits.h"

namespace zstd01 {

namespace {

struct Dec {
  u8* dst;       // frame output start
  u8* dstEnd;    // dst + capacity
  bool strict;
};

struct HufCell {
  u8 symbol;
  u8 length;
};

#define ZSTD01_CHECK(cond, err) \
  do {                          \
    if (!(cond)) return errorCode(err); \
  } while (0)

// ---- literals ------------------------------------------------------------------

// Builds the decoding table from the weight description at src (within srcSize).
// Returns the description's size or an error; *maxBits receives the table width.
size_t readHuffmanWeights(HufCell* dtable, u32* maxBits, const u8* src, size_t srcSize, bool strict) {
  ZSTD01_CHECK(srcSize >= 1, ZSTD_error_srcSize_wrong);
  u8 weights[256] = {};
  u32 n = 0;
  size_t used = 0;
  u32 h = src[0];
  if (h >= 242) {
    static constexpr u8 kCounts[14] = {1, 2, 3, 4, 7, 8, 15, 16, 31, 32, 63, 64, 127, 128};
    n = kCounts[h - 242];
    for (u32 i = 0; i < n; i++) weights[i] = 1;
    used = 1;
  } else if (h >= 128) {
    n = h - 127;
    used = 1 + (n + 1) / 2;
    ZSTD01_CHECK(used <= srcSize, ZSTD_error_srcSize_wrong);
    for (u32 i = 0; i < n; i++) {
      u8 b = src[1 + i / 2];
      weights[i] = (i & 1) ? (b & 15) : (b >> 4);
    }
  } else {
    used = 1 + h;
    ZSTD01_CHECK(used <= srcSize, ZSTD_error_srcSize_wrong);
    // The original reader needs 4 bytes of room for the description.
    if (strict) ZSTD01_CHECK(h >= 4, ZSTD_error_strictRule);
    const u8* blob = src + 1;
    i16 counts[256];
    u32 maxSym = 0, log = 0;
    size_t d = fseReadDescription(counts, &maxSym, &log, 255, kHufWeightMaxLog, blob, h);
    if (ZSTD_isError(d)) return d;
    ZSTD01_CHECK(d < h, ZSTD_error_srcSize_wrong);
    FseCell table[1u << kHufWeightMaxLog];
    ZSTD01_CHECK(fseBuildTable(table, counts, maxSym, log), ZSTD_error_corruption_detected);
    bool everyCellReads = true;
    for (u32 s = 0; s <= maxSym; s++)
      if (counts[s] >= (1 << (log - 1))) everyCellReads = false;
    BackReader r;
    ZSTD01_CHECK(backReaderInit(&r, blob + d, h - d), ZSTD_error_corruption_detected);
    u32 st[2];
    st[0] = static_cast<u32>(r.read(log));
    st[1] = static_cast<u32>(r.read(log));
    u32 k = 0;
    for (;;) {
      r.reload();
      if (r.left() < 0 || n == 255) break;
      if (r.exhausted() && (everyCellReads || st[k] == 0)) break;
      const FseCell& c = table[st[k]];
      weights[n++] = c.symbol;
      st[k] = c.base + static_cast<u32>(r.read(c.nbBits));
      k ^= 1;
    }
    ZSTD01_CHECK(r.exhausted() && st[0] == 0 && st[1] == 0, ZSTD_error_corruption_detected);
  }
  ZSTD01_CHECK(n <= 255, ZSTD_error_corruption_detected);
  u32 total = 0;
  for (u32 i = 0; i < n; i++) {
    ZSTD01_CHECK(weights[i] < 16, ZSTD_error_corruption_detected);
    if (weights[i]) total += 1u << (weights[i] - 1);
  }
  ZSTD01_CHECK(total > 0, ZSTD_error_corruption_detected);
  u32 bits = highBit(total) + 1;
  ZSTD01_CHECK(bits <= kHufMaxBits, ZSTD_error_tableLog_tooLarge);
  u32 gap = (1u << bits) - total;
  ZSTD01_CHECK((gap & (gap - 1)) == 0, ZSTD_error_corruption_detected);
  weights[n] = static_cast<u8>(highBit(gap) + 1);
  u32 ones = 0;
  for (u32 i = 0; i <= n; i++) ones += weights[i] == 1;
  ZSTD01_CHECK(ones >= 2 && (ones & 1) == 0, ZSTD_error_corruption_detected);
  u32 pos = 0;
  for (u32 w = 1; w <= bits; w++) {
    for (u32 s = 0; s <= n; s++) {
      if (weights[s] != w) continue;
      u32 len = bits + 1 - w;
      for (u32 i = 0; i < (1u << (w - 1)); i++) dtable[pos + i] = HufCell{static_cast<u8>(s), static_cast<u8>(len)};
      pos += 1u << (w - 1);
    }
  }
  *maxBits = bits;
  return used;
}

inline u8 hufDecode(BackReader* r, const HufCell* dt, u32 maxBits) {
  HufCell c = dt[r->peekNonZero(maxBits)];
  r->skip(c.length);
  return c.symbol;
}

#if defined(__x86_64__)
bool haveBmi2() {
  static const bool have = __builtin_cpu_supports("bmi2");
  return have;
}
#endif

// The four interleaved Huffman streams. Variable shifts dominate here, so x86-64
// machines with BMI2 get a copy compiled for it.
__attribute__((always_inline)) inline size_t decodeStreams(u8* out, size_t count, BackReader* rs,
                                                           const HufCell* dtable, u32 maxBits, bool strict) {
  BackReader r1 = rs[0], r2 = rs[1], r3 = rs[2], r4 = rs[3];
  size_t pos = 0;
  bool rounds = !r2.exhausted();
  if (rounds) {
    while (pos + 16 <= count) {
      r1.reload();
      r2.reload();
      r3.reload();
      r4.reload();
      for (u32 part = 0; part < 4; part++) {
        out[pos + 0] = hufDecode(&r1, dtable, maxBits);
        out[pos + 1] = hufDecode(&r2, dtable, maxBits);
        out[pos + 2] = hufDecode(&r3, dtable, maxBits);
        out[pos + 3] = hufDecode(&r4, dtable, maxBits);
        pos += 4;
      }
      if (r2.left() <= 0 || r3.left() <= 0 || r4.left() <= 0) break;
    }
  }
  if (rounds) {
    // Streams 2-4 carry whole rounds only and must run out together.
    ZSTD01_CHECK(r2.exhausted() && r3.exhausted() && r4.exhausted(), ZSTD_error_corruption_detected);
  } else if (strict) {
    // The original reader never looks at streams 3 and 4 when stream 2 is empty.
    ZSTD01_CHECK(r3.exhausted() && r4.exhausted(), ZSTD_error_strictRule);
  }
  while (pos < count && r1.left() > 0) {
    r1.reload();
    out[pos++] = hufDecode(&r1, dtable, maxBits);
  }
  ZSTD01_CHECK(pos == count && r1.exhausted(), ZSTD_error_corruption_detected);
  return count;
}

size_t decodeStreamsGeneric(u8* out, size_t count, BackReader* rs, const HufCell* dtable, u32 maxBits, bool strict) {
  return decodeStreams(out, count, rs, dtable, maxBits, strict);
}

#if defined(__x86_64__)
__attribute__((target("bmi2"))) size_t decodeStreamsBmi2(u8* out, size_t count, BackReader* rs,
                                                          const HufCell* dtable, u32 maxBits, bool strict) {
  return decodeStreams(out, count, rs, dtable, maxBits, strict);
}
#endif

// Huffman literal payload (after the 2-byte count) into out[0..count).
size_t decodeHuffmanLiterals(u8* out, size_t count, const u8* src, size_t srcSize, bool strict) {
  HufCell dtable[1u << kHufMaxBits];
  u32 maxBits = 0;
  size_t w = readHuffmanWeights(dtable, &maxBits, src, srcSize, strict);
  if (ZSTD_isError(w)) return w;
  src += w;
  srcSize -= w;
  ZSTD01_CHECK(srcSize >= 6, ZSTD_error_srcSize_wrong);
  size_t j1 = readLE16(src), j2 = readLE16(src + 2), j3 = readLE16(src + 4);
  ZSTD01_CHECK(6 + j1 + j2 + j3 < srcSize, ZSTD_error_srcSize_wrong);
  const u8* s1 = src + 6;
  const u8* s2 = s1 + j1;
  const u8* s3 = s2 + j2;
  const u8* s4 = s3 + j3;
  size_t j4 = srcSize - 6 - j1 - j2 - j3;
  BackReader r[4];
  ZSTD01_CHECK(backReaderInit(&r[0], s1, j1) && backReaderInit(&r[1], s2, j2) && backReaderInit(&r[2], s3, j3) &&
                   backReaderInit(&r[3], s4, j4),
               ZSTD_error_corruption_detected);
#if defined(__x86_64__)
  if (haveBmi2()) return decodeStreamsBmi2(out, count, r, dtable, maxBits, strict);
#endif
  return decodeStreamsGeneric(out, count, r, dtable, maxBits, strict);
}

struct Literals {
  const u8* ptr;
  size_t size;
  bool inDst;    // decoded into the tail of dst; matches must not reach them
};

// Returns the literal section's size in the block, or an error.
size_t decodeLiterals(Literals* lit, const Dec& d, u8* op, const u8* blk, size_t blkSize) {
  ZSTD01_CHECK(blkSize >= 3, ZSTD_error_srcSize_wrong);
  u32 type = blk[0] >> 6;
  size_t size = (static_cast<size_t>(blk[0] & 7) << 16) | (static_cast<size_t>(blk[1]) << 8) | blk[2];
  switch (type) {
    case 1:  // raw
      ZSTD01_CHECK(3 + size <= blkSize, ZSTD_error_srcSize_wrong);
      *lit = Literals{blk + 3, size, false};
      return 3 + size;
    case 2: {  // one byte repeated
      ZSTD01_CHECK(blkSize >= 4, ZSTD_error_srcSize_wrong);
      ZSTD01_CHECK(size <= static_cast<size_t>(d.dstEnd - op), ZSTD_error_dstSize_tooSmall);
      u8* p = d.dstEnd - size;
      if (size) std::memset(p, blk[3], size);
      *lit = Literals{p, size, true};
      return 4;
    }
    case 0: {  // Huffman
      ZSTD01_CHECK(size >= 4 && 3 + size <= blkSize, ZSTD_error_srcSize_wrong);
      size_t count = (static_cast<size_t>((blk[0] >> 3) & 7) << 16) | (static_cast<size_t>(blk[3]) << 8) | blk[4];
      ZSTD01_CHECK(count <= static_cast<size_t>(d.dstEnd - op), ZSTD_error_dstSize_tooSmall);
      u8* p = d.dstEnd - count;
      size_t r = decodeHuffmanLiterals(p, count, blk + 5, size - 2, d.strict);
      if (ZSTD_isError(r)) return r;
      *lit = Literals{p, count, true};
      return 3 + size;
    }
    default:
      return errorCode(ZSTD_error_blockType_unsupported);
  }
}

// ---- sequences -----------------------------------------------------------------

struct SeqTable {
  FseCell cells[1u << kLLMaxLog];
  u32 log;
};

void basicTable(SeqTable* t, u32 log) {
  t->log = log;
  for (u32 i = 0; i < (1u << log); i++) t->cells[i] = FseCell{0, static_cast<u8>(i), static_cast<u8>(log)};
}

// Reads one table of the sequences header at p; returns bytes used or an error.
size_t readSeqTable(SeqTable* t, u32 mode, u32 maxSymbol, u32 maxLog, u32 basicLog, const u8* p,
                    const u8* end, bool strict) {
  if (mode == 3) {
    ZSTD01_CHECK(!strict, ZSTD_error_strictRule);
    mode = 0;  // the original reader treats it as a described table
  }
  if (mode == 1) {
    basicTable(t, basicLog);
    return 0;
  }
  if (mode == 2) {
    ZSTD01_CHECK(p < end, ZSTD_error_srcSize_wrong);
    u32 s = *p;
    // Offset codes above 31 have no meaning; the other fields take any byte.
    ZSTD01_CHECK(s <= maxSymbol || (!strict && maxSymbol != kMaxOffCode), ZSTD_error_corruption_detected);
    t->log = 0;
    t->cells[0] = FseCell{0, static_cast<u8>(s), 0};
    return 1;
  }
  // The original reader wants 4 bytes of room from a description's start.
  if (strict) ZSTD01_CHECK(end - p >= 4, ZSTD_error_strictRule);
  i16 counts[kMaxMLSymbol + 1];
  u32 maxSym = 0, log = 0;
  size_t n = fseReadDescription(counts, &maxSym, &log, maxSymbol, maxLog, p, static_cast<size_t>(end - p));
  if (ZSTD_isError(n)) return n;
  ZSTD01_CHECK(fseBuildTable(t->cells, counts, maxSym, log), ZSTD_error_corruption_detected);
  t->log = log;
  return n;
}

struct ExtReader {
  const u8* p;
  const u8* end;
  bool bad;  // degenerate or missing extension: rejected in strict mode
};

inline u32 extend(ExtReader* e, u32 base) {
  if (e->p >= e->end) {
    e->bad = true;
    return base;
  }
  u32 b = *e->p++;
  if (b < 255) return base + b;
  if (e->end - e->p >= 3) {
    u32 v = readLE24(e->p);
    e->p += 3;
    return v;
  }
  e->bad = true;
  return base;
}

inline void copy16(u8* d, const u8* s) {
  u8 t[16];
  std::memcpy(t, s, 16);
  std::memcpy(d, t, 16);
}

// Writes the match [op, op + ml) from offset back; may write up to 16 bytes past it
// only when the caller allows.
inline void copyMatch(u8* op, size_t offset, size_t ml, bool wild) {
  const u8* m = op - offset;
  u8* end = op + ml;
  if (wild) {
    if (offset >= 16) {
      do {
        copy16(op, m);
        op += 16;
        m += 16;
      } while (op < end);
      return;
    }
    if (offset >= 8) {
      do {
        std::memcpy(op, m, 8);
        op += 8;
        m += 8;
      } while (op < end);
      return;
    }
    // Short period: write 8 bytes one by one, then copy from a multiple of the
    // period that is at least 8 back, which repeats the same pattern.
    for (u32 i = 0; i < 8; i++) op[i] = m[i];
    op += 8;
    size_t period = offset;
    while (period < 8) period += offset;
    m = op - period;
    while (op < end) {
      std::memcpy(op, m, 8);
      op += 8;
      m += 8;
    }
    return;
  }
  while (op < end) *op++ = *m++;
}

struct SeqRun {
  const SeqTable* ll;
  const SeqTable* of;
  const SeqTable* ml;
  BackReader* r;
  ExtReader* ext;
  const u8* lp;      // next unread literal
  const u8* litEnd;
  u32 st[3];
};

// Executes the block's sequences. Literals decoded into dst's tail sit right after
// the space the output still needs, so there matches must stop at the next unread
// literal; raw literals are read in place from the frame.
template <bool kStrict, bool kLitInDst>
__attribute__((always_inline)) inline size_t runSequences(const Dec& d, u8** opInOut, SeqRun* run, u32 nbSeq,
                                                          const u8* blkEnd) {
  const FseCell* const cLL = run->ll->cells;
  const FseCell* const cOF = run->of->cells;
  const FseCell* const cML = run->ml->cells;
  BackReader r = *run->r;
  ExtReader* ext = run->ext;
  u32 stLL = run->st[0], stOF = run->st[1], stML = run->st[2];
  u8* op = *opInOut;
  u8* const dstStart = d.dst;
  u8* const dstEnd = d.dstEnd;
  const u8* lp = run->lp;
  const u8* const litEnd = run->litEnd;
  // Literal bytes may be read 16 at a time up to the end of their buffer.
  const u8* const litReadLimit = kLitInDst ? dstEnd : blkEnd;
  size_t last = 0, prev = 1;
  size_t result = 0;
  for (u32 i = 0; i < nbSeq; i++) {
    r.reload();
    FseCell cl = cLL[stLL];
    stLL = cl.base + static_cast<u32>(r.read(cl.nbBits));
    FseCell co = cOF[stOF];
    u32 ofCode = co.symbol;
    stOF = co.base + static_cast<u32>(r.read(co.nbBits));
    if (ofCode > 24) r.reload();
    size_t extra = static_cast<size_t>(r.read(ofCode ? ofCode - 1 : 0));
    FseCell cm = cML[stML];
    stML = cm.base + static_cast<u32>(r.read(cm.nbBits));

    size_t rep = cl.symbol != 0 ? last : prev;
    prev = last;
    size_t ll = cl.symbol == kMaxLLSymbol ? extend(ext, kMaxLLSymbol) : cl.symbol;
    size_t offset = ofCode == 0 ? rep : (static_cast<size_t>(1) << (ofCode - 1)) + extra;
    size_t ml = (cm.symbol == kMaxMLSymbol ? extend(ext, kMaxMLSymbol) : cm.symbol) + kMinMatch;
    last = offset;

    if (ll > static_cast<size_t>(litEnd - lp)) {
      result = errorCode(ZSTD_error_corruption_detected);
      break;
    }
    u8* writeLimit = kLitInDst ? const_cast<u8*>(lp) : dstEnd;
    if (ll <= 16 && lp + 16 <= litReadLimit && op + 16 <= writeLimit) {
      copy16(op, lp);
    } else {
      if (!kLitInDst && ll > static_cast<size_t>(dstEnd - op)) {
        result = errorCode(ZSTD_error_dstSize_tooSmall);
        break;
      }
      if (ll) std::memmove(op, lp, ll);  // in dst's tail the two ranges may overlap
    }
    op += ll;
    lp += ll;
    if (kStrict) {
      if (static_cast<size_t>(dstEnd - op) < kEndMargin) {
        result = errorCode(ZSTD_error_dstSize_tooSmall);
        break;
      }
      if (offset >= (static_cast<size_t>(1) << 26)) {
        result = errorCode(ZSTD_error_strictRule);
        break;
      }
    }
    if (offset - 1 >= static_cast<size_t>(op - dstStart)) {
      result = errorCode(ZSTD_error_corruption_detected);
      break;
    }
    writeLimit = kLitInDst ? const_cast<u8*>(lp) : dstEnd;
    size_t room = static_cast<size_t>(writeLimit - op);
    if (room >= ml + 16) {
      copyMatch(op, offset, ml, true);
    } else {
      if (ml > room) {
        result = errorCode(ZSTD_error_dstSize_tooSmall);
        break;
      }
      // Near the limit: wild-copy all but the last 16 bytes (its overshoot writes
      // the same bytes the exact copy then writes again).
      size_t head = ml > 32 ? ml - 16 : 0;
      if (head) copyMatch(op, offset, head, true);
      copyMatch(op + head, offset, ml - head, false);
    }
    op += ml;
  }
  *run->r = r;
  run->st[0] = stLL;
  run->st[1] = stOF;
  run->st[2] = stML;
  run->lp = lp;
  *opInOut = op;
  return result;
}

template <bool kStrict, bool kLitInDst>
size_t runSequencesGeneric(const Dec& d, u8** op, SeqRun* run, u32 nbSeq, const u8* blkEnd) {
  return runSequences<kStrict, kLitInDst>(d, op, run, nbSeq, blkEnd);
}

#if defined(__x86_64__)
template <bool kStrict, bool kLitInDst>
__attribute__((target("bmi2"))) size_t runSequencesBmi2(const Dec& d, u8** op, SeqRun* run, u32 nbSeq,
                                                         const u8* blkEnd) {
  return runSequences<kStrict, kLitInDst>(d, op, run, nbSeq, blkEnd);
}
#endif

template <bool kStrict, bool kLitInDst>
size_t dispatchSequences(const Dec& d, u8** op, SeqRun* run, u32 nbSeq, const u8* blkEnd) {
#if defined(__x86_64__)
  if (haveBmi2()) return runSequencesBmi2<kStrict, kLitInDst>(d, op, run, nbSeq, blkEnd);
#endif
  return runSequencesGeneric<kStrict, kLitInDst>(d, op, run, nbSeq, blkEnd);
}

size_t decodeCompressedBlock(const Dec& d, u8* op, const u8* blk, size_t blkSize) {
  const u8* blkEnd = blk + blkSize;
  Literals lit;
  size_t used = decodeLiterals(&lit, d, op, blk, blkSize);
  if (ZSTD_isError(used)) return used;
  const u8* p = blk + used;
  ZSTD01_CHECK(blkEnd - p >= 5, ZSTD_error_srcSize_wrong);
  u32 nbSeq = readLE16(p);
  u32 flags = p[2];
  size_t extLen;
  if (flags & 2) {
    extLen = (static_cast<size_t>(p[3]) << 8) | p[4];
    p += 5;
  } else {
    extLen = (static_cast<size_t>(flags & 1) << 8) | p[3];
    p += 4;
  }
  ZSTD01_CHECK(static_cast<size_t>(blkEnd - p) >= extLen + 3, ZSTD_error_srcSize_wrong);
  ExtReader ext{p, p + extLen, false};
  p += extLen;

  SeqTable tLL, tOF, tML;
  size_t n = readSeqTable(&tLL, flags >> 6, kMaxLLSymbol, kLLMaxLog, kLLBasicLog, p, blkEnd, d.strict);
  if (ZSTD_isError(n)) return n;
  p += n;
  n = readSeqTable(&tOF, (flags >> 4) & 3, kMaxOffCode, kOffMaxLog, kOffBasicLog, p, blkEnd, d.strict);
  if (ZSTD_isError(n)) return n;
  p += n;
  n = readSeqTable(&tML, (flags >> 2) & 3, kMaxMLSymbol, kMLMaxLog, kMLBasicLog, p, blkEnd, d.strict);
  if (ZSTD_isError(n)) return n;
  p += n;

  BackReader r;
  ZSTD01_CHECK(p < blkEnd && backReaderInit(&r, p, static_cast<size_t>(blkEnd - p)), ZSTD_error_corruption_detected);
  u32 stLL = static_cast<u32>(r.read(tLL.log));
  u32 stOF = static_cast<u32>(r.read(tOF.log));
  u32 stML = static_cast<u32>(r.read(tML.log));

  u8* const blockStart = op;
  SeqRun run{&tLL, &tOF, &tML, &r, &ext, lit.ptr, lit.ptr + lit.size, {stLL, stOF, stML}};
  size_t res;
  if (d.strict) {
    res = lit.inDst ? dispatchSequences<true, true>(d, &op, &run, nbSeq, blkEnd)
                    : dispatchSequences<true, false>(d, &op, &run, nbSeq, blkEnd);
  } else {
    res = lit.inDst ? dispatchSequences<false, true>(d, &op, &run, nbSeq, blkEnd)
                    : dispatchSequences<false, false>(d, &op, &run, nbSeq, blkEnd);
  }
  if (ZSTD_isError(res)) return res;
  ZSTD01_CHECK(r.exhausted(), ZSTD_error_corruption_detected);
  if (d.strict) {
    ZSTD01_CHECK(run.st[0] == 0 && run.st[1] == 0 && run.st[2] == 0, ZSTD_error_strictRule);
    ZSTD01_CHECK(!ext.bad && ext.p == ext.end, ZSTD_error_strictRule);
  }
  const u8* lp = run.lp;
  const u8* const litEnd = run.litEnd;
  size_t rest = static_cast<size_t>(litEnd - lp);
  ZSTD01_CHECK(rest <= static_cast<size_t>(d.dstEnd - op), ZSTD_error_dstSize_tooSmall);
  if (rest) std::memmove(op, lp, rest);
  op += rest;
  return static_cast<size_t>(op - blockStart);
}

size_t decompressFrame(void* dst, size_t dstCapacity, const void* src, size_t srcSize, bool strict) {
  if (srcSize > 0 && src == nullptr) return errorCode(ZSTD_error_GENERIC);
  if (dstCapacity > 0 && dst == nullptr) return errorCode(ZSTD_error_GENERIC);
  const u8* ip = static_cast<const u8*>(src);
  const u8* const iend = ip + srcSize;
  ZSTD01_CHECK(srcSize >= 4, ZSTD_error_srcSize_wrong);
  ZSTD01_CHECK(std::memcmp(ip, kMagic, 4) == 0, ZSTD_error_prefix_unknown);
  ip += 4;
  Dec d{static_cast<u8*>(dst), static_cast<u8*>(dst) + dstCapacity, strict};
  u8* op = d.dst;
  for (;;) {
    ZSTD01_CHECK(iend - ip >= 3, ZSTD_error_srcSize_wrong);
    u32 type = ip[0] >> 6;
    size_t size = (static_cast<size_t>(ip[0] & 7) << 16) | (static_cast<size_t>(ip[1]) << 8) | ip[2];
    if (type == kBlockEnd) {
      if (strict) ZSTD01_CHECK(ip[0] == 0xC0 && ip[1] == 0 && ip[2] == 0, ZSTD_error_strictRule);
      ZSTD01_CHECK(iend - ip == 3, ZSTD_error_srcSize_wrong);
      return static_cast<size_t>(op - d.dst);
    }
    ZSTD01_CHECK(type != kBlockRle, ZSTD_error_blockType_unsupported);
    if (strict) ZSTD01_CHECK((ip[0] & 0x38) == 0, ZSTD_error_strictRule);
    // The original reader silently stops at an empty block and drops the rest of
    // the frame; refusing it is the only answer that never loses data unnoticed.
    ZSTD01_CHECK(size != 0, ZSTD_error_emptyBlock);
    ip += 3;
    ZSTD01_CHECK(size <= static_cast<size_t>(iend - ip), ZSTD_error_srcSize_wrong);
    size_t produced;
    if (type == kBlockRaw) {
      ZSTD01_CHECK(size <= static_cast<size_t>(d.dstEnd - op), ZSTD_error_dstSize_tooSmall);
      std::memcpy(op, ip, size);
      produced = size;
    } else {
      produced = decodeCompressedBlock(d, op, ip, size);
      if (ZSTD_isError(produced)) return produced;
    }
    if (strict) ZSTD01_CHECK(produced <= kMaxBlockSize, ZSTD_error_strictRule);
    op += produced;
    ip += size;
  }
}

}  // namespace

size_t ZSTD_decompress(void* dst, size_t dstCapacity, const void* src, size_t srcSize) {
  return decompressFrame(dst, dstCapacity, src, srcSize, false);
}

size_t ZSTD_decompressStrict(void* dst, size_t dstCapacity, const void* src, size_t srcSize) {
  return decompressFrame(dst, dstCapacity, src, srcSize, true);
}

unsigned ZSTD_isError(size_t code) { return code > errorCode(ZSTD_error_maxCode) ? 1u : 0u; }

ZSTD_ErrorCode ZSTD_getErrorCode(size_t code) {
  if (!ZSTD_isError(code)) return ZSTD_error_no_error;
  return static_cast<ZSTD_ErrorCode>(static_cast<size_t>(0) - code);
}

const char* ZSTD_getErrorName(size_t code) {
  switch (ZSTD_getErrorCode(code)) {
    case ZSTD_error_no_error: return "no error";
    case ZSTD_error_GENERIC: return "error (generic)";
    case ZSTD_error_prefix_unknown: return "unknown frame magic";
    case ZSTD_error_srcSize_wrong: return "frame truncated or followed by extra bytes";
    case ZSTD_error_dstSize_tooSmall: return "destination buffer is too small";
    case ZSTD_error_corruption_detected: return "corrupted frame";
    case ZSTD_error_blockType_unsupported: return "unsupported block or literals type";
    case ZSTD_error_emptyBlock: return "empty block";
    case ZSTD_error_tableLog_tooLarge: return "table log too large";
    case ZSTD_error_maxSymbolValue_tooLarge: return "symbol value too large";
    case ZSTD_error_strictRule: return "frame breaks a rule some v0.1 readers need";
    case ZSTD_error_memory_allocation: return "out of memory for the work area";
    case ZSTD_error_maxCode: break;
  }
  return "unknown error";
}

}  // namespace zstd01
