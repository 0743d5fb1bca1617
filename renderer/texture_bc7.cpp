// BC7 on the CPU: a fast encoder that writes only modes 5 and 6, and a reference
// decoder used by the tests and the benchmark to judge blocks from any encoder.
#include <mutex>
#include <algorithm>
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
// Nearest 7-bit mode-5 colour endpoint of each 8-bit value, read back as
// (q << 1) | (q >> 6); built with the endpoint table.
u8 g_mode5_quant[256];

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

void buildQuantTable() {
  for (i32 c = 0; c < 256; c++) {
    i32 best = 0, bestErr = 1 << 30;
    for (i32 q = 0; q < 128; q++) {
      i32 d = expand7(q) - c;
      if (d * d < bestErr) {
        bestErr = d * d;
        best = q;
      }
    }
    g_mode5_quant[c] = (u8)best;
  }
}

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
  buildQuantTable();
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
  // Index fields packed whole: the anchor (index 0) has one bit less.
  u32 cbits = ci[0], abits = ai[0];
  for (int i = 1; i < 16; i++) {
    cbits |= (u32)ci[i] << (2 * i - 1);
    abits |= (u32)ai[i] << (2 * i - 1);
  }
  w.put(cbits, 31);
  w.put(abits, 31);
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
  u64 bits = idx[0];
  for (int i = 1; i < 16; i++) bits |= (u64)idx[i] << (4 * i - 1);
  w.put((u32)bits, 32);
  w.put((u32)(bits >> 32), 31);
  w.flush();
}

// Every colour index 1 (the anchor's top bit is clear, so nothing is swapped),
// every alpha index 0; written field by field without the general encoder.
void packMode5Solid(u8* block, const u8* px) {
  BitWriter w{block, 0};
  w.put(1u << 5, 6);
  w.put(0, 2);
  for (int c = 0; c < 3; c++) {
    const endpoint_err& e = g_bc7_mode_5_optimal_endpoints[px[c]];
    w.put((u32)e.m_lo | (u32)e.m_hi << 7, 14);
  }
  w.put((u32)px[3] | (u32)px[3] << 8, 16);
  w.put(0x2AAAAAABu, 31);  // index 1 everywhere: the anchor bit, then fifteen pairs 01
  w.put(0, 31);
  w.flush();
}

// The fits work on the block in planar form: for each channel, four vectors of
// four pixels, so that one operation serves four pixels. Endpoints are vectors
// of (R, G, B, A). `lanes` selects the channels a fit covers (bit c: channel c).
typedef f32 f4 __attribute__((vector_size(16)));
typedef i32 i4 __attribute__((vector_size(16)));

inline f32 hsum(f4 v) { return (v[0] + v[1]) + (v[2] + v[3]); }
inline f4 splat(f32 v) { return f4{v, v, v, v}; }
inline f4 clamp255(f4 v) {
  const f4 zero = splat(0), top = splat(255);
  v = v < zero ? zero : v;
  return v > top ? top : v;
}
inline i4 roundToInt(f4 v) { return __builtin_convertvector(clamp255(v) + 0.5f, i4); }

inline i32 clampi(i32 v, i32 lo, i32 hi) { return v < lo ? lo : (v > hi ? hi : v); }

constexpr u32 kRgb = 7, kRgba = 15, kAlpha = 8;
// Squared error per channel of a block (16 pixels, a mean of 3 each) below which
// the least-squares refinement is skipped: it rarely gains there.
constexpr i32 kGoodEnough = 48;

struct BlockPixels {
  f4 f[4][4];  // channel, group of four pixels
  i4 i[4][4];
  const u8* px;  // row-major RGBA
};

