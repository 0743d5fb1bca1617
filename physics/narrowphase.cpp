#include "physics/narrowphase.h"

#include <cmath>

#include "physics/narrowphase_internal.h"

namespace {

constexpr f64 kEps = 1.19209e-7;
constexpr f64 kZero = 1e-10;
constexpr f64 kPointSq = 1e-20;
constexpr f64 kFltMax = 3.4028235e38;
constexpr u32 kMaxGjkIterations = 64;

f64 clamp01(f64 v) { return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v); }

// World support of a shape's core along a world direction.
v3 worldSupport(const Shape* s, Transform t, v3 dir) {
  v3 local = quatRotate(quatConjugate(t.orientation), dir);
  return transformPoint(t, shapeGetLocalSupport(s, local));
}

void capsuleSegment(const CapsuleShape* c, Transform t, v3* p0, v3* p1) {
  v3 axis = quatRotate(t.orientation, V3(0, 1, 0));
  *p0 = t.position - axis * c->halfHeight;
  *p1 = t.position + axis * c->halfHeight;
}

// For a pair solved with its shapes swapped: puts the points back in A, B order.
b8 mirrored(ContactManifold* m, b8 collided) {
  for (u32 i = 0; i < m->numContacts; ++i) {
    ContactPoint* p = &m->points[i];
    v3 a = p->localPointA;
    p->localPointA = p->localPointB;
    p->localPointB = a;
    p->normal = -p->normal;
  }
  return collided;
}

}  // namespace

void manifoldAddPoint(ContactManifold* m, v3 localA, v3 localB, v3 normal, f64 depth) {
  if (m->numContacts >= 4) return;
  ContactPoint* p = &m->points[m->numContacts++];
  p->localPointA = localA;
  p->localPointB = localB;
  p->normal = normal;
  p->penetrationDepth = depth;
}

Transform transformInverse(Transform t) {
  v4 c = quatConjugate(t.orientation);
  return Transform{quatRotate(c, -t.position), c};
}

Transform transformMul(Transform a, Transform b) {
  return Transform{transformPoint(a, b.position), quatMul(a.orientation, b.orientation)};
}

// ---- geometry helpers ---------------------------------------------------------------

v3 closestPointOnSegment(v3 segA, v3 segB, v3 point) {
  v3 ab = segB - segA;
  f64 len2 = v3Dot(ab, ab);
  if (len2 < kPointSq) return segA;
  f64 t = clamp01(v3Dot(point - segA, ab) / len2);
  return segA + ab * t;
}

void closestPointsBetweenSegments(v3 p1, v3 q1, v3 p2, v3 q2, v3* closest1, v3* closest2) {
  v3 d1 = q1 - p1, d2 = q2 - p2, r = p1 - p2;
  f64 a = v3Dot(d1, d1), e = v3Dot(d2, d2), f = v3Dot(d2, r);
  f64 s, t;
  if (a <= kZero && e <= kZero) {
    s = t = 0.0;
  } else if (a <= kZero) {
    s = 0.0;
    t = clamp01(f / e);
  } else {
    f64 c = v3Dot(d1, r);
    if (e <= kZero) {
      t = 0.0;
      s = clamp01(-c / a);
    } else {
      f64 b = v3Dot(d1, d2);
      f64 denom = a * e - b * b;
      s = denom != 0.0 ? clamp01((b * f - c * e) / denom) : 0.0;
      t = (b * s + f) / e;
      if (t < 0.0) {
        t = 0.0;
        s = clamp01(-c / a);
      } else if (t > 1.0) {
        t = 1.0;
        s = clamp01((b - c) / a);
      }
    }
  }
  *closest1 = p1 + d1 * s;
  *closest2 = p2 + d2 * t;
}

v3 projectPointOntoPlane(v3 point, v3 planePoint, v3 planeNormal) {
  return point - planeNormal * v3Dot(point - planePoint, planeNormal);
}

