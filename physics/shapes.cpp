#include "physics/shapes.h"

#include <cmath>
#include <algorithm>
#include <cstring>

#include "platform/memory.h"

namespace {

constexpr f64 kZeroLength = 1e-10;
constexpr f64 kHeightFactor = 1.0 / 32767.0;

Aabb emptyAt(v3 p) { return Aabb{p, p}; }

void growAabb(Aabb* box, v3 p) {
  box->min = v3Min(box->min, p);
  box->max = v3Max(box->max, p);
}

mat3 absRotation(v4 q) {
  mat3 r = mat3FromQuat(q);
  return mat3{{v3Abs(r.c[0]), v3Abs(r.c[1]), v3Abs(r.c[2])}};
}

f64 sampleHeight(const HeightFieldShape* hf, i16 s) {
  return (f64)s * kHeightFactor * hf->heightScale + hf->heightOffset;
}

void scanHeights(HeightFieldShape* hf) {
  u64 n = (u64)hf->rows * hf->cols;
  if (!hf->heights || n == 0) {
    hf->minHeight = hf->maxHeight = hf->heightOffset;
    return;
  }
  i16 lo = hf->heights[0], hi = hf->heights[0];
  for (u64 i = 1; i < n; ++i) {
    if (hf->heights[i] < lo) lo = hf->heights[i];
    if (hf->heights[i] > hi) hi = hf->heights[i];
  }
  hf->minHeight = sampleHeight(hf, lo);
  hf->maxHeight = sampleHeight(hf, hi);
}

void setHeightFieldParams(HeightFieldShape* hf, u32 rows, u32 cols, f64 cellSize, f64 heightScale,
                          f64 heightOffset) {
  std::memset(hf, 0, sizeof(*hf));
  hf->base.type = SHAPE_HEIGHTFIELD;
  hf->base.margin = 0.0;
  hf->rows = rows;
  hf->cols = cols;
  hf->cellSize = cellSize;
  hf->heightScale = heightScale;
  hf->heightOffset = heightOffset;
}

// Diagonal inertia of a solid box with half extents h.
v3 boxInertia(f64 mass, v3 h) {
  f64 k = mass / 3.0;
  return V3(k * (h.y * h.y + h.z * h.z), k * (h.x * h.x + h.z * h.z), k * (h.x * h.x + h.y * h.y));
}

// Local bounding box of a polyhedron's vertices, margin included.
Aabb convexPolyLocalBox(const ConvexPolyhedronShape* p) {
  if (p->numVertices == 0 || !p->vertices) return emptyAt(V3(0, 0, 0));
  Aabb box = emptyAt(p->vertices[0]);
  for (u32 i = 1; i < p->numVertices; ++i) growAabb(&box, p->vertices[i]);
  v3 m = V3(p->base.margin, p->base.margin, p->base.margin);
  return Aabb{box.min - m, box.max + m};
}

// Sphere cast about a centre; fills the hit on success.
b8 raySphere(v3 centre, f64 radius, const Ray* ray, RaycastHit* hit) {
  v3 m = ray->point1 - centre;
  v3 d = ray->point2 - ray->point1;
  f64 c = v3Dot(m, m) - radius * radius;
  if (c < 0.0) return false;
  f64 b = v3Dot(m, d);
  if (b > 0.0) return false;
  f64 a = v3Dot(d, d);
  if (a < kShapeRayEpsilon) return false;
  f64 disc = b * b - a * c;
  if (disc < 0.0) return false;
  f64 t = -(b + std::sqrt(disc));
  if (t < 0.0) t = 0.0;
  if (t >= a * ray->maxFraction) return false;
  f64 fraction = t / a;
  v3 p = ray->point1 + d * fraction;
  hit->hitFraction = fraction;
  hit->worldPoint = p;
  hit->worldNormal = v3Normalize(p - centre);
  return true;
}

}  // namespace

// ---- construction -------------------------------------------------------------

void sphereInit(SphereShape* s, f64 radius) {
  s->base.type = SHAPE_SPHERE;
  s->base.margin = radius;
  s->radius = radius;
}

void boxInit(BoxShape* b, v3 halfExtents) {
  b->base.type = SHAPE_BOX;
  b->base.margin = 0.0;
  b->halfExtents = halfExtents;
  b->halfExtents.w = 0.0;
}

void capsuleInit(CapsuleShape* c, f64 radius, f64 height) {
  c->base.type = SHAPE_CAPSULE;
  c->base.margin = radius;
  c->radius = radius;
  c->halfHeight = height * 0.5;
}

