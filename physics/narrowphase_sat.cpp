// Separating-axis contacts for convex polyhedra (boxes through a polyhedron
// view), polygon clipping, and convex shapes against height fields.
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "physics/narrowphase.h"
#include "physics/narrowphase_internal.h"

namespace {

constexpr f64 kFltMax = 3.4028235e38;
constexpr u32 kMaxClip = 32;
constexpr u32 kMaxCapsulePlanes = 16;

constexpr HalfEdge BOX_EDGE_DATA[24] = {
    {0, 1, 3, 18}, {1, 0, 5, 7},  {1, 3, 0, 20}, {3, 2, 5, 1},  {3, 5, 2, 22}, {2, 4, 5, 3},
    {2, 7, 1, 16}, {0, 6, 5, 5},  {4, 9, 4, 10}, {5, 8, 3, 17}, {5, 11, 4, 12}, {7, 10, 0, 19},
    {7, 13, 4, 14}, {6, 12, 2, 21}, {6, 15, 4, 8}, {4, 14, 1, 23}, {0, 17, 1, 15}, {4, 16, 3, 0},
    {1, 19, 3, 9}, {5, 18, 0, 2}, {3, 21, 0, 11}, {7, 20, 2, 4}, {2, 23, 2, 13}, {6, 22, 1, 6},
};
const u32 BOX_VERT_EDGE[8] = {0, 2, 6, 4, 8, 10, 14, 12};
const u32 BOX_FACE_VERTS[6][4] = {{1, 3, 7, 5}, {0, 4, 6, 2}, {2, 6, 7, 3},
                                  {0, 1, 5, 4}, {4, 5, 7, 6}, {0, 2, 3, 1}};
const u32 BOX_FACE_EDGE[6] = {2, 16, 22, 0, 8, 7};

// For the box topology: entry [pos * 64 + neg] has bit k set when edge 2k's face
// is in the face set pos and its twin's face is in neg. Sign patterns of dot
// products per face thus give, in one lookup, the edges a Gauss-map arc test can
// pass for.
struct BoxEdgeMasks {
  u16 m[64 * 64];
};
constexpr BoxEdgeMasks makeBoxEdgeMasks() {
  BoxEdgeMasks t{};
  for (u32 pos = 0; pos < 64; ++pos)
    for (u32 neg = 0; neg < 64; ++neg) {
      u32 m = 0;
      for (u32 k = 0; k < 12; ++k)
        if (((pos >> BOX_EDGE_DATA[2 * k].faceIndex) & 1u) && ((neg >> BOX_EDGE_DATA[2 * k + 1].faceIndex) & 1u))
          m |= 1u << k;
      t.m[pos * 64 + neg] = (u16)m;
    }
  return t;
}
constexpr BoxEdgeMasks kBoxEdgeMasks = makeBoxEdgeMasks();

// Bit f set where row[f] > 0 (positive) or row[f] < 0 (negative), for six
// entries; zeros and NaN are in neither.
void signMasks6(const f64* row, u32* positive, u32* negative) {
#if defined(__SSE2__)
  const __m128d zero = _mm_setzero_pd();
  u32 p = 0, q = 0;
  for (u32 f = 0; f < 6; f += 2) {
    __m128d v = _mm_loadu_pd(row + f);
    p |= (u32)_mm_movemask_pd(_mm_cmpgt_pd(v, zero)) << f;
    q |= (u32)_mm_movemask_pd(_mm_cmplt_pd(v, zero)) << f;
  }
#else
  u32 p = 0, q = 0;
  for (u32 f = 0; f < 6; ++f) {
    p |= (u32)(row[f] > 0.0) << f;
    q |= (u32)(row[f] < 0.0) << f;
  }
#endif
  *positive = p;
  *negative = q;
}

// Face normals of one polyhedron for one call: computed once into a stack buffer
// when it has few faces, otherwise on demand.
// The face search also keeps the normals it rotated into the other polyhedron's
// frame, for the edge pass and the incident-face search of the same call.
struct FaceNormals {
  static constexpr u32 kCached = 64;
  const ConvexPolyhedronShape* poly;
  v3 cache[kCached];
  v3 rotated[kCached];
  u32 cached;
  u32 rotatedCount;
  void init(const ConvexPolyhedronShape* p) {
    poly = p;
    u32 n = convexPolyGetNumFaces(p);
    cached = n <= kCached ? n : 0;
    rotatedCount = 0;
    for (u32 i = 0; i < cached; ++i) cache[i] = convexPolyGetFaceNormal(p, i);
  }
  v3 operator[](u32 i) const { return i < cached ? cache[i] : convexPolyGetFaceNormal(poly, i); }
  // Normal i rotated by q, which must be the rotation the face search used.
  v3 rotatedBy(u32 i, v4 q) const { return i < rotatedCount ? rotated[i] : quatRotate(q, (*this)[i]); }
};

// First vertex of a face (the origin when the face has none).
v3 faceFirstVertex(const ConvexPolyhedronShape* p, u32 f) {
  const Face* face = &p->halfEdge.faces[f];
  if (face->numVertices == 0 || !face->faceVertices) return V3(0, 0, 0);
  return convexPolyGetVertex(p, face->faceVertices[0]);
}

v3 edgeVertex(const ConvexPolyhedronShape* p, u32 e) {
  return convexPolyGetVertex(p, p->halfEdge.edges[e].vertexIndex);
}

// True when every half-edge and face reference stays inside the structure, so
// the routines below can index without further checks.
b8 polyIsUsable(const ConvexPolyhedronShape* p) {
  const HalfEdgeStructure* he = &p->halfEdge;
  if (!p->vertices || !he->faces || he->numFaces == 0) return false;
  if (he->numEdges > 0 && !he->edges) return false;
  return true;
}

b8 edgeIsUsable(const ConvexPolyhedronShape* p, u32 e) {
  const HalfEdgeStructure* he = &p->halfEdge;
  const HalfEdge& h = he->edges[e];
  return h.twinEdgeIndex < he->numEdges && h.nextEdgeIndex < he->numEdges &&
         h.faceIndex < he->numFaces && he->edges[h.twinEdgeIndex].faceIndex < he->numFaces;
}

}  // namespace