void barycentricCoordinates(v3 p, v3 a, v3 b, v3 c, f64* u, f64* v, f64* w) {
  v3 v0 = b - a, v1 = c - a, v2 = p - a;
  f64 d00 = v3Dot(v0, v0), d01 = v3Dot(v0, v1), d11 = v3Dot(v1, v1);
  f64 d20 = v3Dot(v2, v0), d21 = v3Dot(v2, v1);
  f64 denom = d00 * d11 - d01 * d01;
  if (std::fabs(denom) < kZero) {
    *u = 1.0;
    *v = 0.0;
    *w = 0.0;
    return;
  }
  *v = (d11 * d20 - d01 * d21) / denom;
  *w = (d00 * d21 - d01 * d20) / denom;
  *u = 1.0 - *v - *w;
}

// ---- simplex --------------------------------------------------------------------------

void simplexInit(VoronoiSimplex* s) {
  s->numPoints = 0;
  s->maxLengthSq = 0.0;
  s->isValid = true;
}

void simplexAddPoint(VoronoiSimplex* s, v3 point, v3 suppA, v3 suppB) {
  if (s->numPoints >= 4) return;
  s->points[s->numPoints++] = SimplexPoint{point, suppA, suppB};
  f64 l2 = v3LengthSq(point);
  if (l2 > s->maxLengthSq) s->maxLengthSq = l2;
}

b8 simplexIsFull(const VoronoiSimplex* s) { return s->numPoints == 4; }

b8 simplexIsPointInSimplex(const VoronoiSimplex* s, v3 point) {
  for (u32 i = 0; i < s->numPoints; ++i)
    if (v3LengthSq(s->points[i].point - point) <= kPointSq) return true;
  return false;
}

b8 simplexIsAffinelyDependent(const VoronoiSimplex* s) {
  const SimplexPoint* p = s->points;
  switch (s->numPoints) {
    case 2: return v3LengthSq(p[1].point - p[0].point) < kPointSq;
    case 3:
      return v3LengthSq(v3Cross(p[1].point - p[0].point, p[2].point - p[0].point)) < kPointSq;
    case 4: {
      v3 a = p[0].point;
      f64 vol = v3Dot(p[1].point - a, v3Cross(p[2].point - a, p[3].point - a));
      return std::fabs(vol) < kZero;
    }
    default: return false;
  }
}

v3 closestPointOnTriangleToOrigin(v3 a, v3 b, v3 c, f64* u, f64* v, f64* w) {
  v3 ab = b - a, ac = c - a;
  v3 ap = -a;
  f64 d1 = v3Dot(ab, ap), d2 = v3Dot(ac, ap);
  if (d1 <= 0.0 && d2 <= 0.0) {
    *u = 1.0; *v = 0.0; *w = 0.0;
    return a;
  }
  v3 bp = -b;
  f64 d3 = v3Dot(ab, bp), d4 = v3Dot(ac, bp);
  if (d3 >= 0.0 && d4 <= d3) {
    *u = 0.0; *v = 1.0; *w = 0.0;
    return b;
  }
  f64 vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) {
    f64 t = d1 / (d1 - d3);
    *u = 1.0 - t; *v = t; *w = 0.0;
    return a + ab * t;
  }
  v3 cp = -c;
  f64 d5 = v3Dot(ab, cp), d6 = v3Dot(ac, cp);
  if (d6 >= 0.0 && d5 <= d6) {
    *u = 0.0; *v = 0.0; *w = 1.0;
    return c;
  }
  f64 vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) {
    f64 t = d2 / (d2 - d6);
    *u = 1.0 - t; *v = 0.0; *w = t;
    return a + ac * t;
  }
  f64 va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0) {
    f64 t = (d4 - d3) / ((d4 - d3) + (d5 - d6));
    *u = 0.0; *v = 1.0 - t; *w = t;
    return b + (c - b) * t;
  }
  f64 sum = va + vb + vc;
  if (sum == 0.0) {  // degenerate triangle that no region claimed
    *u = 1.0; *v = 0.0; *w = 0.0;
    return a;
  }
  f64 denom = 1.0 / sum;
  f64 vv = vb * denom, ww = vc * denom;
  *u = 1.0 - vv - ww; *v = vv; *w = ww;
  return a + ab * vv + ac * ww;
}