b8 convexPolyInit(ConvexPolyhedronShape* p, const v3* vertices, u32 numVertices) {
  std::memset(p, 0, sizeof(*p));
  p->base.type = SHAPE_CONVEX_POLY;
  p->base.margin = 0.04;
  if (numVertices == 0 || !vertices) return numVertices == 0;
  p->vertices = (v3*)memAlloc(sizeof(v3) * numVertices);
  if (!p->vertices) return false;
  std::memcpy(p->vertices, vertices, sizeof(v3) * numVertices);
  p->numVertices = numVertices;
  v3 sum = V3(0, 0, 0);
  for (u32 i = 0; i < numVertices; ++i) sum += vertices[i];
  p->centroid = sum * (1.0 / numVertices);
  return true;
}

b8 convexPolyInitWithHalfEdge(ConvexPolyhedronShape* p, const v3* vertices, u32 numVertices,
                              const HalfEdgeStructure* halfEdge) {
  b8 ok = convexPolyInit(p, vertices, numVertices);
  if (halfEdge) p->halfEdge = *halfEdge;
  return ok;
}

void convexPolyDestroy(ConvexPolyhedronShape* p) {
  memFree(p->vertices);
  p->vertices = nullptr;
  HalfEdgeStructure* he = &p->halfEdge;
  memFree(he->vertices);
  memFree(he->edges);
  if (he->faces) {
    for (u32 i = 0; i < he->numFaces; ++i) memFree(he->faces[i].faceVertices);
  }
  memFree(he->faces);
  std::memset(he, 0, sizeof(*he));
}

void triangleInit(TriangleShape* t, v3 v0, v3 v1, v3 v2) {
  t->base.type = SHAPE_TRIANGLE;
  t->base.margin = 0.0;
  t->vertices[0] = v0;
  t->vertices[1] = v1;
  t->vertices[2] = v2;
  t->normal = v3Normalize(v3Cross(v1 - v0, v2 - v0));
}

b8 heightFieldInit(HeightFieldShape* hf, const i16* heights, u32 rows, u32 cols, f64 cellSize,
                   f64 heightScale, f64 heightOffset) {
  setHeightFieldParams(hf, rows, cols, cellSize, heightScale, heightOffset);
  u64 n = (u64)rows * cols;
  if (n > 0 && heights) {
    hf->heights = (i16*)memAlloc(sizeof(i16) * n);
    if (!hf->heights) {
      hf->rows = hf->cols = 0;
      scanHeights(hf);
      return false;
    }
    std::memcpy(hf->heights, heights, sizeof(i16) * n);
  }
  hf->ownsHeights = true;
  scanHeights(hf);
  return true;
}

void heightFieldInitBorrowed(HeightFieldShape* hf, i16* heights, u32 rows, u32 cols, f64 cellSize,
                             f64 heightScale, f64 heightOffset) {
  setHeightFieldParams(hf, rows, cols, cellSize, heightScale, heightOffset);
  hf->heights = heights;
  hf->ownsHeights = false;
  scanHeights(hf);
}

void heightFieldDestroy(HeightFieldShape* hf) {
  if (hf->heights && hf->ownsHeights) memFree(hf->heights);
  hf->heights = nullptr;
}

// ---- sphere ---------------------------------------------------------------------

Aabb sphereComputeAabb(const SphereShape* s, Transform t) {
  v3 r = V3(s->radius, s->radius, s->radius);
  return Aabb{t.position - r, t.position + r};
}

v3 sphereGetLocalSupport(const SphereShape*, v3) { return V3(0, 0, 0); }

v3 sphereGetLocalSupportWithMargin(const SphereShape* s, v3 direction) {
  f64 len = v3Length(direction);
  if (len <= kZeroLength) return V3(0, s->radius, 0);
  return direction * (s->radius / len);
}

v3 sphereGetLocalInertiaTensor(const SphereShape* s, f64 mass) {
  f64 i = 0.4 * mass * s->radius * s->radius;
  return V3(i, i, i);
}

f64 sphereGetVolume(const SphereShape* s) {
  return 4.1887902047863905 * s->radius * s->radius * s->radius;
}

b8 sphereRaycast(const SphereShape* s, const Ray* ray, RaycastHit* hit) {
  return raySphere(V3(0, 0, 0), s->radius, ray, hit);
}

// ---- box ------------------------------------------------------------------------

Aabb boxComputeAabb(const BoxShape* b, Transform t) {
  v3 ext = mat3MulV(absRotation(t.orientation), b->halfExtents);
  return Aabb{t.position - ext, t.position + ext};
}

