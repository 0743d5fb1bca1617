#include "physics/narrowphase.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "shape_fixtures.h"

namespace {

void expectV3(v3 a, v3 b, f64 tol = 1e-9) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

Transform at(v3 p, v4 q = quatIdentity()) { return Transform{p, q}; }

ContactManifold collide(const Shape* a, Transform ta, const Shape* b, Transform tb, b8* result = nullptr) {
  ContactManifold m{};
  b8 r = narrowphaseCollide(a, ta, b, tb, &m);
  if (result) *result = r;
  return m;
}

// World position of a contact's point on A and on B.
v3 worldA(const ContactPoint& p, Transform ta) { return transformPoint(ta, p.localPointA); }
v3 worldB(const ContactPoint& p, Transform tb) { return transformPoint(tb, p.localPointB); }

TEST(Narrowphase, SphereSphere) {
  SphereShape a, b;
  sphereInit(&a, 1.0);
  sphereInit(&b, 0.5);
  Transform ta = at(V3(0, 0, 0)), tb = at(V3(1.2, 0, 0), quatFromAxisAngle(V3(0, 1, 0), 1.0));
  ContactManifold m = collide(&a.base, ta, &b.base, tb);
  ASSERT_EQ(m.numContacts, 1u);
  expectV3(m.points[0].normal, V3(1, 0, 0));
  EXPECT_NEAR(m.points[0].penetrationDepth, 0.3, 1e-12);
  expectV3(worldA(m.points[0], ta), V3(1, 0, 0));
  expectV3(worldB(m.points[0], tb), V3(0.7, 0, 0));

  // Exactly touching counts, with depth 0.
  m = collide(&a.base, ta, &b.base, at(V3(0, 1.5, 0)));
  ASSERT_EQ(m.numContacts, 1u);
  EXPECT_EQ(m.points[0].penetrationDepth, 0.0);
  // Coincident centres fall back to +Y.
  m = collide(&a.base, ta, &b.base, ta);
  ASSERT_EQ(m.numContacts, 1u);
  expectV3(m.points[0].normal, V3(0, 1, 0));
  EXPECT_DOUBLE_EQ(m.points[0].penetrationDepth, 1.5);
  m = collide(&a.base, ta, &b.base, at(V3(1.6, 0, 0)));
  EXPECT_EQ(m.numContacts, 0u);
}

TEST(Narrowphase, SphereBoxOutsideAndInside) {
  SphereShape s;
  sphereInit(&s, 0.5);
  BoxShape box;
  boxInit(&box, V3(1, 2, 3));
  Transform tb = at(V3(10, 0, 0), quatFromAxisAngle(V3(0, 0, 1), kPi / 2));  // local +X is world +Y
  // Outside, above the box's local +X face (world y = 1).
  Transform ts = at(V3(10.5, 1.3, 0));
  ContactManifold m = collide(&s.base, ts, &box.base, tb);
  ASSERT_EQ(m.numContacts, 1u);
  expectV3(m.points[0].normal, V3(0, -1, 0));
  EXPECT_NEAR(m.points[0].penetrationDepth, 0.2, 1e-12);
  expectV3(worldA(m.points[0], ts), V3(10.5, 0.8, 0));
  expectV3(worldB(m.points[0], tb), V3(10.5, 1.0, 0));

  // Centre inside: least penetration along local x (0.3 from the +X face).
  ts = at(V3(10.2, 0.7, 0.5));
  m = collide(&s.base, ts, &box.base, tb);
  ASSERT_EQ(m.numContacts, 1u);
  expectV3(m.points[0].normal, V3(0, -1, 0));
  EXPECT_NEAR(m.points[0].penetrationDepth, 0.5 + 0.3, 1e-12);
  expectV3(worldB(m.points[0], tb), ts.position);  // the centre itself

  // Touching does not count.
  m = collide(&s.base, at(V3(10, 1.5, 0)), &box.base, tb);
  EXPECT_EQ(m.numContacts, 0u);
}

TEST(Narrowphase, CapsulePairs) {
  CapsuleShape a, b;
  capsuleInit(&a, 0.5, 2.0);
  capsuleInit(&b, 0.25, 4.0);
  // Crossing at right angles: a vertical, b along x, 0.6 above a's top end.
  Transform ta = at(V3(0, 0, 0));
  Transform tb = at(V3(0, 1.6, 0), quatFromAxisAngle(V3(0, 0, 1), kPi / 2));
  ContactManifold m = collide(&a.base, ta, &b.base, tb);
  ASSERT_EQ(m.numContacts, 1u);
  expectV3(m.points[0].normal, V3(0, 1, 0));
  EXPECT_NEAR(m.points[0].penetrationDepth, 0.15, 1e-12);
  expectV3(worldA(m.points[0], ta), V3(0, 1.5, 0));
  expectV3(worldB(m.points[0], tb), V3(0, 1.35, 0));
  // At exactly the radius sum: no contact.
  m = collide(&a.base, ta, &b.base, at(V3(0, 1.75, 0), tb.orientation));
  EXPECT_EQ(m.numContacts, 0u);

  SphereShape s;
  sphereInit(&s, 0.5);
  m = collide(&s.base, at(V3(0.8, 0.3, 0)), &a.base, ta);
  ASSERT_EQ(m.numContacts, 1u);
  expectV3(m.points[0].normal, V3(-1, 0, 0));
  EXPECT_NEAR(m.points[0].penetrationDepth, 0.2, 1e-12);
  expectV3(worldB(m.points[0], ta), V3(0.5, 0.3, 0));
  m = collide(&s.base, at(V3(1.0, 0.3, 0)), &a.base, ta);  // radius sum exactly
  EXPECT_EQ(m.numContacts, 0u);
}

TEST(Narrowphase, SegmentHelpers) {
  v3 c1, c2;
  closestPointsBetweenSegments(V3(1, 2, 3), V3(1, 2, 3), V3(4, 5, 6), V3(4, 5, 6), &c1, &c2);
  expectV3(c1, V3(1, 2, 3));
  expectV3(c2, V3(4, 5, 6));
  closestPointsBetweenSegments(V3(-1, 0, 0), V3(1, 0, 0), V3(0.5, 1, -1), V3(0.5, 1, 1), &c1, &c2);
  expectV3(c1, V3(0.5, 0, 0));
  expectV3(c2, V3(0.5, 1, 0));
  expectV3(closestPointOnSegment(V3(0, 0, 0), V3(0, 0, 0), V3(5, 5, 5)), V3(0, 0, 0));
  expectV3(closestPointOnSegment(V3(0, 0, 0), V3(2, 0, 0), V3(5, 1, 0)), V3(2, 0, 0));
  expectV3(projectPointOntoPlane(V3(1, 5, 2), V3(0, 1, 0), V3(0, 1, 0)), V3(1, 1, 2));
  f64 u, v, w;
  barycentricCoordinates(V3(0.25, 0.25, 0), V3(0, 0, 0), V3(1, 0, 0), V3(0, 1, 0), &u, &v, &w);
  EXPECT_NEAR(u, 0.5, 1e-12);
  EXPECT_NEAR(v, 0.25, 1e-12);
  barycentricCoordinates(V3(1, 1, 1), V3(0, 0, 0), V3(1, 0, 0), V3(2, 0, 0), &u, &v, &w);
  EXPECT_EQ(u, 1.0);
}

TEST(Narrowphase, BoxBoxFaceContact) {
  BoxShape a, b;
  boxInit(&a, V3(1, 1, 1));
  boxInit(&b, V3(1, 1, 1));
  Transform ta = at(V3(0, 0, 0)), tb = at(V3(0, 1.99, 0));
  b8 r = false;
  ContactManifold m = collide(&a.base, ta, &b.base, tb, &r);
  EXPECT_TRUE(r);
  ASSERT_EQ(m.numContacts, 4u);
  for (u32 i = 0; i < 4; ++i) {
    const ContactPoint& p = m.points[i];
    expectV3(p.normal, V3(0, 1, 0));
    EXPECT_NEAR(p.penetrationDepth, 0.01, 1e-12);
    // Equal penetrations: A holds the reference face, so A's points lie on its top face.
    EXPECT_NEAR(p.localPointA.y, 1.0, 1e-12);
    EXPECT_NEAR(p.localPointB.y, -1.0, 1e-12);
    EXPECT_NEAR(std::fabs(p.localPointA.x), 1.0, 1e-12);
    EXPECT_NEAR(std::fabs(p.localPointA.z), 1.0, 1e-12);
  }
  m = collide(&a.base, ta, &b.base, at(V3(0, 2.01, 0)), &r);
  EXPECT_FALSE(r);
  EXPECT_EQ(m.numContacts, 0u);
}

TEST(Narrowphase, BoxBoxEdgeContact) {
  BoxShape a, b;
  boxInit(&a, V3(1, 1, 1));
  boxInit(&b, V3(1, 1, 1));
  const f64 s2 = std::sqrt(2.0);
  // A's top edge runs along z at y = sqrt 2; B's bottom edge along x at y = pos - sqrt 2.
  Transform ta = at(V3(0, 0, 0), quatFromAxisAngle(V3(0, 0, 1), kPi / 4));
  Transform tb = at(V3(0, 2 * s2 - 0.01, 0), quatFromAxisAngle(V3(1, 0, 0), kPi / 4));
  ContactManifold m = collide(&a.base, ta, &b.base, tb);
  ASSERT_EQ(m.numContacts, 1u);
  expectV3(m.points[0].normal, V3(0, 1, 0));
  EXPECT_NEAR(m.points[0].penetrationDepth, 0.01, 1e-9);
  expectV3(worldA(m.points[0], ta), V3(0, s2, 0));
  expectV3(worldB(m.points[0], tb), V3(0, s2 - 0.01, 0));
}

TEST(Narrowphase, CapsuleOnBoxFace) {
  CapsuleShape c;
  capsuleInit(&c, 0.5, 1.0);  // core from -0.5 to 0.5
  BoxShape box;
  boxInit(&box, V3(2, 1, 2));
  Transform tb = at(V3(0, 0, 0));

  // Standing: only the lower end touches.
  Transform tc = at(V3(0.3, 1.99, 0.2));
  ContactManifold m = collide(&c.base, tc, &box.base, tb);
  ASSERT_EQ(m.numContacts, 1u);
  expectV3(m.points[0].normal, V3(0, -1, 0));
  EXPECT_NEAR(m.points[0].penetrationDepth, 0.01, 1e-12);
  expectV3(worldA(m.points[0], tc), V3(0.3, 0.99, 0.2));
  expectV3(worldB(m.points[0], tb), V3(0.3, 1.0, 0.2));

  // Lying along z: both ends touch.
  tc = at(V3(0.3, 1.49, 0.2), quatFromAxisAngle(V3(1, 0, 0), kPi / 2));
  m = collide(&c.base, tc, &box.base, tb);
  ASSERT_EQ(m.numContacts, 2u);
  for (u32 i = 0; i < 2; ++i) {
    expectV3(m.points[i].normal, V3(0, -1, 0));
    EXPECT_NEAR(m.points[i].penetrationDepth, 0.01, 1e-12);
    EXPECT_NEAR(worldB(m.points[i], tb).y, 1.0, 1e-12);
    EXPECT_NEAR(worldA(m.points[i], tc).y, 0.99, 1e-12);
  }
  EXPECT_NEAR(std::fabs(worldB(m.points[0], tb).z - worldB(m.points[1], tb).z), 1.0, 1e-12);

  // Box first: exactly mirrored.
  ContactManifold mirrored = collide(&box.base, tb, &c.base, tc);
  ASSERT_EQ(mirrored.numContacts, m.numContacts);
  for (u32 i = 0; i < m.numContacts; ++i) {
    EXPECT_EQ(mirrored.points[i].localPointA.y, m.points[i].localPointB.y);
    EXPECT_EQ(mirrored.points[i].localPointB.z, m.points[i].localPointA.z);
    EXPECT_EQ(mirrored.points[i].normal.y, -m.points[i].normal.y);
    EXPECT_EQ(mirrored.points[i].penetrationDepth, m.points[i].penetrationDepth);
  }
}

TEST(Narrowphase, SphereOnPolyhedronFace) {
  BoxShape box;
  boxInit(&box, V3(1, 1, 1));
  BoxAsConvexPoly view;
  boxAsConvexPolyInit(&view, &box);
  SphereShape s;
  sphereInit(&s, 0.5);
  Transform ts = at(V3(0.3, 1.4, -0.2));
  ContactManifold m = collide(&s.base, ts, &view.poly.base, at(V3(0, 0, 0)));
  ASSERT_EQ(m.numContacts, 1u);
  expectV3(m.points[0].normal, V3(0, -1, 0));
  EXPECT_NEAR(m.points[0].penetrationDepth, 0.1, 1e-12);
  expectV3(m.points[0].localPointB, V3(0.3, 1.0, -0.2));  // centre projected onto the top face
  expectV3(m.points[0].localPointA, V3(0, -0.5, 0));
}

// Both orders of every swapped row give exactly mirrored manifolds.
TEST(Narrowphase, SwappedRowsMirrorExactly) {
  SphereShape s;
  sphereInit(&s, 0.6);
  BoxShape box;
  boxInit(&box, V3(1, 0.5, 0.75));
  CapsuleShape cap;
  capsuleInit(&cap, 0.3, 1.0);
  ConvexPolyhedronShape prism;
  ASSERT_TRUE(makePrism(&prism, 7, 0.5));
  std::vector<i16> samples(6 * 6);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = (i16)((i * 7919) % 3000);
  HeightFieldShape hf;
  heightFieldInitBorrowed(&hf, samples.data(), 6, 6, 1.0, 2.0, 0.0);

  struct Pair {
    const Shape* a;
    const Shape* b;
  };
  const Pair pairs[] = {{&box.base, &s.base},   {&cap.base, &s.base},     {&box.base, &cap.base},
                        {&prism.base, &s.base}, {&prism.base, &cap.base}, {&hf.base, &s.base},
                        {&hf.base, &box.base},  {&hf.base, &cap.base},    {&hf.base, &prism.base}};
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<f64> u(-1.0, 1.0);
  int compared = 0;
  for (const Pair& pr : pairs) {
    for (int k = 0; k < 200; ++k) {
      b8 terrain = pr.a->type == SHAPE_HEIGHTFIELD;
      Transform ta = terrain ? at(V3(0, 0, 0)) : at(V3(0, 0, 0), quatNormalize(V4(u(rng), u(rng), u(rng), u(rng))));
      v3 p = terrain ? V3(2.5 + u(rng), 1.0 + u(rng), 2.5 + u(rng)) : V3(u(rng), u(rng), u(rng)) * 1.2;
      Transform tb = at(p, quatNormalize(V4(u(rng), u(rng), u(rng), u(rng))));
      b8 r1, r2;
      ContactManifold m1 = collide(pr.a, ta, pr.b, tb, &r1);
      ContactManifold m2 = collide(pr.b, tb, pr.a, ta, &r2);
      ASSERT_EQ(r1, r2);
      ASSERT_EQ(m1.numContacts, m2.numContacts);
      for (u32 i = 0; i < m1.numContacts; ++i) {
        const ContactPoint& p1 = m1.points[i];
        const ContactPoint& p2 = m2.points[i];
        EXPECT_EQ(p1.localPointA.x, p2.localPointB.x);
        EXPECT_EQ(p1.localPointA.y, p2.localPointB.y);
        EXPECT_EQ(p1.localPointA.z, p2.localPointB.z);
        EXPECT_EQ(p1.localPointB.x, p2.localPointA.x);
        EXPECT_EQ(p1.localPointB.y, p2.localPointA.y);
        EXPECT_EQ(p1.localPointB.z, p2.localPointA.z);
        EXPECT_EQ(p1.normal.x, -p2.normal.x);
        EXPECT_EQ(p1.normal.y, -p2.normal.y);
        EXPECT_EQ(p1.normal.z, -p2.normal.z);
        EXPECT_EQ(p1.penetrationDepth, p2.penetrationDepth);
      }
      compared += m1.numContacts > 0;
    }
  }
  EXPECT_GT(compared, 300);
  convexPolyDestroy(&prism);
}

// Box-box, polyhedron-polyhedron and capsule-capsule in both orders: mirrored
// normals, depths within the reference-face bias, the same contact pairs.
TEST(Narrowphase, SymmetricRoutinesAgreeInBothOrders) {
  BoxShape big, small;
  boxInit(&big, V3(2, 1, 2));
  boxInit(&small, V3(0.5, 0.4, 0.3));
  CapsuleShape ca, cb;
  capsuleInit(&ca, 0.4, 2.0);
  capsuleInit(&cb, 0.3, 1.0);
  ConvexPolyhedronShape pa, pb;
  ASSERT_TRUE(makePrism(&pa, 6, 0.5));
  ASSERT_TRUE(makePrism(&pb, 4, 0.3, 0.5));
  struct Case {
    const char* name;
    const Shape* a;
    Transform ta;
    const Shape* b;
    Transform tb;
    u32 expected;
  };
  const Case cases[] = {
      {"small box resting on big box", &big.base, at(V3(0, 0, 0)), &small.base,
       at(V3(0.7, 1.39, -0.4), quatFromAxisAngle(V3(0, 1, 0), 0.6)), 4},
      {"small box hanging over an edge", &big.base, at(V3(0, 0, 0)), &small.base,
       at(V3(1.8, 1.38, 0.1), quatFromAxisAngle(V3(0, 1, 0), 0.3)), 4},
      {"crossed edges", &big.base, at(V3(0, 0, 0), quatFromAxisAngle(V3(0, 0, 1), kPi / 4)), &small.base,
       at(V3(1 / std::sqrt(2.0), 3.7 / std::sqrt(2.0) - 0.02, 0), quatFromAxisAngle(V3(1, 0, 0), kPi / 4)), 1},
      {"prism on prism", &pa.base, at(V3(0, 0, 0)), &pb.base,
       at(V3(0.2, 0.79, 0.1), quatFromAxisAngle(V3(0, 1, 0), 0.4)), 4},
      {"capsules crossing", &ca.base, at(V3(0, 0, 0), quatFromAxisAngle(V3(1, 0, 0), 0.3)), &cb.base,
       at(V3(0.1, 0.5, 0.6), quatFromAxisAngle(V3(0, 0, 1), 1.2)), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ContactManifold m1 = collide(c.a, c.ta, c.b, c.tb);
    ContactManifold m2 = collide(c.b, c.tb, c.a, c.ta);
    ASSERT_EQ(m1.numContacts, c.expected);
    ASSERT_EQ(m2.numContacts, c.expected);
    for (u32 i = 0; i < m1.numContacts; ++i) {
      const ContactPoint& p1 = m1.points[i];
      expectV3(p1.normal, -m2.points[0].normal, 1e-9);
      f64 d1 = p1.penetrationDepth;
      // The same pair of world points appears in the other order with roles exchanged.
      f64 best = 1e300;
      u32 match = 0;
      for (u32 j = 0; j < m2.numContacts; ++j) {
        f64 e = v3Length(worldA(p1, c.ta) - worldB(m2.points[j], c.ta)) +
                v3Length(worldB(p1, c.tb) - worldA(m2.points[j], c.tb));
        if (e < best) {
          best = e;
          match = j;
        }
      }
      EXPECT_LT(best, 1e-9);
      f64 d2 = m2.points[match].penetrationDepth;
      EXPECT_LE(std::fabs(d1 - d2), 0.002 * std::fmax(d1, d2) + 0.0005);
    }
  }
  convexPolyDestroy(&pa);
  convexPolyDestroy(&pb);
}

// Large faces: clipping a 40-gon against a 40-gon stays within the fixed buffers.
TEST(Narrowphase, LargeFacesNeverOverflowClipping) {
  ConvexPolyhedronShape a, b;
  ASSERT_TRUE(makePrism(&a, 40, 0.5));
  ASSERT_TRUE(makePrism(&b, 40, 0.5));
  Transform ta = at(V3(0, 0, 0));
  Transform tb = at(V3(0.05, 0.99, 0), quatFromAxisAngle(V3(0, 1, 0), kPi / 40));
  ContactManifold m = collide(&a.base, ta, &b.base, tb);
  ASSERT_GE(m.numContacts, 1u);
  ASSERT_LE(m.numContacts, 4u);
  for (u32 i = 0; i < m.numContacts; ++i) {
    expectV3(m.points[i].normal, V3(0, 1, 0));
    EXPECT_NEAR(m.points[i].penetrationDepth, 0.01, 1e-9);
  }
  v3 square[4] = {V3(-1, 0, -1), V3(1, 0, -1), V3(1, 0, 1), V3(-1, 0, 1)};
  v3 out[8];
  EXPECT_EQ(clipPolygonAgainstPlane(square, 4, V3(0, 0, 0), V3(1, 0, 0), out), 4u);
  expectV3(out[0], V3(0, 0, -1));
  EXPECT_EQ(clipPolygonAgainstPlane(square, 0, V3(0, 0, 0), V3(1, 0, 0), out), 0u);
  EXPECT_EQ(clipPolygonAgainstPlane(square, 4, V3(5, 0, 0), V3(1, 0, 0), out), 0u);
  convexPolyDestroy(&a);
  convexPolyDestroy(&b);
}

TEST(Gjk, MarginContactsWithTriangles) {
  TriangleShape tri;
  triangleInit(&tri, V3(-1, 0, -1), V3(-1, 0, 2), V3(2, 0, -1));
  SphereShape s;
  sphereInit(&s, 0.5);
  CapsuleShape c;
  capsuleInit(&c, 0.3, 1.0);
  struct Case {
    const char* name;
    const Shape* shape;
    Transform xf;
    f64 depth;
    v3 pointOnShape, pointOnTriangle;
  };
  const Case cases[] = {
      {"sphere", &s.base, at(V3(0.25, 0.4, 0.25)), 0.1, V3(0.25, -0.1, 0.25), V3(0.25, 0, 0.25)},
      {"capsule standing", &c.base, at(V3(0.3, 0.75, 0.3)), 0.05, V3(0.3, -0.05, 0.3), V3(0.3, 0, 0.3)},
      {"capsule tilted", &c.base, at(V3(0.2, 0.6, 0.1), quatFromAxisAngle(V3(0, 0, 1), 0.5)),
       0.3 - (0.6 - 0.5 * std::cos(0.5)), V3(0.2 + 0.5 * std::sin(0.5), 0.6 - 0.5 * std::cos(0.5) - 0.3, 0.1),
       V3(0.2 + 0.5 * std::sin(0.5), 0, 0.1)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    GjkInfo info{};
    ASSERT_EQ(gjkTestCollision(k.shape, k.xf, &tri.base, at(V3(0, 0, 0)), &info, nullptr), GJK_COLLIDE_MARGIN);
    EXPECT_TRUE(info.isValid);
    EXPECT_NEAR(info.penetrationDepth, k.depth, 1e-9);
    expectV3(info.normal, V3(0, -1, 0));
    expectV3(info.closestPointA, k.pointOnShape);
    expectV3(info.closestPointB, k.pointOnTriangle);
    // Through the dispatcher (the GJK row) the points come back in local frames.
    ContactManifold m = collide(k.shape, k.xf, &tri.base, at(V3(0, 0, 0)));
    ASSERT_EQ(m.numContacts, 1u);
    expectV3(worldA(m.points[0], k.xf), k.pointOnShape);
    expectV3(m.points[0].localPointB, k.pointOnTriangle);
  }
}

TEST(Gjk, SeparatedAndInterpenetrating) {
  TriangleShape tri;
  triangleInit(&tri, V3(-1, 0, -1), V3(-1, 0, 2), V3(2, 0, -1));
  SphereShape s;
  sphereInit(&s, 0.5);
  Transform ts = at(V3(0.3, 3.0, 0.2));
  GjkInfo info{};
  ASSERT_EQ(gjkTestCollision(&s.base, ts, &tri.base, at(V3(0, 0, 0)), &info, nullptr), GJK_SEPARATED);
  ASSERT_TRUE(info.isValid);
  // The axis separates: the sphere lies wholly on its positive side of the triangle.
  v3 axis = v3Normalize(info.separatingAxis);
  f64 maxTri = -1e300;
  for (const v3& v : tri.vertices) maxTri = std::fmax(maxTri, v3Dot(axis, v));
  EXPECT_GT(v3Dot(axis, ts.position) - 0.5, maxTri);
  v3 ca, cb;
  EXPECT_EQ(gjkComputeClosestPoints(&s.base, ts, &tri.base, at(V3(1, 2, 3)), &ca, &cb), 0.0);
  expectV3(ca, ts.position);
  expectV3(cb, V3(1, 2, 3));

  // Cores overlapping: interpenetration, and the GJK row reports nothing.
  BoxShape box;
  boxInit(&box, V3(1, 1, 1));
  EXPECT_EQ(gjkTestCollision(&box.base, at(V3(0, 0.5, 0)), &tri.base, at(V3(0, 0, 0)), &info, nullptr),
            GJK_INTERPENETRATE);
  EXPECT_FALSE(info.isValid);
  b8 r = true;
  ContactManifold m = collide(&box.base, at(V3(0, 0.5, 0)), &tri.base, at(V3(0, 0, 0)), &r);
  EXPECT_FALSE(r);
  EXPECT_EQ(m.numContacts, 0u);
}

TEST(HeightFieldContacts, SphereOnTerrain) {
  std::vector<i16> flat(5 * 5, 0);
  HeightFieldShape hf;
  heightFieldInitBorrowed(&hf, flat.data(), 5, 5, 1.0, 1.0, 0.0);
  SphereShape s;
  sphereInit(&s, 0.2);
  Transform th = at(V3(0, 0, 0)), ts = at(V3(1.25, 0.19, 1.25));
  ContactManifold m = collide(&hf.base, th, &s.base, ts);
  ASSERT_EQ(m.numContacts, 1u);
  expectV3(m.points[0].normal, V3(0, 1, 0));
  EXPECT_NEAR(m.points[0].penetrationDepth, 0.01, 1e-9);
  expectV3(m.points[0].localPointA, V3(1.25, 0, 1.25));
  expectV3(m.points[0].localPointB, V3(0, -0.2, 0));
  m = collide(&hf.base, th, &s.base, at(V3(1.25, 0.21, 1.25)));
  EXPECT_EQ(m.numContacts, 0u);
  m = collide(&hf.base, th, &s.base, at(V3(9, 0, 9)));  // off the grid
  EXPECT_EQ(m.numContacts, 0u);
}

// A box resting on flat terrain gets its four bottom corners (the face clipped
// by every triangle under it), in both orders; sunk below the surface it is still
// pushed up, never down through the field.
TEST(HeightFieldContacts, BoxOnTerrainGetsItsBottomFace) {
  std::vector<i16> flat(6 * 6, 0);
  HeightFieldShape hf;
  heightFieldInitBorrowed(&hf, flat.data(), 6, 6, 1.0, 1.0, 0.0);
  BoxShape box;
  boxInit(&box, V3(0.5, 0.5, 0.5));
  struct Case {
    f64 y;
    f64 depth;
  } cases[] = {{0.49, 0.01}, {0.2, 0.3}, {-0.3, 0.8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.y);
    Transform th = at(V3(0, 0, 0)), tb = at(V3(1.5, c.y, 1.5));
    for (int swapped = 0; swapped < 2; ++swapped) {
      ContactManifold m = swapped ? collide(&box.base, tb, &hf.base, th) : collide(&hf.base, th, &box.base, tb);
      ASSERT_EQ(m.numContacts, 4u);
      u32 corners = 0;
      for (u32 i = 0; i < 4; ++i) {
        const ContactPoint& p = m.points[i];
        v3 onBox = swapped ? p.localPointA : p.localPointB;
        v3 onHf = swapped ? p.localPointB : p.localPointA;
        expectV3(p.normal, swapped ? V3(0, -1, 0) : V3(0, 1, 0));
        EXPECT_NEAR(p.penetrationDepth, c.depth, 1e-12);
        EXPECT_NEAR(onBox.y, -0.5, 1e-12);
        EXPECT_NEAR(std::fabs(onBox.x), 0.5, 1e-12);
        EXPECT_NEAR(std::fabs(onBox.z), 0.5, 1e-12);
        corners |= 1u << ((onBox.x > 0) + 2 * (onBox.z > 0));
        EXPECT_NEAR(onHf.y, 0.0, 1e-12);
        EXPECT_NEAR(onHf.x, 1.5 + onBox.x, 1e-12);
      }
      EXPECT_EQ(corners, 15u);
    }
  }
}

// A box standing on one corner reports that corner; with a distance to look
// within, a box hovering above the field reports its corners at negative depth.
TEST(HeightFieldContacts, CornerDownAndContactsBeforeTouch) {
  std::vector<i16> flat(6 * 6, 0);
  HeightFieldShape hf;
  heightFieldInitBorrowed(&hf, flat.data(), 6, 6, 1.0, 1.0, 0.0);
  BoxShape box;
  boxInit(&box, V3(0.5, 0.5, 0.5));
  // Corner (-,-,-) straight down: turn the body diagonal onto -y.
  v3 diag = v3Normalize(V3(-1, -1, -1));
  v3 axis = v3Cross(diag, V3(0, -1, 0));
  v4 q = quatFromAxisAngle(v3Normalize(axis), std::acos(v3Dot(diag, V3(0, -1, 0))));
  f64 half = std::sqrt(0.75);
  Transform tb = at(V3(2.3, half - 0.02, 2.6), q);
  ContactManifold m = collide(&hf.base, at(V3(0, 0, 0)), &box.base, tb);
  ASSERT_EQ(m.numContacts, 1u);
  EXPECT_NEAR(m.points[0].penetrationDepth, 0.02, 1e-9);
  expectV3(m.points[0].localPointB, V3(-0.5, -0.5, -0.5));

  Transform above = at(V3(1.5, 0.53, 1.5));
  m = collide(&hf.base, at(V3(0, 0, 0)), &box.base, above);
  EXPECT_EQ(m.numContacts, 0u);
  m = ContactManifold{};
  ASSERT_TRUE(narrowphaseCollideWithin(&hf.base, at(V3(0, 0, 0)), &box.base, above, 0.05, &m));
  ASSERT_EQ(m.numContacts, 4u);
  for (u32 i = 0; i < 4; ++i) EXPECT_NEAR(m.points[i].penetrationDepth, -0.03, 1e-12);
  m = ContactManifold{};
  EXPECT_FALSE(narrowphaseCollideWithin(&hf.base, at(V3(0, 0, 0)), &box.base, above, 0.02, &m));
}

// Steep random terrain under a large sphere, with far more triangles than a
// manifold holds: the deepest point of any triangle is among the four kept.
TEST(HeightFieldContacts, KeepsTheDeepestOfAllTriangles) {
  std::vector<i16> samples(40 * 40);
  std::mt19937 rng(3);
  for (auto& v : samples) v = (i16)(rng() % 2000);
  HeightFieldShape hf;
  heightFieldInitBorrowed(&hf, samples.data(), 40, 40, 0.25, 0.001, 0.0);
  SphereShape s;
  sphereInit(&s, 3.0);
  const Transform ts = at(V3(5.0, 2.2, 5.0));
  ContactManifold m = collide(&hf.base, at(V3(0, 0, 0)), &s.base, ts);
  ASSERT_GE(m.numContacts, 3u);
  f64 deepestKept = -1e300;
  for (u32 i = 0; i < m.numContacts; ++i) deepestKept = std::fmax(deepestKept, m.points[i].penetrationDepth);
  // Brute force: the sphere's depth against every triangle of the field.
  f64 deepest = -1e300;
  u32 tested = 0;
  for (u32 r = 0; r + 1 < 40; ++r)
    for (u32 c = 0; c + 1 < 40; ++c) {
      v3 t[6];
      heightFieldGetCellTriangles(&hf, r, c, t);
      for (int k = 0; k < 2; ++k) {
        f64 u, v, w;
        v3 q = closestPointOnTriangleToOrigin(t[3 * k] - ts.position, t[3 * k + 1] - ts.position,
                                              t[3 * k + 2] - ts.position, &u, &v, &w);
        deepest = std::fmax(deepest, 3.0 - v3Length(q));
        ++tested;
      }
    }
  EXPECT_GT(deepest, 0.1);
  EXPECT_NEAR(deepestKept, deepest, 1e-9);
  // The kept points spread under the sphere rather than bunching at one spot.
  f64 spread = 0.0;
  for (u32 i = 0; i < m.numContacts; ++i)
    for (u32 j = 0; j < m.numContacts; ++j)
      spread = std::fmax(spread, v3Length(m.points[i].localPointA - m.points[j].localPointA));
  EXPECT_GT(spread, 0.1);
}

// Random shapes in random poses: finite values, unit normals, at most four points.
TEST(Narrowphase, RandomPosesStayWellFormed) {
  SphereShape s;
  sphereInit(&s, 0.5);
  BoxShape box;
  boxInit(&box, V3(0.6, 0.3, 0.8));
  CapsuleShape cap;
  capsuleInit(&cap, 0.25, 1.2);
  ConvexPolyhedronShape prism;
  ASSERT_TRUE(makePrism(&prism, 9, 0.4));
  TriangleShape tri;
  triangleInit(&tri, V3(-1, 0, -1), V3(0, 0.2, 1), V3(1, -0.1, -0.5));
  std::vector<i16> samples(8 * 8);
  std::mt19937 r16(5);
  for (auto& v : samples) v = (i16)(r16() % 30000);
  HeightFieldShape hf;
  heightFieldInitBorrowed(&hf, samples.data(), 8, 8, 0.5, 1.0, -0.5);
  const Shape* shapes[] = {&s.base, &box.base, &cap.base, &prism.base, &tri.base, &hf.base};
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<f64> u(-1.0, 1.0);
  int contacts = 0;
  for (int k = 0; k < 10000; ++k) {
    const Shape* a = shapes[rng() % 6];
    const Shape* b = shapes[rng() % 6];
    Transform ta = at(V3(u(rng), u(rng), u(rng)) * 0.5 + V3(1.5, 0, 1.5),
                      quatNormalize(V4(u(rng), u(rng), u(rng), u(rng))));
    Transform tb = at(ta.position + V3(u(rng), u(rng), u(rng)),
                      quatNormalize(V4(u(rng), u(rng), u(rng), u(rng))));
    if (a->type == SHAPE_HEIGHTFIELD) ta = at(V3(0, 0, 0));
    if (b->type == SHAPE_HEIGHTFIELD) tb = at(V3(0, 0, 0));
    ContactManifold m = collide(a, ta, b, tb);
    ASSERT_LE(m.numContacts, 4u);
    for (u32 i = 0; i < m.numContacts; ++i) {
      const ContactPoint& p = m.points[i];
      ASSERT_TRUE(std::isfinite(p.penetrationDepth));
      ASSERT_TRUE(std::isfinite(p.localPointA.x + p.localPointA.y + p.localPointA.z));
      ASSERT_TRUE(std::isfinite(p.localPointB.x + p.localPointB.y + p.localPointB.z));
      ASSERT_NEAR(v3Length(p.normal), 1.0, 1e-9) << a->type << " vs " << b->type;
    }
    contacts += m.numContacts > 0;
  }
  EXPECT_GT(contacts, 1000);
  convexPolyDestroy(&prism);
}

TEST(Narrowphase, ReservedKindsNeverCollide) {
  Shape concave{SHAPE_CONCAVE_MESH, 0.0};
  SphereShape s;
  sphereInit(&s, 1.0);
  b8 r = true;
  ContactManifold m = collide(&concave, at(V3(0, 0, 0)), &s.base, at(V3(0, 0.5, 0)), &r);
  EXPECT_FALSE(r);
  EXPECT_EQ(m.numContacts, 0u);
}

}  // namespace

// The box-box routine against the polyhedron path it replaced, on random poses
// (face-aligned ones mixed in): the same pairs touch, the normals agree, edge
// pairs give the same depth, and both orders mirror.
TEST(Narrowphase, BoxBoxAgreesWithThePolyhedronPath) {
  std::mt19937_64 rng(23);
  std::uniform_real_distribution<f64> U(-1.0, 1.0);
  u32 both = 0, normalsAgree = 0, mirrors = 0;
  for (int k = 0; k < 4000; ++k) {
    BoxShape a, b;
    boxInit(&a, V3(0.2 + std::fabs(U(rng)), 0.2 + std::fabs(U(rng)), 0.2 + std::fabs(U(rng))));
    boxInit(&b, V3(0.2 + std::fabs(U(rng)), 0.2 + std::fabs(U(rng)), 0.2 + std::fabs(U(rng))));
    auto pose = [&](f64 spread) {
      v4 q = k % 3 == 0 ? quatIdentity() : quatFromAxisAngle(v3Normalize(V3(U(rng), U(rng), U(rng) + 1e-3)), 3.2 * U(rng));
      return at(V3(spread * U(rng), spread * U(rng), spread * U(rng)), q);
    };
    Transform ta = pose(0.3), tb = pose(1.6);
    BoxAsConvexPoly va, vb;
    boxAsConvexPolyInit(&va, &a);
    boxAsConvexPolyInit(&vb, &b);
    ContactManifold mp{}, mb = collide(&a.base, ta, &b.base, tb), ms = collide(&b.base, tb, &a.base, ta);
    b8 poly = satConvexPolyVsConvexPoly(&va.poly, ta, &vb.poly, tb, &mp);
    f64 dp = -1e300, db = -1e300;
    for (u32 i = 0; i < mp.numContacts; ++i) dp = std::fmax(dp, mp.points[i].penetrationDepth);
    for (u32 i = 0; i < mb.numContacts; ++i) {
      db = std::fmax(db, mb.points[i].penetrationDepth);
      EXPECT_GT(mb.points[i].penetrationDepth, 0.0);
    }
    ASSERT_EQ(mb.numContacts > 0, ms.numContacts > 0) << k;
    if (poly != (mb.numContacts > 0)) {
      // Only grazing contacts may differ.
      EXPECT_LT(std::fmax(dp, db), 1e-6) << k;
      continue;
    }
    if (!poly) continue;
    ++both;
    // A single point is an edge pair: the same axis gives the same depth.
    if (mb.numContacts == 1 && mp.numContacts == 1) {
      EXPECT_NEAR(db, dp, 1e-9) << k;
    }
    // Each point pair is `depth` apart along the normal.
    for (u32 i = 0; i < mb.numContacts; ++i) {
      const ContactPoint& p = mb.points[i];
      expectV3(worldA(p, ta) - worldB(p, tb), p.normal * p.penetrationDepth, 1e-9);
    }
    if (v3Dot(mb.points[0].normal, mp.points[0].normal) > 0.999) ++normalsAgree;
    // The face bias favours the first box, so near ties may pick another axis.
    if (v3Dot(ms.points[0].normal, mb.points[0].normal) < -0.999) ++mirrors;
  }
  EXPECT_GT(both, 1000u);
  EXPECT_GE(normalsAgree, both * 99 / 100);
  EXPECT_GE(mirrors, both * 99 / 100);
}
