// Vector, quaternion and matrix records shared by physics, camera and renderer.
// Physics and camera math is f64; the f32 forms exist only for GPU data.
#pragma once

#include <cmath>

#include "platform/types.h"

struct v2 { f64 x, y; };
// Four lanes; the fourth is kept 0 so that lane-wise code may use it freely.
struct v3 { f64 x, y, z, w; };
// Also used for quaternions (x, y, z, w), identity (0, 0, 0, 1).
struct v4 { f64 x, y, z, w; };

struct v2f { f32 x, y; };
struct v3f { f32 x, y, z, w; };
struct v4f { f32 x, y, z, w; };

// Three columns.
struct mat3 { v3 c[3]; };
// Column-major: element 4 * column + row.
struct mat4 { f64 m[16]; };
struct mat4f32 { f32 m[16]; };

struct Transform { v3 position; v4 orientation; };
struct Aabb { v3 min, max; };

inline constexpr f64 kPi = 3.14159265358979323846;

inline constexpr v3 V3(f64 x, f64 y, f64 z) { return v3{x, y, z, 0.0}; }
inline constexpr v4 V4(f64 x, f64 y, f64 z, f64 w) { return v4{x, y, z, w}; }
inline constexpr v4 quatIdentity() { return v4{0.0, 0.0, 0.0, 1.0}; }

inline v3 operator+(v3 a, v3 b) { return v3{a.x + b.x, a.y + b.y, a.z + b.z, 0.0}; }
inline v3 operator-(v3 a, v3 b) { return v3{a.x - b.x, a.y - b.y, a.z - b.z, 0.0}; }
inline v3 operator-(v3 a) { return v3{-a.x, -a.y, -a.z, 0.0}; }
inline v3 operator*(v3 a, f64 s) { return v3{a.x * s, a.y * s, a.z * s, 0.0}; }
inline v3 operator*(f64 s, v3 a) { return v3{a.x * s, a.y * s, a.z * s, 0.0}; }
inline v3 operator/(v3 a, f64 s) { return v3{a.x / s, a.y / s, a.z / s, 0.0}; }
inline v3& operator+=(v3& a, v3 b) { a = a + b; return a; }
inline v3& operator-=(v3& a, v3 b) { a = a - b; return a; }
inline v3& operator*=(v3& a, f64 s) { a = a * s; return a; }

inline v3 v3Mul(v3 a, v3 b) { return v3{a.x * b.x, a.y * b.y, a.z * b.z, 0.0}; }
inline v3 v3Min(v3 a, v3 b) { return v3{std::fmin(a.x, b.x), std::fmin(a.y, b.y), std::fmin(a.z, b.z), 0.0}; }
inline v3 v3Max(v3 a, v3 b) { return v3{std::fmax(a.x, b.x), std::fmax(a.y, b.y), std::fmax(a.z, b.z), 0.0}; }
inline v3 v3Abs(v3 a) { return v3{std::fabs(a.x), std::fabs(a.y), std::fabs(a.z), 0.0}; }
inline f64 v3Dot(v3 a, v3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline v3 v3Cross(v3 a, v3 b) {
  return v3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x, 0.0};
}
inline f64 v3LengthSq(v3 a) { return v3Dot(a, a); }
inline f64 v3Length(v3 a) { return std::sqrt(v3Dot(a, a)); }
// Zero vector for lengths below 1e-10 (the engine's zero-direction tolerance).
inline v3 v3Normalize(v3 a) {
  f64 l = v3Length(a);
  return l > 1e-10 ? a * (1.0 / l) : v3{0.0, 0.0, 0.0, 0.0};
}
inline f64 v3Get(v3 a, int i) { return i == 0 ? a.x : (i == 1 ? a.y : a.z); }
inline void v3Set(v3& a, int i, f64 v) { if (i == 0) a.x = v; else if (i == 1) a.y = v; else a.z = v; }

inline v4 operator+(v4 a, v4 b) { return v4{a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w}; }
inline v4 operator-(v4 a, v4 b) { return v4{a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w}; }
inline v4 operator*(v4 a, f64 s) { return v4{a.x * s, a.y * s, a.z * s, a.w * s}; }
inline f64 v4Dot(v4 a, v4 b) { return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w; }
inline f64 v4Length(v4 a) { return std::sqrt(v4Dot(a, a)); }