v3 boxGetLocalSupport(const BoxShape* b, v3 d) {
  v3 h = b->halfExtents;
  return V3(d.x >= 0.0 ? h.x : -h.x, d.y >= 0.0 ? h.y : -h.y, d.z >= 0.0 ? h.z : -h.z);
}

v3 boxGetLocalSupportWithMargin(const BoxShape* b, v3 direction) {
  v3 core = boxGetLocalSupport(b, direction);
  f64 len = v3Length(direction);
  if (b->base.margin > 0.0 && len > kZeroLength) core += direction * (b->base.margin / len);
  return core;
}

v3 boxGetLocalInertiaTensor(const BoxShape* b, f64 mass) { return boxInertia(mass, b->halfExtents); }

f64 boxGetVolume(const BoxShape* b) {
  return 8.0 * b->halfExtents.x * b->halfExtents.y * b->halfExtents.z;
}

b8 boxRaycast(const BoxShape* b, const Ray* ray, RaycastHit* hit) {
  v3 d = ray->point2 - ray->point1;
  f64 tMin = -kShapeFltMax, tMax = kShapeFltMax;
  v3 normal = V3(0, 0, 0);
  for (int axis = 0; axis < 3; ++axis) {
    f64 p = v3Get(ray->point1, axis);
    f64 da = v3Get(d, axis);
    f64 h = v3Get(b->halfExtents, axis);
    if (std::fabs(da) < kShapeRayEpsilon) {
      if (p < -h || p > h) return false;
      continue;
    }
    f64 t1 = (-h - p) / da, t2 = (h - p) / da;
    f64 tNear = std::fmin(t1, t2), tFar = std::fmax(t1, t2);
    if (tNear > tMin) {
      tMin = tNear;
      normal = V3(0, 0, 0);
      v3Set(normal, axis, da > 0.0 ? -1.0 : 1.0);
    }
    if (tFar < tMax) tMax = tFar;
    if (tMin > ray->maxFraction || tMin > tMax) return false;
  }
  if (tMin < 0.0 || tMin > ray->maxFraction) return false;
  hit->hitFraction = tMin;
  hit->worldPoint = ray->point1 + d * tMin;
  hit->worldNormal = normal;
  return true;
}

v3 boxGetVertex(const BoxShape* b, u32 index) {
  v3 h = b->halfExtents;
  return V3((index & 1) ? h.x : -h.x, (index & 2) ? h.y : -h.y, (index & 4) ? h.z : -h.z);
}

v3 boxGetFaceNormal(const BoxShape*, u32 faceIndex) {
  switch (faceIndex) {
    case 0: return V3(1, 0, 0);
    case 1: return V3(-1, 0, 0);
    case 3: return V3(0, -1, 0);
    case 4: return V3(0, 0, 1);
    case 5: return V3(0, 0, -1);
    default: return V3(0, 1, 0);
  }
}

u32 boxGetNumFaces() { return 6; }
u32 boxGetNumVertices() { return 8; }
u32 boxGetNumEdges() { return 24; }

// ---- capsule ----------------------------------------------------------------------

Aabb capsuleComputeAabb(const CapsuleShape* c, Transform t) {
  v3 up = quatRotate(t.orientation, V3(0, 1, 0));
  v3 a = t.position + up * c->halfHeight;
  v3 b = t.position - up * c->halfHeight;
  v3 r = V3(c->radius, c->radius, c->radius);
  return Aabb{v3Min(a, b) - r, v3Max(a, b) + r};
}

v3 capsuleGetLocalSupport(const CapsuleShape* c, v3 d) {
  return V3(0, d.y > 0.0 ? c->halfHeight : -c->halfHeight, 0);
}

v3 capsuleGetLocalSupportWithMargin(const CapsuleShape* c, v3 direction) {
  v3 core = capsuleGetLocalSupport(c, direction);
  f64 len = v3Length(direction);
  if (len <= kZeroLength) return core;
  return core + direction * (c->radius / len);
}

v3 capsuleGetLocalInertiaTensor(const CapsuleShape* c, f64 mass) {
  f64 r = c->radius, h = 2.0 * c->halfHeight;
  f64 denom = 3.0 * h + 4.0 * r;
  f64 mc = denom > 0.0 ? mass * 3.0 * h / denom : 0.0;
  f64 mh = denom > 0.0 ? mass * 2.0 * r / denom : 0.0;
  f64 iyy = mc * r * r / 2.0 + mh * 0.8 * r * r;
  f64 ixx = mc * (r * r / 4.0 + h * h / 12.0) + mh * (0.8 * r * r + 0.75 * r * h + 0.5 * h * h);
  return V3(ixx, iyy, ixx);
}