namespace {

void keepWeighted(VoronoiSimplex* s, const f64* weights) {
  u32 n = 0;
  for (u32 i = 0; i < s->numPoints; ++i)
    if (weights[i] > kZero) s->points[n++] = s->points[i];
  s->numPoints = n;
}

void reduceTriangle(VoronoiSimplex* s, v3* out) {
  f64 w[3];
  *out = closestPointOnTriangleToOrigin(s->points[0].point, s->points[1].point,
                                        s->points[2].point, &w[0], &w[1], &w[2]);
  keepWeighted(s, w);
}

}  // namespace

b8 simplexComputeClosestPoint(VoronoiSimplex* s, v3* outPoint) {
  SimplexPoint* p = s->points;
  switch (s->numPoints) {
    case 1: *outPoint = p[0].point; return true;
    case 2: {
      v3 a = p[0].point, ab = p[1].point - a;
      f64 len2 = v3Dot(ab, ab);
      if (len2 < kPointSq) {
        *outPoint = a;
        s->numPoints = 1;
        return true;
      }
      f64 t = clamp01(-v3Dot(a, ab) / len2);
      *outPoint = a + ab * t;
      if (t <= kZero) {
        s->numPoints = 1;
      } else if (t >= 0.9999999999) {
        p[0] = p[1];
        s->numPoints = 1;
      }
      return true;
    }
    case 3: reduceTriangle(s, outPoint); return true;
    case 4: {
      v3 a = p[0].point, b = p[1].point, c = p[2].point, d = p[3].point;
      f64 det = v3Dot(b - a, v3Cross(c - a, d - a));
      if (std::fabs(det) < kZero) {
        s->isValid = false;
        return false;
      }
      // Normals face outward for a positively oriented tetrahedron; flip them for a
      // negative one, or an enclosed origin would be taken for an outside one.
      f64 orient = det > 0.0 ? 1.0 : -1.0;
      v3 n[4] = {v3Cross(c - b, d - b) * orient, v3Cross(d - a, c - a) * orient,
                 v3Cross(b - a, d - a) * orient, v3Cross(c - a, b - a) * orient};
      static const u32 kFaces[4][3] = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}};
      i32 best = -1;
      f64 bestDist = 0.0;
      for (u32 f = 0; f < 4; ++f) {
        f64 len2 = v3LengthSq(n[f]);
        if (len2 <= kZero) continue;
        v3 origin = f == 0 ? b : a;
        f64 sd = -v3Dot(origin, n[f]);
        if (sd < 0.0) continue;
        f64 dist = sd * sd / len2;
        if (best < 0 || dist < bestDist) {
          best = (i32)f;
          bestDist = dist;
        }
      }
      if (best < 0) {
        *outPoint = V3(0, 0, 0);
        return true;
      }
      SimplexPoint face[3] = {p[kFaces[best][0]], p[kFaces[best][1]], p[kFaces[best][2]]};
      p[0] = face[0];
      p[1] = face[1];
      p[2] = face[2];
      s->numPoints = 3;
      reduceTriangle(s, outPoint);
      return true;
    }
    default: return false;
  }
}

void simplexComputeClosestPointsAB(const VoronoiSimplex* s, v3* outA, v3* outB) {
  const SimplexPoint* p = s->points;
  switch (s->numPoints) {
    case 0:
      *outA = *outB = V3(0, 0, 0);
      return;
    case 1:
      *outA = p[0].suppA;
      *outB = p[0].suppB;
      return;
    case 2: {
      v3 a = p[0].point, ab = p[1].point - a;
      f64 len2 = v3Dot(ab, ab);
      f64 t = len2 < kPointSq ? 0.0 : clamp01(-v3Dot(a, ab) / len2);
      *outA = p[0].suppA + (p[1].suppA - p[0].suppA) * t;
      *outB = p[0].suppB + (p[1].suppB - p[0].suppB) * t;
      return;
    }
    default: {
      // Three points; a (degenerate) tetrahedron left behind uses its first face.
      f64 u, v, w;
      closestPointOnTriangleToOrigin(p[0].point, p[1].point, p[2].point, &u, &v, &w);
      *outA = p[0].suppA * u + p[1].suppA * v + p[2].suppA * w;
      *outB = p[0].suppB * u + p[1].suppB * v + p[2].suppB * w;
      return;
    }
  }
}