inline void loadPixels(const u8* px, BlockPixels* b) {
  b->px = px;
  typedef u8 u8x16 __attribute__((vector_size(16)));
  for (int g = 0; g < 4; g++) {
    u8x16 row;
    std::memcpy(&row, px + g * 16, 16);
    b->i[0][g] = __builtin_convertvector(__builtin_shufflevector(row, row, 0, 4, 8, 12), i4);
    b->i[1][g] = __builtin_convertvector(__builtin_shufflevector(row, row, 1, 5, 9, 13), i4);
    b->i[2][g] = __builtin_convertvector(__builtin_shufflevector(row, row, 2, 6, 10, 14), i4);
    b->i[3][g] = __builtin_convertvector(__builtin_shufflevector(row, row, 3, 7, 11, 15), i4);
    for (int c = 0; c < 4; c++) b->f[c][g] = __builtin_convertvector(b->i[c][g], f4);
  }
}

inline f4 pixelAt(const BlockPixels& b, int i) {
  const u8* p = b.px + i * 4;
  return f4{(f32)p[0], (f32)p[1], (f32)p[2], (f32)p[3]};
}

// The pixels with the smallest and largest projection on the principal axis of
// the selected channels' covariance (three power-iteration steps, normalised only
// when the squared length exceeds 1e-6).
struct Covariance {
  f32 m[4][4];
};

// Covariance of the selected channels (zero elsewhere).
template <u32 lanes>
Covariance blockCovariance(const BlockPixels& b) {
  f4 d[4][4] = {};
  for (int c = 0; c < 4; c++) {
    if (!(lanes & (1u << c))) continue;
    f32 mean = hsum(b.f[c][0] + b.f[c][1] + b.f[c][2] + b.f[c][3]) * (1.0f / 16.0f);
    for (int g = 0; g < 4; g++) d[c][g] = b.f[c][g] - mean;
  }
  Covariance cv{};
  for (int r = 0; r < 4; r++)
    for (int c = r; c < 4; c++) {
      if (!(lanes & (1u << r)) || !(lanes & (1u << c))) continue;
      cv.m[r][c] = cv.m[c][r] =
          hsum(d[r][0] * d[c][0] + d[r][1] * d[c][1] + d[r][2] * d[c][2] + d[r][3] * d[c][3]);
    }
  return cv;
}

template <u32 lanes>
void axisExtremes(const BlockPixels& b, const Covariance& cv, f4* lo, f4* hi) {
  const auto& cov = cv.m;
  // Start from the covariance column of the widest channel: a fixed start such as
  // (1, 1, 1) is orthogonal to anti-correlated channels and would collapse.
  constexpr int kFirst = lanes & 1 ? 0 : 3;  // alpha alone starts at channel 3
  int widest = kFirst;
  for (int c = kFirst + 1; c < 4; c++)
    if ((lanes & (1u << c)) && cov[c][c] > cov[widest][widest]) widest = c;
  f32 axis[4] = {};
  for (int r = 0; r < 4; r++)
    if (lanes & (1u << r)) axis[r] = cov[r][widest];
  // Only the direction matters (the extremes are compared, not measured), and
  // three products of entries below 2^20 stay far inside f32: no normalising.
  for (int it = 0; it < 3; it++) {
    f32 next[4] = {};
    for (int r = 0; r < 4; r++)
      for (int c = 0; c < 4; c++)
        if ((lanes & (1u << r)) && (lanes & (1u << c))) next[r] += cov[r][c] * axis[c];
    for (int r = 0; r < 4; r++) axis[r] = next[r];
  }
  // Extremes over four pixels at a time, keeping the first pixel on ties.
  f4 minP = splat(3.4028235e38f), maxP = splat(-3.4028235e38f);
  i4 minI = {0, 1, 2, 3}, maxI = minI;
  for (int g = 0; g < 4; g++) {
    f4 p = splat(0);
    for (int c = 0; c < 4; c++)
      if (lanes & (1u << c)) p += b.f[c][g] * axis[c];
    const i4 at = i4{0, 1, 2, 3} + g * 4;
    i4 lower = p < minP, higher = p > maxP;
    minP = lower ? p : minP;
    minI = lower ? at : minI;
    maxP = higher ? p : maxP;
    maxI = higher ? at : maxI;
  }
  int mi = minI[0], ma = maxI[0];
  f32 mv = minP[0], xv = maxP[0];
  for (int k = 1; k < 4; k++) {
    if (minP[k] < mv || (minP[k] == mv && minI[k] < mi)) mv = minP[k], mi = minI[k];
    if (maxP[k] > xv || (maxP[k] == xv && maxI[k] < ma)) xv = maxP[k], ma = maxI[k];
  }
  *lo = pixelAt(b, mi);
  *hi = pixelAt(b, ma);
}