f64 capsuleGetVolume(const CapsuleShape* c) {
  f64 r = c->radius;
  return 4.1887902047863905 * r * r * r + 2.0 * kPi * r * r * c->halfHeight;
}

b8 capsuleRaycast(const CapsuleShape* cap, const Ray* ray, RaycastHit* hit) {
  v3 P = V3(0, -cap->halfHeight, 0), Q = V3(0, cap->halfHeight, 0);
  f64 r = cap->radius;
  v3 d = Q - P;
  v3 m = ray->point1 - P;
  v3 n = ray->point2 - ray->point1;
  f64 dd = v3Dot(d, d), md = v3Dot(m, d), nd = v3Dot(n, d);
  // A ray wholly beyond an end plane can still cross that end's hemisphere.
  if (md < 0.0 && md + nd < 0.0) return raySphere(P, r, ray, hit);
  if (md > dd && md + nd > dd) return raySphere(Q, r, ray, hit);
  f64 nn = v3Dot(n, n);
  f64 a = dd * nn - nd * nd;
  f64 c = dd * (v3Dot(m, m) - r * r) - md * md;
  // Parallel test relative to the magnitudes involved: a grows with length^4.
  if (std::fabs(a) < 1e-10 * dd * nn || dd <= 0.0) {
    if (dd <= 0.0) return raySphere(P, r, ray, hit);
    if (c > 0.0) return false;
    if (md < 0.0) return raySphere(P, r, ray, hit);
    if (md > dd) return raySphere(Q, r, ray, hit);
    return false;
  }
  f64 b = dd * v3Dot(m, n) - nd * md;
  f64 disc = b * b - a * c;
  if (disc < 0.0) return false;
  f64 t = (-b - std::sqrt(disc)) / a;
  f64 axial = md + t * nd;
  if (axial < 0.0) return raySphere(P, r, ray, hit);
  if (axial > dd) return raySphere(Q, r, ray, hit);
  if (t < 0.0 || t > ray->maxFraction) return false;
  v3 p = ray->point1 + n * t;
  v3 onAxis = P + d * (axial / dd);
  hit->hitFraction = t;
  hit->worldPoint = p;
  hit->worldNormal = v3Normalize(p - onAxis);
  return true;
}

// ---- convex polyhedron ----------------------------------------------------------

Aabb convexPolyComputeAabb(const ConvexPolyhedronShape* p, Transform t) {
  if (p->numVertices == 0 || !p->vertices) return emptyAt(t.position);
  Aabb box = emptyAt(transformPoint(t, p->vertices[0]));
  for (u32 i = 1; i < p->numVertices; ++i) growAabb(&box, transformPoint(t, p->vertices[i]));
  v3 m = V3(p->base.margin, p->base.margin, p->base.margin);
  return Aabb{box.min - m, box.max + m};
}

v3 convexPolyGetLocalSupport(const ConvexPolyhedronShape* p, v3 direction) {
  if (p->numVertices == 0 || !p->vertices) return V3(0, 0, 0);
  f64 best = -kShapeFltMax;
  u32 bestIndex = 0;
  for (u32 i = 0; i < p->numVertices; ++i) {
    f64 d = v3Dot(p->vertices[i], direction);
    if (d > best) {
      best = d;
      bestIndex = i;
    }
  }
  return p->vertices[bestIndex];
}

v3 convexPolyGetLocalSupportWithMargin(const ConvexPolyhedronShape* p, v3 direction) {
  v3 core = convexPolyGetLocalSupport(p, direction);
  f64 len = v3Length(direction);
  if (p->base.margin > 0.0 && len > kZeroLength) core += direction * (p->base.margin / len);
  return core;
}

v3 convexPolyGetLocalInertiaTensor(const ConvexPolyhedronShape* p, f64 mass) {
  Aabb box = convexPolyLocalBox(p);
  return boxInertia(mass, (box.max - box.min) * 0.5);
}

f64 convexPolyGetVolume(const ConvexPolyhedronShape* p) {
  Aabb box = convexPolyLocalBox(p);
  v3 e = box.max - box.min;
  return e.x * e.y * e.z;
}

