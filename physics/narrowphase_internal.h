// Helpers shared by the narrowphase modules.
#pragma once

#include "physics/narrowphase.h"

// Appends one point while fewer than four are stored; the cached impulse stays as
// the caller initialised it.
void manifoldAddPoint(ContactManifold* m, v3 localA, v3 localB, v3 normal, f64 depth);
Transform transformInverse(Transform t);
// a after b: transformPoint(transformMul(a, b), p) == transformPoint(a, transformPoint(b, p)).
Transform transformMul(Transform a, Transform b);
// satConvexPolyVsConvexPoly where either side may be the view of a box (boxA /
// boxB, else null): the same results, with the box's cheaper support search.
// within: points are also reported for shapes up to this far apart (negative
// depth); 0 gives contacts for overlap only.
b8 satConvexPolyPair(const ConvexPolyhedronShape* polyA, const BoxShape* boxA, Transform transformA,
                     const ConvexPolyhedronShape* polyB, const BoxShape* boxB, Transform transformB,
                     f64 within, ContactManifold* manifold);
b8 satSphereVsConvexPolyWithin(const SphereShape* sphere, Transform sphereTransform,
                               const ConvexPolyhedronShape* poly, Transform polyTransform,
                               f64 within, ContactManifold* manifold);
b8 satCapsuleVsConvexPolyWithin(const CapsuleShape* capsule, Transform capsuleTransform,
                                const ConvexPolyhedronShape* poly, Transform polyTransform,
                                f64 within, ContactManifold* manifold);
b8 heightFieldVsConvexWithin(const HeightFieldShape* hf, Transform hfTransform, const Shape* convex,
                             Transform convexTransform, f64 within, ContactManifold* manifold,
                             b8 swapped);
// Box against box with the fifteen box axes (A's face wins ties, edges need the
// same margin over faces as in the polyhedron path); up to four points chosen
// from the clipped incident face to span it.
b8 boxBoxCollide(const BoxShape* boxA, Transform ta, const BoxShape* boxB, Transform tb, f64 within,
                 ContactManifold* manifold);