void boxAsConvexPolyInit(BoxAsConvexPoly* bcp, const BoxShape* box) {
  v3 h = box->halfExtents;
  for (u32 i = 0; i < 8; ++i) {
    bcp->vertices[i] = V3((i & 1) ? h.x : -h.x, (i & 2) ? h.y : -h.y, (i & 4) ? h.z : -h.z);
    bcp->heVertices[i].edgeIndex = BOX_VERT_EDGE[i];
  }
  for (u32 i = 0; i < 24; ++i) bcp->heEdges[i] = BOX_EDGE_DATA[i];
  for (u32 f = 0; f < 6; ++f) {
    for (u32 k = 0; k < 4; ++k) bcp->faceVerts[f][k] = BOX_FACE_VERTS[f][k];
    bcp->heFaces[f].edgeIndex = BOX_FACE_EDGE[f];
    bcp->heFaces[f].faceVertices = bcp->faceVerts[f];
    bcp->heFaces[f].numVertices = 4;
  }
  ConvexPolyhedronShape* p = &bcp->poly;
  p->base.type = SHAPE_CONVEX_POLY;
  p->base.margin = box->base.margin;
  p->vertices = bcp->vertices;
  p->numVertices = 8;
  p->halfEdge.vertices = bcp->heVertices;
  p->halfEdge.edges = bcp->heEdges;
  p->halfEdge.faces = bcp->heFaces;
  p->halfEdge.numVertices = 8;
  p->halfEdge.numEdges = 24;
  p->halfEdge.numFaces = 6;
  p->centroid = V3(0, 0, 0);
}

namespace {

// One Sutherland-Hodgman pass that never writes more than cap vertices.
u32 clipPolygon(const v3* polygon, u32 numVerts, v3 planePoint, v3 planeNormal, v3* outPolygon,
                u32 cap) {
  if (numVerts == 0) return 0;
  u32 out = 0;
  v3 prev = polygon[numVerts - 1];
  f64 dPrev = v3Dot(prev - planePoint, planeNormal);
  for (u32 i = 0; i < numVerts; ++i) {
    v3 cur = polygon[i];
    f64 dCur = v3Dot(cur - planePoint, planeNormal);
    b8 prevIn = dPrev >= 0.0, curIn = dCur >= 0.0;
    if (prevIn && curIn) {
      if (out < cap) outPolygon[out++] = cur;
    } else if (prevIn || curIn) {
      if (out < cap) outPolygon[out++] = prev + (cur - prev) * (dPrev / (dPrev - dCur));
      if (curIn && out < cap) outPolygon[out++] = cur;
    }
    prev = cur;
    dPrev = dCur;
  }
  return out;
}

// A pass can add vertices; a large face must never overflow the fixed buffers,
// so the output is capped at kMaxClip.
u32 clipCapped(const v3* in, u32 n, v3 planePoint, v3 planeNormal, v3* out) {
  return clipPolygon(in, n, planePoint, planeNormal, out, kMaxClip);
}

}  // namespace

u32 clipPolygonAgainstPlane(const v3* polygon, u32 numVerts, v3 planePoint, v3 planeNormal,
                            v3* outPolygon) {
  return clipPolygon(polygon, numVerts, planePoint, planeNormal, outPolygon, 2 * numVerts);
}

namespace {

// convexPolyGetLocalSupport on a box view, without the loop: the eight dot
// products are the sign combinations of three products (negation is exact), and
// the first strict maximum wins as there.
v3 boxSupport(v3 h, v3 dir) {
  const f64 tx = h.x * dir.x, ty = h.y * dir.y, tz = h.z * dir.z;
  const f64 xy[4] = {-tx + -ty, tx + -ty, -tx + ty, tx + ty};
  f64 best = -kFltMax;
  u32 bestIndex = 0;
  // Selects rather than branches: which vertex wins is data-dependent.
  for (u32 i = 0; i < 8; ++i) {
    f64 d = xy[i & 3] + ((i & 4) ? tz : -tz);
    b8 gt = d > best;
    best = gt ? d : best;
    bestIndex = gt ? i : bestIndex;
  }
  return V3((bestIndex & 1) ? h.x : -h.x, (bestIndex & 2) ? h.y : -h.y, (bestIndex & 4) ? h.z : -h.z);
}

v3 polySupport(const ConvexPolyhedronShape* p, const v3* boxHalf, v3 dir) {
  return boxHalf ? boxSupport(*boxHalf, dir) : convexPolyGetLocalSupport(p, dir);
}

// The deepest-face search of poly1 against poly2, with poly1's normals
// precomputed. box2Half: poly2 is the view of a box with these half extents.
// verts1: poly1's vertices already in poly2's frame, or null.
f64 testFaces(const ConvexPolyhedronShape* poly1, FaceNormals& normals1,
              const ConvexPolyhedronShape* poly2, const v3* box2Half, Transform poly1ToPoly2,
              const v3* verts1, f64 within, u32* outMinFace) {
  f64 minPen = kFltMax;
  u32 n = convexPolyGetNumFaces(poly1);
  for (u32 i = 0; i < n; ++i) {
    v3 normal = quatRotate(poly1ToPoly2.orientation, normals1[i]);
    if (i < normals1.cached) {
      normals1.rotated[i] = normal;
      normals1.rotatedCount = i + 1;
    }
    v3 s = polySupport(poly2, box2Half, -normal);
    const Face* face = &poly1->halfEdge.faces[i];
    v3 v = verts1 && face->numVertices > 0 && face->faceVertices &&
                   face->faceVertices[0] < poly1->numVertices
               ? verts1[face->faceVertices[0]]
               : transformPoint(poly1ToPoly2, faceFirstVertex(poly1, i));
    f64 pen = v3Dot(normal, v - s);
    if (pen <= -within) {
      *outMinFace = i;
      return pen;
    }
    if (pen < minPen) {
      minPen = pen;
      *outMinFace = i;
    }
  }
  return minPen;
}

}  // namespace