b8 convexPolyRaycast(const ConvexPolyhedronShape* p, const Ray* ray, RaycastHit* hit) {
  v3 d = ray->point2 - ray->point1;
  f64 len = v3Length(d);
  if (len < kZeroLength) return false;
  v3 dn = d * (1.0 / len);
  f64 tEnter = 0.0, tExit = len * ray->maxFraction;
  v3 entryNormal = V3(0, 1, 0);
  u32 numFaces = convexPolyGetNumFaces(p);
  for (u32 f = 0; f < numFaces; ++f) {
    const Face* face = &p->halfEdge.faces[f];
    if (face->numVertices == 0 || !face->faceVertices) continue;
    v3 n = convexPolyGetFaceNormal(p, f);
    v3 v = p->vertices[face->faceVertices[0]];
    f64 num = v3Dot(n, v - ray->point1);
    f64 den = v3Dot(n, dn);
    if (std::fabs(den) < kZeroLength) {
      if (num < 0.0) return false;
      continue;
    }
    f64 t = num / den;
    if (den >= 0.0) {
      if (t < tExit) tExit = t;
    } else if (t > tEnter) {
      tEnter = t;
      entryNormal = n;
    }
    if (tEnter > tExit) return false;
  }
  if (tEnter < 0.0 || tEnter > len * ray->maxFraction) return false;
  hit->hitFraction = tEnter / len;
  hit->worldPoint = ray->point1 + dn * tEnter;
  hit->worldNormal = entryNormal;
  return true;
}

u32 convexPolyGetNumFaces(const ConvexPolyhedronShape* p) { return p->halfEdge.numFaces; }
u32 convexPolyGetNumVertices(const ConvexPolyhedronShape* p) { return p->numVertices; }
u32 convexPolyGetNumHalfEdges(const ConvexPolyhedronShape* p) { return p->halfEdge.numEdges; }
const HalfEdge* convexPolyGetHalfEdge(const ConvexPolyhedronShape* p, u32 i) {
  return (p->halfEdge.edges && i < p->halfEdge.numEdges) ? &p->halfEdge.edges[i] : nullptr;
}
v3 convexPolyGetCentroid(const ConvexPolyhedronShape* p) { return p->centroid; }

// ---- triangle ---------------------------------------------------------------------

Aabb triangleComputeAabb(const TriangleShape* t, Transform xf) {
  Aabb box = emptyAt(transformPoint(xf, t->vertices[0]));
  growAabb(&box, transformPoint(xf, t->vertices[1]));
  growAabb(&box, transformPoint(xf, t->vertices[2]));
  return box;
}

v3 triangleGetLocalSupport(const TriangleShape* t, v3 d) {
  f64 d0 = v3Dot(t->vertices[0], d), d1 = v3Dot(t->vertices[1], d), d2 = v3Dot(t->vertices[2], d);
  if (d0 >= d1 && d0 >= d2) return t->vertices[0];
  if (d1 >= d2) return t->vertices[1];
  return t->vertices[2];
}

namespace {

// Moeller-Trumbore: the ray parameter t (in units of dir) where the line through
// origin crosses the triangle; false when it misses or runs parallel to it.
b8 lineTriangleParam(v3 origin, v3 dir, v3 v0, v3 v1, v3 v2, f64* outT) {
  v3 e1 = v1 - v0, e2 = v2 - v0;
  v3 h = v3Cross(dir, e2);
  f64 det = v3Dot(e1, h);
  if (std::fabs(det) < kShapeRayEpsilon) return false;
  f64 inv = 1.0 / det;
  v3 s = origin - v0;
  f64 u = v3Dot(s, h) * inv;
  if (u < 0.0 || u > 1.0) return false;
  v3 q = v3Cross(s, e1);
  f64 v = v3Dot(dir, q) * inv;
  if (v < 0.0 || u + v > 1.0) return false;
  *outT = v3Dot(e2, q) * inv;
  return true;
}

}  // namespace

b8 triangleRaycast(const TriangleShape* tri, const Ray* ray, RaycastHit* hit) {
  v3 d = ray->point2 - ray->point1;
  f64 t;
  if (!lineTriangleParam(ray->point1, d, tri->vertices[0], tri->vertices[1], tri->vertices[2], &t))
    return false;
  if (!(t > kShapeRayEpsilon && t < ray->maxFraction)) return false;
  hit->hitFraction = t;
  hit->worldPoint = ray->point1 + d * t;
  hit->worldNormal = tri->normal;
  return true;
}

v3 triangleGetNormal(const TriangleShape* t) { return t->normal; }

// ---- height field -----------------------------------------------------------------

