// Narrowphase: contact manifolds for one pair of placed shapes. The dispatcher
// picks a closed-form routine, a separating-axis routine, the height-field
// routine or GJK. Normals point from shape A to shape B; points are in their own
// shape's local frame; depth is positive when overlapping. Nothing allocates.
#pragma once

#include "physics/shapes.h"
#include "platform/types.h"
#include "platform/vecmath.h"

struct ContactPoint {
  v3 localPointA;
  v3 localPointB;
  v3 normal;  // world, unit, from A to B
  f64 penetrationDepth;
  f64 cachedNormalImpulse;  // warm start, written by the solver
};

struct ContactManifold {
  ContactPoint points[4];
  u32 numContacts;
  i32 bodyA;
  i32 bodyB;
  f64 cachedFriction1Impulse;
  f64 cachedFriction2Impulse;
  f64 cachedTwistImpulse;
  v3 cachedFrictionVector1;
  v3 cachedFrictionVector2;
};

enum GjkResult : u32 {
  GJK_SEPARATED = 0,
  GJK_COLLIDE_MARGIN = 1,   // cores apart, margins overlap
  GJK_INTERPENETRATE = 2,   // cores overlap, or the algorithm degenerated
};

struct GjkInfo {
  v3 separatingAxis;
  v3 closestPointA;  // world
  v3 closestPointB;  // world
  f64 penetrationDepth;
  v3 normal;  // world, from A to B
  b8 isValid;
};

struct SimplexPoint {
  v3 point;  // suppA - suppB
  v3 suppA;
  v3 suppB;
};

struct VoronoiSimplex {
  SimplexPoint points[4];
  u32 numPoints;
  f64 maxLengthSq;
  b8 isValid;
};

b8 narrowphaseCollide(const Shape* shapeA, Transform transformA, const Shape* shapeB,
                      Transform transformB, ContactManifold* manifold);
// Also reports pairs up to `within` apart, as points with negative depth (contacts
// before touch, for the solver to stop approach with); within <= 0 is the same as
// narrowphaseCollide. The GJK fallback row ignores it.
b8 narrowphaseCollideWithin(const Shape* shapeA, Transform transformA, const Shape* shapeB,
                            Transform transformB, f64 within, ContactManifold* manifold);
GjkResult gjkTestCollision(const Shape* shapeA, Transform transformA, const Shape* shapeB,
                           Transform transformB, GjkInfo* gjkInfo, const GjkInfo* lastFrameInfo);
f64 gjkComputeClosestPoints(const Shape* shapeA, Transform transformA, const Shape* shapeB,
                            Transform transformB, v3* closestA, v3* closestB);

// Closed-form pairs.
b8 collisionSphereVsSphere(const SphereShape* a, Transform ta, const SphereShape* b, Transform tb,
                           ContactManifold* m);
b8 collisionSphereVsCapsule(const SphereShape* a, Transform ta, const CapsuleShape* b, Transform tb,
                            ContactManifold* m);
b8 collisionCapsuleVsCapsule(const CapsuleShape* a, Transform ta, const CapsuleShape* b,
                             Transform tb, ContactManifold* m);
b8 collisionSphereVsBox(const SphereShape* a, Transform ta, const BoxShape* b, Transform tb,
                        ContactManifold* m);

// Geometry helpers.
v3 closestPointOnSegment(v3 segA, v3 segB, v3 point);
void closestPointsBetweenSegments(v3 seg1A, v3 seg1B, v3 seg2A, v3 seg2B, v3* closest1,
                                  v3* closest2);
v3 projectPointOntoPlane(v3 point, v3 planePoint, v3 planeNormal);
void barycentricCoordinates(v3 p, v3 a, v3 b, v3 c, f64* u, f64* v, f64* w);

// Voronoi simplex.
void simplexInit(VoronoiSimplex* s);
void simplexAddPoint(VoronoiSimplex* s, v3 point, v3 suppA, v3 suppB);
b8 simplexIsFull(const VoronoiSimplex* s);
b8 simplexIsPointInSimplex(const VoronoiSimplex* s, v3 point);
b8 simplexIsAffinelyDependent(const VoronoiSimplex* s);
b8 simplexComputeClosestPoint(VoronoiSimplex* s, v3* outPoint);
void simplexComputeClosestPointsAB(const VoronoiSimplex* s, v3* outA, v3* outB);
void simplexBackupClosestPoint(const VoronoiSimplex* s, v3* outPoint);
f64 simplexGetMaxLengthSq(const VoronoiSimplex* s);
v3 closestPointOnTriangleToOrigin(v3 a, v3 b, v3 c, f64* u, f64* v, f64* w);

// Separating-axis routines, clipping and height-field contacts.

// Polyhedron view of one box, built on the stack per call.
struct BoxAsConvexPoly {
  ConvexPolyhedronShape poly;
  v3 vertices[8];
  Vertex heVertices[8];
  HalfEdge heEdges[24];
  Face heFaces[6];
  u32 faceVerts[6][4];
};

void boxAsConvexPolyInit(BoxAsConvexPoly* bcp, const BoxShape* box);
// One Sutherland-Hodgman pass; returns the output vertex count. outPolygon must
// hold 2 * numVerts entries (numVerts + 1 suffice for a convex polygon).
u32 clipPolygonAgainstPlane(const v3* polygon, u32 numVerts, v3 planePoint, v3 planeNormal,
                            v3* outPolygon);
f64 satTestFacesDirection(const ConvexPolyhedronShape* poly1, const ConvexPolyhedronShape* poly2,
                          Transform poly1ToPoly2, u32* outMinFace);
b8 satConvexPolyVsConvexPoly(const ConvexPolyhedronShape* polyA, Transform transformA,
                             const ConvexPolyhedronShape* polyB, Transform transformB,
                             ContactManifold* manifold);
b8 satSphereVsConvexPoly(const SphereShape* sphere, Transform sphereTransform,
                         const ConvexPolyhedronShape* poly, Transform polyTransform,
                         ContactManifold* manifold);
b8 satCapsuleVsConvexPoly(const CapsuleShape* capsule, Transform capsuleTransform,
                          const ConvexPolyhedronShape* poly, Transform polyTransform,
                          ContactManifold* manifold);
// swapped false: the height field is A; true: the convex shape is A.
b8 collisionHeightFieldVsConvex(const HeightFieldShape* hf, Transform hfTransform,
                                const Shape* convex, Transform convexTransform,
                                ContactManifold* manifold, b8 swapped);