void simplexBackupClosestPoint(const VoronoiSimplex* s, v3* outPoint) {
  if (s->numPoints == 0) {
    *outPoint = V3(0, 0, 0);
    return;
  }
  u32 best = 0;
  f64 bestLen = v3LengthSq(s->points[0].point);
  for (u32 i = 1; i < s->numPoints; ++i) {
    f64 l = v3LengthSq(s->points[i].point);
    if (l < bestLen) {
      bestLen = l;
      best = i;
    }
  }
  *outPoint = s->points[best].point;
}

f64 simplexGetMaxLengthSq(const VoronoiSimplex* s) { return s->maxLengthSq; }

// ---- GJK --------------------------------------------------------------------------------

GjkResult gjkTestCollision(const Shape* shapeA, Transform transformA, const Shape* shapeB,
                           Transform transformB, GjkInfo* gjkInfo, const GjkInfo* lastFrameInfo) {
  const f64 margin = shapeA->margin + shapeB->margin;
  VoronoiSimplex simplex;
  simplexInit(&simplex);
  v3 v = V3(0, 1, 0);
  if (lastFrameInfo && lastFrameInfo->isValid && v3LengthSq(lastFrameInfo->separatingAxis) >= kZero)
    v = lastFrameInfo->separatingAxis;
  f64 distSq = kFltMax;

  auto interpenetrate = [&]() {
    if (gjkInfo) gjkInfo->isValid = false;
    return GJK_INTERPENETRATE;
  };

  for (u32 iter = 1;; ++iter) {
    v3 pA = worldSupport(shapeA, transformA, -v);
    v3 pB = worldSupport(shapeB, transformB, v);
    v3 w = pA - pB;
    f64 vw = v3Dot(v, w);
    if (vw > 0.0 && vw * vw > margin * margin * distSq) {
      if (gjkInfo) {
        gjkInfo->separatingAxis = v;
        gjkInfo->isValid = true;
      }
      return GJK_SEPARATED;
    }
    if (simplexIsPointInSimplex(&simplex, w) || distSq - vw <= 1e-6 * distSq) break;
    if (!simplexIsFull(&simplex)) simplexAddPoint(&simplex, w, pA, pB);
    v3 closest;
    if (simplexIsAffinelyDependent(&simplex) || !simplexComputeClosestPoint(&simplex, &closest))
      break;
    v = closest;
    f64 newDistSq = v3LengthSq(v);
    if (distSq - newDistSq <= kEps * distSq) {
      simplexBackupClosestPoint(&simplex, &v);
      distSq = v3LengthSq(v);
      break;
    }
    if (simplex.numPoints == 4) return interpenetrate();
    if (newDistSq <= kEps * simplex.maxLengthSq || iter >= kMaxGjkIterations)
      return interpenetrate();
    distSq = newDistSq;
  }
  if (distSq <= kEps) return interpenetrate();

  v3 cA, cB;
  simplexComputeClosestPointsAB(&simplex, &cA, &cB);
  f64 vLen = v3Length(v);
  v3 normal = vLen > 0.0 ? v * (-1.0 / vLen) : V3(0, 0, 0);
  cA += normal * shapeA->margin;
  cB -= normal * shapeB->margin;
  f64 depth = margin - std::sqrt(distSq);
  if (depth > 0.0 && v3LengthSq(normal) >= kEps) {
    if (gjkInfo) {
      gjkInfo->normal = normal;
      gjkInfo->penetrationDepth = depth;
      gjkInfo->closestPointA = cA;
      gjkInfo->closestPointB = cB;
      gjkInfo->separatingAxis = v;
      gjkInfo->isValid = true;
    }
    return GJK_COLLIDE_MARGIN;
  }
  if (gjkInfo) {
    gjkInfo->separatingAxis = v;
    gjkInfo->isValid = true;
  }
  return GJK_SEPARATED;
}

