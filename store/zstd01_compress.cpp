// Compressor for zstd v0.1 frames: greedy LZ matching with a repeat-offset check,
// Huffman-coded literals and FSE-coded sequences, in 128 KiB blocks. One work area
// from the accounted heap per call; every frame it writes keeps the rules that let
// any v0.1 reader decode it into a buffer of exactly the input's size.
#include <algorithm>
#include <cmath>

#include "platform/memory.h"
#include "store/zstd01_bits.h"

namespace zstd01 {

namespace {

constexpr u32 kHashLog = 15;                        // largest table; small inputs use less
constexpr u32 kSkipShift = 8;                       // the search step grows by one every 256 bytes without a match
constexpr size_t kMaxStep = 32;                     // ... up to this, so repeats of skipped data are still found
constexpr size_t kMaxOffset = size_t(1) << 22;      // far below what 32-bit readers can take
constexpr u32 kHufLimit = 11;                       // code lengths; the format allows 12
constexpr size_t kMaxSeq = kMaxBlockSize / kMinMatch;
constexpr size_t kExtCap = 65535;                   // the extension area's length field
constexpr size_t kScratchCap = kMaxBlockSize + 64;  // a compressed block larger than this is useless

struct Sequences {
  u8 llSym[kMaxSeq];
  u8 ofCode[kMaxSeq];
  u8 mlSym[kMaxSeq];
  u32 ofExtra[kMaxSeq];
  u8 ext[kExtCap + 16];
  size_t count;
  size_t extLen;
  size_t litLen;
  size_t last, prev;  // the reader's repeat registers
};

enum TableMode : u32 { kModeFse = 0, kModeBasic = 1, kModeRle = 2 };

struct FseEncoder {
  u32 mode;
  u32 log;
  u16 stateTable[1u << kLLMaxLog];
  struct {
    u32 y0;
    i32 deltaFind;
    u32 hb;
  } sym[256];
};

struct Workspace {
  u32 hash[1u << kHashLog];
  u8 literals[kMaxBlockSize + 16];
  Sequences seq;
  FseEncoder ll, of, ml;
  u8 scratch[kScratchCap + 16];
};

inline u32 read32(const u8* p) {
  u32 v;
  std::memcpy(&v, p, 4);
  return v;
}

inline u32 hashAt(const u8* p, u32 shift) { return (read32(p) * 2654435761u) >> shift; }

inline size_t matchLength(const u8* p, const u8* m, const u8* end) {
  const u8* start = p;
  while (end - p >= 8) {
    u64 x = readLE64(p) ^ readLE64(m);
    if (x) return static_cast<size_t>(p - start) + (static_cast<size_t>(__builtin_ctzll(x)) >> 3);
    p += 8;
    m += 8;
  }
  while (p < end && *p == *m) {
    p++;
    m++;
  }
  return static_cast<size_t>(p - start);
}

u8* writeBlockHeader(u8* p, u32 type, size_t size) {
  p[0] = static_cast<u8>((type << 6) | (size >> 16));
  p[1] = static_cast<u8>(size >> 8);
  p[2] = static_cast<u8>(size);
  return p + 3;
}

// Length value v with escape symbol cap: symbol, plus extension bytes when large.
inline u8 lengthSymbol(Sequences* s, size_t v, u32 cap) {
  if (v < cap) return static_cast<u8>(v);
  size_t e = v - cap;
  if (e < 255) {
    s->ext[s->extLen++] = static_cast<u8>(e);
  } else {
    u8* p = s->ext + s->extLen;
    p[0] = 255;
    p[1] = static_cast<u8>(v);
    p[2] = static_cast<u8>(v >> 8);
    p[3] = static_cast<u8>(v >> 16);
    s->extLen += 4;
  }
  return static_cast<u8>(cap);
}

// Returns false when the block cannot take another sequence.
inline bool addSequence(Workspace* ws, const u8* lit, size_t ll, size_t offset, size_t ml, const u8* srcEnd) {
  Sequences* s = &ws->seq;
  if (s->count == kMaxSeq || s->extLen + 8 > kExtCap) return false;
  u8* d = ws->literals + s->litLen;
  if (ll <= 16 && srcEnd - lit >= 16) {
    std::memcpy(d, lit, 16);  // literals has 16 bytes of slack
  } else if (ll) {
    std::memcpy(d, lit, ll);
  }
  s->litLen += ll;
  size_t i = s->count++;
  s->llSym[i] = lengthSymbol(s, ll, kMaxLLSymbol);
  size_t rep = ll ? s->last : s->prev;
  if (offset == rep && rep != 0) {
    s->ofCode[i] = 0;
    s->ofExtra[i] = 0;
  } else {
    u32 code = highBit(static_cast<u32>(offset)) + 1;
    s->ofCode[i] = static_cast<u8>(code);
    s->ofExtra[i] = static_cast<u32>(offset - (size_t(1) << (code - 1)));
  }
  s->prev = s->last;
  s->last = offset;
  s->mlSym[i] = lengthSymbol(s, ml - kMinMatch, kMaxMLSymbol);
  return true;
}

// Greedy matching over [blockStart, blockEnd). Matches stay inside the block and
// start at least 8 bytes before the end of the input.
void findSequences(Workspace* ws, u32 hashShift, const u8* frameStart, const u8* hashBase, const u8* blockStart,
                   const u8* blockEnd, const u8* srcEnd) {
  Sequences* s = &ws->seq;
  s->count = 0;
  s->extLen = 0;
  s->litLen = 0;
  s->last = 0;
  s->prev = 1;
  u32* table = ws->hash;
  const u8* ip = blockStart;
  const u8* anchor = ip;
  if (blockEnd - blockStart >= static_cast<ptrdiff_t>(kMinMatch) && srcEnd - blockStart >= 8) {
    const u8* limit = blockEnd - kMinMatch;
    if (srcEnd - 8 < limit) limit = srcEnd - 8;
    while (ip <= limit) {
      size_t offset;
      size_t ml;
      size_t rep = ip > anchor ? s->last : s->prev;
      if (rep != 0 && rep <= static_cast<size_t>(ip - frameStart) && read32(ip) == read32(ip - rep)) {
        offset = rep;
        ml = kMinMatch + matchLength(ip + kMinMatch, ip - rep + kMinMatch, blockEnd);
        table[hashAt(ip, hashShift)] = static_cast<u32>(ip - hashBase);
      } else {
        u32 h = hashAt(ip, hashShift);
        const u8* cand = hashBase + table[h];
        table[h] = static_cast<u32>(ip - hashBase);
        offset = static_cast<size_t>(ip - cand);
        if (offset - 1 >= kMaxOffset || cand < frameStart || read32(cand) != read32(ip)) {
          size_t step = static_cast<size_t>(ip - anchor) >> kSkipShift;
          ip += 1 + (step < kMaxStep ? step : kMaxStep);
          continue;
        }
        ml = kMinMatch + matchLength(ip + kMinMatch, cand + kMinMatch, blockEnd);
        // One step of lazy matching: a clearly longer match one byte later wins.
        if (ip + 1 <= limit) {
          u32 h1 = hashAt(ip + 1, hashShift);
          const u8* cand1 = hashBase + table[h1];
          table[h1] = static_cast<u32>(ip + 1 - hashBase);
          size_t offset1 = static_cast<size_t>(ip + 1 - cand1);
          if (offset1 - 1 < kMaxOffset && read32(cand1) == read32(ip + 1)) {
            size_t ml1 = kMinMatch + matchLength(ip + 1 + kMinMatch, cand1 + kMinMatch, blockEnd);
            if (ml1 > ml + 1) {
              ip++;
              cand = cand1;
              offset = offset1;
              ml = ml1;
            }
          }
        }
        while (ip > anchor && cand > frameStart && ip[-1] == cand[-1]) {
          ip--;
          cand--;
          ml++;
        }
      }
      if (!addSequence(ws, anchor, static_cast<size_t>(ip - anchor), offset, ml, srcEnd)) break;
      if (ip + 2 <= limit) table[hashAt(ip + 2, hashShift)] = static_cast<u32>(ip + 2 - hashBase);
      ip += ml;
      anchor = ip;
      if (ip - 2 <= limit) table[hashAt(ip - 2, hashShift)] = static_cast<u32>(ip - 2 - hashBase);
    }
  }
  size_t rest = static_cast<size_t>(blockEnd - anchor);
  if (rest) std::memcpy(ws->literals + s->litLen, anchor, rest);
  s->litLen += rest;
}

// ---- FSE encoding --------------------------------------------------------------

// Histogram of n bytes. Four partial tables keep increments of one value (runs
// are common here) from waiting on each other.
void countBytes(u32* counts, const u8* p, size_t n) {
  u32 part[4][256] = {};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    part[0][p[i]]++;
    part[1][p[i + 1]]++;
    part[2][p[i + 2]]++;
    part[3][p[i + 3]]++;
  }
  for (; i < n; i++) part[0][p[i]]++;
  for (u32 s = 0; s < 256; s++) counts[s] = part[0][s] + part[1][s] + part[2][s] + part[3][s];
}

struct FwdWriter {
  u8* p;
  u8* end;
  u64 acc;
  u32 nbits;
  bool overflow;
  void add(u32 v, u32 n) {
    acc |= static_cast<u64>(v) << nbits;
    nbits += n;
    while (nbits >= 8) {
      if (p < end) *p++ = static_cast<u8>(acc);
      else overflow = true;
      acc >>= 8;
      nbits -= 8;
    }
  }
  void finish() {
    if (nbits) add(0, 8 - nbits);
  }
};

// Scales counts to a total of 2^log; every present symbol keeps at least 1.
void normalizeCounts(i16* norm, const u32* counts, u32 maxSymbol, size_t total, u32 log) {
  u32 size = 1u << log;
  i32 sum = 0;
  u32 largest = 0;
  for (u32 s = 0; s <= maxSymbol; s++) {
    if (counts[s] == 0) {
      norm[s] = 0;
      continue;
    }
    u64 v = (static_cast<u64>(counts[s]) * size + total / 2) / total;
    if (v == 0) v = 1;
    norm[s] = static_cast<i16>(v);
    sum += static_cast<i32>(v);
    if (counts[s] > counts[largest]) largest = s;
  }
  i32 diff = static_cast<i32>(size) - sum;
  if (norm[largest] + diff >= 1) {
    norm[largest] = static_cast<i16>(norm[largest] + diff);
    return;
  }
  // Too many rare symbols rounded up: take from the biggest counts one by one.
  while (diff < 0) {
    u32 big = 0;
    for (u32 s = 0; s <= maxSymbol; s++)
      if (norm[s] > norm[big]) big = s;
    norm[big]--;
    diff++;
  }
}

size_t writeDescription(u8* dst, size_t cap, const i16* norm, u32 maxSymbol, u32 log) {
  FwdWriter w{dst, dst + cap, 0, 0, false};
  w.add(log - 5, 4);
  i32 remaining = (1 << log) + 1;
  i32 threshold = 1 << log;
  u32 width = log + 1;
  u32 s = 0;
  bool afterZero = false;
  while (remaining > 1 && s <= maxSymbol) {
    if (afterZero) {
      u32 run = 0;
      while (s <= maxSymbol && norm[s] == 0) {
        run++;
        s++;
      }
      while (run >= 3) {
        w.add(3, 2);
        run -= 3;
      }
      w.add(run, 2);
    }
    i32 c = norm[s++];
    i32 limit = 2 * threshold - 1 - remaining;
    remaining -= c < 0 ? -c : c;
    i32 v = c + 1;
    if (v < limit) {
      w.add(static_cast<u32>(v), width - 1);
    } else {
      if (v >= threshold) v += limit;
      w.add(static_cast<u32>(v), width);
    }
    afterZero = c == 0;
    while (remaining < threshold) {
      width--;
      threshold >>= 1;
    }
  }
  w.finish();
  return w.overflow ? 0 : static_cast<size_t>(w.p - dst);
}

void buildEncoder(FseEncoder* e, const i16* norm, u32 maxSymbol, u32 log) {
  FseCell cells[1u << kHufWeightMaxLog];
  fseBuildTable(cells, norm, maxSymbol, log);
  u32 size = 1u << log;
  u32 cumul = 0;
  u32 start[256];
  for (u32 s = 0; s <= maxSymbol; s++) {
    u32 c = norm[s] == -1 ? 1u : static_cast<u32>(norm[s]);
    start[s] = cumul;
    if (c) {
      e->sym[s].hb = highBit(c);
      e->sym[s].y0 = c << (log - e->sym[s].hb);
      e->sym[s].deltaFind = static_cast<i32>(cumul) - static_cast<i32>(c);
    }
    cumul += c;
  }
  for (u32 i = 0; i < size; i++) e->stateTable[start[cells[i].symbol]++] = static_cast<u16>(i);
  e->mode = kModeFse;
  e->log = log;
}

inline void encodeSymbol(const FseEncoder& e, u32* state, u32 s, BitWriter* w) {
  if (e.mode == kModeFse) {
    u32 y = *state + (1u << e.log);
    u32 nb = e.log - e.sym[s].hb - (y < e.sym[s].y0 ? 1u : 0u);
    w->add(y & ((1u << nb) - 1), nb);
    *state = e.stateTable[e.sym[s].deltaFind + static_cast<i32>(y >> nb)];
  } else if (e.mode == kModeBasic) {
    w->add(*state, e.log);
    *state = s;
  }
}

// Picks RLE, basic or FSE for one sequence field and writes its table bytes.
// Returns bytes written, or SIZE_MAX when they do not fit.
size_t chooseTable(FseEncoder* e, u32* modeOut, const u8* symbols, size_t n, u32 maxAllowed, u32 maxLog,
                   u32 basicLog, u8* dst, size_t cap) {
  u32 counts[256];
  countBytes(counts, symbols, n);
  u32 maxSym = 0, present = 0;
  for (u32 s = 0; s <= maxAllowed; s++) {
    if (counts[s]) {
      maxSym = s;
      present++;
    }
  }
  if (present <= 1) {
    if (cap < 1) return SIZE_MAX;
    dst[0] = static_cast<u8>(n ? symbols[0] : 0);
    e->mode = kModeRle;
    e->log = 0;
    *modeOut = kModeRle;
    return 1;
  }
  double basicBits = static_cast<double>(n) * basicLog;
  u32 log = n > 4 ? highBit(static_cast<u32>(n)) - 2 : 5;
  u32 minLog = highBit(present) + 2;
  if (log < minLog) log = minLog;
  if (log < 5) log = 5;
  if (log > maxLog) log = maxLog;
  i16 norm[128];
  normalizeCounts(norm, counts, maxSym, n, log);
  u8 desc[256];
  size_t descSize = writeDescription(desc, sizeof desc, norm, maxSym, log);
  double fseBits = static_cast<double>(descSize) * 8;
  for (u32 s = 0; s <= maxSym; s++) {
    if (counts[s]) fseBits += counts[s] * (log - std::log2(static_cast<double>(norm[s])));
  }
  if (descSize == 0 || fseBits >= basicBits) {
    e->mode = kModeBasic;
    e->log = basicLog;
    *modeOut = kModeBasic;
    return 0;
  }
  if (descSize > cap) return SIZE_MAX;
  std::memcpy(dst, desc, descSize);
  buildEncoder(e, norm, maxSym, log);
  *modeOut = kModeFse;
  return descSize;
}

// ---- Huffman literals ----------------------------------------------------------

// Code lengths (<= limit) for the present symbols, from a Huffman tree; counts are
// flattened and the tree rebuilt until it fits the limit. Returns the longest.
u32 huffmanLengths(u8* lengths, const u32* counts, u32 maxSymbol, u32 limit) {
  u32 cnt[512];
  u16 sym[256];
  u16 parent[512];
  u32 m = 0;
  for (u32 s = 0; s <= maxSymbol; s++)
    if (counts[s]) sym[m++] = static_cast<u16>(s);
  u32 scaled[256];
  for (u32 i = 0; i < m; i++) scaled[i] = counts[sym[i]];
  for (;;) {
    // Leaves by count; ties by symbol so that the code does not depend on the sort.
    u16 order[256];
    for (u32 i = 0; i < m; i++) order[i] = static_cast<u16>(i);
    std::sort(order, order + m, [&scaled](u16 a, u16 b) { return scaled[a] != scaled[b] ? scaled[a] < scaled[b] : a < b; });
    for (u32 i = 0; i < m; i++) cnt[i] = scaled[order[i]];
    u32 leaf = 0, inner = m;
    for (u32 k = m; k < 2 * m - 1; k++) {
      u32 pick[2];
      for (u32& p : pick) {
        if (leaf < m && (inner >= k || cnt[leaf] <= cnt[inner])) p = leaf++;
        else p = inner++;
      }
      cnt[k] = cnt[pick[0]] + cnt[pick[1]];
      parent[pick[0]] = parent[pick[1]] = static_cast<u16>(k);
    }
    u8 depth[512];
    depth[2 * m - 2] = 0;
    u32 longest = 0;
    for (i32 k = static_cast<i32>(2 * m) - 3; k >= 0; k--) {
      depth[k] = static_cast<u8>(depth[parent[k]] + 1);
      if (static_cast<u32>(k) < m && depth[k] > longest) longest = depth[k];
    }
    if (longest <= limit) {
      for (u32 s = 0; s <= maxSymbol; s++) lengths[s] = 0;
      for (u32 i = 0; i < m; i++) lengths[sym[order[i]]] = depth[i];
      return longest;
    }
    for (u32 i = 0; i < m; i++) scaled[i] = (scaled[i] + 1) >> 1;
  }
}

// Writes the weight description for bytes 0..n-1 (byte n is implied). Returns its
// size or 0 when no form fits.
size_t writeWeights(u8* dst, size_t cap, const u8* weights, u32 n) {
  u8 best[128];
  size_t bestSize = 0;
  if (n <= 114) {
    bestSize = 1 + (n + 1) / 2;
    best[0] = static_cast<u8>(127 + n);
    for (u32 i = 0; i < n; i += 2) best[1 + i / 2] = static_cast<u8>((weights[i] << 4) | (i + 1 < n ? weights[i + 1] : 0));
  }
  // FSE form: needs two different weight values among the explicit ones.
  u32 counts[16] = {};
  u32 maxW = 0, present = 0;
  for (u32 i = 0; i < n; i++) counts[weights[i]]++;
  for (u32 w = 0; w < 16; w++)
    if (counts[w]) {
      maxW = w;
      present++;
    }
  if (present >= 2) {
    u8 tmp[1 + 127 + 16];
    const u32 log = 6;
    i16 norm[16];
    normalizeCounts(norm, counts, maxW, n, log);
    size_t d = writeDescription(tmp + 1, 126, norm, maxW, log);
    if (d) {
      FseEncoder e;
      buildEncoder(&e, norm, maxW, log);
      BitWriter w;
      bitWriterInit(&w, tmp + 1 + d, 127 - d + 8);  // tmp has room for the 8-byte stores
      u32 st[2] = {0, 0};
      for (u32 i = n; i-- > 0;) {
        encodeSymbol(e, &st[i & 1], weights[i], &w);
        w.flush();
      }
      w.add(st[1], log);
      w.add(st[0], log);
      size_t streamSize = bitWriterClose(&w);
      size_t h = d + streamSize;
      if (streamSize && h >= 4 && h <= 127 && (bestSize == 0 || 1 + h < bestSize)) {
        tmp[0] = static_cast<u8>(h);
        bestSize = 1 + h;
        std::memcpy(best, tmp, bestSize);
      }
    }
  }
  if (bestSize == 0 || bestSize > cap) return 0;
  std::memcpy(dst, best, bestSize);
  return bestSize;
}

struct HufCode {
  u16 code;
  u8 length;
};

// Writes stream st (0..3) backwards: stream 1 ends with the tail after the last
// whole round, and in round r stream st holds literals 16r + 4j + st.
size_t writeHuffmanStream(u8* dst, size_t cap, const u8* lits, size_t n, size_t rounds, u32 st, const HufCode* codes) {
  BitWriter w;
  bitWriterInit(&w, dst, cap);
  if (st == 0) {
    size_t i = n;
    u32 k = 0;
    while (i > 16 * rounds) {
      const HufCode& c = codes[lits[--i]];
      w.add(c.code, c.length);
      if (++k == 4) {
        w.flush();
        k = 0;
      }
    }
    w.flush();
  }
  for (size_t r = rounds; r-- > 0;) {
    const u8* p = lits + 16 * r + st;
    for (int j = 12; j >= 0; j -= 4) w.add(codes[p[j]].code, codes[p[j]].length);
    w.flush();
  }
  return bitWriterClose(&w);
}

// Huffman literal section; returns its size, or 0 when raw literals are better.
size_t writeHuffmanLiterals(u8* dst, size_t cap, const u8* lits, size_t n, const u32* counts, u32 maxSymbol) {
  u8 lengths[256];
  u32 longest = huffmanLengths(lengths, counts, maxSymbol, kHufLimit);
  u64 bits = 0;
  for (u32 s = 0; s <= maxSymbol; s++) bits += static_cast<u64>(counts[s]) * lengths[s];
  if (bits / 8 + 16 >= n - n / 64) return 0;  // not worth it
  u8 weights[256];
  for (u32 s = 0; s <= maxSymbol; s++) weights[s] = lengths[s] ? static_cast<u8>(longest + 1 - lengths[s]) : 0;
  // Canonical codes: weights ascending, bytes ascending, each taking 2^(w-1) slots.
  HufCode codes[256];
  u32 slot = 0;
  for (u32 w = 1; w <= longest; w++) {
    for (u32 s = 0; s <= maxSymbol; s++) {
      if (weights[s] != w) continue;
      codes[s] = HufCode{static_cast<u16>(slot >> (w - 1)), static_cast<u8>(longest + 1 - w)};
      slot += 1u << (w - 1);
    }
  }
  if (cap < 5 + 128) return 0;
  u8* p = dst + 5;
  u8* const end = dst + cap;
  size_t wsize = writeWeights(p, static_cast<size_t>(end - p), weights, maxSymbol);
  if (wsize == 0) return 0;
  p += wsize;
  if (end - p < 6) return 0;
  u8* jumps = p;
  p += 6;
  size_t rounds = n / 16;
  size_t sizes[4];
  for (u32 st = 0; st < 4; st++) {
    sizes[st] = writeHuffmanStream(p, static_cast<size_t>(end - p), lits, n, rounds, st, codes);
    if (sizes[st] == 0 || (st < 3 && sizes[st] > 65535)) return 0;
    p += sizes[st];
  }
  for (u32 st = 0; st < 3; st++) {
    jumps[2 * st] = static_cast<u8>(sizes[st]);
    jumps[2 * st + 1] = static_cast<u8>(sizes[st] >> 8);
  }
  size_t size = static_cast<size_t>(p - dst) - 3;
  dst[0] = static_cast<u8>((((n >> 16) & 7) << 3) | ((size >> 16) & 7));
  dst[1] = static_cast<u8>(size >> 8);
  dst[2] = static_cast<u8>(size);
  dst[3] = static_cast<u8>(n >> 8);
  dst[4] = static_cast<u8>(n);
  return static_cast<size_t>(p - dst);
}

// Literal section of the block: raw, one repeated byte, or Huffman.
size_t writeLiterals(u8* dst, size_t cap, const u8* lits, size_t n) {
  if (n > 63) {
    u32 counts[256];
    countBytes(counts, lits, n);
    u32 maxSymbol = 0, present = 0;
    for (u32 s = 0; s < 256; s++)
      if (counts[s]) {
        maxSymbol = s;
        present++;
      }
    if (present == 1) {
      if (cap < 4) return 0;
      writeBlockHeader(dst, 2, n);
      dst[3] = lits[0];
      return 4;
    }
    size_t h = writeHuffmanLiterals(dst, cap, lits, n, counts, maxSymbol);
    if (h) return h;
  }
  if (cap < 3 + n) return 0;
  writeBlockHeader(dst, 1, n);
  if (n) std::memcpy(dst + 3, lits, n);
  return 3 + n;
}

// Builds the compressed block in the scratch area. Returns its size, or 0 when it
// does not beat a raw block.
size_t encodeBlock(Workspace* ws, size_t rawSize) {
  Sequences* s = &ws->seq;
  u8* const start = ws->scratch;
  u8* const end = start + kScratchCap;
  u8* p = start;
  size_t lit = writeLiterals(p, kScratchCap, ws->literals, s->litLen);
  if (lit == 0) return 0;
  p += lit;
  if (end - p < static_cast<ptrdiff_t>(5 + s->extLen)) return 0;
  size_t nbSeq = s->count;
  p[0] = static_cast<u8>(nbSeq);
  p[1] = static_cast<u8>(nbSeq >> 8);
  u8* flags = p + 2;
  if (s->extLen < 512) {
    *flags = static_cast<u8>(s->extLen >> 8);
    p[3] = static_cast<u8>(s->extLen);
    p += 4;
  } else {
    *flags = 2;
    p[3] = static_cast<u8>(s->extLen >> 8);
    p[4] = static_cast<u8>(s->extLen);
    p += 5;
  }
  if (s->extLen) std::memcpy(p, s->ext, s->extLen);
  p += s->extLen;

  FseEncoder& eLL = ws->ll;
  FseEncoder& eOF = ws->of;
  FseEncoder& eML = ws->ml;
  u32 mLL, mOF, mML;
  u8* descLL = p;
  size_t n = chooseTable(&eLL, &mLL, s->llSym, nbSeq, kMaxLLSymbol, kLLMaxLog, kLLBasicLog, p, static_cast<size_t>(end - p));
  if (n == SIZE_MAX) return 0;
  p += n;
  u8* descOF = p;
  n = chooseTable(&eOF, &mOF, s->ofCode, nbSeq, kMaxOffCode, kOffMaxLog, kOffBasicLog, p, static_cast<size_t>(end - p));
  if (n == SIZE_MAX) return 0;
  p += n;
  u8* descML = p;
  n = chooseTable(&eML, &mML, s->mlSym, nbSeq, kMaxMLSymbol, kMLMaxLog, kMLBasicLog, p, static_cast<size_t>(end - p));
  if (n == SIZE_MAX) return 0;
  p += n;
  *flags = static_cast<u8>(*flags | (mLL << 6) | (mOF << 4) | (mML << 2));

  BitWriter w;
  bitWriterInit(&w, p, static_cast<size_t>(end - p) + 16);
  u32 stLL = 0, stOF = 0, stML = 0;
  for (size_t i = nbSeq; i-- > 0;) {
    u32 code = s->ofCode[i];
    encodeSymbol(eML, &stML, s->mlSym[i], &w);
    if (code > 1) w.add(s->ofExtra[i], code - 1);
    encodeSymbol(eOF, &stOF, code, &w);
    encodeSymbol(eLL, &stLL, s->llSym[i], &w);
    w.flush();
  }
  w.add(stML, eML.log);
  w.add(stOF, eOF.log);
  w.add(stLL, eLL.log);
  size_t bs = bitWriterClose(&w);
  if (bs == 0) return 0;
  p += bs;
  if (p > end) return 0;
  // Every table description needs 4 bytes to the end of the block for the original reader.
  if ((mLL == kModeFse && p - descLL < 4) || (mOF == kModeFse && p - descOF < 4) || (mML == kModeFse && p - descML < 4))
    return 0;
  size_t size = static_cast<size_t>(p - start);
  return size < rawSize ? size : 0;
}

}  // namespace

