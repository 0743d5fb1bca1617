#include "ecs/gizmo.h"

#include <cmath>

#include "renderer/lines.h"

namespace {

constexpr f64 kSizeFactor = 0.15;       // handle length and ring radius, per unit of distance
constexpr f64 kArrowStart = 0.1125;     // arrow heads begin here
constexpr f64 kArrowWidth = 0.0125;     // half width of an arrow head
constexpr f64 kKnobOffset = 0.138;      // scale knob centres
constexpr f64 kKnobHalf = 0.006;        // scale knob half extent
constexpr f64 kPickSegment = 0.12;      // translation pick segment length
constexpr f64 kRingTolerance = 0.018;   // ring pick band
constexpr f64 kPickBest = 12.0;         // pixels
constexpr f64 kKnobPick = 14.0;         // pixels
constexpr i32 kRingSegments = 48;

v3 axisOf(i32 i) { return i == 0 ? V3(1, 0, 0) : (i == 1 ? V3(0, 1, 0) : V3(0, 0, 1)); }

u32 handleColor(const Gizmo* g, i32 handle) {
  if (g->activeHandle == handle) return kGizmoColorActive;
  if (g->hoveredHandle == handle) return kGizmoColorHovered;
  i32 a = handle % 3;
  return a == 0 ? kGizmoColorX : (a == 1 ? kGizmoColorY : kGizmoColorZ);
}

void mouseRay(const Camera* cam, i32 mx, i32 my, i32 w, i32 h, v3* o, v3* d) {
  f64 sx = w > 0 ? (f64)mx / (f64)w : 0.5, sy = h > 0 ? (f64)my / (f64)h : 0.5;
  CameraScreenToRay(cam, sx, sy, o, d);
}

// The plane through `pos` that contains `axis` and faces the camera.
v3 axisPlaneNormal(const Camera* cam, v3 pos, v3 axis) {
  v3 v = v3Normalize(cam->position - pos);
  v3 c = v3Cross(axis, v);
  if (v3LengthSq(c) < 1e-8) return V3(0, 1, 0);
  return v3Normalize(v3Cross(c, axis));
}

b8 rayPlane(v3 o, v3 d, v3 p, v3 n, v3* hit) {
  f64 denom = v3Dot(d, n);
  if (std::fabs(denom) < 1e-8) return false;
  f64 t = v3Dot(p - o, n) / denom;
  if (t < 0.0) return false;
  *hit = o + d * t;
  return true;
}

// Angle of an offset in the rotation plane of `axis`: (Y, Z) about X, (Z, X)
// about Y, (X, Y) about Z.
f64 ringAngle(i32 axis, v3 off) {
  v3 u = axisOf((axis + 1) % 3), w = axisOf((axis + 2) % 3);
  return std::atan2(v3Dot(off, w), v3Dot(off, u));
}

f64 pointSegmentDist(f64 px, f64 py, f64 ax, f64 ay, f64 bx, f64 by) {
  f64 dx = bx - ax, dy = by - ay;
  f64 len2 = dx * dx + dy * dy;
  f64 t = 0.0;
  if (len2 >= 1e-12) t = std::fmin(1.0, std::fmax(0.0, ((px - ax) * dx + (py - ay) * dy) / len2));
  f64 cx = ax + dx * t - px, cy = ay + dy * t - py;
  return std::sqrt(cx * cx + cy * cy);
}

void addBox(Lines* l, v3 c, f64 h, u32 color) {
  v3 p[8];
  for (int i = 0; i < 8; i++) p[i] = c + V3(i & 1 ? h : -h, i & 2 ? h : -h, i & 4 ? h : -h);
  static const int e[12][2] = {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {0, 2}, {1, 3},
                               {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
  for (const auto& k : e) linesAdd(l, p[k[0]], p[k[1]], color);
}

}  // namespace

void gizmoInit(Gizmo* g) {
  if (!g) return;
  *g = Gizmo{};
  g->activeHandle = -1;
  g->hoveredHandle = -1;
  g->dragOriginRot = quatIdentity();
  g->dragOriginScale = 1.0;
}

b8 worldToScreen(const Camera* cam, v3 p, i32 windowW, i32 windowH, f64* sx, f64* sy) {
  if (!cam) return false;
  v4 clip = CameraWorldToClip(cam, p);
  if (!(clip.w > 0.0)) return false;
  // The projection already flips y, so clip y grows downward like pixels.
  f64 nx = clip.x / clip.w, ny = clip.y / clip.w;
  if (sx) *sx = (nx * 0.5 + 0.5) * windowW;
  if (sy) *sy = (ny * 0.5 + 0.5) * windowH;
  return true;
}

i32 gizmoPick(const Camera* cam, v3 c, i32 mx, i32 my, i32 w, i32 h) {
  f64 cx, cy;
  if (!cam || !worldToScreen(cam, c, w, h, &cx, &cy)) return -1;
  f64 d = v3Length(cam->position - c);
  f64 size = kSizeFactor * d;
  f64 best = kPickBest;
  i32 handle = -1;
  f64 px = mx, py = my;
  for (i32 a = 0; a < 3; a++) {
    f64 kx, ky;
    if (!worldToScreen(cam, c + axisOf(a) * (kKnobOffset * d), w, h, &kx, &ky)) continue;
    f64 dist = std::hypot(px - kx, py - ky);
    if (dist < kKnobPick && dist < best) best = dist, handle = 6 + a;
  }
  for (i32 a = 0; a < 3; a++) {
    f64 ex, ey;
    if (!worldToScreen(cam, c + axisOf(a) * (kPickSegment * d), w, h, &ex, &ey)) continue;
    f64 dist = pointSegmentDist(px, py, cx, cy, ex, ey);
    if (dist < best) best = dist, handle = a;
  }
  v3 o, dir;
  mouseRay(cam, mx, my, w, h, &o, &dir);
  for (i32 a = 0; a < 3; a++) {
    v3 hit;
    if (!rayPlane(o, dir, c, axisOf(a), &hit)) continue;
    f64 r = v3Length(hit - c);
    if (!(std::fabs(r - size) < kRingTolerance * d) || r <= 0.0) continue;
    f64 rx, ry;
    if (!worldToScreen(cam, c + (hit - c) * (size / r), w, h, &rx, &ry)) continue;
    f64 dist = std::hypot(px - rx, py - ry);
    if (dist < best) best = dist, handle = 3 + a;
  }
  return handle;
}

void gizmoDraw(Gizmo* g, Lines* lines, const Camera* cam, v3 c, i32 mouseX, i32 mouseY, i32 windowW, i32 windowH) {
  if (!g || !cam) return;
  if (g->activeHandle < 0) g->hoveredHandle = gizmoPick(cam, c, mouseX, mouseY, windowW, windowH);
  if (!lines) return;
  f64 d = v3Length(cam->position - c);
  f64 size = kSizeFactor * d;
  for (i32 a = 0; a < 3; a++) {
    v3 ax = axisOf(a), u = axisOf((a + 1) % 3), wv = axisOf((a + 2) % 3);
    // Translation: shaft and a four-line head from 0.1125 d to the tip.
    u32 col = handleColor(g, a);
    v3 tip = c + ax * size;
    linesAdd(lines, c, tip, col);
    v3 base = c + ax * (kArrowStart * d);
    f64 hw = kArrowWidth * d;
    linesAdd(lines, tip, base + u * hw, col);
    linesAdd(lines, tip, base - u * hw, col);
    linesAdd(lines, tip, base + wv * hw, col);
    linesAdd(lines, tip, base - wv * hw, col);
    // Rotation ring about the axis.
    col = handleColor(g, 3 + a);
    v3 prev = c + u * size;
    for (i32 i = 1; i <= kRingSegments; i++) {
      f64 t = 2.0 * kPi * i / kRingSegments;
      v3 p = c + (u * std::cos(t) + wv * std::sin(t)) * size;
      linesAdd(lines, prev, p, col);
      prev = p;
    }
    addBox(lines, c + ax * (kKnobOffset * d), kKnobHalf * d, handleColor(g, 6 + a));
  }
}

void gizmoBeginDrag(Gizmo* g, const Camera* cam, v3 pos, v4 rot, f64 scale, i32 mx, i32 my, i32 w, i32 h) {
  if (!g || !cam || g->hoveredHandle < 0 || g->hoveredHandle >= kGizmoHandleCount) return;
  g->activeHandle = g->hoveredHandle;
  g->dragOriginPos = pos;
  g->dragOriginRot = rot;
  g->dragOriginScale = scale;
  v3 o, dir;
  mouseRay(cam, mx, my, w, h, &o, &dir);
  i32 a = g->activeHandle % 3;
  v3 axis = axisOf(a);
  v3 hit;
  if (g->activeHandle < 3) {
    g->dragHit0 = rayPlane(o, dir, pos, axisPlaneNormal(cam, pos, axis), &hit) ? hit : pos;
  } else if (g->activeHandle < 6) {
    g->dragStartAngle = rayPlane(o, dir, pos, axis, &hit) ? ringAngle(a, hit - pos) : 0.0;
  } else {
    g->dragStartDist = rayPlane(o, dir, pos, axisPlaneNormal(cam, pos, axis), &hit) ? v3Dot(hit - pos, axis) : 1.0;
  }
}

void gizmoUpdateDrag(Gizmo* g, const Camera* cam, v3* outPos, v4* outRot, f64* outScale, i32 mx, i32 my, i32 w,
                     i32 h) {
  if (!g || !cam || g->activeHandle < 0) return;
  v3 o, dir;
  mouseRay(cam, mx, my, w, h, &o, &dir);
  i32 a = g->activeHandle % 3;
  v3 axis = axisOf(a);
  v3 pos = g->dragOriginPos;
  v3 hit;
  if (g->activeHandle < 3) {
    if (rayPlane(o, dir, pos, axisPlaneNormal(cam, pos, axis), &hit) && outPos)
      *outPos = pos + axis * v3Dot(hit - g->dragHit0, axis);
  } else if (g->activeHandle < 6) {
    if (rayPlane(o, dir, pos, axis, &hit) && outRot) {
      f64 angle = ringAngle(a, hit - pos) - g->dragStartAngle;
      *outRot = quatNormalize(quatMul(quatFromAxisAngle(axis, angle), g->dragOriginRot));
    }
  } else {
    if (rayPlane(o, dir, pos, axisPlaneNormal(cam, pos, axis), &hit) && std::fabs(g->dragStartDist) >= 1e-6 &&
        outScale) {
      f64 s = g->dragOriginScale * v3Dot(hit - pos, axis) / g->dragStartDist;
      *outScale = std::fmin(kGizmoMaxScale, std::fmax(kGizmoMinScale, s));
    }
  }
}

void gizmoEndDrag(Gizmo* g) {
  if (g) g->activeHandle = -1;
}
