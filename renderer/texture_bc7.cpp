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

// Principal axis of the covariance by power iteration over `dims` channels.
template <int dims>
void principalAxis(const f32* cov, f32* axis) {
  // Start from the covariance column of the widest channel: a fixed start such as
  // (1, 1, 1) is orthogonal to anti-correlated channels and would collapse.
  int widest = 0;
  for (int c = 1; c < dims; c++)
    if (cov[c * 4 + c] > cov[widest * 4 + widest]) widest = c;
  for (int c = 0; c < dims; c++) axis[c] = cov[c * 4 + widest];
  for (int it = 0; it < 3; it++) {
    f32 next[4] = {0, 0, 0, 0};
    for (int r = 0; r < dims; r++)
      for (int c = 0; c < dims; c++) next[r] += cov[r * 4 + c] * axis[c];
    f32 len2 = 0;
    for (int c = 0; c < dims; c++) len2 += next[c] * next[c];
    if (len2 > 1e-6f) {
      f32 inv = 1.0f / std::sqrt(len2);
      for (int c = 0; c < dims; c++) next[c] *= inv;
    }
    for (int c = 0; c < dims; c++) axis[c] = next[c];
  }
}

// The pixels with the smallest and largest projection on the principal axis.
template <int dims>
void axisExtremes(const u8* px, f32* lo, f32* hi) {
  f32 mean[4] = {0, 0, 0, 0};
  for (int i = 0; i < 16; i++)
    for (int c = 0; c < dims; c++) mean[c] += px[i * 4 + c];
  for (int c = 0; c < dims; c++) mean[c] /= 16.0f;
  f32 cov[16] = {};
  for (int i = 0; i < 16; i++) {
    f32 d[4];
    for (int c = 0; c < dims; c++) d[c] = px[i * 4 + c] - mean[c];
    for (int r = 0; r < dims; r++)
      for (int c = 0; c < dims; c++) cov[r * 4 + c] += d[r] * d[c];
  }
  f32 axis[4];
  principalAxis<dims>(cov, axis);
  f32 minP = 3.4028235e38f, maxP = -3.4028235e38f;
  int minI = 0, maxI = 0;
  for (int i = 0; i < 16; i++) {
    f32 p = 0;
    for (int c = 0; c < dims; c++) p += px[i * 4 + c] * axis[c];
    if (p < minP) {
      minP = p;
      minI = i;
    }
    if (p > maxP) {
      maxP = p;
      maxI = i;
    }
  }
  for (int c = 0; c < dims; c++) {
    lo[c] = px[minI * 4 + c];
    hi[c] = px[maxI * 4 + c];
  }
}

inline i32 clampi(i32 v, i32 lo, i32 hi) { return v < lo ? lo : (v > hi ? hi : v); }
// Rounding for values known to be at least -0.5 (colours and fits clamped to 0..255).
inline i32 roundPos(f32 v) { return (i32)(v + 0.5f); }

// Mode-6 endpoint quantisation with p-bit p: odd or even 8-bit values.
inline i32 quant6(f32 v, i32 p) {
  i32 c = clampi(roundPos(v), 0, 255);
  return clampi((c + (1 - p)) >> 1, 0, 127);
}

// Quantised mode-6 endpoints for the given floats; with fixedP >= 0 both p-bits
// are that value, otherwise the four combinations are tried on endpoint error.
void quantizeMode6(const f32* lo, const f32* hi, int dims, i32 fixedP, i32 q0[4], i32 q1[4], i32* p0, i32* p1) {
  i32 bestErr = 1 << 30;
  for (i32 pp = 0; pp < 4; pp++) {
    i32 a = pp >> 1, b = pp & 1;
    if (fixedP >= 0 && (a != fixedP || b != fixedP)) continue;
    i32 err = 0, t0[4], t1[4];
    for (int c = 0; c < dims; c++) {
      t0[c] = quant6(lo[c], a);
      t1[c] = quant6(hi[c], b);
      i32 d0 = ((t0[c] << 1) | a) - clampi(roundPos(lo[c]), 0, 255);
      i32 d1 = ((t1[c] << 1) | b) - clampi(roundPos(hi[c]), 0, 255);
      err += d0 * d0 + d1 * d1;
    }
    if (err < bestErr) {
      bestErr = err;
      *p0 = a;
      *p1 = b;
      for (int c = 0; c < dims; c++) {
        q0[c] = t0[c];
        q1[c] = t1[c];
      }
    }
  }
}