size_t ZSTD_compressBound(size_t srcSize) {
  // Worst case: every block stored raw, plus magic and end block.
  size_t blocks = (srcSize + kMaxBlockSize - 1) / kMaxBlockSize;
  return 4 + srcSize + blocks * kBlockHeaderSize + kBlockHeaderSize;
}

size_t ZSTD_compress(void* dst, size_t dstCapacity, const void* src, size_t srcSize) {
  if ((srcSize > 0 && src == nullptr) || (dstCapacity > 0 && dst == nullptr)) return errorCode(ZSTD_error_GENERIC);
  u8* op = static_cast<u8*>(dst);
  u8* const oend = op + dstCapacity;
  const u8* const istart = static_cast<const u8*>(src);
  const u8* const iend = istart + srcSize;
  if (dstCapacity < 7) return errorCode(ZSTD_error_dstSize_tooSmall);
  std::memcpy(op, kMagic, 4);
  op += 4;
  Workspace* ws = nullptr;
  if (srcSize > 0) {
    ws = static_cast<Workspace*>(memAlloc(sizeof(Workspace)));
    if (!ws) return errorCode(ZSTD_error_memory_allocation);
  }
  // Small inputs use (and clear) only part of the table.
  u32 hashLog = srcSize > 0 ? highBit(static_cast<u32>(srcSize < (1u << 30) ? srcSize : (1u << 30))) + 1 : 0;
  hashLog = hashLog < 10 ? 10 : (hashLog > kHashLog ? kHashLog : hashLog);
  size_t hashBytes = sizeof(u32) << hashLog;
  if (ws) std::memset(ws->hash, 0, hashBytes);
  const u8* hashBase = istart;
  const u8* ip = istart;
  size_t result = 0;
  while (ip < iend) {
    size_t n = static_cast<size_t>(iend - ip) < kMaxBlockSize ? static_cast<size_t>(iend - ip) : kMaxBlockSize;
    if (ip - hashBase > (static_cast<ptrdiff_t>(1) << 30)) {
      // Positions are 32-bit; start the table afresh well before they wrap.
      std::memset(ws->hash, 0, hashBytes);
      hashBase = ip;
    }
    findSequences(ws, 32 - hashLog, istart, hashBase, ip, ip + n, iend);
    size_t c = encodeBlock(ws, n);
    size_t payload = c ? c : n;
    if (static_cast<size_t>(oend - op) < kBlockHeaderSize + payload + kBlockHeaderSize) {
      result = errorCode(ZSTD_error_dstSize_tooSmall);
      break;
    }
    if (c) {
      op = writeBlockHeader(op, kBlockCompressed, c);
      std::memcpy(op, ws->scratch, c);
    } else {
      op = writeBlockHeader(op, kBlockRaw, n);
      std::memcpy(op, ip, n);
    }
    op += payload;
    ip += n;
  }
  memFree(ws);
  if (result) return result;
  if (oend - op < 3) return errorCode(ZSTD_error_dstSize_tooSmall);
  op = writeBlockHeader(op, kBlockEnd, 0);
  return static_cast<size_t>(op - static_cast<u8*>(dst));
}

}  // namespace zstd01
