// BC7 on the CPU: a fast encoder that writes only modes 5 and 6, and a reference
// decoder used by the tests and the benchmark to judge blocks from any encoder.
#include <mutex>
#include <cmath>
#include <cstring>

#include "platform/memory.h"
#include "renderer/texture.h"

namespace {

struct endpoint_err {
  u16 m_error;
  u8 m_lo;
  u8 m_hi;
};

endpoint_err g_bc7_mode_5_optimal_endpoints[256];

const u8 kWeights2[4] = {0, 21, 43, 64};
const u8 kWeights3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
const u8 kWeights4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

inline i32 interp(i32 e0, i32 e1, i32 w) { return ((64 - w) * e0 + w * e1 + 32) >> 6; }
inline i32 expand7(i32 q) { return (q << 1) | (q >> 6); }

// Little-endian bit writer over one 16-byte block (fields never exceed 32 bits).
struct BitWriter {
  u8* out;
  u32 pos;
  u64 lo = 0, hi = 0;
  void put(u32 value, u32 count) {
    u64 v = value & ((1ull << count) - 1);
    if (pos < 64) {
      lo |= v << pos;
      if (pos + count > 64) hi |= v >> (64 - pos);
    } else {
      hi |= v << (pos - 64);
    }
    pos += count;
  }
  void flush() {
    std::memcpy(out, &lo, 8);
    std::memcpy(out + 8, &hi, 8);
  }
};

struct BitReader {
  const u8* in;
  u32 pos;
  u32 get(u32 count) {
    u32 v = 0;
    for (u32 i = 0; i < count; i++, pos++) v |= (u32)((in[pos >> 3] >> (pos & 7)) & 1) << i;
    return v;
  }
};

void buildTable() {
  for (i32 v = 0; v < 256; v++) {
    i32 best = 1 << 30;
    endpoint_err e{0, 0, 0};
    for (i32 lo = 0; lo < 128; lo++) {
      i32 elo = expand7(lo);
      for (i32 hi = 0; hi < 128; hi++) {
        i32 d = ((elo * 43 + expand7(hi) * 21 + 32) >> 6) - v;
        if (d * d < best) {
          best = d * d;
          e = endpoint_err{(u16)best, (u8)lo, (u8)hi};
        }
      }
    }
    g_bc7_mode_5_optimal_endpoints[v] = e;
  }
}

// Mode 5 with rotation 0: 7-bit colour endpoints, 8-bit alpha endpoints, 2-bit
// colour and alpha indices, each index set with its own anchor.
void encodeMode5(u8* block, i32 c0[3], i32 c1[3], i32 a0, i32 a1, u8 ci[16], u8 ai[16]) {
  if (ci[0] & 2) {
    for (int c = 0; c < 3; c++) {
      i32 t = c0[c];
      c0[c] = c1[c];
      c1[c] = t;
    }
    for (int i = 0; i < 16; i++) ci[i] = (u8)(3 - ci[i]);
  }
  if (ai[0] & 2) {
    i32 t = a0;
    a0 = a1;
    a1 = t;
    for (int i = 0; i < 16; i++) ai[i] = (u8)(3 - ai[i]);
  }
  BitWriter w{block, 0};
  w.put(1u << 5, 6);
  w.put(0, 2);
  for (int c = 0; c < 3; c++) {
    w.put((u32)c0[c], 7);
    w.put((u32)c1[c], 7);
  }
  w.put((u32)a0, 8);
  w.put((u32)a1, 8);
  for (int i = 0; i < 16; i++) w.put(ci[i], i == 0 ? 1 : 2);
  for (int i = 0; i < 16; i++) w.put(ai[i], i == 0 ? 1 : 2);
  w.flush();
}

// Mode 6: 7-bit RGBA endpoints with one p-bit each, 4-bit indices.
void encodeMode6(u8* block, i32 e0[4], i32 e1[4], i32 p0, i32 p1, u8 idx[16]) {
  if (idx[0] & 8) {
    for (int c = 0; c < 4; c++) {
      i32 t = e0[c];
      e0[c] = e1[c];
      e1[c] = t;
    }
    i32 t = p0;
    p0 = p1;
    p1 = t;
    for (int i = 0; i < 16; i++) idx[i] = (u8)(15 - idx[i]);
  }
  BitWriter w{block, 0};
  w.put(1u << 6, 7);
  for (int c = 0; c < 4; c++) {
    w.put((u32)e0[c], 7);
    w.put((u32)e1[c], 7);
  }
  w.put((u32)p0, 1);
  w.put((u32)p1, 1);
  for (int i = 0; i < 16; i++) w.put(idx[i], i == 0 ? 3 : 4);
  w.flush();
}

void packMode5Solid(u8* block, const u8* px) {
  i32 c0[3], c1[3];
  for (int c = 0; c < 3; c++) {
    const endpoint_err& e = g_bc7_mode_5_optimal_endpoints[px[c]];
    c0[c] = e.m_lo;
    c1[c] = e.m_hi;
  }
  u8 ci[16], ai[16];
  for (int i = 0; i < 16; i++) {
    ci[i] = 1;
    ai[i] = 0;
  }
  encodeMode5(block, c0, c1, px[3], px[3], ci, ai);
}

// Four lanes (R, G, B, A) per pixel; the fits below run on whole pixels at once.
// A lane mask leaves alpha out where it is fitted separately or fixed.
typedef f32 f4 __attribute__((vector_size(16)));
typedef i32 i4 __attribute__((vector_size(16)));

inline f32 hsum(f4 v) { return (v[0] + v[1]) + (v[2] + v[3]); }
inline i32 hsumi(i4 v) { return (v[0] + v[1]) + (v[2] + v[3]); }
inline f4 clamp255(f4 v) {
  const f4 zero = {0, 0, 0, 0}, top = {255, 255, 255, 255};
  v = v < zero ? zero : v;
  return v > top ? top : v;
}
inline i4 roundToInt(f4 v) { return __builtin_convertvector(clamp255(v) + 0.5f, i4); }

inline i32 clampi(i32 v, i32 lo, i32 hi) { return v < lo ? lo : (v > hi ? hi : v); }

struct BlockPixels {
  f4 p[16];
};

inline void loadPixels(const u8* px, BlockPixels* b) {
  for (int i = 0; i < 16; i++) b->p[i] = f4{(f32)px[i * 4], (f32)px[i * 4 + 1], (f32)px[i * 4 + 2], (f32)px[i * 4 + 3]};
}

// The pixels with the smallest and largest projection on the principal axis of
// the masked lanes' covariance (three power-iteration steps, normalised only when
// the squared length exceeds 1e-6).
void axisExtremes(const BlockPixels& b, f4 mask, f4* lo, f4* hi) {
  f4 mean = {0, 0, 0, 0};
  for (int i = 0; i < 16; i++) mean += b.p[i];
  mean *= 1.0f / 16.0f;
  f4 row[4] = {};
  for (int i = 0; i < 16; i++) {
    f4 d = (b.p[i] - mean) * mask;
    row[0] += d * d[0];
    row[1] += d * d[1];
    row[2] += d * d[2];
    row[3] += d * d[3];
  }
  // Start from the covariance column of the widest channel: a fixed start such as
  // (1, 1, 1) is orthogonal to anti-correlated channels and would collapse.
  int widest = 0;
  for (int c = 1; c < 4; c++)
    if (row[c][c] > row[widest][widest]) widest = c;
  f4 axis = row[widest];
  for (int it = 0; it < 3; it++) {
    f4 next = row[0] * axis[0] + row[1] * axis[1] + row[2] * axis[2] + row[3] * axis[3];
    f32 len2 = hsum(next * next);
    if (len2 > 1e-6f) next *= 1.0f / std::sqrt(len2);
    axis = next;
  }
  f32 minP = 3.4028235e38f, maxP = -3.4028235e38f;
  int minI = 0, maxI = 0;
  for (int i = 0; i < 16; i++) {
    f32 p = hsum(b.p[i] * axis);
    if (p < minP) {
      minP = p;
      minI = i;
    }
    if (p > maxP) {
      maxP = p;
      maxI = i;
    }
  }
  *lo = b.p[minI];
  *hi = b.p[maxI];
}

// Mode-6 endpoints: each lane c quantised to min((c + (1 - p)) >> 1, 127) and
// read back as (q << 1) | p. With fixedP >= 0 both p-bits are that value,
// otherwise the four combinations are tried on the masked endpoint error.
void quantizeMode6(f4 lo, f4 hi, i4 laneMask, i32 fixedP, i4* q0, i4* q1, i32* p0, i32* p1) {
  i4 c0 = roundToInt(lo), c1 = roundToInt(hi);
  i32 bestErr = 1 << 30;
  for (i32 pp = 0; pp < 4; pp++) {
    i32 a = pp >> 1, b = pp & 1;
    if (fixedP >= 0 && (a != fixedP || b != fixedP)) continue;
    i4 t0 = (c0 + (1 - a)) >> 1, t1 = (c1 + (1 - b)) >> 1;
    t0 = t0 > 127 ? 127 : t0;
    t1 = t1 > 127 ? 127 : t1;
    i4 d0 = (((t0 << 1) | a) - c0) & laneMask, d1 = (((t1 << 1) | b) - c1) & laneMask;
    i32 err = hsumi(d0 * d0 + d1 * d1);
    if (err < bestErr) {
      bestErr = err;
      *p0 = a;
      *p1 = b;
      *q0 = t0;
      *q1 = t1;
    }
  }
}

// Index per pixel: its projection on the endpoint line (the palette lies on it),
// over the masked lanes; returns the total squared error.
template <int count>
f32 assignIndices(const BlockPixels& b, f4 mask, i4 e0, i4 e1, const u8* weights, u8* idx) {
  f4 pal[count];
  for (int k = 0; k < count; k++)
    pal[k] = __builtin_convertvector((e0 * (64 - weights[k]) + e1 * weights[k] + 32) >> 6, f4);
  f4 fe0 = __builtin_convertvector(e0, f4);
  f4 d = (__builtin_convertvector(e1, f4) - fe0) * mask;
  f32 scale = (f32)(count - 1) / (hsum(d * d) + 1e-6f);
  f32 total = 0;
  for (int i = 0; i < 16; i++) {
    f32 t = hsum((b.p[i] - fe0) * d) * scale;
    i32 k = clampi((i32)(t + 1.5f) - 1, 0, count - 1);
    f4 e = (pal[k] - b.p[i]) * mask;
    total += hsum(e * e);
    idx[i] = (u8)k;
  }
  return total;
}

// Least-squares endpoints for fixed indices: minimises the sum over pixels of
// ((1 - w) e0 + w e1 - x)^2 per lane. False when the weights are degenerate.
b8 leastSquares(const BlockPixels& b, const u8* idx, const u8* weights, f4* lo, f4* hi) {
  f32 aa = 0, ab = 0, bb = 0;
  f4 ax = {0, 0, 0, 0}, bx = {0, 0, 0, 0};
  for (int i = 0; i < 16; i++) {
    f32 w = weights[idx[i]] * (1.0f / 64.0f), v = 1.0f - w;
    aa += v * v;
    ab += v * w;
    bb += w * w;
    ax += b.p[i] * v;
    bx += b.p[i] * w;
  }
  f32 det = aa * bb - ab * ab;
  if (std::fabs(det) < 1e-6f) return false;
  f32 inv = 1.0f / det;
  *lo = clamp255((ax * bb - bx * ab) * inv);
  *hi = clamp255((bx * aa - ax * ab) * inv);
  return true;
}

inline i4 pbitEndpoint(i4 q, i32 p) { return (q << 1) | p; }

// Mode 6 over RGB (opaque: alpha endpoints 127 with p-bits 1, so alpha is 255)
// or RGBA: principal-axis endpoints, then one least-squares refinement kept only
// when it lowers the error.
void compressMode6(const BlockPixels& b, b8 opaque, u8* block) {
  const f4 mask = opaque ? f4{1, 1, 1, 0} : f4{1, 1, 1, 1};
  const i4 laneMask = opaque ? i4{-1, -1, -1, 0} : i4{-1, -1, -1, -1};
  i32 fixedP = opaque ? 1 : -1;
  f4 lo, hi;
  axisExtremes(b, mask, &lo, &hi);
  i4 q0, q1;
  i32 p0 = 1, p1 = 1;
  quantizeMode6(lo, hi, laneMask, fixedP, &q0, &q1, &p0, &p1);
  u8 idx[16];
  f32 err = assignIndices<16>(b, mask, pbitEndpoint(q0, p0), pbitEndpoint(q1, p1), kWeights4, idx);
  f4 rlo, rhi;
  if (err > 0 && leastSquares(b, idx, kWeights4, &rlo, &rhi)) {
    i4 t0, t1;
    i32 tp0 = 1, tp1 = 1;
    quantizeMode6(rlo, rhi, laneMask, fixedP, &t0, &t1, &tp0, &tp1);
    u8 tidx[16];
    f32 terr = assignIndices<16>(b, mask, pbitEndpoint(t0, tp0), pbitEndpoint(t1, tp1), kWeights4, tidx);
    if (terr < err) {
      std::memcpy(idx, tidx, 16);
      q0 = t0;
      q1 = t1;
      p0 = tp0;
      p1 = tp1;
    }
  }
  i32 e0[4] = {q0[0], q0[1], q0[2], opaque ? 127 : q0[3]};
  i32 e1[4] = {q1[0], q1[1], q1[2], opaque ? 127 : q1[3]};
  encodeMode6(block, e0, e1, p0, p1, idx);
}

// Nearest 7-bit mode-5 colour endpoint, read back as (q << 1) | (q >> 6).
inline i32 quant5(i32 c) {
  i32 q = clampi((c * 127 + 127) / 255, 0, 127), best = q, bestErr = 1 << 30;
  for (i32 t = q - 1; t <= q + 1; t++) {
    if (t < 0 || t > 127) continue;
    i32 d = expand7(t) - c;
    if (d * d < bestErr) {
      bestErr = d * d;
      best = t;
    }
  }
  return best;
}

inline i4 quant5(f4 v) {
  i4 c = roundToInt(v);
  return i4{quant5(c[0]), quant5(c[1]), quant5(c[2]), 0};
}

inline i4 expand7(i4 q) { return (q << 1) | (q >> 6); }

// Mode 5 for blocks whose alpha varies independently of colour: a principal-axis
// colour fit (7-bit endpoints, 2-bit indices) and a separate alpha range, each
// with one least-squares refinement.
void compressMode5(const BlockPixels& b, u8* block) {
  const f4 rgb = {1, 1, 1, 0}, alpha = {0, 0, 0, 1};
  f4 lo, hi;
  axisExtremes(b, rgb, &lo, &hi);
  i4 c0 = quant5(lo), c1 = quant5(hi);
  u8 ci[16];
  f32 err = assignIndices<4>(b, rgb, expand7(c0), expand7(c1), kWeights2, ci);
  f4 rlo, rhi;
  if (err > 0 && leastSquares(b, ci, kWeights2, &rlo, &rhi)) {
    i4 t0 = quant5(rlo), t1 = quant5(rhi);
    u8 tci[16];
    if (assignIndices<4>(b, rgb, expand7(t0), expand7(t1), kWeights2, tci) < err) {
      std::memcpy(ci, tci, 16);
      c0 = t0;
      c1 = t1;
    }
  }
  f32 amin = 255, amax = 0;
  for (int i = 0; i < 16; i++) {
    amin = b.p[i][3] < amin ? b.p[i][3] : amin;
    amax = b.p[i][3] > amax ? b.p[i][3] : amax;
  }
  i4 a0 = {0, 0, 0, (i32)amin}, a1 = {0, 0, 0, (i32)amax};
  u8 ai[16];
  f32 aerr = assignIndices<4>(b, alpha, a0, a1, kWeights2, ai);
  if (aerr > 0 && leastSquares(b, ai, kWeights2, &rlo, &rhi)) {
    i4 t0 = roundToInt(rlo), t1 = roundToInt(rhi);
    u8 tai[16];
    if (assignIndices<4>(b, alpha, t0, t1, kWeights2, tai) < aerr) {
      a0 = t0;
      a1 = t1;
      std::memcpy(ai, tai, 16);
    }
  }
  i32 e0[3] = {c0[0], c0[1], c0[2]}, e1[3] = {c1[0], c1[1], c1[2]};
  encodeMode5(block, e0, e1, a0[3], a1[3], ci, ai);
}

// Alpha weakly tied to colour (and varying): mode 5 keeps it on its own indices.
b8 alphaIndependent(const BlockPixels& b) {
  f4 mean = {0, 0, 0, 0};
  for (int i = 0; i < 16; i++) mean += b.p[i];
  mean *= 1.0f / 16.0f;
  f4 var = {0, 0, 0, 0}, cov = {0, 0, 0, 0};
  for (int i = 0; i < 16; i++) {
    f4 d = b.p[i] - mean;
    var += d * d;
    cov += d * d[3];
  }
  f32 covSq = cov[0] * cov[0] + cov[1] * cov[1] + cov[2] * cov[2];
  f32 colourVar = var[0] + var[1] + var[2];
  return var[3] > 16.0f && covSq < colourVar * var[3] * 0.25f;
}

// Decoder mode descriptions.
struct ModeInfo {
  u8 subsets, partitionBits, rotationBits, indexSelBits, colorBits, alphaBits, endpointPBits, sharedPBits,
      indexBits, index2Bits;
};
const ModeInfo kModes[8] = {
    {3, 4, 0, 0, 4, 0, 1, 0, 3, 0}, {2, 6, 0, 0, 6, 0, 0, 1, 3, 0}, {3, 6, 0, 0, 5, 0, 0, 0, 2, 0},
    {2, 6, 0, 0, 7, 0, 1, 0, 2, 0}, {1, 0, 2, 1, 5, 6, 0, 0, 2, 3}, {1, 0, 2, 0, 7, 8, 0, 0, 2, 2},
    {1, 0, 0, 0, 7, 7, 1, 0, 4, 0}, {2, 6, 0, 0, 5, 5, 1, 0, 2, 0},
};

const u8* weightsFor(u32 bits) { return bits == 2 ? kWeights2 : (bits == 3 ? kWeights3 : kWeights4); }

inline i32 expandBits(u32 v, u32 n) { return (i32)((v << (8 - n)) | (v >> (2 * n - 8))); }

}  // namespace