f64 satTestFacesDirection(const ConvexPolyhedronShape* poly1, const ConvexPolyhedronShape* poly2,
                          Transform poly1ToPoly2, u32* outMinFace) {
  FaceNormals normals;
  normals.init(poly1);
  return testFaces(poly1, normals, poly2, nullptr, poly1ToPoly2, nullptr, 0.0, outMinFace);
}

b8 satConvexPolyPair(const ConvexPolyhedronShape* polyA, const BoxShape* boxA, Transform transformA,
                     const ConvexPolyhedronShape* polyB, const BoxShape* boxB, Transform transformB,
                     f64 within, ContactManifold* manifold) {
  if (!polyIsUsable(polyA) || !polyIsUsable(polyB)) return false;
  FaceNormals nA, nB;
  nA.init(polyA);
  nB.init(polyB);
  const Transform aToB = transformMul(transformInverse(transformB), transformA);
  const Transform bToA = transformInverse(aToB);
  const v3* halfA = boxA ? &boxA->halfExtents : nullptr;
  const v3* halfB = boxB ? &boxB->halfExtents : nullptr;

  // A's vertices in B's frame serve the face search and the edge pass.
  constexpr u32 kCachedVerts = 64;
  v3 vertsA[kCachedVerts];
  const b8 cachedA = polyA->numVertices <= kCachedVerts;
  if (cachedA)
    for (u32 i = 0; i < polyA->numVertices; ++i) vertsA[i] = transformPoint(aToB, polyA->vertices[i]);

  u32 faceA = 0, faceB = 0;
  // A separation up to `within` still gives (speculative) points.
  f64 penA = testFaces(polyA, nA, polyB, halfB, aToB, cachedA ? vertsA : nullptr, within, &faceA);
  if (penA <= -within) return false;
  f64 penB = testFaces(polyB, nB, polyA, halfA, bToA, nullptr, within, &faceB);
  if (penB <= -within) return false;

  const b8 refIsA = penA < 1.002 * penB + 0.0005;
  f64 minPen = penA < penB ? penA : penB;
  b8 bestIsEdge = false;
  u32 bestEdgeA = 0, bestEdgeB = 0;
  v3 bestAxis = V3(0, 0, 0);

  // Edge axes, all in B's frame. B's edge data is computed once per call when it
  // fits the stack cache.
  const v3 centroidA = transformPoint(aToB, polyA->centroid);
  const HalfEdge* edgesA = polyA->halfEdge.edges;
  const HalfEdge* edgesB = polyB->halfEdge.edges;
  constexpr u32 kCachedEdges = 64;
  struct EdgeB {
    v3 start, dxc, end;
    u32 faceC, faceD;
    b8 usable;
  };
  EdgeB cacheB[kCachedEdges];
  const u32 numPairsA = polyA->halfEdge.numEdges / 2;
  const u32 numPairsB = polyB->halfEdge.numEdges / 2;
  const u32 numFacesA = polyA->halfEdge.numFaces, numFacesB = polyB->halfEdge.numFaces;
  auto edgeB = [&](u32 eB, EdgeB* out) {
    out->usable = edgeIsUsable(polyB, eB);
    if (!out->usable) return;
    const HalfEdge& hB = edgesB[eB];
    out->faceC = hB.faceIndex;
    out->faceD = edgesB[hB.twinEdgeIndex].faceIndex;
    out->start = edgeVertex(polyB, eB);
    out->dxc = out->start - edgeVertex(polyB, hB.twinEdgeIndex);
    out->end = edgeVertex(polyB, hB.nextEdgeIndex);
  };
  const b8 cachedB = numPairsB <= kCachedEdges;
  if (cachedB)
    for (u32 k = 0; k < numPairsB; ++k) edgeB(2 * k, &cacheB[k]);
  auto vertexA = [&](u32 e) {
    u32 v = edgesA[e].vertexIndex;
    return cachedA && v < polyA->numVertices ? vertsA[v] : transformPoint(aToB, edgeVertex(polyA, e));
  };
  // A's edges in B's frame: start, end and the vector from the twin's start.
  struct EdgeA {
    v3 start, end, bxa;
  };
  EdgeA cacheA[kCachedEdges];
  const b8 cachedEdgesA = numPairsA <= kCachedEdges;
  auto edgeA = [&](u32 eA, EdgeA* out) {
    out->start = vertexA(eA);
    out->end = vertexA(edgesA[eA].nextEdgeIndex);
    out->bxa = out->start - vertexA(edgesA[eA].twinEdgeIndex);
  };
  if (cachedEdgesA)
    for (u32 k = 0; k < numPairsA; ++k)
      if (edgeIsUsable(polyA, 2 * k)) edgeA(2 * k, &cacheA[k]);

  // The Gauss-map test of an edge pair only combines dot products of one edge's
  // vector with the other polyhedron's face normals: every such product is taken
  // once per call (the same expression, so the same bits) and looked up per pair.
  constexpr u32 kTable = 512;
  f64 bxaDotB[kTable];  // [edge pair of A][face of B]: B's normal . A's edge vector
  f64 dxcDotA[kTable];  // [edge pair of B][face of A]: A's rotated normal . B's edge vector
  const b8 tables = cachedB && cachedEdgesA && (u64)numPairsA * numFacesB <= kTable &&
                    (u64)numPairsB * numFacesA <= kTable;
  if (tables) {
    for (u32 k = 0; k < numPairsA; ++k) {
      if (!edgeIsUsable(polyA, 2 * k)) continue;
      for (u32 f = 0; f < numFacesB; ++f) bxaDotB[k * numFacesB + f] = v3Dot(nB[f], cacheA[k].bxa);
    }
    for (u32 k = 0; k < numPairsB; ++k) {
      if (!cacheB[k].usable) continue;
      for (u32 f = 0; f < numFacesA; ++f)
        dxcDotA[k * numFacesA + f] = v3Dot(nA.rotatedBy(f, aToB.orientation), cacheB[k].dxc);
    }
  }

  // One edge pair that passed the Gauss-map test; false when its axis separates.
  auto edgeAxis = [&](u32 eA, const EdgeA* ea, u32 eB, const EdgeB* eb) {
    const v3 startA = ea->start;
    const v3 startB = eb->start;
    v3 axis = v3Cross(ea->end - startA, eb->end - startB);
    f64 len2 = v3LengthSq(axis);
    if (len2 < 1e-10) return true;
    axis = axis * (1.0 / std::sqrt(len2));
    // Outward from A at its edge, so that the distance below is the separation
    // along this Minkowski face.
    // (A select: the sign is a coin toss per pair. Times -1 is exact negation.)
    axis = axis * (v3Dot(axis, startA - centroidA) < 0.0 ? -1.0 : 1.0);
    f64 dist = v3Dot(axis, startB - startA);
    if (dist >= within) return false;
    f64 pen = -dist;
    b8 better = bestIsEdge ? pen < minPen : 1.002 * pen + 0.0005 < minPen;
    if (better) {
      bestIsEdge = true;
      bestEdgeA = eA;
      bestEdgeB = eB;
      bestAxis = axis;
      minPen = pen;
    }
    return true;
  };
  auto gaussTest = [](f64 cba, f64 dba, f64 adc, f64 bdc) {
    return cba * dba < 0.0 && adc * bdc < 0.0 && cba * bdc > 0.0;
  };

  if (tables && boxA && boxB) {
    // The test needs cba, dba of opposite signs, adc, bdc of opposite signs and
    // cba, bdc of equal signs: with s the sign of B's normal . A's edge at face
    // C, that is (s, -s) at faces C, D and (s, -s) at A's two faces. The sign
    // masks list the pairs that can pass; only those take the full test, in the
    // same order as the plain loop over all pairs.
    u32 m1[12], m2[12], n1[12], n2[12];
    for (u32 k = 0; k < 12; ++k) {
      u32 pos, neg;
      signMasks6(&bxaDotB[k * 6], &pos, &neg);
      m1[k] = kBoxEdgeMasks.m[pos * 64 + neg];
      m2[k] = kBoxEdgeMasks.m[neg * 64 + pos];
      signMasks6(&dxcDotA[k * 6], &pos, &neg);
      n1[k] = kBoxEdgeMasks.m[pos * 64 + neg];
      n2[k] = kBoxEdgeMasks.m[neg * 64 + pos];
    }
    for (u32 kA = 0; kA < 12; ++kA) {
      u32 cand = 0;
      for (u32 m = m1[kA]; m; m &= m - 1) {
        u32 kB = (u32)__builtin_ctz(m);
        cand |= ((n1[kB] >> kA) & 1u) << kB;
      }
      for (u32 m = m2[kA]; m; m &= m - 1) {
        u32 kB = (u32)__builtin_ctz(m);
        cand |= ((n2[kB] >> kA) & 1u) << kB;
      }
      const u32 eA = 2 * kA;
      const u32 faceOfA = edgesA[eA].faceIndex, faceOfTwinA = edgesA[eA + 1].faceIndex;
      const f64* rowA = &bxaDotB[kA * 6];
      for (; cand; cand &= cand - 1) {
        u32 kB = (u32)__builtin_ctz(cand);
        const EdgeB* eb = &cacheB[kB];
        const f64* rowB = &dxcDotA[kB * 6];
        if (!gaussTest(-rowA[eb->faceC], -rowA[eb->faceD], rowB[faceOfA], rowB[faceOfTwinA])) continue;
        if (!edgeAxis(eA, &cacheA[kA], 2 * kB, eb)) return false;
      }
    }
  } else {
    for (u32 eA = 0; eA + 1 <= polyA->halfEdge.numEdges; eA += 2) {
      if (!edgeIsUsable(polyA, eA)) continue;
      const HalfEdge& hA = edgesA[eA];
      const HalfEdge& tA = edgesA[hA.twinEdgeIndex];
      const u32 faceOfA = hA.faceIndex, faceOfTwinA = tA.faceIndex;
      EdgeA localA;
      const EdgeA* ea = &localA;
      if (cachedEdgesA) ea = &cacheA[eA / 2];
      else edgeA(eA, &localA);
      v3 a = V3(0, 0, 0), b = V3(0, 0, 0);
      if (!tables) {
        a = nA.rotatedBy(faceOfA, aToB.orientation);
        b = nA.rotatedBy(faceOfTwinA, aToB.orientation);
      }
      const f64* rowA = tables ? &bxaDotB[(eA / 2) * numFacesB] : nullptr;
      for (u32 eB = 0; eB + 1 <= polyB->halfEdge.numEdges; eB += 2) {
        EdgeB local;
        const EdgeB* eb = &local;
        if (cachedB) eb = &cacheB[eB / 2];
        else edgeB(eB, &local);
        if (!eb->usable) continue;
        b8 pass;
        if (tables) {
          const f64* rowB = &dxcDotA[(eB / 2) * numFacesA];
          pass = gaussTest(-rowA[eb->faceC], -rowA[eb->faceD], rowB[faceOfA], rowB[faceOfTwinA]);
        } else {
          pass = gaussTest(-v3Dot(nB[eb->faceC], ea->bxa), -v3Dot(nB[eb->faceD], ea->bxa),
                           v3Dot(a, eb->dxc), v3Dot(b, eb->dxc));
        }
        if (pass && !edgeAxis(eA, ea, eB, eb)) return false;
      }
    }
  }

  if (bestIsEdge) {
    v3 sA = transformPoint(aToB, edgeVertex(polyA, bestEdgeA));
    v3 eA = transformPoint(aToB, edgeVertex(polyA, edgesA[bestEdgeA].nextEdgeIndex));
    v3 sB = edgeVertex(polyB, bestEdgeB);
    v3 eB = edgeVertex(polyB, edgesB[bestEdgeB].nextEdgeIndex);
    v3 cA, cB;
    closestPointsBetweenSegments(sA, eA, sB, eB, &cA, &cB);
    manifoldAddPoint(manifold, transformPoint(bToA, cA), cB,
                     quatRotate(transformB.orientation, bestAxis), minPen);
    return true;
  }

  // Face contact: clip the incident face against the reference face's side planes,
  // working in the reference frame.
  const ConvexPolyhedronShape* ref = refIsA ? polyA : polyB;
  const ConvexPolyhedronShape* inc = refIsA ? polyB : polyA;
  const FaceNormals& refNormals = refIsA ? nA : nB;
  const FaceNormals& incNormals = refIsA ? nB : nA;
  const u32 refFace = refIsA ? faceA : faceB;
  const Transform incToRef = refIsA ? bToA : aToB;
  const Transform refToInc = refIsA ? aToB : bToA;
  const Transform refWorld = refIsA ? transformA : transformB;
  const v3 n = refNormals[refFace];

  u32 incFace = 0;
  f64 minDot = kFltMax;
  for (u32 f = 0; f < convexPolyGetNumFaces(inc); ++f) {
    f64 dot = v3Dot(incNormals.rotatedBy(f, incToRef.orientation), n);
    if (dot < minDot) {
      minDot = dot;
      incFace = f;
    }
  }

  v3 bufA[kMaxClip], bufB[kMaxClip];
  const Face* incF = &inc->halfEdge.faces[incFace];
  u32 count = incF->faceVertices ? (incF->numVertices < kMaxClip ? incF->numVertices : kMaxClip) : 0;
  for (u32 i = 0; i < count; ++i)
    bufA[i] = transformPoint(incToRef, convexPolyGetVertex(inc, incF->faceVertices[i]));
  v3* cur = bufA;
  v3* next = bufB;

  const Face* refF = &ref->halfEdge.faces[refFace];
  const u32 refEdges = ref->halfEdge.numEdges;
  u32 e = refF->edgeIndex;
  for (u32 guard = 0; e < refEdges && guard < refEdges; ++guard) {
    const HalfEdge& he = ref->halfEdge.edges[e];
    if (he.nextEdgeIndex >= refEdges) break;
    v3 start = edgeVertex(ref, e);
    v3 end = edgeVertex(ref, he.nextEdgeIndex);
    count = clipCapped(cur, count, start, v3Cross(n, end - start), next);
    if (count == 0) return false;
    v3* t = cur;
    cur = next;
    next = t;
    e = he.nextEdgeIndex;
    if (e == refF->edgeIndex) break;
  }

  manifold->numContacts = 0;
  const v3 v0 = faceFirstVertex(ref, refFace);
  v3 normal = quatRotate(refWorld.orientation, n);
  if (!refIsA) normal = -normal;
  for (u32 i = 0; i < count && manifold->numContacts < 4; ++i) {
    v3 p = cur[i];
    f64 depth = v3Dot(n, v0 - p);
    if (!(depth > -within)) continue;
    v3 refPoint = p + n * depth;
    v3 incPoint = transformPoint(refToInc, p);
    if (refIsA) manifoldAddPoint(manifold, refPoint, incPoint, normal, depth);
    else manifoldAddPoint(manifold, incPoint, refPoint, normal, depth);
  }
  return manifold->numContacts > 0;
}

