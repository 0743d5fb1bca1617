#include "physics/shapes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "physics/narrowphase.h"

namespace {

void expectV3(v3 a, v3 b, f64 tol = 1e-12) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

Transform identity() { return Transform{V3(0, 0, 0), quatIdentity()}; }

struct RayCase {
  const char* name;
  const Shape* shape;
  Transform xf;
  v3 start, end;
  b8 hit;
  f64 fraction;
  v3 normal;
};

TEST(Shapes, RaycastTable) {
  SphereShape sphere;
  sphereInit(&sphere, 1.0);
  BoxShape box;
  boxInit(&box, V3(1, 2, 3));
  CapsuleShape capsule;
  capsuleInit(&capsule, 0.5, 2.0);  // core from y = -1 to +1
  CapsuleShape limb;                // ragdoll-sized
  capsuleInit(&limb, 0.05, 0.2);
  TriangleShape tri;
  triangleInit(&tri, V3(0, 0, 0), V3(0, 0, 1), V3(1, 0, 0));  // normal +Y
  BoxAsConvexPoly cube;
  BoxShape unit;
  boxInit(&unit, V3(1, 1, 1));
  boxAsConvexPolyInit(&cube, &unit);

  const f64 deg25 = 25.0 * kPi / 180.0;
  // A short ray 25 degrees off the limb's axis, crossing the axis at (0, 0.05, 0),
  // enters through the cylinder wall.
  v3 dir25 = V3(std::sin(deg25), std::cos(deg25), 0);
  v3 limbStart = V3(0, 0.05, 0) - dir25 * 0.25;
  v3 limbEnd = V3(0, 0.05, 0) + dir25 * 0.25;
  f64 limbFraction = (0.25 - 0.05 / std::sin(deg25)) / 0.5;

  Transform moved{V3(10, 0, 0), quatFromAxisAngle(V3(0, 0, 1), kPi / 2)};

  const RayCase cases[] = {
      {"sphere hit", &sphere.base, identity(), V3(-3, 0, 0), V3(3, 0, 0), true, 2.0 / 6.0, V3(-1, 0, 0)},
      {"sphere miss", &sphere.base, identity(), V3(-3, 2, 0), V3(3, 2, 0), false, 0, V3(0, 0, 0)},
      {"sphere start inside", &sphere.base, identity(), V3(0, 0, 0), V3(3, 0, 0), false, 0, V3(0, 0, 0)},
      {"sphere pointing away", &sphere.base, identity(), V3(3, 0, 0), V3(6, 0, 0), false, 0, V3(0, 0, 0)},
      {"sphere too short", &sphere.base, identity(), V3(-3, 0, 0), V3(-1.5, 0, 0), false, 0, V3(0, 0, 0)},
      {"box top face", &box.base, identity(), V3(0, 5, 0), V3(0, -5, 0), true, 0.3, V3(0, 1, 0)},
      {"box -X face", &box.base, identity(), V3(-5, 0, 0), V3(5, 0, 0), true, 0.4, V3(-1, 0, 0)},
      {"box parallel outside", &box.base, identity(), V3(-5, 3, 0), V3(5, 3, 0), false, 0, V3(0, 0, 0)},
      {"box start inside", &box.base, identity(), V3(0, 0, 0), V3(5, 0, 0), false, 0, V3(0, 0, 0)},
      {"box beyond end", &box.base, identity(), V3(-9, 0, 0), V3(-5, 0, 0), false, 0, V3(0, 0, 0)},
      {"capsule wall", &capsule.base, identity(), V3(-2, 0.5, 0), V3(2, 0.5, 0), true, 1.5 / 4.0, V3(-1, 0, 0)},
      {"capsule axis from above", &capsule.base, identity(), V3(0, 4, 0), V3(0, -4, 0), true, 2.5 / 8.0, V3(0, 1, 0)},
      {"capsule axis from below", &capsule.base, identity(), V3(0, -4, 0), V3(0, 4, 0), true, 2.5 / 8.0, V3(0, -1, 0)},
      {"capsule parallel beside", &capsule.base, identity(), V3(1, 4, 0), V3(1, -4, 0), false, 0, V3(0, 0, 0)},
      {"capsule start inside", &capsule.base, identity(), V3(0, 0, 0), V3(3, 0, 0), false, 0, V3(0, 0, 0)},
      // Wholly above the top end plane, through the rounded end.
      {"capsule over the end plane", &capsule.base, identity(), V3(-2, 1.2, 0), V3(2, 1.2, 0), true,
       (2.0 - std::sqrt(0.21)) / 4.0, V3(-std::sqrt(0.21) / 0.5, 0.4, 0)},
      {"capsule far beyond end plane", &capsule.base, identity(), V3(-2, 3, 0), V3(2, 3, 0), false, 0, V3(0, 0, 0)},
      {"limb 25 degrees", &limb.base, identity(), limbStart, limbEnd, true, limbFraction,
       V3(-1, 0, 0)},
      {"triangle front", &tri.base, identity(), V3(0.2, 1, 0.2), V3(0.2, -1, 0.2), true, 0.5, V3(0, 1, 0)},
      {"triangle back face", &tri.base, identity(), V3(0.2, -1, 0.2), V3(0.2, 1, 0.2), true, 0.5, V3(0, 1, 0)},
      {"triangle outside", &tri.base, identity(), V3(0.8, 1, 0.8), V3(0.8, -1, 0.8), false, 0, V3(0, 0, 0)},
      {"triangle parallel", &tri.base, identity(), V3(-1, 0, 0.2), V3(2, 0, 0.2), false, 0, V3(0, 0, 0)},
      {"polyhedron +Z face", &cube.poly.base, identity(), V3(0, 0, 5), V3(0, 0, -5), true, 0.4, V3(0, 0, 1)},
      {"polyhedron start inside", &cube.poly.base, identity(), V3(0, 0, 0), V3(0, 0, -5), true, 0.0, V3(0, 1, 0)},
      {"polyhedron miss", &cube.poly.base, identity(), V3(3, 0, 5), V3(3, 0, -5), false, 0, V3(0, 0, 0)},
      // The box turned 90 degrees about z and moved: its local +X face now faces +Y.
      {"moved box", &box.base, moved, V3(10, 5, 0), V3(10, -5, 0), true, 0.4, V3(0, 1, 0)},
  };
  for (const RayCase& c : cases) {
    SCOPED_TRACE(c.name);
    RaycastHit hit{};
    b8 got = shapeRaycast(c.shape, c.xf, c.start, c.end, &hit);
    ASSERT_EQ(got, c.hit);
    if (!c.hit) continue;
    EXPECT_NEAR(hit.hitFraction, c.fraction, 1e-9);
    expectV3(hit.worldNormal, c.normal, 1e-9);
    expectV3(hit.worldPoint, c.start + (c.end - c.start) * c.fraction, 1e-9);
  }
}

TEST(Shapes, RaycastRespectsMaxFraction) {
  BoxShape box;
  boxInit(&box, V3(1, 1, 1));
  Ray ray{V3(-5, 0, 0), V3(5, 0, 0), 0.3};
  RaycastHit hit{};
  EXPECT_FALSE(boxRaycast(&box, &ray, &hit));
  ray.maxFraction = 0.4;
  EXPECT_TRUE(boxRaycast(&box, &ray, &hit));
}

TEST(Shapes, DegenerateCapsuleIsHitLikeASphere) {
  CapsuleShape c;
  capsuleInit(&c, 0.5, 0.0);
  RaycastHit hit{};
  ASSERT_TRUE(shapeRaycast(&c.base, identity(), V3(-2, 0, 0), V3(2, 0, 0), &hit));
  EXPECT_NEAR(hit.hitFraction, 1.5 / 4.0, 1e-12);
  expectV3(hit.worldNormal, V3(-1, 0, 0));
}

TEST(Shapes, SupportPoints) {
  SphereShape s;
  sphereInit(&s, 2.0);
  BoxShape b;
  boxInit(&b, V3(1, 2, 3));
  CapsuleShape c;
  capsuleInit(&c, 0.5, 2.0);
  TriangleShape t;
  triangleInit(&t, V3(1, 0, 0), V3(1, 0, 0), V3(0, 1, 0));

  expectV3(shapeGetLocalSupport(&s.base, V3(1, 0, 0)), V3(0, 0, 0));
  expectV3(shapeGetLocalSupportWithMargin(&s.base, V3(0, 0, 3)), V3(0, 0, 2));
  expectV3(shapeGetLocalSupportWithMargin(&s.base, V3(0, 0, 0)), V3(0, 2, 0));
  expectV3(shapeGetLocalSupport(&b.base, V3(-1, 0, 1)), V3(-1, 2, 3));  // zero component: +h
  expectV3(shapeGetLocalSupportWithMargin(&b.base, V3(-1, 0, 1)), V3(-1, 2, 3));  // margin 0
  b.base.margin = 0.5;
  expectV3(shapeGetLocalSupportWithMargin(&b.base, V3(0, -2, 0)), V3(1, -2.5, 3));
  expectV3(shapeGetLocalSupport(&c.base, V3(1, 0, 0)), V3(0, -1, 0));  // zero y: lower end
  expectV3(shapeGetLocalSupport(&c.base, V3(0, 1e-9, 0)), V3(0, 1, 0));
  expectV3(shapeGetLocalSupportWithMargin(&c.base, V3(3, 4, 0)), V3(0.3, 1.4, 0));
  expectV3(shapeGetLocalSupportWithMargin(&c.base, V3(0, 0, 0)), V3(0, -1, 0));
  // Ties prefer the earlier triangle vertex; triangles have no margin support.
  expectV3(shapeGetLocalSupport(&t.base, V3(1, 0, 0)), V3(1, 0, 0));
  expectV3(shapeGetLocalSupportWithMargin(&t.base, V3(0, 1, 0)), V3(0, 1, 0));

  v3 pts[4] = {V3(0, 0, 0), V3(1, 1, 0), V3(1, 1, 0), V3(-1, 0, 0)};
  ConvexPolyhedronShape p;
  ASSERT_TRUE(convexPolyInit(&p, pts, 4));
  expectV3(convexPolyGetCentroid(&p), V3(0.25, 0.5, 0));
  expectV3(shapeGetLocalSupport(&p.base, V3(1, 1, 0)), V3(1, 1, 0));
  expectV3(shapeGetLocalSupportWithMargin(&p.base, V3(0, 0, 2)), V3(0, 0, 0.04));
  convexPolyDestroy(&p);
  EXPECT_EQ(p.vertices, nullptr);
}

TEST(Shapes, VolumesAndInertia) {
  SphereShape s;
  sphereInit(&s, 2.0);
  EXPECT_NEAR(sphereGetVolume(&s), 4.0 / 3.0 * kPi * 8.0, 1e-12);
  expectV3(sphereGetLocalInertiaTensor(&s, 3.0), V3(4.8, 4.8, 4.8));

  BoxShape b;
  boxInit(&b, V3(1, 2, 3));
  EXPECT_DOUBLE_EQ(boxGetVolume(&b), 48.0);
  expectV3(boxGetLocalInertiaTensor(&b, 3.0), V3(13, 10, 5));

  CapsuleShape c;
  capsuleInit(&c, 1.0, 2.0);
  EXPECT_NEAR(capsuleGetVolume(&c), 4.0 / 3.0 * kPi + 2.0 * kPi, 1e-12);
  // h = 2, r = 1: mc = 6m/10, mh = 2m/10.
  f64 m = 10.0, mc = 6.0, mh = 2.0;
  v3 ic = capsuleGetLocalInertiaTensor(&c, m);
  EXPECT_NEAR(ic.y, mc * 0.5 + mh * 0.8, 1e-12);
  EXPECT_NEAR(ic.x, mc * (0.25 + 4.0 / 12.0) + mh * (0.8 + 1.5 + 2.0), 1e-12);
  EXPECT_EQ(ic.x, ic.z);

  v3 pts[2] = {V3(-1, -1, -1), V3(1, 2, 3)};
  ConvexPolyhedronShape p;
  ASSERT_TRUE(convexPolyInit(&p, pts, 2));
  p.base.margin = 0.5;
  EXPECT_NEAR(convexPolyGetVolume(&p), 3.0 * 4.0 * 5.0, 1e-12);
  convexPolyDestroy(&p);
}

TEST(Shapes, WorldBoxes) {
  Transform rot{V3(1, 2, 3), quatFromAxisAngle(V3(0, 0, 1), kPi / 2)};
  BoxShape b;
  boxInit(&b, V3(1, 2, 3));
  Aabb bb = shapeComputeAabb(&b.base, rot);
  expectV3(bb.min, V3(-1, 1, 0), 1e-12);
  expectV3(bb.max, V3(3, 3, 6), 1e-12);

  CapsuleShape c;
  capsuleInit(&c, 0.5, 2.0);
  Aabb cb = shapeComputeAabb(&c.base, rot);  // axis now along -x
  expectV3(cb.min, V3(-0.5, 1.5, 2.5), 1e-12);
  expectV3(cb.max, V3(2.5, 2.5, 3.5), 1e-12);

  SphereShape s;
  sphereInit(&s, 2.0);
  Aabb sb = shapeComputeAabb(&s.base, rot);
  expectV3(sb.min, V3(-1, 0, 1));

  TriangleShape t;
  triangleInit(&t, V3(0, 0, 0), V3(1, 0, 0), V3(0, 0, 1));
  Aabb tb = shapeComputeAabb(&t.base, identity());
  expectV3(tb.min, V3(0, 0, 0));
  expectV3(tb.max, V3(1, 0, 1));

  Shape concave{SHAPE_CONCAVE_MESH, 0.0};
  Aabb nb = shapeComputeAabb(&concave, rot);
  expectV3(nb.min, V3(1, 2, 3));
  expectV3(nb.max, V3(1, 2, 3));
  EXPECT_FALSE(shapeIsConvex(&concave));
  EXPECT_TRUE(shapeIsConvex(&t.base));
  RaycastHit hit{};
  EXPECT_FALSE(shapeRaycast(&concave, identity(), V3(0, 5, 0), V3(0, -5, 0), &hit));
}

TEST(Shapes, ScaleIgnoresNonPositiveFactorsAndScalesTheMargin) {
  CapsuleShape c;
  capsuleInit(&c, 0.5, 2.0);
  shapeScale(&c.base, 0.0);
  shapeScale(&c.base, -2.0);
  EXPECT_EQ(c.radius, 0.5);
  EXPECT_EQ(c.base.margin, 0.5);
  shapeScale(&c.base, 2.0);
  EXPECT_EQ(c.radius, 1.0);
  EXPECT_EQ(c.halfHeight, 2.0);
  EXPECT_EQ(c.base.margin, 1.0);
  // A scaled sphere keeps margin = radius: its support point is on the new surface.
  SphereShape s;
  sphereInit(&s, 0.5);
  shapeScale(&s.base, 2.0);
  EXPECT_EQ(s.base.margin, 1.0);
  expectV3(shapeGetLocalSupportWithMargin(&s.base, V3(0, -3, 0)), V3(0, -1, 0));
}

TEST(Shapes, BoxAccessors) {
  BoxShape b;
  boxInit(&b, V3(1, 2, 3));
  expectV3(boxGetVertex(&b, 5), V3(1, -2, 3));
  expectV3(boxGetFaceNormal(&b, 1), V3(-1, 0, 0));
  expectV3(boxGetFaceNormal(&b, 9), V3(0, 1, 0));
  EXPECT_EQ(boxGetNumFaces() * 4, boxGetNumEdges());
}

// A 4 x 3 grid (rows x cols), cell size 2.
struct Field {
  std::vector<i16> samples{0, 32767, 0, 0, 0, 0, -32767, 0, 16384, 0, 0, 0};
  HeightFieldShape hf;
  Field() { heightFieldInitBorrowed(&hf, samples.data(), 4, 3, 2.0, 10.0, 1.0); }
};

TEST(HeightField, Heights) {
  Field f;
  EXPECT_DOUBLE_EQ(f.hf.maxHeight, 11.0);
  EXPECT_DOUBLE_EQ(f.hf.minHeight, -9.0);
  EXPECT_DOUBLE_EQ(heightFieldGetHeight(&f.hf, 0, 1), 11.0);
  EXPECT_DOUBLE_EQ(heightFieldGetHeight(&f.hf, 9, 9), 1.0);  // clamped to the last sample
  EXPECT_DOUBLE_EQ(heightFieldGetHeightAt(&f.hf, 1.0, 0.0), 6.0);
  // Outside the grid: border cell with weights clamped.
  EXPECT_DOUBLE_EQ(heightFieldGetHeightAt(&f.hf, -5.0, -5.0), 1.0);
  EXPECT_DOUBLE_EQ(heightFieldGetHeightAt(&f.hf, 2.0, -3.0), 11.0);

  HeightFieldShape owned;
  ASSERT_TRUE(heightFieldInit(&owned, f.samples.data(), 4, 3, 2.0, 10.0, 0.0));
  EXPECT_NE(owned.heights, f.samples.data());
  EXPECT_DOUBLE_EQ(heightFieldGetHeight(&owned, 0, 1), 10.0);
  heightFieldDestroy(&owned);
  EXPECT_EQ(owned.heights, nullptr);
  heightFieldDestroy(&f.hf);  // borrowed: samples stay
  EXPECT_EQ(f.samples[1], 32767);
}

TEST(HeightField, TrianglesInAabb) {
  Field f;
  v3 tris[3 * 16];
  Aabb all{V3(-10, -100, -10), V3(100, 100, 100)};
  EXPECT_EQ(heightFieldGetTrianglesInAabb(&f.hf, all, tris, 16), 12u);  // 3 x 2 cells
  EXPECT_EQ(heightFieldGetTrianglesInAabb(&f.hf, all, tris, 0), 0u);
  // Room for three: the second cell contributes only its first triangle.
  ASSERT_EQ(heightFieldGetTrianglesInAabb(&f.hf, all, tris, 3), 3u);
  expectV3(tris[6], V3(2, heightFieldGetHeight(&f.hf, 0, 1), 0));
  expectV3(tris[7], V3(2, heightFieldGetHeight(&f.hf, 1, 1), 2));
  expectV3(tris[8], V3(4, heightFieldGetHeight(&f.hf, 0, 2), 0));
  // Every triangle faces +Y.
  ASSERT_EQ(heightFieldGetTrianglesInAabb(&f.hf, all, tris, 16), 12u);
  for (int t = 0; t < 12; ++t) {
    v3 n = v3Cross(tris[3 * t + 1] - tris[3 * t], tris[3 * t + 2] - tris[3 * t]);
    EXPECT_GT(n.y, 0.0);
  }
  Aabb beyond{V3(50, 0, 0), V3(60, 1, 1)};
  EXPECT_EQ(heightFieldGetTrianglesInAabb(&f.hf, beyond, tris, 16), 0u);
  Aabb nanBox{V3(NAN, 0, NAN), V3(NAN, 1, NAN)};
  EXPECT_LE(heightFieldGetTrianglesInAabb(&f.hf, nanBox, tris, 16), 16u);
}

TEST(HeightField, Raycast) {
  std::vector<i16> flat(5 * 5, 0);
  HeightFieldShape hf;
  heightFieldInitBorrowed(&hf, flat.data(), 5, 5, 1.0, 1.0, 2.0);
  RaycastHit hit{};
  ASSERT_TRUE(shapeRaycast(&hf.base, identity(), V3(1.3, 5, 2.6), V3(1.3, -5, 2.6), &hit));
  EXPECT_NEAR(hit.hitFraction, 0.3, 1e-12);
  expectV3(hit.worldNormal, V3(0, 1, 0));
  // Slanted ray entering from outside the footprint.
  ASSERT_TRUE(shapeRaycast(&hf.base, identity(), V3(-2, 4, 2), V3(4, 1, 2), &hit));
  EXPECT_NEAR(hit.worldPoint.y, 2.0, 1e-12);
  EXPECT_NEAR(hit.worldPoint.x, 2.0, 1e-12);
  EXPECT_FALSE(shapeRaycast(&hf.base, identity(), V3(7, 5, 2), V3(7, -5, 2), &hit));  // off the grid
  EXPECT_FALSE(shapeRaycast(&hf.base, identity(), V3(1, 5, 1), V3(1, 3, 1), &hit));   // stops short
  // A start absurdly far away terminates (the march cannot advance at that scale).
  shapeRaycast(&hf.base, identity(), V3(-1e30, 5, 2), V3(1e30, 5, 2), &hit);
}

}  // namespace