// Grey opaque blocks lie on the (1, 1, 1) axis: their darkest and brightest pixels.
void greyExtremes(const BlockPixels& b, f4* lo, f4* hi) {
  f4 mn = b.f[0][0], mx = b.f[0][0];
  for (int g = 1; g < 4; g++) {
    mn = b.f[0][g] < mn ? b.f[0][g] : mn;
    mx = b.f[0][g] > mx ? b.f[0][g] : mx;
  }
  f32 l = std::min(std::min(mn[0], mn[1]), std::min(mn[2], mn[3]));
  f32 h = std::max(std::max(mx[0], mx[1]), std::max(mx[2], mx[3]));
  *lo = f4{l, l, l, 255};
  *hi = f4{h, h, h, 255};
}

// Mode-6 endpoints: each channel c quantised to min((c + (1 - p)) >> 1, 127) and
// read back as (q << 1) | p. With fixedP >= 0 both p-bits are that value,
// otherwise the four combinations are tried on the endpoint error.
void quantizeMode6(f4 lo, f4 hi, i4 laneMask, i32 fixedP, i4* q0, i4* q1, i32* p0, i32* p1) {
  i4 c0 = roundToInt(lo), c1 = roundToInt(hi);
  i32 bestErr = 1 << 30;
  for (i32 pp = 0; pp < 4; pp++) {
    i32 a = pp >> 1, b = pp & 1;
    if (fixedP >= 0 && (a != fixedP || b != fixedP)) continue;
    i4 t0 = (c0 + (1 - a)) >> 1, t1 = (c1 + (1 - b)) >> 1;
    t0 = t0 > 127 ? 127 : t0;
    t1 = t1 > 127 ? 127 : t1;
    f4 d0 = __builtin_convertvector((((t0 << 1) | a) - c0) & laneMask, f4);
    f4 d1 = __builtin_convertvector((((t1 << 1) | b) - c1) & laneMask, f4);
    i32 err = (i32)hsum(d0 * d0 + d1 * d1);
    if (err < bestErr) {
      bestErr = err;
      *p0 = a;
      *p1 = b;
      *q0 = t0;
      *q1 = t1;
    }
  }
}

// The interpolation weights of indices k, computed rather than looked up: the
// 2-bit weights are floor((64k + 1) / 3) and the 4-bit ones floor((64k + 7) / 15).
// Half added to the numerator keeps the float quotient clear of the next integer.
template <int count>
inline f4 weightOf(i4 k) {
  f4 kf = __builtin_convertvector(k, f4);
  f4 q = count == 4 ? (kf * 64.0f + 1.5f) * (1.0f / 3.0f) : (kf * 64.0f + 7.5f) * (1.0f / 15.0f);
  return __builtin_convertvector(__builtin_convertvector(q, i4), f4);
}