Aabb heightFieldComputeAabb(const HeightFieldShape* hf, Transform t) {
  f64 xs[2] = {0.0, hf->cols > 0 ? (hf->cols - 1) * hf->cellSize : 0.0};
  f64 ys[2] = {hf->minHeight, hf->maxHeight};
  f64 zs[2] = {0.0, hf->rows > 0 ? (hf->rows - 1) * hf->cellSize : 0.0};
  Aabb box = emptyAt(transformPoint(t, V3(xs[0], ys[0], zs[0])));
  for (int i = 1; i < 8; ++i)
    growAabb(&box, transformPoint(t, V3(xs[i & 1], ys[(i >> 1) & 1], zs[(i >> 2) & 1])));
  return box;
}

f64 heightFieldGetHeight(const HeightFieldShape* hf, u32 row, u32 col) {
  if (!hf->heights || hf->rows == 0 || hf->cols == 0) return hf->heightOffset;
  if (row > hf->rows - 1) row = hf->rows - 1;
  if (col > hf->cols - 1) col = hf->cols - 1;
  return sampleHeight(hf, hf->heights[(u64)row * hf->cols + col]);
}

namespace {
// Truncated cell index clamped to [0, hi]; safe for any finite or non-finite input.
u32 clampCell(f64 f, i64 hi) {
  if (!(f > 0.0)) return 0;  // also NaN
  if (f >= (f64)hi) return hi < 0 ? 0 : (u32)hi;
  return (u32)(i64)f;
}
// Truncation toward zero, saturated so that huge or non-finite values stay defined.
i64 truncIndex(f64 f) {
  if (f != f) return 0;
  if (f > 4e9) return (i64)4e9;
  if (f < -4e9) return (i64)-4e9;
  return (i64)f;
}
f64 clamp01(f64 v) { return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v); }
f64 lerp(f64 a, f64 b, f64 t) { return a + (b - a) * t; }
}  // namespace

f64 heightFieldGetHeightAt(const HeightFieldShape* hf, f64 x, f64 z) {
  if (hf->rows < 2 || hf->cols < 2 || hf->cellSize <= 0.0) return heightFieldGetHeight(hf, 0, 0);
  f64 fc = x / hf->cellSize, fr = z / hf->cellSize;
  u32 c0 = clampCell(fc, (i64)hf->cols - 2);
  u32 r0 = clampCell(fr, (i64)hf->rows - 2);
  f64 tx = clamp01(fc - c0), tz = clamp01(fr - r0);
  f64 h0 = lerp(heightFieldGetHeight(hf, r0, c0), heightFieldGetHeight(hf, r0, c0 + 1), tx);
  f64 h1 = lerp(heightFieldGetHeight(hf, r0 + 1, c0), heightFieldGetHeight(hf, r0 + 1, c0 + 1), tx);
  return lerp(h0, h1, tz);
}

namespace {
void cellTriangles(const HeightFieldShape* hf, u32 r, u32 c, v3 out[6]) {
  f64 x0 = c * hf->cellSize, x1 = (c + 1) * hf->cellSize;
  f64 z0 = r * hf->cellSize, z1 = (r + 1) * hf->cellSize;
  v3 a = V3(x0, heightFieldGetHeight(hf, r, c), z0);
  v3 b = V3(x0, heightFieldGetHeight(hf, r + 1, c), z1);
  v3 cc = V3(x1, heightFieldGetHeight(hf, r, c + 1), z0);
  v3 d = V3(x1, heightFieldGetHeight(hf, r + 1, c + 1), z1);
  out[0] = a; out[1] = b; out[2] = cc;
  out[3] = cc; out[4] = b; out[5] = d;
}
}  // namespace

b8 heightFieldGetCellRange(const HeightFieldShape* hf, Aabb localAabb, u32* rowMin, u32* rowMax,
                           u32* colMin, u32* colMax) {
  if (hf->rows < 2 || hf->cols < 2 || hf->cellSize <= 0.0 || !hf->heights) return false;
  i64 cMin = std::max<i64>(0, truncIndex(localAabb.min.x / hf->cellSize));
  i64 cMax = std::min<i64>((i64)hf->cols - 2, truncIndex(localAabb.max.x / hf->cellSize));
  i64 rMin = std::max<i64>(0, truncIndex(localAabb.min.z / hf->cellSize));
  i64 rMax = std::min<i64>((i64)hf->rows - 2, truncIndex(localAabb.max.z / hf->cellSize));
  if (rMin > rMax || cMin > cMax) return false;
  *rowMin = (u32)rMin;
  *rowMax = (u32)rMax;
  *colMin = (u32)cMin;
  *colMax = (u32)cMax;
  return true;
}

void heightFieldGetCellTriangles(const HeightFieldShape* hf, u32 row, u32 col, v3 out[6]) {
  cellTriangles(hf, row, col, out);
}