// Index per pixel over `dims` channels starting at `first`: its projection on
// the endpoint line (the palette lies on that line); returns the total squared
// error.
template <int first, int dims, int count>
u32 assignIndices(const u8* px, const i32* e0, const i32* e1, const u8* weights, u8* idx) {
  i32 pal[16][4];
  for (int k = 0; k < count; k++)
    for (int c = 0; c < dims; c++) pal[k][c] = interp(e0[c], e1[c], weights[k]);
  f32 d[4], len2 = 0;
  for (int c = 0; c < dims; c++) {
    d[c] = (f32)(e1[c] - e0[c]);
    len2 += d[c] * d[c];
  }
  f32 scale = (f32)(count - 1) / (len2 + 1e-6f);
  u32 total = 0;
  for (int i = 0; i < 16; i++) {
    const u8* p = px + i * 4 + first;
    f32 t = 0;
    for (int c = 0; c < dims; c++) t += (f32)(p[c] - e0[c]) * d[c];
    i32 k = clampi((i32)(t * scale + 0.5f + 1.0f) - 1, 0, count - 1);
    u32 best = 0;
    for (int c = 0; c < dims; c++) {
      i32 e = pal[k][c] - p[c];
      best += (u32)(e * e);
    }
    u8 bi = (u8)k;
    idx[i] = bi;
    total += best;
  }
  return total;
}

// Least-squares endpoints for fixed indices: minimises the sum over pixels of
// ((1 - w) e0 + w e1 - x)^2 per channel. False when the weights are degenerate.
template <int first, int dims>
b8 leastSquares(const u8* px, const u8* idx, const u8* weights, f32* lo, f32* hi) {
  f32 aa = 0, ab = 0, bb = 0, ax[4] = {}, bx[4] = {};
  for (int i = 0; i < 16; i++) {
    f32 w = weights[idx[i]] / 64.0f, v = 1.0f - w;
    aa += v * v;
    ab += v * w;
    bb += w * w;
    for (int c = 0; c < dims; c++) {
      ax[c] += v * px[i * 4 + first + c];
      bx[c] += w * px[i * 4 + first + c];
    }
  }
  f32 det = aa * bb - ab * ab;
  if (std::fabs(det) < 1e-6f) return false;
  f32 inv = 1.0f / det;
  for (int c = 0; c < dims; c++) {
    lo[c] = std::fmin(255.0f, std::fmax(0.0f, (ax[c] * bb - bx[c] * ab) * inv));
    hi[c] = std::fmin(255.0f, std::fmax(0.0f, (bx[c] * aa - ax[c] * ab) * inv));
  }
  return true;
}

// Mode 6 over 3 (opaque: alpha endpoints 127 with p-bits 1, so alpha is 255) or
// 4 channels: principal-axis endpoints, then two least-squares refinements kept
// only when they lower the error.
template <int dims>
void compressMode6(const u8* px, u8* block) {
  constexpr b8 opaque = dims == 3;
  i32 fixedP = opaque ? 1 : -1;
  f32 lo[4], hi[4];
  axisExtremes<dims>(px, lo, hi);
  i32 q0[4], q1[4], p0 = 1, p1 = 1;
  quantizeMode6(lo, hi, dims, fixedP, q0, q1, &p0, &p1);
  i32 e0[4], e1[4];
  for (int c = 0; c < dims; c++) {
    e0[c] = (q0[c] << 1) | p0;
    e1[c] = (q1[c] << 1) | p1;
  }
  u8 idx[16];
  u32 err = assignIndices<0, dims, 16>(px, e0, e1, kWeights4, idx);
  for (int it = 0; it < 1 && err > 0; it++) {
    f32 rlo[4], rhi[4];
    if (!leastSquares<0, dims>(px, idx, kWeights4, rlo, rhi)) break;
    i32 t0[4], t1[4], tp0 = 1, tp1 = 1, te0[4], te1[4];
    quantizeMode6(rlo, rhi, dims, fixedP, t0, t1, &tp0, &tp1);
    for (int c = 0; c < dims; c++) {
      te0[c] = (t0[c] << 1) | tp0;
      te1[c] = (t1[c] << 1) | tp1;
    }
    u8 tidx[16];
    u32 terr = assignIndices<0, dims, 16>(px, te0, te1, kWeights4, tidx);
    if (terr >= err) break;
    err = terr;
    std::memcpy(idx, tidx, 16);
    for (int c = 0; c < dims; c++) {
      q0[c] = t0[c];
      q1[c] = t1[c];
    }
    p0 = tp0;
    p1 = tp1;
  }
  if (opaque) {
    q0[3] = 127;
    q1[3] = 127;
  }
  encodeMode6(block, q0, q1, p0, p1, idx);
}