f64 gjkComputeClosestPoints(const Shape* shapeA, Transform transformA, const Shape* shapeB,
                            Transform transformB, v3* closestA, v3* closestB) {
  GjkInfo info{};
  GjkResult r = gjkTestCollision(shapeA, transformA, shapeB, transformB, &info, nullptr);
  if (r == GJK_COLLIDE_MARGIN && info.isValid) {
    *closestA = info.closestPointA;
    *closestB = info.closestPointB;
    return v3LengthSq(info.closestPointB - info.closestPointA);
  }
  *closestA = transformA.position;
  *closestB = transformB.position;
  return 0.0;
}

// ---- closed-form pairs ------------------------------------------------------------------
// Each pair reports points up to `within` apart (negative depth) as well as
// overlapping ones; within = 0 keeps the plain touching rules.

namespace {

// Contact test for a squared distance d2 against the radius sum rs: at 0 the
// caller's touching rule holds (touchCounts), beyond it every point within counts.
b8 beyondReach(f64 d2, f64 rs, f64 within, b8 touchCounts) {
  if (within > 0.0) {
    f64 reach = rs + within;
    return d2 > reach * reach;
  }
  return touchCounts ? d2 > rs * rs : d2 >= rs * rs;
}

b8 sphereVsSphere(const SphereShape* a, Transform ta, const SphereShape* b, Transform tb,
                  f64 within, ContactManifold* m) {
  v3 d = tb.position - ta.position;
  f64 rs = a->radius + b->radius;
  f64 d2 = v3LengthSq(d);
  if (beyondReach(d2, rs, within, true)) return false;
  f64 dist = std::sqrt(d2);
  v3 normal = dist > kZero ? d * (1.0 / dist) : V3(0, 1, 0);
  manifoldAddPoint(m, quatRotate(quatConjugate(ta.orientation), normal * a->radius),
                   quatRotate(quatConjugate(tb.orientation), normal * -b->radius), normal,
                   rs - dist);
  return true;
}

b8 sphereVsCapsule(const SphereShape* a, Transform ta, const CapsuleShape* b, Transform tb,
                   f64 within, ContactManifold* m) {
  v3 p0, p1;
  capsuleSegment(b, tb, &p0, &p1);
  v3 centre = ta.position;
  v3 c = closestPointOnSegment(p0, p1, centre);
  f64 rs = a->radius + b->radius;
  f64 d2 = v3LengthSq(centre - c);
  if (beyondReach(d2, rs, within, false)) return false;
  f64 dist = std::sqrt(d2);
  v3 normal = dist > kZero ? (c - centre) * (1.0 / dist) : V3(0, -1, 0);
  manifoldAddPoint(m, quatRotate(quatConjugate(ta.orientation), normal * a->radius),
                   transformInversePoint(tb, c - normal * b->radius), normal, rs - dist);
  return true;
}

b8 capsuleVsCapsule(const CapsuleShape* a, Transform ta, const CapsuleShape* b, Transform tb,
                    f64 within, ContactManifold* m) {
  v3 a0, a1, b0, b1, cA, cB;
  capsuleSegment(a, ta, &a0, &a1);
  capsuleSegment(b, tb, &b0, &b1);
  closestPointsBetweenSegments(a0, a1, b0, b1, &cA, &cB);
  f64 rs = a->radius + b->radius;
  f64 d2 = v3LengthSq(cB - cA);
  if (beyondReach(d2, rs, within, false)) return false;
  f64 dist = std::sqrt(d2);
  v3 normal = dist > kZero ? (cB - cA) * (1.0 / dist) : V3(0, 1, 0);
  manifoldAddPoint(m, transformInversePoint(ta, cA + normal * a->radius),
                   transformInversePoint(tb, cB - normal * b->radius), normal, rs - dist);
  return true;
}

b8 sphereVsBox(const SphereShape* a, Transform ta, const BoxShape* b, Transform tb, f64 within,
               ContactManifold* m) {
  v3 p = transformInversePoint(tb, ta.position);
  v3 h = b->halfExtents;
  v3 q = V3(std::fmax(-h.x, std::fmin(p.x, h.x)), std::fmax(-h.y, std::fmin(p.y, h.y)),
            std::fmax(-h.z, std::fmin(p.z, h.z)));
  f64 r = a->radius;
  f64 d2 = v3LengthSq(p - q);
  if (beyondReach(d2, r, within, false)) return false;
  f64 dist = std::sqrt(d2);
  v3 local;
  if (dist > kZero) {
    local = (p - q) * (1.0 / dist);
  } else {
    f64 dx = h.x - std::fabs(p.x), dy = h.y - std::fabs(p.y), dz = h.z - std::fabs(p.z);
    int axis;
    f64 pen;
    if (dx <= dy && dx <= dz) {
      axis = 0;
      pen = dx;
    } else if (dy > dz) {
      axis = 2;
      pen = dz;
    } else {
      axis = 1;
      pen = dy;
    }
    local = V3(0, 0, 0);
    v3Set(local, axis, v3Get(p, axis) > 0.0 ? 1.0 : -1.0);
    dist = -pen;
  }
  v3 normal = -quatRotate(tb.orientation, local);
  manifoldAddPoint(m, quatRotate(quatConjugate(ta.orientation), normal * r), q, normal, r - dist);
  return true;
}

}  // namespace