// Index per pixel: its projection on the endpoint line (the palette lies on it);
// returns the exact total squared error of the chosen palette entries.
template <u32 lanes, int count, b8 withError = true>
i32 assignIndices(const BlockPixels& b, i4 e0, i4 e1, u8* idx) {
  f32 d[4] = {}, len2 = 0;
  for (int c = 0; c < 4; c++)
    if (lanes & (1u << c)) {
      d[c] = (f32)(e1[c] - e0[c]);
      len2 += d[c] * d[c];
    }
  f32 scale = (f32)(count - 1) / (len2 + 1e-6f);
  // Float arithmetic throughout: every value is a small integer, exact in f32,
  // and 32-bit integer multiplies are slow on plain SSE2.
  f4 fe0[4], fe1[4];
  for (int c = 0; c < 4; c++) {
    fe0[c] = splat((f32)e0[c]);
    fe1[c] = splat((f32)e1[c]);
  }
  f4 err = splat(0);
  for (int g = 0; g < 4; g++) {
    f4 t = splat(0);
    for (int c = 0; c < 4; c++)
      if (lanes & (1u << c)) t += (b.f[c][g] - (f32)e0[c]) * d[c];
    i4 k = __builtin_convertvector(t * scale + 1.5f, i4) - 1;
    k = k < 0 ? 0 : k;
    k = k > count - 1 ? count - 1 : k;
    for (int j = 0; j < 4; j++) idx[g * 4 + j] = (u8)k[j];
    if (!withError) continue;
    f4 w = weightOf<count>(k);
    f4 v = 64.0f - w;
    for (int c = 0; c < 4; c++)
      if (lanes & (1u << c)) {
        // (e0 (64 - w) + e1 w + 32) >> 6: non-negative, so truncation is the shift.
        f4 pal = __builtin_convertvector(
            __builtin_convertvector((fe0[c] * v + fe1[c] * w + 32.0f) * (1.0f / 64.0f), i4), f4);
        f4 diff = pal - b.f[c][g];
        err += diff * diff;
      }
  }
  return (i32)hsum(err);
}

// Least-squares endpoints for fixed indices: minimises the sum over pixels of
// ((1 - w) e0 + w e1 - x)^2 per channel. False when the weights are degenerate.
template <u32 lanes>
b8 leastSquares(const BlockPixels& b, const u8* idx, const u8* weights, f4* lo, f4* hi) {
  f4 aa = splat(0), ab = splat(0), bb = splat(0), ax[4] = {}, bx[4] = {};
  for (int g = 0; g < 4; g++) {
    const u8* k = idx + g * 4;
    f4 w = f4{(f32)weights[k[0]], (f32)weights[k[1]], (f32)weights[k[2]], (f32)weights[k[3]]} * (1.0f / 64.0f);
    f4 v = 1.0f - w;
    aa += v * v;
    ab += v * w;
    bb += w * w;
    for (int c = 0; c < 4; c++)
      if (lanes & (1u << c)) {
        ax[c] += v * b.f[c][g];
        bx[c] += w * b.f[c][g];
      }
  }
  f32 a = hsum(aa), m = hsum(ab), bsum = hsum(bb);
  f32 det = a * bsum - m * m;
  if (std::fabs(det) < 1e-6f) return false;
  f32 inv = 1.0f / det;
  f4 l = splat(0), h = splat(0);
  for (int c = 0; c < 4; c++)
    if (lanes & (1u << c)) {
      f32 sa = hsum(ax[c]), sb = hsum(bx[c]);
      l[c] = (sa * bsum - sb * m) * inv;
      h[c] = (sb * a - sa * m) * inv;
    }
  *lo = clamp255(l);
  *hi = clamp255(h);
  return true;
}

inline i4 pbitEndpoint(i4 q, i32 p) { return (q << 1) | p; }

// Opaque blocks store alpha endpoints 127 with p-bits 1: alpha 255.
void encodeFit6(u8* block, i4 q0, i4 q1, i32 p0, i32 p1, b8 opaque, u8* idx) {
  i32 e0[4] = {q0[0], q0[1], q0[2], opaque ? 127 : q0[3]};
  i32 e1[4] = {q1[0], q1[1], q1[2], opaque ? 127 : q1[3]};
  encodeMode6(block, e0, e1, p0, p1, idx);
}

