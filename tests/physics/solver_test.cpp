// The contact solver on hand-made manifolds: a unit-mass block (body 1) resting
// on or approaching a static floor (body 0), contact points at the block's centre
// height so that only the chosen rows act.
#include <cmath>

#include <gtest/gtest.h>

#include "physics/solver.h"

namespace {

struct Rig {
  Body bodies[2];
  BodyVelocities vel[2];
  BodyVelocities split[2];
  ContactManifold manifold;
  ContactManifoldSolverData data[1];
  u32 count;
  SolverConfig config;

  Rig() {
    bodyInit(&bodies[0]);
    bodySetType(&bodies[0], BODY_STATIC);
    bodyInit(&bodies[1]);
    bodySetLocalInertiaTensor(&bodies[1], bodyInertiaBox(1.0, V3(0.5, 0.5, 0.5)));
    bodies[1].position = V3(0, 0.5, 0);
    manifold = ContactManifold{};
    manifold.bodyA = 0;
    manifold.bodyB = 1;
    config = solverDefaultConfig();
    count = 0;
  }
  // One point under the block's centre, normal up from floor to block.
  void addPoint(v3 offset, f64 depth, f64 cached = 0.0) {
    ContactPoint& p = manifold.points[manifold.numContacts++];
    p.localPointA = offset;
    p.localPointB = offset - V3(0, 0.5, 0);
    p.normal = V3(0, 1, 0);
    p.penetrationDepth = depth;
    p.cachedNormalImpulse = cached;
  }
  void solve(u32 iterations) {
    contactSolverInit(data, &count, &manifold, 1, bodies, 2, &config);
    for (u32 i = 0; i < 2; ++i) vel[i] = BodyVelocities{bodies[i].linearVelocity, bodies[i].angularVelocity};
    split[0] = split[1] = BodyVelocities{};
    contactSolverWarmStart(data, count, vel);
    for (u32 i = 0; i < iterations; ++i) contactSolverSolveVelocity(data, count, vel, &config);
  }
};

}  // namespace

TEST(ContactSolver, RestitutionOnlyAboveTheThreshold) {
  struct Case {
    f64 approach;
    f64 restitution;
    f64 expectedUp;
  };
  const Case cases[] = {
      {0.4, 1.0, 0.0},  // below the 0.5 threshold: no bounce at all
      {2.0, 1.0, 2.0},
      {2.0, 0.5, 1.0},
  };
  for (const Case& k : cases) {
    Rig r;
    r.bodies[1].restitution = k.restitution;
    r.bodies[1].linearVelocity = V3(0, -k.approach, 0);
    r.addPoint(V3(0, 0, 0), 0.0);
    r.solve(10);
    EXPECT_NEAR(r.vel[1].linVel.y, k.expectedUp, 1e-9) << "approach " << k.approach;
  }
}

TEST(ContactSolver, FrictionStaysWithinItsLimit) {
  Rig r;
  r.bodies[0].friction = 0.25;
  r.bodies[1].friction = 1.0;  // combined sqrt(0.25 * 1) = 0.5
  r.bodies[1].linearVelocity = V3(3, -1, 0.5);
  r.bodies[1].angularVelocity = V3(0, 4, 0);
  r.addPoint(V3(-0.5, 0, -0.5), 0.0);
  r.addPoint(V3(0.5, 0, 0.5), 0.0);
  r.solve(10);
  const ContactManifoldSolverData& d = r.data[0];
  f64 sum = d.points[0].accumulatedNormalImpulse + d.points[1].accumulatedNormalImpulse;
  EXPECT_GT(sum, 0.0);
  f64 limit = 0.5 * sum;
  EXPECT_LE(std::fabs(d.accumulatedFriction1Impulse), limit + 1e-12);
  EXPECT_LE(std::fabs(d.accumulatedFriction2Impulse), limit + 1e-12);
  EXPECT_LE(std::fabs(d.accumulatedTwistImpulse), limit + 1e-12);
  // Sliding that fast, friction saturates: it slows the block, it cannot stop it.
  EXPECT_NEAR(std::fabs(d.accumulatedFriction1Impulse), limit, 1e-9);
  EXPECT_GT(r.vel[1].linVel.x, 0.0);
  EXPECT_LT(r.vel[1].linVel.x, 3.0);
}

TEST(ContactSolver, WarmStartOnlyFromRestingPoints) {
  Rig r;
  r.addPoint(V3(0, 0, 0), 0.0, 0.0);
  r.manifold.cachedFriction1Impulse = 0.3;
  r.manifold.cachedTwistImpulse = 0.1;
  contactSolverInit(r.data, &r.count, &r.manifold, 1, r.bodies, 2, &r.config);
  BodyVelocities vel[2] = {};
  contactSolverWarmStart(r.data, r.count, vel);
  // No resting point: nothing applied, friction accumulators restart at 0.
  EXPECT_EQ(vel[1].linVel.x, 0.0);
  EXPECT_EQ(r.data[0].accumulatedFriction1Impulse, 0.0);
  EXPECT_EQ(r.data[0].accumulatedTwistImpulse, 0.0);

  Rig s;
  s.addPoint(V3(0, 0, 0), 0.0, 0.2);
  contactSolverInit(s.data, &s.count, &s.manifold, 1, s.bodies, 2, &s.config);
  BodyVelocities vel2[2] = {};
  contactSolverWarmStart(s.data, s.count, vel2);
  EXPECT_TRUE(s.data[0].points[0].isRestingContact);
  EXPECT_NEAR(vel2[1].linVel.y, 0.2, 1e-12);
}