b8 satConvexPolyVsConvexPoly(const ConvexPolyhedronShape* polyA, Transform transformA,
                             const ConvexPolyhedronShape* polyB, Transform transformB,
                             ContactManifold* manifold) {
  return satConvexPolyPair(polyA, nullptr, transformA, polyB, nullptr, transformB, 0.0, manifold);
}

b8 satSphereVsConvexPoly(const SphereShape* sphere, Transform sphereTransform,
                         const ConvexPolyhedronShape* poly, Transform polyTransform,
                         ContactManifold* manifold) {
  return satSphereVsConvexPolyWithin(sphere, sphereTransform, poly, polyTransform, 0.0, manifold);
}

b8 satSphereVsConvexPolyWithin(const SphereShape* sphere, Transform sphereTransform,
                               const ConvexPolyhedronShape* poly, Transform polyTransform,
                               f64 within, ContactManifold* manifold) {
  if (!polyIsUsable(poly)) return false;
  const f64 r = sphere->radius;
  v3 c = transformInversePoint(polyTransform, sphereTransform.position);
  f64 minPen = kFltMax;
  v3 bestN = V3(0, 1, 0);
  u32 n = convexPolyGetNumFaces(poly);
  for (u32 f = 0; f < n; ++f) {
    v3 fn = convexPolyGetFaceNormal(poly, f);
    f64 pen = v3Dot(fn, faceFirstVertex(poly, f) - c) + r;
    if (pen <= -within) return false;
    if (pen < minPen) {
      minPen = pen;
      bestN = fn;
    }
  }
  v3 normal = -quatRotate(polyTransform.orientation, bestN);
  manifoldAddPoint(manifold, quatRotate(quatConjugate(sphereTransform.orientation), normal * r),
                   c + bestN * (minPen - r), normal, minPen);
  return true;
}