// Mode 6 over RGB (opaque: alpha endpoints 127 with p-bits 1, so alpha is 255)
// or RGBA: principal-axis endpoints, then one least-squares refinement kept only
// when it lowers the error.
template <u32 lanes>
void compressMode6(const BlockPixels& b, b8 grey, const Covariance& cv, u8* block) {
  constexpr b8 opaque = lanes == kRgb;
  const i4 laneMask = opaque ? i4{-1, -1, -1, 0} : i4{-1, -1, -1, -1};
  const i32 fixedP = opaque ? 1 : -1;
  f4 lo, hi;
  if (grey)
    greyExtremes(b, &lo, &hi);
  else
    axisExtremes<lanes>(b, cv, &lo, &hi);
  i4 q0, q1;
  i32 p0 = 1, p1 = 1;
  quantizeMode6(lo, hi, laneMask, fixedP, &q0, &q1, &p0, &p1);
  u8 idx[16];
  // Refined only when opaque and in colour (blocks with alpha keep the single
  // fit: the refinement costs half again for under a decibel; grey ones gain
  // nothing), and not when the fit is already close.
  if (!opaque || grey) {
    assignIndices<lanes, 16, false>(b, pbitEndpoint(q0, p0), pbitEndpoint(q1, p1), idx);
    encodeFit6(block, q0, q1, p0, p1, opaque, idx);
    return;
  }
  i32 err = assignIndices<lanes, 16>(b, pbitEndpoint(q0, p0), pbitEndpoint(q1, p1), idx);
  f4 rlo, rhi;
  if (err > kGoodEnough * 3 && leastSquares<lanes>(b, idx, kWeights4, &rlo, &rhi)) {
    i4 t0, t1;
    i32 tp0 = 1, tp1 = 1;
    quantizeMode6(rlo, rhi, laneMask, fixedP, &t0, &t1, &tp0, &tp1);
    u8 tidx[16];
    i32 terr = assignIndices<lanes, 16>(b, pbitEndpoint(t0, tp0), pbitEndpoint(t1, tp1), tidx);
    if (terr < err) {
      std::memcpy(idx, tidx, 16);
      q0 = t0;
      q1 = t1;
      p0 = tp0;
      p1 = tp1;
    }
  }
  encodeFit6(block, q0, q1, p0, p1, opaque, idx);
}

inline i32 quant5(i32 c) { return g_mode5_quant[c]; }

inline i4 quant5(f4 v) {
  i4 c = roundToInt(v);
  return i4{quant5(c[0]), quant5(c[1]), quant5(c[2]), 0};
}

inline i4 expand7(i4 q) { return (q << 1) | (q >> 6); }

// Mode 5 for blocks whose alpha varies independently of colour: a principal-axis
// colour fit (7-bit endpoints, 2-bit indices) and a separate alpha range.
void compressMode5(const BlockPixels& b, const Covariance& cv, u8* block) {
  f4 lo, hi;
  axisExtremes<kRgb>(b, cv, &lo, &hi);
  i4 c0 = quant5(lo), c1 = quant5(hi);
  u8 ci[16];
  assignIndices<kRgb, 4, false>(b, expand7(c0), expand7(c1), ci);
  i4 amin = b.i[3][0], amax = b.i[3][0];
  for (int g = 1; g < 4; g++) {
    amin = b.i[3][g] < amin ? b.i[3][g] : amin;
    amax = b.i[3][g] > amax ? b.i[3][g] : amax;
  }
  i4 a0 = {0, 0, 0, std::min(std::min(amin[0], amin[1]), std::min(amin[2], amin[3]))};
  i4 a1 = {0, 0, 0, std::max(std::max(amax[0], amax[1]), std::max(amax[2], amax[3]))};
  u8 ai[16];
  assignIndices<kAlpha, 4, false>(b, a0, a1, ai);
  i32 e0[3] = {c0[0], c0[1], c0[2]}, e1[3] = {c1[0], c1[1], c1[2]};
  encodeMode5(block, e0, e1, a0[3], a1[3], ci, ai);
}