u32 heightFieldGetTrianglesInAabb(const HeightFieldShape* hf, Aabb localAabb, v3* triVerts,
                                  u32 maxTriangles) {
  if (maxTriangles == 0 || hf->rows < 2 || hf->cols < 2 || hf->cellSize <= 0.0 || !hf->heights)
    return 0;
  i64 cMin = std::max<i64>(0, truncIndex(localAabb.min.x / hf->cellSize));
  i64 cMax = std::min<i64>((i64)hf->cols - 2, truncIndex(localAabb.max.x / hf->cellSize));
  i64 rMin = std::max<i64>(0, truncIndex(localAabb.min.z / hf->cellSize));
  i64 rMax = std::min<i64>((i64)hf->rows - 2, truncIndex(localAabb.max.z / hf->cellSize));
  if (rMin > rMax) return 0;
  u32 count = 0;
  v3 tris[6];
  for (i64 r = rMin; r <= rMax; ++r) {
    for (i64 c = cMin; c <= cMax; ++c) {
      cellTriangles(hf, (u32)r, (u32)c, tris);
      for (int k = 0; k < 2 && count < maxTriangles; ++k) {
        triVerts[3 * count + 0] = tris[3 * k + 0];
        triVerts[3 * count + 1] = tris[3 * k + 1];
        triVerts[3 * count + 2] = tris[3 * k + 2];
        ++count;
      }
      if (count >= maxTriangles) return count;
    }
  }
  return count;
}

b8 rayTriangleIntersect(v3 origin, v3 dir, v3 v0, v3 v1, v3 v2, f64* outT, v3* outNormal) {
  f64 t;
  if (!lineTriangleParam(origin, dir, v0, v1, v2, &t) || t < kShapeRayEpsilon) return false;
  *outT = t;
  *outNormal = v3Normalize(v3Cross(v1 - v0, v2 - v0));
  return true;
}

b8 heightFieldRaycast(const HeightFieldShape* hf, const Ray* ray, RaycastHit* hit) {
  if (hf->rows < 2 || hf->cols < 2 || hf->cellSize <= 0.0 || !hf->heights) return false;
  v3 d = ray->point2 - ray->point1;
  f64 rayLen = v3Length(d);
  if (rayLen < kShapeRayEpsilon) return false;
  v3 dn = d * (1.0 / rayLen);
  f64 maxT = rayLen * ray->maxFraction;
  f64 tEntry = 0.0, tExit = maxT;
  const f64 cs = hf->cellSize;
  const f64 lim[2] = {(f64)(hf->cols - 1), (f64)(hf->rows - 1)};
  const f64 start[2] = {ray->point1.x / cs, ray->point1.z / cs};
  const f64 dir[2] = {dn.x / cs, dn.z / cs};
  for (int a = 0; a < 2; ++a) {
    if (std::fabs(dir[a]) >= kShapeRayEpsilon) {
      f64 t1 = (0.0 - start[a]) / dir[a], t2 = (lim[a] - start[a]) / dir[a];
      if (t1 > t2) std::swap(t1, t2);
      if (t1 > tEntry) tEntry = t1;
      if (t2 < tExit) tExit = t2;
      if (tEntry > tExit) return false;
    } else if (start[a] < 0.0 || start[a] > lim[a]) {
      return false;
    }
  }
  f64 bestT = maxT + 1.0;
  v3 bestNormal = V3(0, 1, 0);
  f64 step = cs * 0.5;
  v3 tris[6];
  for (f64 t = tEntry > 0.0 ? tEntry : 0.0; t <= tExit && t < bestT; t += step) {
    v3 p = ray->point1 + dn * t;
    i64 r = (i64)(p.z / cs), c = (i64)(p.x / cs);
    for (i64 rr = r - 1; rr <= r + 1; ++rr) {
      if (rr < 0 || rr >= (i64)hf->rows - 1) continue;
      for (i64 cc = c - 1; cc <= c + 1; ++cc) {
        if (cc < 0 || cc >= (i64)hf->cols - 1) continue;
        cellTriangles(hf, (u32)rr, (u32)cc, tris);
        for (int k = 0; k < 2; ++k) {
          f64 tt;
          v3 n;
          if (rayTriangleIntersect(ray->point1, dn, tris[3 * k], tris[3 * k + 1], tris[3 * k + 2],
                                   &tt, &n) &&
              tt < bestT && tt <= maxT) {
            bestT = tt;
            bestNormal = n;
          }
        }
      }
    }
    if (t + step == t) break;  // a start so far away that the march cannot advance
  }
  if (bestT > maxT) return false;
  hit->hitFraction = bestT / rayLen;
  hit->worldPoint = ray->point1 + dn * bestT;
  hit->worldNormal = bestNormal;
  return true;
}

