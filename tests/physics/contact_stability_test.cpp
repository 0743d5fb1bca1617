// Contacts before touch and against terrain, seen through the world: stacks
// placed exactly touching stand, bodies rest on height fields, fast small bodies
// do not pass through thin walls or terrain.
#include <cmath>
#include <vector>

#include "physics_test_util.h"

namespace {

constexpr f64 kDt = 1.0 / 120.0;
constexpr f64 kDeg = 3.14159265358979323846 / 180.0;

f64 horizontal(v3 a, v3 b) { return std::hypot(a.x - b.x, a.z - b.z); }

WorldConfig sleepConfig(b8 sleeping) {
  WorldConfig c = worldDefaultConfig();
  c.isSleepingEnabled = sleeping;
  return c;
}

// Angle between a body's up axis and the world's.
f64 tiltDegrees(const Body* b) {
  f64 c = quatRotate(b->rotation, V3(0, 1, 0)).y;
  return std::acos(std::fmin(1.0, std::fmax(-1.0, c))) / kDeg;
}

// A height field of cells x cells, cellSize apart, centred on the origin, whose
// surface rises along +x by `rise` metres per cell (samples stay exact).
struct Terrain {
  std::vector<i16> samples;
  HeightFieldShape shape;
  i32 body = -1;
  Terrain(TestWorld& t, u32 cells, f64 cellSize, f64 rise, f64 friction) {
    u32 n = cells + 1;
    samples.assign(n * n, 0);
    for (u32 r = 0; r < n; ++r)
      for (u32 c = 0; c < n; ++c) samples[r * n + c] = (i16)(c * 100);
    // Height = sample * factor * scale: pick the scale so that 100 samples = rise.
    f64 scale = rise != 0.0 ? rise / 100.0 : 1.0;
    heightFieldInitBorrowed(&shape, samples.data(), n, n, cellSize, 1.0, 0.0);
    f64 unit = heightFieldGetHeight(&shape, 0, 1);  // height of 100 samples at scale 1
    if (rise == 0.0)
      for (auto& s : samples) s = 0;
    else
      scale = rise / unit;
    heightFieldInitBorrowed(&shape, samples.data(), n, n, cellSize, scale, 0.0);
    f64 half = 0.5 * cells * cellSize;
    // The field's middle sits at x = 0 with height 0 there.
    f64 mid = heightFieldGetHeightAt(&shape, half, half);
    body = demoCreateBody(t.world, &shape.base, V3(0, 0, 0), V3(-half, -mid, -half), quatIdentity(), 0.0,
                          friction, 0.0, BODY_STATIC);
  }
};

}  // namespace

// Ten 1 m boxes stacked exactly touching, no sleeping: the contacts exist from
// the first step, so nothing falls into anything and the tower stays straight.
TEST(ContactsBeforeTouch, TowerOfTenStaysStraight) {
  WorldConfig c = sleepConfig(false);
  TestWorld t(&c);
  ASSERT_TRUE(t.ok);
  BoxShape floor, cube;
  boxInit(&floor, V3(50, 0.5, 50));
  boxInit(&cube, V3(0.5, 0.5, 0.5));
  addBoxBody(t, &floor, V3(0, -0.5, 0), quatIdentity(), 0.0, BODY_STATIC);
  i32 boxes[10];
  for (int i = 0; i < 10; ++i) boxes[i] = addBoxBody(t, &cube, V3(0, 0.5 + i, 0), quatIdentity(), 1.0, BODY_DYNAMIC);
  const v3 top0 = t.body(boxes[9])->position;
  f64 worstShift = 0.0, worstTilt = 0.0;
  for (int s = 0; s < 20 * 120; ++s) {
    worldStep(t.world, kDt);
    worstShift = std::fmax(worstShift, horizontal(t.body(boxes[9])->position, top0));
    worstTilt = std::fmax(worstTilt, tiltDegrees(t.body(boxes[9])));
  }
  EXPECT_LT(worstShift, 0.01);
  EXPECT_LT(worstTilt, 1.0);
  EXPECT_NEAR(t.body(boxes[9])->position.y, 9.5, 0.02);
}

// The demo's 8-layer pyramid (cubes exactly touching), world defaults: every
// cube within 5 mm horizontally and 1 cm vertically of where it started, over 20 s.
TEST(ContactsBeforeTouch, PyramidOfEightHoldsItsShape) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  DemoSceneOptions o = demoSceneNone();
  o.floor = true;
  o.pyramidLayers = 8;
  ASSERT_TRUE(demoSceneBuild(t.scene, t.world, &o));
  std::vector<v3> start;
  for (u32 i = 0; i < t.scene->numPyramid; ++i) start.push_back(t.body(t.scene->pyramid[i])->position);
  f64 worstH = 0.0, worstV = 0.0;
  for (int s = 0; s < 20 * 120; ++s) {
    worldStep(t.world, kDt);
    if (s % 60 != 59) continue;
    for (u32 i = 0; i < t.scene->numPyramid; ++i) {
      v3 p = t.body(t.scene->pyramid[i])->position;
      worstH = std::fmax(worstH, horizontal(p, start[i]));
      worstV = std::fmax(worstV, std::fabs(p.y - start[i].y));
    }
  }
  EXPECT_LT(worstH, 0.005);
  EXPECT_LT(worstV, 0.01);
}