TEST(ContactSolver, SplitImpulsePushesOutOnlyBeyondTheSlop) {
  struct Case {
    f64 depth;
    f64 expected;
  };
  const Case cases[] = {{0.0005, 0.0}, {0.001, 0.0}, {0.101, 12.0 * 0.1}};
  for (const Case& k : cases) {
    Rig r;
    r.addPoint(V3(0, 0, 0), k.depth);
    contactSolverInit(r.data, &r.count, &r.manifold, 1, r.bodies, 2, &r.config);
    BodyVelocities split[2] = {};
    contactSolverSolvePosition(r.data, r.count, split, &r.config);
    EXPECT_NEAR(split[1].linVel.y, k.expected, 1e-12) << "depth " << k.depth;
    // Iterating converges on the same target instead of adding more.
    contactSolverSolvePosition(r.data, r.count, split, &r.config);
    EXPECT_NEAR(split[1].linVel.y, k.expected, 1e-12);
  }
}

// A point reported before touch (negative depth) lets the block close the gap in
// one step and no more; it never pushes a block apart that moves away or slowly
// approaches, and a fast bounce is taken before touch rather than lost.
TEST(ContactSolver, PointsBeforeTouchOnlyStopApproach) {
  struct Case {
    f64 gap;
    f64 velocity;      // block's vertical velocity before solving
    f64 restitution;
    f64 expected;      // after solving
  };
  const f64 dt = 1.0 / 120.0;
  const Case cases[] = {
      {0.005, -1.0, 0.0, -0.005 / dt},  // would cross the gap: stops at the floor
      {0.005, -2.0, 0.0, -0.005 / dt},
      {0.005, -2.0, 0.5, 1.0},          // reaches the floor this step: bounces
      {0.005, -0.5, 0.0, -0.5},         // closes only part of the gap: untouched
      {0.005, 0.3, 0.0, 0.3},           // moving away: no pull, no push
      {0.0, -0.2, 0.0, 0.0},          // touching: approach stopped
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.velocity);
    Rig r;
    r.config.timeStep = dt;
    r.bodies[1].restitution = k.restitution;
    r.bodies[1].linearVelocity = V3(0, k.velocity, 0);
    r.addPoint(V3(0, 0, 0), -k.gap);
    r.solve(4);
    EXPECT_NEAR(r.vel[1].linVel.y, k.expected, 1e-9);
    // Nothing is corrected in position for a point not touching.
    contactSolverSolvePosition(r.data, r.count, r.split, &r.config);
    EXPECT_EQ(r.split[1].linVel.y, 0.0);
  }
}

TEST(ContactSolver, ImmovableBodiesGetNoImpulse) {
  Rig r;
  bodySetType(&r.bodies[1], BODY_STATIC);
  r.bodies[1].linearVelocity = V3(0, -3, 0);
  r.addPoint(V3(0, 0, 0), 0.5);
  r.solve(5);
  const ContactManifoldSolverData& d = r.data[0];
  EXPECT_EQ(d.points[0].inverseMassNormal, 0.0);
  EXPECT_EQ(d.points[0].accumulatedNormalImpulse, 0.0);
  EXPECT_EQ(d.inverseTwistFrictionMass, 0.0);
}

TEST(ContactSolver, StoreWritesImpulsesBackAndSkipsEmptyManifolds) {
  Rig r;
  r.bodies[1].linearVelocity = V3(1, -1, 0);
  r.addPoint(V3(0, 0, 0), 0.0);
  ContactManifold ms[2] = {ContactManifold{}, r.manifold};  // the first has no points
  contactSolverInit(r.data, &r.count, ms, 2, r.bodies, 2, &r.config);
  ASSERT_EQ(r.count, 1u);
  EXPECT_EQ(r.data[0].bodyIndexB, 1);
  BodyVelocities vel[2] = {{}, {V3(1, -1, 0), V3(0, 0, 0)}};
  contactSolverSolveVelocity(r.data, r.count, vel, &r.config);
  // The impulses go back to the manifold the record came from, not to the first.
  contactSolverStoreImpulses(r.data, r.count, ms);
  const ContactManifold& out = ms[1];
  EXPECT_EQ(out.points[0].cachedNormalImpulse, r.data[0].points[0].accumulatedNormalImpulse);
  EXPECT_GT(out.points[0].cachedNormalImpulse, 0.0);
  EXPECT_EQ(out.cachedFriction1Impulse, r.data[0].accumulatedFriction1Impulse);
  EXPECT_NEAR(v3Length(out.cachedFrictionVector1), 1.0, 1e-12);
  EXPECT_EQ(ms[0].points[0].cachedNormalImpulse, 0.0);
  EXPECT_EQ(v3Length(ms[0].cachedFrictionVector1), 0.0);
}