// ---- dispatchers ------------------------------------------------------------------

Aabb shapeComputeAabb(const Shape* s, Transform t) {
  switch (s->type) {
    case SHAPE_SPHERE: return sphereComputeAabb((const SphereShape*)s, t);
    case SHAPE_BOX: return boxComputeAabb((const BoxShape*)s, t);
    case SHAPE_CAPSULE: return capsuleComputeAabb((const CapsuleShape*)s, t);
    case SHAPE_CONVEX_POLY: return convexPolyComputeAabb((const ConvexPolyhedronShape*)s, t);
    case SHAPE_TRIANGLE: return triangleComputeAabb((const TriangleShape*)s, t);
    case SHAPE_HEIGHTFIELD: return heightFieldComputeAabb((const HeightFieldShape*)s, t);
    default: return emptyAt(t.position);
  }
}

v3 shapeGetLocalSupport(const Shape* s, v3 direction) {
  switch (s->type) {
    case SHAPE_BOX: return boxGetLocalSupport((const BoxShape*)s, direction);
    case SHAPE_CAPSULE: return capsuleGetLocalSupport((const CapsuleShape*)s, direction);
    case SHAPE_CONVEX_POLY:
      return convexPolyGetLocalSupport((const ConvexPolyhedronShape*)s, direction);
    case SHAPE_TRIANGLE: return triangleGetLocalSupport((const TriangleShape*)s, direction);
    default: return V3(0, 0, 0);
  }
}

v3 shapeGetLocalSupportWithMargin(const Shape* s, v3 direction) {
  switch (s->type) {
    case SHAPE_SPHERE: return sphereGetLocalSupportWithMargin((const SphereShape*)s, direction);
    case SHAPE_BOX: return boxGetLocalSupportWithMargin((const BoxShape*)s, direction);
    case SHAPE_CAPSULE: return capsuleGetLocalSupportWithMargin((const CapsuleShape*)s, direction);
    case SHAPE_CONVEX_POLY:
      return convexPolyGetLocalSupportWithMargin((const ConvexPolyhedronShape*)s, direction);
    case SHAPE_TRIANGLE: return triangleGetLocalSupport((const TriangleShape*)s, direction);
    default: return V3(0, 0, 0);
  }
}

b8 shapeIsConvex(const Shape* s) { return s->type <= SHAPE_TRIANGLE; }

b8 shapeRaycast(const Shape* s, Transform t, v3 rayStart, v3 rayEnd, RaycastHit* hit) {
  if (s->type == SHAPE_CONCAVE_MESH || s->type > SHAPE_HEIGHTFIELD) return false;
  Ray ray{transformInversePoint(t, rayStart), transformInversePoint(t, rayEnd), 1.0};
  b8 ok = false;
  switch (s->type) {
    case SHAPE_SPHERE: ok = sphereRaycast((const SphereShape*)s, &ray, hit); break;
    case SHAPE_BOX: ok = boxRaycast((const BoxShape*)s, &ray, hit); break;
    case SHAPE_CAPSULE: ok = capsuleRaycast((const CapsuleShape*)s, &ray, hit); break;
    case SHAPE_CONVEX_POLY:
      ok = convexPolyRaycast((const ConvexPolyhedronShape*)s, &ray, hit);
      break;
    case SHAPE_TRIANGLE: ok = triangleRaycast((const TriangleShape*)s, &ray, hit); break;
    case SHAPE_HEIGHTFIELD: ok = heightFieldRaycast((const HeightFieldShape*)s, &ray, hit); break;
    default: break;
  }
  if (!ok) return false;
  hit->worldPoint = transformPoint(t, hit->worldPoint);
  hit->worldNormal = quatRotate(t.orientation, hit->worldNormal);
  return true;
}

void shapeScale(Shape* s, f64 factor) {
  if (!(factor > 0.0)) return;
  switch (s->type) {
    case SHAPE_SPHERE: ((SphereShape*)s)->radius *= factor; break;
    case SHAPE_BOX: ((BoxShape*)s)->halfExtents *= factor; break;
    case SHAPE_CAPSULE:
      ((CapsuleShape*)s)->radius *= factor;
      ((CapsuleShape*)s)->halfHeight *= factor;
      break;
    default: return;
  }
  // The margin is part of the size (a sphere's is its radius): it scales with it.
  s->margin *= factor;
}