// Alpha weakly tied to colour (and varying): mode 5 keeps it on its own indices.
b8 alphaIndependent(const Covariance& cv) {
  const auto& m = cv.m;
  f32 covSq = m[0][3] * m[0][3] + m[1][3] * m[1][3] + m[2][3] * m[2][3];
  f32 colourVar = m[0][0] + m[1][1] + m[2][2];
  return m[3][3] > 16.0f && covSq < colourVar * m[3][3] * 0.25f;
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

// Two-subset partitions of the format: bit i is the subset of pixel i.
const u16 kPartitions2[64] = {
    0xCCCC, 0x8888, 0xEEEE, 0xECC8, 0xC880, 0xFEEC, 0xFEC8, 0xEC80, 0xC800, 0xFFEC, 0xFE80, 0xE800, 0xFFE8,
    0xFF00, 0xFFF0, 0xF000, 0xF710, 0x008E, 0x7100, 0x08CE, 0x008C, 0x7310, 0x3100, 0x8CCE, 0x088C, 0x3110,
    0x6666, 0x366C, 0x17E8, 0x0FF0, 0x718E, 0x399C, 0xAAAA, 0xF0F0, 0x5A5A, 0x33CC, 0x3C3C, 0x55AA, 0x9696,
    0xA55A, 0x73CE, 0x13C8, 0x324C, 0x3BDC, 0x6996, 0xC33C, 0x9966, 0x0660, 0x0272, 0x04E4, 0x4E40, 0x2720,
    0xC936, 0x936C, 0x39C6, 0x639C, 0x9336, 0x9CC6, 0x817E, 0xE718, 0xCCF0, 0x0FCC, 0x7744, 0xEE22,
};
// The anchor pixel of the second subset of each two-subset partition.
const u8 kAnchors2[64] = {
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 2,  8, 2,  2, 8,  8,  15, 2, 8,  2, 2,
    8,  8,  2,  2,  15, 15, 6,  8,  2,  8,  15, 15, 2,  8,  2,  2,  2, 15, 15, 6,  6, 2,  6,  8,  15, 15, 2, 2,
    15, 15, 15, 15, 15, 2,  2,  15,
};

const u8* weightsFor(u32 bits) { return bits == 2 ? kWeights2 : (bits == 3 ? kWeights3 : kWeights4); }

inline i32 expandBits(u32 v, u32 n) { return (i32)((v << (8 - n)) | (v >> (2 * n - 8))); }

}  // namespace

void bc7f_init() {
  static std::once_flag once;
  std::call_once(once, buildTable);
}