b8 satCapsuleVsConvexPoly(const CapsuleShape* capsule, Transform capsuleTransform,
                          const ConvexPolyhedronShape* poly, Transform polyTransform,
                          ContactManifold* manifold) {
  return satCapsuleVsConvexPolyWithin(capsule, capsuleTransform, poly, polyTransform, 0.0, manifold);
}

b8 satCapsuleVsConvexPolyWithin(const CapsuleShape* capsule, Transform capsuleTransform,
                                const ConvexPolyhedronShape* poly, Transform polyTransform,
                                f64 within, ContactManifold* manifold) {
  if (!polyIsUsable(poly)) return false;
  const f64 r = capsule->radius;
  const Transform capToPoly = transformMul(transformInverse(polyTransform), capsuleTransform);
  const Transform polyToCap = transformInverse(capToPoly);
  const v3 p0 = transformPoint(capToPoly, V3(0, -capsule->halfHeight, 0));
  const v3 p1 = transformPoint(capToPoly, V3(0, capsule->halfHeight, 0));
  const v3 u = quatRotate(capToPoly.orientation, V3(0, 1, 0));
  auto support = [&](v3 dir) {
    return transformPoint(capToPoly,
                          capsuleGetLocalSupportWithMargin(capsule, quatRotate(polyToCap.orientation, dir)));
  };

  // Faces.
  FaceNormals normals;
  normals.init(poly);
  f64 minPen = kFltMax;
  u32 bestFace = 0;
  const u32 numFaces = convexPolyGetNumFaces(poly);
  for (u32 f = 0; f < numFaces; ++f) {
    v3 n = normals[f];
    f64 pen = v3Dot(n, faceFirstVertex(poly, f) - support(-n));
    if (pen <= -within) return false;
    if (pen < minPen) {
      minPen = pen;
      bestFace = f;
    }
  }

  // Edges crossing the capsule axis on the Gauss map.
  b8 bestIsEdge = false;
  u32 bestEdge = 0;
  v3 bestAxis = V3(0, 0, 0);
  for (u32 e = 0; e + 1 <= poly->halfEdge.numEdges; e += 2) {
    if (!edgeIsUsable(poly, e)) continue;
    const HalfEdge& h = poly->halfEdge.edges[e];
    v3 n1 = normals[h.faceIndex];
    v3 n2 = normals[poly->halfEdge.edges[h.twinEdgeIndex].faceIndex];
    if (!(v3Dot(u, n1) * v3Dot(u, n2) < 0.0)) continue;
    v3 start = edgeVertex(poly, e);
    v3 axis = v3Cross(edgeVertex(poly, h.nextEdgeIndex) - start, u);
    f64 len2 = v3LengthSq(axis);
    if (len2 < 1e-5) continue;
    axis = axis * (1.0 / std::sqrt(len2));
    if (v3Dot(axis, start - poly->centroid) < 0.0) axis = -axis;
    f64 pen = v3Dot(axis, start - support(-axis));
    if (pen <= -within) return false;
    if (pen < minPen) {
      minPen = pen;
      bestIsEdge = true;
      bestEdge = e;
      bestAxis = axis;
    }
  }

  if (bestIsEdge) {
    const HalfEdge& h = poly->halfEdge.edges[bestEdge];
    v3 cc, ce;
    closestPointsBetweenSegments(p0, p1, edgeVertex(poly, bestEdge),
                                 edgeVertex(poly, h.nextEdgeIndex), &cc, &ce);
    v3 capPoint = cc - bestAxis * r;
    manifoldAddPoint(manifold, transformPoint(polyToCap, capPoint), ce,
                     -quatRotate(polyTransform.orientation, bestAxis), minPen);
    return true;
  }

  const v3 n = normals[bestFace];
  const v3 v0 = faceFirstVertex(poly, bestFace);
  const v3 normal = -quatRotate(polyTransform.orientation, n);
  auto addAt = [&](v3 p) {
    manifoldAddPoint(manifold, transformPoint(polyToCap, p - n * r), p + n * (minPen - r), normal,
                     minPen);
  };

  // Clip the segment by the reference face's side planes.
  v3 s0 = p0, s1 = p1;
  b8 clippedAway = false;
  const Face* face = &poly->halfEdge.faces[bestFace];
  const u32 numEdges = poly->halfEdge.numEdges;
  u32 e = face->edgeIndex;
  for (u32 planes = 0; e < numEdges && planes < kMaxCapsulePlanes; ++planes) {
    const HalfEdge& he = poly->halfEdge.edges[e];
    if (he.nextEdgeIndex >= numEdges) break;
    v3 start = edgeVertex(poly, e);
    v3 pn = v3Cross(n, edgeVertex(poly, he.nextEdgeIndex) - start);
    f64 d0 = v3Dot(s0 - start, pn), d1 = v3Dot(s1 - start, pn);
    if (d0 < 0.0 && d1 < 0.0) {
      clippedAway = true;
      break;
    }
    if (d0 < 0.0) s0 = s0 + (s1 - s0) * (d0 / (d0 - d1));
    else if (d1 < 0.0) s1 = s0 + (s1 - s0) * (d0 / (d0 - d1));
    e = he.nextEdgeIndex;
    if (e == face->edgeIndex) break;
  }

  if (clippedAway) {
    v3 c = closestPointOnSegment(p0, p1, v0);
    addAt(c);
    return true;
  }
  const v3 ends[2] = {s0, s1};
  for (int i = 0; i < 2 && manifold->numContacts < 4; ++i) {
    if (r + v3Dot(n, v0 - ends[i]) > minPen - 0.001) addAt(ends[i]);
  }
  if (manifold->numContacts == 0) addAt((s0 + s1) * 0.5);
  return true;
}

