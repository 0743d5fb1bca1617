// Box against box: the fifteen separating axes of two boxes (three face normals
// each, nine edge-pair cross products) tested in closed form in A's frame, then a
// face manifold from the incident face clipped to the reference face, or one
// point between the two closest edges.
#include <cmath>

#include "physics/narrowphase.h"
#include "physics/narrowphase_internal.h"

namespace {

// Columns of the rotation matrix of a unit quaternion: the body's axes.
void quatAxes(v4 q, v3 axes[3]) {
  const f64 x = q.x, y = q.y, z = q.z, w = q.w;
  axes[0] = V3(1 - 2 * (y * y + z * z), 2 * (x * y + w * z), 2 * (x * z - w * y));
  axes[1] = V3(2 * (x * y - w * z), 1 - 2 * (x * x + z * z), 2 * (y * z + w * x));
  axes[2] = V3(2 * (x * z + w * y), 2 * (y * z - w * x), 1 - 2 * (x * x + y * y));
}

f64 comp(v3 v, int i) { return i == 0 ? v.x : (i == 1 ? v.y : v.z); }

// Four of up to eight candidate points on the reference face (2D coordinates u, v
// in it): the deepest, the farthest from it, the one spanning the largest
// triangle with both, and the one adding the most area. Writes indices.
u32 pickFour(const f64* u, const f64* v, const f64* depth, u32 n, u32 out[4]) {
  if (n <= 4) {
    for (u32 i = 0; i < n; ++i) out[i] = i;
    return n;
  }
  b8 taken[8] = {};
  u32 first = 0;
  for (u32 i = 1; i < n; ++i)
    if (depth[i] > depth[first]) first = i;
  out[0] = first;
  taken[first] = true;
  auto area2 = [&](u32 a, u32 b, u32 c) {
    return std::fabs((u[b] - u[a]) * (v[c] - v[a]) - (v[b] - v[a]) * (u[c] - u[a]));
  };
  auto best = [&](auto score) {
    u32 bi = 0;
    f64 bs = -1.0;
    for (u32 i = 0; i < n; ++i) {
      if (taken[i]) continue;
      f64 s = score(i);
      if (s > bs) {
        bs = s;
        bi = i;
      }
    }
    taken[bi] = true;
    return bi;
  };
  out[1] = best([&](u32 i) {
    f64 du = u[i] - u[first], dv = v[i] - v[first];
    return du * du + dv * dv;
  });
  out[2] = best([&](u32 i) { return area2(out[0], out[1], i); });
  const f64 base = area2(out[0], out[1], out[2]);
  out[3] = best([&](u32 i) {
    return area2(out[0], out[1], i) + area2(out[1], out[2], i) + area2(out[2], out[0], i) - base;
  });
  return 4;
}

}  // namespace