void bc7f_compress_block(const u8* px, u8* block) {
  // Classified on whole pixels (little-endian words 0xAABBGGRR), four at a time.
  typedef u32 u4 __attribute__((vector_size(16)));
  u4 w[4];
  std::memcpy(w, px, 64);
  u32 first;
  std::memcpy(&first, px, 4);
  u4 notOpaque = {0, 0, 0, 0}, notSame = notOpaque, notGrey = notOpaque;
  for (int g = 0; g < 4; g++) {
    notOpaque |= ~w[g] & 0xFF000000u;
    notSame |= (w[g] ^ first) & 0x00FFFFFFu;
    notGrey |= (w[g] ^ (w[g] >> 8)) & 0x0000FFFFu;  // R != G or G != B
  }
  const b8 opaque = (notOpaque[0] | notOpaque[1] | notOpaque[2] | notOpaque[3]) == 0;
  const b8 sameRgb = (notSame[0] | notSame[1] | notSame[2] | notSame[3]) == 0;
  const b8 grey = (notGrey[0] | notGrey[1] | notGrey[2] | notGrey[3]) == 0;
  if (opaque && sameRgb) {
    packMode5Solid(block, px);
    return;
  }
  BlockPixels b;
  loadPixels(px, &b);
  if (opaque) {
    Covariance cv = grey ? Covariance{} : blockCovariance<kRgb>(b);
    compressMode6<kRgb>(b, grey, cv, block);
    return;
  }
  Covariance cv = blockCovariance<kRgba>(b);
  if (alphaIndependent(cv))
    compressMode5(b, cv, block);
  else
    compressMode6<kRgba>(b, false, cv, block);
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
      if (bx * 4 + 4 <= width && by * 4 + 4 <= height) {
        for (u32 y = 0; y < 4; y++) std::memcpy(px + y * 16, rgba + ((u64)(by * 4 + y) * width + bx * 4) * 4, 16);
      } else {
        for (u32 y = 0; y < 4; y++) {
          u32 sy = by * 4 + y < height ? by * 4 + y : height - 1;
          for (u32 x = 0; x < 4; x++) {
            u32 sx = bx * 4 + x < width ? bx * 4 + x : width - 1;
            std::memcpy(px + (y * 4 + x) * 4, rgba + ((u64)sy * width + sx) * 4, 4);
          }
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
  if (m.subsets > 2) return false;  // three-subset modes are not decoded here
  BitReader r{block, mode + 1};
  u32 partition = r.get(m.partitionBits);
  u32 rotation = r.get(m.rotationBits);
  u32 indexSel = r.get(m.indexSelBits);
  const u32 ends = m.subsets * 2;  // endpoint e of subset s is at 2s + e
  u32 ep[4][4];
  for (int c = 0; c < 3; c++)
    for (u32 e = 0; e < ends; e++) ep[e][c] = r.get(m.colorBits);
  for (u32 e = 0; e < ends; e++) ep[e][3] = m.alphaBits ? r.get(m.alphaBits) : 255;
  u32 pb[4] = {0, 0, 0, 0};
  if (m.endpointPBits)
    for (u32 e = 0; e < ends; e++) pb[e] = r.get(1);
  if (m.sharedPBits)
    for (u32 sub = 0; sub < m.subsets; sub++) pb[sub * 2] = pb[sub * 2 + 1] = r.get(1);
  const b8 pbits = m.endpointPBits || m.sharedPBits;
  i32 col[4][4];
  for (u32 e = 0; e < ends; e++) {
    for (int c = 0; c < 4; c++) {
      u32 bits = c < 3 ? m.colorBits : m.alphaBits;
      if (c == 3 && m.alphaBits == 0) {
        col[e][c] = 255;
        continue;
      }
      u32 v = ep[e][c];
      if (pbits) {
        v = (v << 1) | pb[e];
        bits++;
      }
      col[e][c] = expandBits(v, bits);
    }
  }
  const u16 subsetMask = m.subsets == 2 ? kPartitions2[partition] : 0;
  const u32 anchor2 = m.subsets == 2 ? kAnchors2[partition] : 0;
  auto isAnchor = [&](int i) { return i == 0 || (m.subsets == 2 && (u32)i == anchor2); };
  u8 idx1[16], idx2[16];
  for (int i = 0; i < 16; i++) idx1[i] = (u8)r.get(isAnchor(i) ? m.indexBits - 1 : m.indexBits);
  if (m.index2Bits)
    for (int i = 0; i < 16; i++) idx2[i] = (u8)r.get(i == 0 ? m.index2Bits - 1 : m.index2Bits);
  for (int i = 0; i < 16; i++) {
    u32 sub = (subsetMask >> i) & 1;
    const i32* e0 = col[sub * 2];
    const i32* e1 = col[sub * 2 + 1];
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
    for (int c = 0; c < 3; c++) px[c] = interp(e0[c], e1[c], weightsFor(cBits)[ci]);
    px[3] = interp(e0[3], e1[3], weightsFor(aBits)[ai]);
    if (rotation) {
      i32 t = px[3];
      px[3] = px[rotation - 1];
      px[rotation - 1] = t;
    }
    for (int c = 0; c < 4; c++) out[i * 4 + c] = (u8)px[c];
  }
  return true;
}
