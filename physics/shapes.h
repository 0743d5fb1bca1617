// Collision shapes: records, construction, and the per-kind queries (bounding
// box, support points, volume, inertia, ray casts). All in f64, local frames.
// Shapes are owned by whoever creates them; bodies only point at them.
#pragma once

#include "platform/types.h"
#include "platform/vecmath.h"

enum ShapeType : u32 {
  SHAPE_SPHERE = 0,
  SHAPE_BOX = 1,
  SHAPE_CAPSULE = 2,
  SHAPE_CONVEX_POLY = 3,
  SHAPE_TRIANGLE = 4,
  SHAPE_CONCAVE_MESH = 5,  // reserved: no record, every query treats it as nothing
  SHAPE_HEIGHTFIELD = 6,
  SHAPE_COUNT = 7,
};

// Common header, first member of every shape record.
struct Shape {
  ShapeType type;
  f64 margin;  // rounding radius around the core shape
};

struct SphereShape {
  Shape base;
  f64 radius;
};

struct BoxShape {
  Shape base;
  v3 halfExtents;
};

// Core is the segment from (0, -halfHeight, 0) to (0, +halfHeight, 0).
struct CapsuleShape {
  Shape base;
  f64 radius;
  f64 halfHeight;
};

struct Vertex {
  u32 edgeIndex;  // one outgoing half-edge
};

struct HalfEdge {
  u32 vertexIndex;    // origin vertex
  u32 twinEdgeIndex;  // opposite half-edge
  u32 faceIndex;      // face on its left
  u32 nextEdgeIndex;  // next half-edge around that face
};

struct Face {
  u32 edgeIndex;     // one half-edge of the face
  u32* faceVertices;  // winding order; the first three give the outward normal
  u32 numVertices;
};

// Twin half-edges occupy index pairs (2k, 2k+1).
struct HalfEdgeStructure {
  Vertex* vertices;
  HalfEdge* edges;
  Face* faces;
  u32 numVertices;
  u32 numEdges;
  u32 numFaces;
};

struct ConvexPolyhedronShape {
  Shape base;
  v3* vertices;  // owned copy
  u32 numVertices;
  HalfEdgeStructure halfEdge;
  v3 centroid;
};

struct TriangleShape {
  Shape base;
  v3 vertices[3];
  v3 normal;  // unit, or zero for a degenerate triangle
};

// Row-major samples; x = col * cellSize, z = row * cellSize.
struct HeightFieldShape {
  Shape base;
  i16* heights;
  u32 rows;
  u32 cols;
  f64 cellSize;
  f64 heightScale;
  f64 heightOffset;
  f64 minHeight;
  f64 maxHeight;
  b8 ownsHeights;
};

struct Ray {
  v3 point1;
  v3 point2;
  f64 maxFraction;
};

// Shape casts fill the first three fields; the world fills the ids.
struct RaycastHit {
  v3 worldPoint;
  v3 worldNormal;
  f64 hitFraction;
  i32 bodyId;
  i32 colliderId;
};

inline constexpr f64 kShapeRayEpsilon = 1.19209e-7;
inline constexpr f64 kShapeFltMax = 3.4028235e38;

// Construction and destruction.
void sphereInit(SphereShape* s, f64 radius);
void boxInit(BoxShape* b, v3 halfExtents);
// height is the length of the core segment.
void capsuleInit(CapsuleShape* c, f64 radius, f64 height);
// False when the vertex copy cannot be allocated (the shape is then empty).
b8 convexPolyInit(ConvexPolyhedronShape* p, const v3* vertices, u32 numVertices);
// Takes ownership of the structure's arrays.
b8 convexPolyInitWithHalfEdge(ConvexPolyhedronShape* p, const v3* vertices, u32 numVertices,
                              const HalfEdgeStructure* halfEdge);
void convexPolyDestroy(ConvexPolyhedronShape* p);
void triangleInit(TriangleShape* t, v3 v0, v3 v1, v3 v2);
// Copies the samples; false when they cannot be allocated.
b8 heightFieldInit(HeightFieldShape* hf, const i16* heights, u32 rows, u32 cols, f64 cellSize,
                   f64 heightScale, f64 heightOffset);
// Keeps the caller's samples, which must outlive the shape.
void heightFieldInitBorrowed(HeightFieldShape* hf, i16* heights, u32 rows, u32 cols, f64 cellSize,
                             f64 heightScale, f64 heightOffset);
void heightFieldDestroy(HeightFieldShape* hf);

// Sphere.
Aabb sphereComputeAabb(const SphereShape* s, Transform t);
v3 sphereGetLocalSupport(const SphereShape* s, v3 direction);
v3 sphereGetLocalSupportWithMargin(const SphereShape* s, v3 direction);
v3 sphereGetLocalInertiaTensor(const SphereShape* s, f64 mass);
f64 sphereGetVolume(const SphereShape* s);
b8 sphereRaycast(const SphereShape* s, const Ray* ray, RaycastHit* hit);

// Box.
Aabb boxComputeAabb(const BoxShape* b, Transform t);
v3 boxGetLocalSupport(const BoxShape* b, v3 direction);
v3 boxGetLocalSupportWithMargin(const BoxShape* b, v3 direction);
v3 boxGetLocalInertiaTensor(const BoxShape* b, f64 mass);
f64 boxGetVolume(const BoxShape* b);
b8 boxRaycast(const BoxShape* b, const Ray* ray, RaycastHit* hit);
v3 boxGetVertex(const BoxShape* b, u32 index);
// Index above 5 gives +Y.
v3 boxGetFaceNormal(const BoxShape* b, u32 faceIndex);
u32 boxGetNumFaces();
u32 boxGetNumVertices();
u32 boxGetNumEdges();