namespace {

// One terrain contact candidate, all in the height field's frame.
struct TerrainCandidate {
  v3 convexPoint, triPoint, normal;
  f64 depth;
};

// Keeps, over any number of candidates, the deepest one and the extremes along
// four directions across the terrain: a bounded set from which the manifold's
// four points are chosen to span the support area.
struct TerrainPicker {
  static constexpr u32 kSlots = 9;  // deepest, then min/max along 4 directions
  TerrainCandidate slot[kSlots];
  f64 key[kSlots];
  b8 used[kSlots];
  void add(const TerrainCandidate& c) {
    if (!used[0] || c.depth > key[0]) {
      slot[0] = c;
      key[0] = c.depth;
      used[0] = true;
    }
    const f64 x = c.convexPoint.x, z = c.convexPoint.z;
    const f64 proj[4] = {x, z, x + z, x - z};
    for (u32 d = 0; d < 4; ++d) {
      for (u32 side = 0; side < 2; ++side) {
        u32 k = 1 + 2 * d + side;
        f64 v = side ? proj[d] : -proj[d];
        if (!used[k] || v > key[k]) {
          slot[k] = c;
          key[k] = v;
          used[k] = true;
        }
      }
    }
  }
};

f64 tangentialDistSq(v3 a, v3 b) {
  f64 dx = a.x - b.x, dz = a.z - b.z;
  return dx * dx + dz * dz;
}

f64 tangentialArea2(v3 a, v3 b, v3 c) {
  return std::fabs((b.x - a.x) * (c.z - a.z) - (b.z - a.z) * (c.x - a.x));
}

// Up to four of the picker's candidates: the deepest, the farthest from it, the
// one spanning the largest triangle with both, the one adding the most area.
u32 terrainChoose(const TerrainPicker& pk, TerrainCandidate out[4]) {
  if (!pk.used[0]) return 0;
  TerrainCandidate c[TerrainPicker::kSlots];
  u32 n = 0;
  for (u32 k = 0; k < TerrainPicker::kSlots; ++k) {
    if (!pk.used[k]) continue;
    b8 dup = false;
    for (u32 j = 0; j < n && !dup; ++j)
      dup = v3LengthSq(c[j].convexPoint - pk.slot[k].convexPoint) < 1e-12;
    if (!dup) c[n++] = pk.slot[k];
  }
  out[0] = c[0];
  u32 count = 1;
  b8 taken[TerrainPicker::kSlots] = {true};
  auto best = [&](auto score) {
    i32 bi = -1;
    f64 bs = 1e-12;
    for (u32 k = 0; k < n; ++k) {
      if (taken[k]) continue;
      f64 sc = score(c[k].convexPoint);
      if (sc > bs) {
        bs = sc;
        bi = (i32)k;
      }
    }
    return bi;
  };
  i32 k1 = best([&](v3 p) { return tangentialDistSq(p, c[0].convexPoint); });
  if (k1 < 0) return count;
  taken[k1] = true;
  out[count++] = c[k1];
  i32 k2 = best([&](v3 p) { return tangentialArea2(c[0].convexPoint, c[k1].convexPoint, p); });
  if (k2 < 0) return count;
  taken[k2] = true;
  out[count++] = c[k2];
  const v3 a = c[0].convexPoint, b = c[k1].convexPoint, d = c[k2].convexPoint;
  const f64 base = tangentialArea2(a, b, d);
  i32 k3 = best([&](v3 p) {
    return tangentialArea2(a, b, p) + tangentialArea2(b, d, p) + tangentialArea2(d, a, p) - base;
  });
  if (k3 >= 0) out[count++] = c[k3];
  return count;
}

// Sphere (centre c, radius r) against one triangle; false when apart by more
// than within or when the centre is below the plane outside the triangle (the
// neighbouring triangle answers for that region).
b8 sphereVsTerrainTriangle(v3 c, f64 r, const v3* t, v3 n, f64 within, TerrainCandidate* out) {
  f64 u, v, w;
  v3 q = closestPointOnTriangleToOrigin(t[0] - c, t[1] - c, t[2] - c, &u, &v, &w) + c;
  f64 h = v3Dot(n, c - t[0]);
  const b8 inside = u > 1e-12 && v > 1e-12 && w > 1e-12;
  v3 normal = n;
  f64 depth;
  if (inside) {
    depth = r - h;
    q = c - n * h;
  } else {
    if (!(h > 0.0)) return false;
    v3 d = c - q;
    f64 dist = v3Length(d);
    if (dist > 1e-12) normal = d * (1.0 / dist);
    depth = r - dist;
  }
  if (!(depth > -within)) return false;
  *out = TerrainCandidate{c - normal * r, q, normal, depth};
  return true;
}

// The face of a box or polyhedron (in its own frame) whose normal is most
// opposed to dir; returns its vertex count (at most kMaxClip).
u32 incidentFace(const Shape* convex, v3 dir, v3* out) {
  if (convex->type == SHAPE_BOX) {
    const v3 h = ((const BoxShape*)convex)->halfExtents;
    const f64 a[3] = {std::fabs(dir.x), std::fabs(dir.y), std::fabs(dir.z)};
    int k = a[0] >= a[1] && a[0] >= a[2] ? 0 : (a[1] >= a[2] ? 1 : 2);
    const f64 sign = v3Get(dir, k) > 0.0 ? -1.0 : 1.0;
    const int i = (k + 1) % 3, j = (k + 2) % 3;
    const f64 si[4] = {-1, 1, 1, -1}, sj[4] = {-1, -1, 1, 1};
    for (int m = 0; m < 4; ++m) {
      v3 p = V3(0, 0, 0);
      v3Set(p, k, sign * v3Get(h, k));
      v3Set(p, i, si[m] * v3Get(h, i));
      v3Set(p, j, sj[m] * v3Get(h, j));
      out[m] = p;
    }
    return 4;
  }
  const auto* poly = (const ConvexPolyhedronShape*)convex;
  if (!polyIsUsable(poly)) return 0;
  u32 best = 0;
  f64 bestDot = kFltMax;
  for (u32 f = 0; f < convexPolyGetNumFaces(poly); ++f) {
    f64 d = v3Dot(convexPolyGetFaceNormal(poly, f), dir);
    if (d < bestDot) {
      bestDot = d;
      best = f;
    }
  }
  const Face* face = &poly->halfEdge.faces[best];
  if (!face->faceVertices) return 0;
  u32 count = face->numVertices < kMaxClip ? face->numVertices : kMaxClip;
  u32 out_n = 0;
  for (u32 m = 0; m < count; ++m)
    if (face->faceVertices[m] < poly->numVertices) out[out_n++] = poly->vertices[face->faceVertices[m]];
  return out_n;
}

}  // namespace