// Hamilton product a * b: rotating by the result rotates by b first, then a.
inline v4 quatMul(v4 a, v4 b) {
  return v4{a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w,
            a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}
inline v4 quatConjugate(v4 q) { return v4{-q.x, -q.y, -q.z, q.w}; }
inline v4 quatNormalize(v4 q) {
  f64 l = v4Length(q);
  return l > 1e-10 ? q * (1.0 / l) : quatIdentity();
}
// v + 2w(u x v) + 2u x (u x v), u the vector part.
inline v3 quatRotate(v4 q, v3 v) {
  v3 u{q.x, q.y, q.z, 0.0};
  v3 t = v3Cross(u, v);
  return v + t * (2.0 * q.w) + v3Cross(u, t) * 2.0;
}
inline v4 quatFromAxisAngle(v3 axis, f64 angle) {
  v3 a = v3Normalize(axis);
  f64 s = std::sin(angle * 0.5);
  return v4{a.x * s, a.y * s, a.z * s, std::cos(angle * 0.5)};
}

inline mat3 mat3Identity() { return mat3{{V3(1, 0, 0), V3(0, 1, 0), V3(0, 0, 1)}}; }
inline v3 mat3MulV(const mat3& m, v3 v) { return m.c[0] * v.x + m.c[1] * v.y + m.c[2] * v.z; }
inline mat3 mat3Transpose(const mat3& m) {
  return mat3{{V3(m.c[0].x, m.c[1].x, m.c[2].x), V3(m.c[0].y, m.c[1].y, m.c[2].y),
               V3(m.c[0].z, m.c[1].z, m.c[2].z)}};
}
inline mat3 mat3Mul(const mat3& a, const mat3& b) {
  return mat3{{mat3MulV(a, b.c[0]), mat3MulV(a, b.c[1]), mat3MulV(a, b.c[2])}};
}
inline mat3 mat3Zero() { return mat3{{V3(0, 0, 0), V3(0, 0, 0), V3(0, 0, 0)}}; }
inline mat3 mat3Add(const mat3& a, const mat3& b) {
  return mat3{{a.c[0] + b.c[0], a.c[1] + b.c[1], a.c[2] + b.c[2]}};
}
inline mat3 mat3Scale(const mat3& a, f64 s) { return mat3{{a.c[0] * s, a.c[1] * s, a.c[2] * s}}; }
// Cross-product matrix: mat3Skew(a) * v == a x v.
inline mat3 mat3Skew(v3 a) { return mat3{{V3(0, a.z, -a.y), V3(-a.z, 0, a.x), V3(a.y, -a.x, 0)}}; }
inline f64 mat3Det(const mat3& m) { return v3Dot(m.c[0], v3Cross(m.c[1], m.c[2])); }
// Cofactor inverse; the zero matrix when |det| < 1e-10 (singular rows stay silent).
inline mat3 mat3Inverse(const mat3& m) {
  f64 det = mat3Det(m);
  if (std::fabs(det) < 1e-10) return mat3Zero();
  f64 inv = 1.0 / det;
  // Rows of the inverse are the cross products of the columns.
  v3 r0 = v3Cross(m.c[1], m.c[2]) * inv;
  v3 r1 = v3Cross(m.c[2], m.c[0]) * inv;
  v3 r2 = v3Cross(m.c[0], m.c[1]) * inv;
  return mat3{{V3(r0.x, r1.x, r2.x), V3(r0.y, r1.y, r2.y), V3(r0.z, r1.z, r2.z)}};
}
inline mat3 mat3FromQuat(v4 q) {
  f64 x = q.x, y = q.y, z = q.z, w = q.w;
  return mat3{{V3(1 - 2 * (y * y + z * z), 2 * (x * y + w * z), 2 * (x * z - w * y)),
               V3(2 * (x * y - w * z), 1 - 2 * (x * x + z * z), 2 * (y * z + w * x)),
               V3(2 * (x * z + w * y), 2 * (y * z - w * x), 1 - 2 * (x * x + y * y))}};
}

inline mat4 mat4Identity() {
  mat4 r{};
  r.m[0] = r.m[5] = r.m[10] = r.m[15] = 1.0;
  return r;
}
inline mat4 mat4Mul(const mat4& a, const mat4& b) {
  mat4 r{};
  for (int c = 0; c < 4; ++c)
    for (int row = 0; row < 4; ++row) {
      f64 s = 0.0;
      for (int k = 0; k < 4; ++k) s += a.m[4 * k + row] * b.m[4 * c + k];
      r.m[4 * c + row] = s;
    }
  return r;
}
inline v4 mat4MulV4(const mat4& a, v4 v) {
  return v4{a.m[0] * v.x + a.m[4] * v.y + a.m[8] * v.z + a.m[12] * v.w,
            a.m[1] * v.x + a.m[5] * v.y + a.m[9] * v.z + a.m[13] * v.w,
            a.m[2] * v.x + a.m[6] * v.y + a.m[10] * v.z + a.m[14] * v.w,
            a.m[3] * v.x + a.m[7] * v.y + a.m[11] * v.z + a.m[15] * v.w};
}
inline mat4f32 mat4ToF32(const mat4& a) {
  mat4f32 r;
  for (int i = 0; i < 16; ++i) r.m[i] = (f32)a.m[i];
  return r;
}