inline i32 quant5(f32 v) {
  i32 c = clampi(roundPos(v), 0, 255);
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

// Mode 5 for blocks whose alpha varies independently of colour: a principal-axis
// colour fit (7-bit endpoints, 2-bit indices) and a separate alpha range.
void compressMode5(const u8* px, u8* block) {
  f32 lo[4], hi[4];
  axisExtremes<3>(px, lo, hi);
  i32 c0[3], c1[3], e0[3], e1[3];
  for (int c = 0; c < 3; c++) {
    c0[c] = quant5(lo[c]);
    c1[c] = quant5(hi[c]);
    e0[c] = expand7(c0[c]);
    e1[c] = expand7(c1[c]);
  }
  u8 ci[16];
  u32 err = assignIndices<0, 3, 4>(px, e0, e1, kWeights2, ci);
  for (int it = 0; it < 1 && err > 0; it++) {
    f32 rlo[4], rhi[4];
    if (!leastSquares<0, 3>(px, ci, kWeights2, rlo, rhi)) break;
    i32 t0[3], t1[3], te0[3], te1[3];
    for (int c = 0; c < 3; c++) {
      t0[c] = quant5(rlo[c]);
      t1[c] = quant5(rhi[c]);
      te0[c] = expand7(t0[c]);
      te1[c] = expand7(t1[c]);
    }
    u8 tci[16];
    u32 terr = assignIndices<0, 3, 4>(px, te0, te1, kWeights2, tci);
    if (terr >= err) break;
    err = terr;
    std::memcpy(ci, tci, 16);
    for (int c = 0; c < 3; c++) {
      c0[c] = t0[c];
      c1[c] = t1[c];
    }
  }
  i32 amin = 255, amax = 0;
  for (int i = 0; i < 16; i++) {
    amin = px[i * 4 + 3] < amin ? px[i * 4 + 3] : amin;
    amax = px[i * 4 + 3] > amax ? px[i * 4 + 3] : amax;
  }
  i32 a0[1] = {amin}, a1[1] = {amax};
  u8 ai[16];
  u32 aerr = assignIndices<3, 1, 4>(px, a0, a1, kWeights2, ai);
  f32 rlo[1], rhi[1];
  if (aerr > 0 && leastSquares<3, 1>(px, ai, kWeights2, rlo, rhi)) {
    i32 t0[1] = {clampi(roundPos(rlo[0]), 0, 255)}, t1[1] = {clampi(roundPos(rhi[0]), 0, 255)};
    u8 tai[16];
    if (assignIndices<3, 1, 4>(px, t0, t1, kWeights2, tai) < aerr) {
      a0[0] = t0[0];
      a1[0] = t1[0];
      std::memcpy(ai, tai, 16);
    }
  }
  encodeMode5(block, c0, c1, a0[0], a1[0], ci, ai);
}

// Alpha weakly tied to colour (and varying): mode 5 keeps it on its own indices.
b8 alphaIndependent(const u8* px) {
  f32 mean[4] = {};
  for (int i = 0; i < 16; i++)
    for (int c = 0; c < 4; c++) mean[c] += px[i * 4 + c];
  for (int c = 0; c < 4; c++) mean[c] /= 16.0f;
  f32 var[4] = {}, cov[3] = {};
  for (int i = 0; i < 16; i++) {
    f32 da = px[i * 4 + 3] - mean[3];
    for (int c = 0; c < 4; c++) {
      f32 d = px[i * 4 + c] - mean[c];
      var[c] += d * d;
    }
    for (int c = 0; c < 3; c++) cov[c] += (px[i * 4 + c] - mean[c]) * da;
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
    if (px[i * 4 + 3] != 255) opaque = false;
    if (px[i * 4] != px[0] || px[i * 4 + 1] != px[1] || px[i * 4 + 2] != px[2]) sameRgb = false;
  }
  if (opaque) {
    if (sameRgb)
      packMode5Solid(block, px);
    else
      compressMode6<3>(px, block);
    return;
  }
  if (alphaIndependent(px))
    compressMode5(px, block);
  else
    compressMode6<4>(px, block);
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