void bc7f_init() {
  static std::once_flag once;
  std::call_once(once, buildTable);
}

void bc7f_compress_block(const u8* px, u8* block) {
  b8 opaque = true, sameRgb = true;
  for (int i = 0; i < 16; i++) {
    opaque &= px[i * 4 + 3] == 255;
    sameRgb &= px[i * 4] == px[0] && px[i * 4 + 1] == px[1] && px[i * 4 + 2] == px[2];
  }
  if (opaque && sameRgb) {
    packMode5Solid(block, px);
    return;
  }
  BlockPixels b;
  loadPixels(px, &b);
  if (!opaque && alphaIndependent(b))
    compressMode5(b, block);
  else
    compressMode6(b, opaque, block);
}

u64 textureBc7Size(u32 w, u32 h) { return ((u64)(w + 3) / 4 * 16) * ((u64)(h + 3) / 4); }

u32 textureAlignToBlock(u32 v) { return (v + 3u) & ~3u; }

b8 textureCompressRgbaToBc7(const u8* rgba, u32 width, u32 height, u8** outData, u64* outSize) {
  if (!rgba || !outData || !outSize || width == 0 || height == 0) return false;
  bc7f_init();
  u64 size = textureBc7Size(width, height);
  auto* out = static_cast<u8*>(memAlloc(size));
  if (!out) return false;
  u32 bw = (width + 3) / 4, bh = (height + 3) / 4;
  u8 px[64];
  for (u32 by = 0; by < bh; by++) {
    for (u32 bx = 0; bx < bw; bx++) {
      // Textures keep their true size, so the padding of edge blocks is never
      // sampled: it repeats the nearest edge pixel, which leaves the fit to the
      // real pixels (transparent black would make opaque edges fit alpha too).
      for (u32 y = 0; y < 4; y++) {
        u32 sy = by * 4 + y < height ? by * 4 + y : height - 1;
        for (u32 x = 0; x < 4; x++) {
          u32 sx = bx * 4 + x < width ? bx * 4 + x : width - 1;
          std::memcpy(px + (y * 4 + x) * 4, rgba + ((u64)sy * width + sx) * 4, 4);
        }
      }
      bc7f_compress_block(px, out + ((u64)by * bw + bx) * 16);
    }
  }
  *outData = out;
  *outSize = size;
  return true;
}