// Capsule.
Aabb capsuleComputeAabb(const CapsuleShape* c, Transform t);
v3 capsuleGetLocalSupport(const CapsuleShape* c, v3 direction);
v3 capsuleGetLocalSupportWithMargin(const CapsuleShape* c, v3 direction);
v3 capsuleGetLocalInertiaTensor(const CapsuleShape* c, f64 mass);
f64 capsuleGetVolume(const CapsuleShape* c);
b8 capsuleRaycast(const CapsuleShape* c, const Ray* ray, RaycastHit* hit);

// Convex polyhedron.
Aabb convexPolyComputeAabb(const ConvexPolyhedronShape* p, Transform t);
v3 convexPolyGetLocalSupport(const ConvexPolyhedronShape* p, v3 direction);
v3 convexPolyGetLocalSupportWithMargin(const ConvexPolyhedronShape* p, v3 direction);
v3 convexPolyGetLocalInertiaTensor(const ConvexPolyhedronShape* p, f64 mass);
f64 convexPolyGetVolume(const ConvexPolyhedronShape* p);
b8 convexPolyRaycast(const ConvexPolyhedronShape* p, const Ray* ray, RaycastHit* hit);
u32 convexPolyGetNumFaces(const ConvexPolyhedronShape* p);
u32 convexPolyGetNumVertices(const ConvexPolyhedronShape* p);
u32 convexPolyGetNumHalfEdges(const ConvexPolyhedronShape* p);
const HalfEdge* convexPolyGetHalfEdge(const ConvexPolyhedronShape* p, u32 i);
v3 convexPolyGetCentroid(const ConvexPolyhedronShape* p);

// Triangle.
Aabb triangleComputeAabb(const TriangleShape* t, Transform xf);
v3 triangleGetLocalSupport(const TriangleShape* t, v3 direction);
b8 triangleRaycast(const TriangleShape* t, const Ray* ray, RaycastHit* hit);
v3 triangleGetNormal(const TriangleShape* t);

// Height field.
Aabb heightFieldComputeAabb(const HeightFieldShape* hf, Transform t);
b8 heightFieldRaycast(const HeightFieldShape* hf, const Ray* ray, RaycastHit* hit);
f64 heightFieldGetHeight(const HeightFieldShape* hf, u32 row, u32 col);
f64 heightFieldGetHeightAt(const HeightFieldShape* hf, f64 x, f64 z);
// Writes up to maxTriangles triangles as three consecutive vertices each; returns the count.
// Inclusive cell ranges under a local box, for visiting every triangle without a
// buffer; false when the box misses the field.
b8 heightFieldGetCellRange(const HeightFieldShape* hf, Aabb localAabb, u32* rowMin, u32* rowMax,
                           u32* colMin, u32* colMax);
// The two triangles of one cell (local frame, counter-clockwise seen from above).
void heightFieldGetCellTriangles(const HeightFieldShape* hf, u32 row, u32 col, v3 out[6]);
u32 heightFieldGetTrianglesInAabb(const HeightFieldShape* hf, Aabb localAabb, v3* triVerts,
                                  u32 maxTriangles);
// Unscaled direction; accepts t >= 1.19209e-7 with no upper bound.
b8 rayTriangleIntersect(v3 origin, v3 dir, v3 v0, v3 v1, v3 v2, f64* outT, v3* outNormal);

// Dispatchers on the shape header.
Aabb shapeComputeAabb(const Shape* s, Transform t);
v3 shapeGetLocalSupport(const Shape* s, v3 direction);
v3 shapeGetLocalSupportWithMargin(const Shape* s, v3 direction);
b8 shapeIsConvex(const Shape* s);
b8 shapeRaycast(const Shape* s, Transform t, v3 rayStart, v3 rayEnd, RaycastHit* hit);
void shapeScale(Shape* s, f64 factor);

// Helpers shared by the physics modules.
inline v3 transformPoint(Transform t, v3 p) { return quatRotate(t.orientation, p) + t.position; }
inline v3 transformInversePoint(Transform t, v3 p) {
  return quatRotate(quatConjugate(t.orientation), p - t.position);
}

// Inline: the separating-axis routines call these in their inner loops.
inline v3 convexPolyGetVertex(const ConvexPolyhedronShape* p, u32 i) {
  return (p->vertices && i < p->numVertices) ? p->vertices[i] : V3(0, 0, 0);
}
inline const Face* convexPolyGetFace(const ConvexPolyhedronShape* p, u32 i) {
  return (p->halfEdge.faces && i < p->halfEdge.numFaces) ? &p->halfEdge.faces[i] : nullptr;
}
inline v3 convexPolyGetFaceNormal(const ConvexPolyhedronShape* p, u32 faceIndex) {
  const Face* face = convexPolyGetFace(p, faceIndex);
  if (!face || face->numVertices < 3 || !face->faceVertices) return V3(0, 1, 0);
  v3 a = convexPolyGetVertex(p, face->faceVertices[0]);
  v3 b = convexPolyGetVertex(p, face->faceVertices[1]);
  v3 c = convexPolyGetVertex(p, face->faceVertices[2]);
  return v3Normalize(v3Cross(b - a, c - a));
}