b8 collisionSphereVsSphere(const SphereShape* a, Transform ta, const SphereShape* b, Transform tb,
                           ContactManifold* m) {
  return sphereVsSphere(a, ta, b, tb, 0.0, m);
}

b8 collisionSphereVsCapsule(const SphereShape* a, Transform ta, const CapsuleShape* b, Transform tb,
                            ContactManifold* m) {
  return sphereVsCapsule(a, ta, b, tb, 0.0, m);
}

b8 collisionCapsuleVsCapsule(const CapsuleShape* a, Transform ta, const CapsuleShape* b,
                             Transform tb, ContactManifold* m) {
  return capsuleVsCapsule(a, ta, b, tb, 0.0, m);
}

b8 collisionSphereVsBox(const SphereShape* a, Transform ta, const BoxShape* b, Transform tb,
                        ContactManifold* m) {
  return sphereVsBox(a, ta, b, tb, 0.0, m);
}

// ---- dispatch ---------------------------------------------------------------------------

namespace {

b8 gjkFallback(const Shape* a, Transform ta, const Shape* b, Transform tb, ContactManifold* m) {
  GjkInfo info{};
  if (gjkTestCollision(a, ta, b, tb, &info, nullptr) != GJK_COLLIDE_MARGIN ||
      !(info.penetrationDepth > 0.0))
    return false;
  manifoldAddPoint(m, transformInversePoint(ta, info.closestPointA),
                   transformInversePoint(tb, info.closestPointB), info.normal,
                   info.penetrationDepth);
  return true;
}

}  // namespace

b8 narrowphaseCollide(const Shape* shapeA, Transform transformA, const Shape* shapeB,
                      Transform transformB, ContactManifold* m) {
  return narrowphaseCollideWithin(shapeA, transformA, shapeB, transformB, 0.0, m);
}