b8 collisionHeightFieldVsConvex(const HeightFieldShape* hf, Transform hfTransform,
                                const Shape* convex, Transform convexTransform,
                                ContactManifold* manifold, b8 swapped) {
  return heightFieldVsConvexWithin(hf, hfTransform, convex, convexTransform, 0.0, manifold, swapped);
}

// Every triangle under the shape is visited. Each gives points from the shape's
// features against it (a box or polyhedron face clipped to the triangle, a
// sphere's or capsule's closest points), always with the triangle's upward
// normal for faces, so a shape sunk into the terrain is pushed out upwards.
b8 heightFieldVsConvexWithin(const HeightFieldShape* hf, Transform hfTransform, const Shape* convex,
                             Transform convexTransform, f64 within, ContactManifold* manifold,
                             b8 swapped) {
  Aabb world = shapeComputeAabb(convex, convexTransform);
  const v3 grow = V3(within, within, within);
  world.min = world.min - grow;
  world.max = world.max + grow;
  Aabb local{};
  for (int i = 0; i < 8; ++i) {
    v3 corner = V3((i & 1) ? world.max.x : world.min.x, (i & 2) ? world.max.y : world.min.y,
                   (i & 4) ? world.max.z : world.min.z);
    v3 p = transformInversePoint(hfTransform, corner);
    if (i == 0) {
      local = Aabb{p, p};
    } else {
      local.min = v3Min(local.min, p);
      local.max = v3Max(local.max, p);
    }
  }
  u32 r0, r1, c0, c1;
  if (!heightFieldGetCellRange(hf, local, &r0, &r1, &c0, &c1)) return false;

  // The shape in the height field's frame.
  const Transform toHf = transformMul(transformInverse(hfTransform), convexTransform);
  const v4 toShape = quatConjugate(toHf.orientation);
  const ShapeType type = convex->type;
  const b8 faceClip = type == SHAPE_BOX || type == SHAPE_CONVEX_POLY;
  f64 radius = 0.0;
  v3 seg0 = toHf.position, seg1 = toHf.position;
  if (type == SHAPE_SPHERE) {
    radius = ((const SphereShape*)convex)->radius;
  } else if (type == SHAPE_CAPSULE) {
    const auto* cap = (const CapsuleShape*)convex;
    radius = cap->radius;
    seg0 = transformPoint(toHf, V3(0, -cap->halfHeight, 0));
    seg1 = transformPoint(toHf, V3(0, cap->halfHeight, 0));
  }
  const b8 rounded = type == SHAPE_SPHERE || type == SHAPE_CAPSULE;

  TerrainPicker picker{};
  v3 tris[6];
  v3 face[kMaxClip], bufA[kMaxClip], bufB[kMaxClip];
  u32 faceCount = 0;
  v3 faceDir = V3(0, 0, 0);
  for (u32 r = r0; r <= r1; ++r) {
    for (u32 c = c0; c <= c1; ++c) {
      heightFieldGetCellTriangles(hf, r, c, tris);
      for (u32 k = 0; k < 2; ++k) {
        const v3* t = &tris[3 * k];
        v3 n = v3Cross(t[1] - t[0], t[2] - t[0]);
        f64 len = v3Length(n);
        if (!(len > 1e-12)) continue;
        n = n * (1.0 / len);
        // Whole-plane test first: the deepest point of the shape along -n.
        v3 s = transformPoint(toHf, shapeGetLocalSupportWithMargin(convex, quatRotate(toShape, -n)));
        if (!(v3Dot(n, t[0] - s) > -within)) continue;

        TerrainCandidate cand;
        if (rounded) {
          if (sphereVsTerrainTriangle(seg0, radius, t, n, within, &cand)) picker.add(cand);
          if (type == SHAPE_CAPSULE) {
            if (sphereVsTerrainTriangle(seg1, radius, t, n, within, &cand)) picker.add(cand);
            // Ridges and peaks under the middle of the segment.
            for (u32 e = 0; e < 3; ++e) {
              v3 onSeg, onEdge;
              closestPointsBetweenSegments(seg0, seg1, t[e], t[(e + 1) % 3], &onSeg, &onEdge);
              if (sphereVsTerrainTriangle(onSeg, radius, t, n, within, &cand)) picker.add(cand);
            }
          }
          continue;
        }
        if (!faceClip) {
          f64 depth = v3Dot(n, t[0] - s);
          picker.add(TerrainCandidate{s, s + n * depth, n, depth});
          continue;
        }
        // Face corners clipped against the triangle's side planes.
        v3 dirLocal = quatRotate(toShape, n);
        if (faceCount == 0 || v3LengthSq(dirLocal - faceDir) > 1e-18) {
          faceDir = dirLocal;
          v3 lf[kMaxClip];
          faceCount = incidentFace(convex, dirLocal, lf);
          for (u32 m = 0; m < faceCount; ++m) face[m] = transformPoint(toHf, lf[m]);
        }
        u32 count = faceCount;
        for (u32 m = 0; m < count; ++m) bufA[m] = face[m];
        v3* cur = bufA;
        v3* next = bufB;
        for (u32 e = 0; e < 3 && count > 0; ++e) {
          v3 a = t[e], b = t[(e + 1) % 3];
          count = clipCapped(cur, count, a, v3Cross(n, b - a), next);
          v3* tmp = cur;
          cur = next;
          next = tmp;
        }
        b8 any = false;
        for (u32 m = 0; m < count; ++m) {
          f64 depth = v3Dot(n, t[0] - cur[m]);
          if (!(depth > -within)) continue;
          picker.add(TerrainCandidate{cur[m], cur[m] + n * depth, n, depth});
          any = true;
        }
        if (!any) {
          // A corner or edge down with the face missing this triangle: the
          // deepest point, when it lies over the triangle.
          f64 u, v, w;
          barycentricCoordinates(s, t[0], t[1], t[2], &u, &v, &w);
          f64 depth = v3Dot(n, t[0] - s);
          if (u >= 0.0 && v >= 0.0 && w >= 0.0)
            picker.add(TerrainCandidate{s, s + n * depth, n, depth});
        }
      }
    }
  }

  TerrainCandidate chosen[4];
  u32 numChosen = terrainChoose(picker, chosen);
  const Transform hfToShape = transformInverse(toHf);
  for (u32 k = 0; k < numChosen; ++k) {
    const TerrainCandidate& h = chosen[k];
    v3 normal = quatRotate(hfTransform.orientation, h.normal);
    v3 convexLocal = transformPoint(hfToShape, h.convexPoint);
    if (swapped) manifoldAddPoint(manifold, convexLocal, h.triPoint, -normal, h.depth);
    else manifoldAddPoint(manifold, h.triPoint, convexLocal, normal, h.depth);
  }
  return numChosen > 0;
}