b8 bc7DecodeBlock(const u8* block, u8* out) {
  u32 mode = 0;
  while (mode < 8 && !((block[0] >> mode) & 1)) mode++;
  if (mode >= 8) {
    std::memset(out, 0, 64);
    return false;
  }
  const ModeInfo& m = kModes[mode];
  if (m.subsets != 1) return false;  // partitioned modes are not decoded here
  BitReader r{block, mode + 1};
  u32 rotation = r.get(m.rotationBits);
  u32 indexSel = r.get(m.indexSelBits);
  u32 ep[2][4];
  for (int c = 0; c < 3; c++)
    for (int e = 0; e < 2; e++) ep[e][c] = r.get(m.colorBits);
  for (int e = 0; e < 2; e++) ep[e][3] = m.alphaBits ? r.get(m.alphaBits) : 255;
  u32 pb[2] = {0, 0};
  if (m.endpointPBits)
    for (int e = 0; e < 2; e++) pb[e] = r.get(1);
  i32 col[2][4];
  for (int e = 0; e < 2; e++) {
    for (int c = 0; c < 4; c++) {
      u32 bits = c < 3 ? m.colorBits : m.alphaBits;
      if (c == 3 && m.alphaBits == 0) {
        col[e][c] = 255;
        continue;
      }
      u32 v = ep[e][c];
      if (m.endpointPBits) {
        v = (v << 1) | pb[e];
        bits++;
      }
      col[e][c] = expandBits(v, bits);
    }
  }
  u8 idx1[16], idx2[16];
  for (int i = 0; i < 16; i++) idx1[i] = (u8)r.get(i == 0 ? m.indexBits - 1 : m.indexBits);
  if (m.index2Bits)
    for (int i = 0; i < 16; i++) idx2[i] = (u8)r.get(i == 0 ? m.index2Bits - 1 : m.index2Bits);
  for (int i = 0; i < 16; i++) {
    u32 cBits = m.indexBits, aBits = m.indexBits;
    u8 ci = idx1[i], ai = idx1[i];
    if (m.index2Bits) {
      if (indexSel) {
        ci = idx2[i];
        cBits = m.index2Bits;
      } else {
        ai = idx2[i];
        aBits = m.index2Bits;
      }
    }
    i32 px[4];
    for (int c = 0; c < 3; c++) px[c] = interp(col[0][c], col[1][c], weightsFor(cBits)[ci]);
    px[3] = interp(col[0][3], col[1][3], weightsFor(aBits)[ai]);
    if (rotation) {
      i32 t = px[3];
      px[3] = px[rotation - 1];
      px[rotation - 1] = t;
    }
    for (int c = 0; c < 4; c++) out[i * 4 + c] = (u8)px[c];
  }
  return true;
}