// A small sphere thrown at a thin static wall, and dropped on a height field, at
// the speeds a blast gives: it stops on the near side every time.
TEST(ContactsBeforeTouch, FastSmallSpheresDoNotTunnel) {
  const f64 speeds[] = {20.0, 50.0, 100.0, 200.0};
  for (f64 v : speeds) {
    SCOPED_TRACE(v);
    {
      WorldConfig c = sleepConfig(false);
      TestWorld t(&c);
      ASSERT_TRUE(t.ok);
      BoxShape wall;
      SphereShape ball;
      boxInit(&wall, V3(0.05, 3, 3));
      sphereInit(&ball, 0.05);
      addBoxBody(t, &wall, V3(0, 0, 0), quatIdentity(), 0.0, BODY_STATIC);
      i32 s = addSphereBody(t, &ball, V3(-5.3, 0, 0.2), 0.1);
      t.body(s)->isGravityEnabled = false;
      t.body(s)->linearVelocity = V3(v, 0, 0);
      f64 farthest = -1e9;
      for (int k = 0; k < 60; ++k) {
        worldStep(t.world, kDt);
        farthest = std::fmax(farthest, t.body(s)->position.x);
      }
      EXPECT_LT(farthest, -0.1 + 0.005);
      EXPECT_GT(farthest, -0.2);  // it did reach the wall
    }
    {
      WorldConfig c = sleepConfig(false);
      TestWorld t(&c);
      ASSERT_TRUE(t.ok);
      Terrain terrain(t, 40, 0.5, 0.0, 0.5);
      SphereShape ball;
      sphereInit(&ball, 0.05);
      i32 s = addSphereBody(t, &ball, V3(0.3, 6.1, -0.4), 0.1);
      t.body(s)->linearVelocity = V3(0, -v, 0);
      f64 lowest = 1e9;
      for (int k = 0; k < 90; ++k) {
        worldStep(t.world, kDt);
        lowest = std::fmin(lowest, t.body(s)->position.y);
      }
      EXPECT_GT(lowest, 0.05 - 0.005);
      EXPECT_LT(t.body(s)->position.y, 0.06);
    }
  }
}

// Bodies at rest on height fields: a cube and a large box on flat terrain, a cube
// on a 10 degree slope (friction 0.5 holds it), a big sphere over fine cells.
TEST(HeightFieldResting, BodiesRestAtTheSurfaceAndSleep) {
  struct Case {
    const char* name;
    f64 cellSize;
    f64 slopeDeg;
    v3 half;       // box half extents, or radius in x for a sphere
    b8 sphere;
  } cases[] = {
      {"cube on flat", 1.0, 0.0, V3(0.5, 0.5, 0.5), false},
      {"large box on fine cells", 0.25, 0.0, V3(2.0, 0.5, 1.5), false},
      {"cube on 10 degrees", 0.5, 10.0, V3(0.5, 0.5, 0.5), false},
      {"radius 3 sphere on 0.25 m cells", 0.25, 0.0, V3(3, 3, 3), true},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.name);
    WorldConfig c = sleepConfig(true);
    TestWorld t(&c);
    ASSERT_TRUE(t.ok);
    const u32 cells = (u32)std::lround(16.0 / cs.cellSize);
    const f64 slope = std::tan(cs.slopeDeg * kDeg);
    Terrain terrain(t, cells, cs.cellSize, slope * cs.cellSize, 0.5);
    BoxShape box;
    SphereShape ball;
    i32 b;
    const v4 q = quatFromAxisAngle(V3(0, 0, 1), cs.slopeDeg * kDeg);
    const v3 up = quatRotate(q, V3(0, 1, 0));
    const f64 rest = cs.sphere ? cs.half.x : cs.half.y;  // centre's distance from the surface
    v3 pos = up * rest;
    if (cs.sphere) {
      sphereInit(&ball, cs.half.x);
      b = addSphereBody(t, &ball, pos, 10.0);
    } else {
      boxInit(&box, cs.half);
      b = addBoxBody(t, &box, pos, q, 1.0, BODY_DYNAMIC);
    }
    t.body(b)->friction = 0.5;
    f64 asleepAt = -1.0;
    for (int s = 0; s < 10 * 120; ++s) {
      worldStep(t.world, kDt);
      if (asleepAt < 0.0 && !t.body(b)->isAwake) asleepAt = (s + 1) * kDt;
    }
    const v3 p = t.body(b)->position;
    EXPECT_NEAR(v3Dot(p, up), rest, cs.sphere ? 0.005 : 0.002);
    EXPECT_LT(v3Length(p - up * v3Dot(p, up)), 0.002);  // no sliding along the surface
    EXPECT_GT(asleepAt, 0.0);
    if (!cs.sphere) {
      EXPECT_LT(asleepAt, 2.0);
    }
  }
}

// Sliding on the slope with sleeping off: the friction holds, not the sleeping.
TEST(HeightFieldResting, CubeOnTenDegreesHoldsWithoutSleeping) {
  WorldConfig c = sleepConfig(false);
  TestWorld t(&c);
  ASSERT_TRUE(t.ok);
  const f64 slope = std::tan(10.0 * kDeg);
  Terrain terrain(t, 32, 0.5, slope * 0.5, 0.5);
  BoxShape box;
  boxInit(&box, V3(0.5, 0.5, 0.5));
  const v4 q = quatFromAxisAngle(V3(0, 0, 1), 10.0 * kDeg);
  const v3 start = quatRotate(q, V3(0, 0.5, 0));
  i32 b = addBoxBody(t, &box, start, q, 1.0, BODY_DYNAMIC);
  t.body(b)->friction = 0.5;
  t.steps(10 * 120);
  EXPECT_LT(v3Length(t.body(b)->position - start), 0.002);
}