b8 narrowphaseCollideWithin(const Shape* shapeA, Transform transformA, const Shape* shapeB,
                            Transform transformB, f64 within, ContactManifold* m) {
  m->numContacts = 0;
  if (!(within > 0.0)) within = 0.0;  // also turns NaN into "overlap only"
  const ShapeType ta = shapeA->type, tb = shapeB->type;
  const auto* sphA = (const SphereShape*)shapeA;
  const auto* sphB = (const SphereShape*)shapeB;
  const auto* boxA = (const BoxShape*)shapeA;
  const auto* boxB = (const BoxShape*)shapeB;
  const auto* capA = (const CapsuleShape*)shapeA;
  const auto* capB = (const CapsuleShape*)shapeB;
  const auto* polyA = (const ConvexPolyhedronShape*)shapeA;
  const auto* polyB = (const ConvexPolyhedronShape*)shapeB;

  // The reserved concave kind and unknown tags have no geometry: never a contact.
  if (ta == SHAPE_CONCAVE_MESH || tb == SHAPE_CONCAVE_MESH || ta >= SHAPE_COUNT || tb >= SHAPE_COUNT)
    return false;
  if (ta == SHAPE_SPHERE && tb == SHAPE_SPHERE)
    return sphereVsSphere(sphA, transformA, sphB, transformB, within, m);
  if (ta == SHAPE_SPHERE && tb == SHAPE_BOX)
    return sphereVsBox(sphA, transformA, boxB, transformB, within, m);
  if (ta == SHAPE_BOX && tb == SHAPE_SPHERE)
    return mirrored(m, sphereVsBox(sphB, transformB, boxA, transformA, within, m));
  if (ta == SHAPE_SPHERE && tb == SHAPE_CAPSULE)
    return sphereVsCapsule(sphA, transformA, capB, transformB, within, m);
  if (ta == SHAPE_CAPSULE && tb == SHAPE_SPHERE)
    return mirrored(m, sphereVsCapsule(sphB, transformB, capA, transformA, within, m));
  if (ta == SHAPE_CAPSULE && tb == SHAPE_CAPSULE)
    return capsuleVsCapsule(capA, transformA, capB, transformB, within, m);
  if (ta == SHAPE_BOX && tb == SHAPE_BOX) return boxBoxCollide(boxA, transformA, boxB, transformB, within, m);
  if (ta == SHAPE_CAPSULE && tb == SHAPE_BOX) {
    BoxAsConvexPoly vb;
    boxAsConvexPolyInit(&vb, boxB);
    return satCapsuleVsConvexPolyWithin(capA, transformA, &vb.poly, transformB, within, m);
  }
  if (ta == SHAPE_BOX && tb == SHAPE_CAPSULE) {
    BoxAsConvexPoly va;
    boxAsConvexPolyInit(&va, boxA);
    return mirrored(m, satCapsuleVsConvexPolyWithin(capB, transformB, &va.poly, transformA, within, m));
  }
  if (ta == SHAPE_BOX && tb == SHAPE_CONVEX_POLY) {
    BoxAsConvexPoly va;
    boxAsConvexPolyInit(&va, boxA);
    return satConvexPolyPair(&va.poly, boxA, transformA, polyB, nullptr, transformB, within, m);
  }
  if (ta == SHAPE_CONVEX_POLY && tb == SHAPE_BOX) {
    BoxAsConvexPoly vb;
    boxAsConvexPolyInit(&vb, boxB);
    return satConvexPolyPair(polyA, nullptr, transformA, &vb.poly, boxB, transformB, within, m);
  }
  if (ta == SHAPE_CONVEX_POLY && tb == SHAPE_CONVEX_POLY)
    return satConvexPolyPair(polyA, nullptr, transformA, polyB, nullptr, transformB, within, m);
  if (ta == SHAPE_SPHERE && tb == SHAPE_CONVEX_POLY)
    return satSphereVsConvexPolyWithin(sphA, transformA, polyB, transformB, within, m);
  if (ta == SHAPE_CONVEX_POLY && tb == SHAPE_SPHERE)
    return mirrored(m, satSphereVsConvexPolyWithin(sphB, transformB, polyA, transformA, within, m));
  if (ta == SHAPE_CAPSULE && tb == SHAPE_CONVEX_POLY)
    return satCapsuleVsConvexPolyWithin(capA, transformA, polyB, transformB, within, m);
  if (ta == SHAPE_CONVEX_POLY && tb == SHAPE_CAPSULE)
    return mirrored(m, satCapsuleVsConvexPolyWithin(capB, transformB, polyA, transformA, within, m));
  if (ta == SHAPE_HEIGHTFIELD && shapeIsConvex(shapeB))
    return heightFieldVsConvexWithin((const HeightFieldShape*)shapeA, transformA, shapeB,
                                     transformB, within, m, false);
  if (shapeIsConvex(shapeA) && tb == SHAPE_HEIGHTFIELD)
    return heightFieldVsConvexWithin((const HeightFieldShape*)shapeB, transformB, shapeA,
                                     transformA, within, m, true);
  return gjkFallback(shapeA, transformA, shapeB, transformB, m);
}