b8 boxBoxCollide(const BoxShape* boxA, Transform ta, const BoxShape* boxB, Transform tb, f64 within,
                 ContactManifold* manifold) {
  v3 axA[3], axB[3];
  quatAxes(ta.orientation, axA);
  quatAxes(tb.orientation, axB);
  const v3 hA = boxA->halfExtents, hB = boxB->halfExtents;
  const f64 ha[3] = {hA.x, hA.y, hA.z}, hb[3] = {hB.x, hB.y, hB.z};
  const v3 d = tb.position - ta.position;

  // R[i][j] = A_i . B_j; t = centre offset in A's frame. The small constant keeps
  // nearly parallel edge axes from reporting a separation they do not have.
  f64 R[3][3], AR[3][3], t[3];
  for (int i = 0; i < 3; ++i) {
    t[i] = v3Dot(axA[i], d);
    for (int j = 0; j < 3; ++j) {
      R[i][j] = v3Dot(axA[i], axB[j]);
      AR[i][j] = std::fabs(R[i][j]) + 1e-12;
    }
  }

  // Face axes: separation s = |t.L| - (rA + rB); contact when s < within.
  f64 bestFaceSep = -1e300;
  int bestFace = -1;  // 0..2 A's faces, 3..5 B's
  f64 sepA = -1e300, sepB = -1e300;
  int faceA = 0, faceB = 0;
  for (int i = 0; i < 3; ++i) {
    f64 rb = hb[0] * AR[i][0] + hb[1] * AR[i][1] + hb[2] * AR[i][2];
    f64 s = std::fabs(t[i]) - (ha[i] + rb);
    if (s >= within) return false;
    if (s > sepA) {
      sepA = s;
      faceA = i;
    }
  }
  for (int j = 0; j < 3; ++j) {
    f64 ra = ha[0] * AR[0][j] + ha[1] * AR[1][j] + ha[2] * AR[2][j];
    f64 tj = t[0] * R[0][j] + t[1] * R[1][j] + t[2] * R[2][j];
    f64 s = std::fabs(tj) - (ra + hb[j]);
    if (s >= within) return false;
    if (s > sepB) {
      sepB = s;
      faceB = j;
    }
  }
  // Like the polyhedron path: A's face unless B's is clearly better.
  const f64 penA = -sepA, penB = -sepB;
  if (penA < 1.002 * penB + 0.0005) {
    bestFace = faceA;
    bestFaceSep = sepA;
  } else {
    bestFace = 3 + faceB;
    bestFaceSep = sepB;
  }

  // Edge axes A_i x B_j, in A's frame.
  f64 bestEdgeSep = -1e300;
  int edgeI = -1, edgeJ = -1;
  v3 edgeAxisLocal = V3(0, 0, 0);
  for (int i = 0; i < 3; ++i) {
    const int i1 = (i + 1) % 3, i2 = (i + 2) % 3;
    for (int j = 0; j < 3; ++j) {
      const int j1 = (j + 1) % 3, j2 = (j + 2) % 3;
      // L = A_i x B_j expressed in A's frame: components along A_i1, A_i2.
      f64 len2 = 1.0 - R[i][j] * R[i][j];
      if (len2 < 1e-10) continue;  // parallel edges
      f64 len = std::sqrt(len2);
      f64 tl = t[i2] * R[i1][j] - t[i1] * R[i2][j];
      f64 ra = ha[i1] * AR[i2][j] + ha[i2] * AR[i1][j];
      f64 rb = hb[j1] * AR[i][j2] + hb[j2] * AR[i][j1];
      f64 s = (std::fabs(tl) - (ra + rb)) / len;
      if (s >= within) return false;
      if (s > bestEdgeSep) {
        bestEdgeSep = s;
        edgeI = i;
        edgeJ = j;
        v3 l = V3(0, 0, 0);
        // A_i x B_j with B_j = sum_k R[k][j] A_k.
        v3Set(l, i1, -R[i2][j]);
        v3Set(l, i2, R[i1][j]);
        edgeAxisLocal = l * ((tl < 0.0 ? -1.0 : 1.0) / len);
      }
    }
  }

  const f64 facePen = -bestFaceSep;
  const f64 edgePen = -bestEdgeSep;
  if (edgeI >= 0 && 1.002 * edgePen + 0.0005 < facePen) {
    // Edge against edge: each box's edge along the axis, at its support corner.
    v3 n = axA[0] * edgeAxisLocal.x + axA[1] * edgeAxisLocal.y + axA[2] * edgeAxisLocal.z;
    v3 ca = ta.position, cb = tb.position;
    for (int k = 0; k < 3; ++k) {
      if (k != edgeI) ca += axA[k] * (v3Dot(n, axA[k]) > 0.0 ? ha[k] : -ha[k]);
      if (k != edgeJ) cb += axB[k] * (v3Dot(n, axB[k]) > 0.0 ? -hb[k] : hb[k]);
    }
    v3 pA, pB;
    closestPointsBetweenSegments(ca - axA[edgeI] * ha[edgeI], ca + axA[edgeI] * ha[edgeI],
                                 cb - axB[edgeJ] * hb[edgeJ], cb + axB[edgeJ] * hb[edgeJ], &pA, &pB);
    manifoldAddPoint(manifold, transformInversePoint(ta, pA), transformInversePoint(tb, pB), n, edgePen);
    return true;
  }

  // Face contact. The reference box owns the face; its normal points to the other.
  const b8 refIsA = bestFace < 3;
  const int rf = refIsA ? bestFace : bestFace - 3;
  const v3* rAx = refIsA ? axA : axB;
  const v3* iAx = refIsA ? axB : axA;
  const f64* rh = refIsA ? ha : hb;
  const f64* ih = refIsA ? hb : ha;
  const v3 rPos = refIsA ? ta.position : tb.position;
  const v3 iPos = refIsA ? tb.position : ta.position;
  const f64 side = v3Dot(rAx[rf], iPos - rPos) >= 0.0 ? 1.0 : -1.0;
  const v3 nRef = rAx[rf] * side;  // from the reference box to the incident one

  // Incident face: the incident box's face most opposed to nRef.
  int inc = 0;
  f64 incDot = 0.0;
  for (int k = 0; k < 3; ++k) {
    f64 dk = v3Dot(iAx[k], nRef);
    if (std::fabs(dk) > std::fabs(incDot)) {
      incDot = dk;
      inc = k;
    }
  }
  const v3 incCentre = iPos + iAx[inc] * (incDot > 0.0 ? -ih[inc] : ih[inc]);
  const int k1 = (inc + 1) % 3, k2 = (inc + 2) % 3;
  const v3 e1 = iAx[k1] * ih[k1], e2 = iAx[k2] * ih[k2];
  // Incident corners in the reference box's frame, u and v along the face's axes.
  const int u = (rf + 1) % 3, v = (rf + 2) % 3;
  v3 poly[16], tmp[16];
  const v3 corners[4] = {incCentre + e1 + e2, incCentre - e1 + e2, incCentre - e1 - e2,
                         incCentre + e1 - e2};
  for (int c = 0; c < 4; ++c) {
    v3 rel = corners[c] - rPos;
    poly[c] = V3(v3Dot(rel, rAx[0]), v3Dot(rel, rAx[1]), v3Dot(rel, rAx[2]));
  }
  u32 count = 4;
  // Clip to the reference face's extent along u and v.
  const int clipAxes[2] = {u, v};
  for (int a = 0; a < 2 && count > 0; ++a) {
    for (int sgn = -1; sgn <= 1 && count > 0; sgn += 2) {
      const int ax = clipAxes[a];
      v3 pn = V3(0, 0, 0), pp = V3(0, 0, 0);
      v3Set(pn, ax, -(f64)sgn);  // inside when sgn * x <= h
      v3Set(pp, ax, sgn * rh[ax]);
      count = clipPolygonAgainstPlane(poly, count, pp, pn, tmp);
      for (u32 m = 0; m < count; ++m) poly[m] = tmp[m];
    }
  }
  if (count == 0) return false;

  f64 pu[8], pv[8], pd[8];
  v3 pts[8];
  u32 n = 0;
  for (u32 m = 0; m < count && n < 8; ++m) {
    f64 depth = rh[rf] - side * comp(poly[m], rf);
    if (!(depth > -within)) continue;
    pts[n] = poly[m];
    pu[n] = comp(poly[m], u);
    pv[n] = comp(poly[m], v);
    pd[n] = depth;
    ++n;
  }
  if (n == 0) return false;
  u32 keep[4];
  u32 kept = pickFour(pu, pv, pd, n, keep);
  const v3 normal = refIsA ? nRef : -nRef;
  const Transform refT = refIsA ? ta : tb;
  const Transform incT = refIsA ? tb : ta;
  for (u32 k = 0; k < kept; ++k) {
    const v3 p = pts[keep[k]];
    const v3 world = rPos + rAx[0] * p.x + rAx[1] * p.y + rAx[2] * p.z;  // on the incident box
    const v3 onRef = world + nRef * pd[keep[k]];
    const v3 refLocal = transformInversePoint(refT, onRef);
    const v3 incLocal = transformInversePoint(incT, world);
    if (refIsA) manifoldAddPoint(manifold, refLocal, incLocal, normal, pd[keep[k]]);
    else manifoldAddPoint(manifold, incLocal, refLocal, normal, pd[keep[k]]);
  }
  return true;
}
