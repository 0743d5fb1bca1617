// The contact solver on hand-made manifolds: a unit-mass block (body 1) resting
// on or approaching a static floor (body 0), contact points at the block's centre
// height so that only the chosen rows act.
#include <algorithm>
#include <cmath>
#include <vector>

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

namespace {

// A row of dynamic boxes over a static floor (body 0), each box touching the floor
// and its two neighbours on the right: many manifolds that share bodies, listed
// in an order that puts neighbours next to each other.
struct Row {
  static constexpr u32 kBoxes = 24;
  static constexpr u32 kBodies = kBoxes + 1;
  Body bodies[kBodies];
  ContactManifold manifolds[3 * kBoxes + 2];
  ContactManifoldSolverData data[3 * kBoxes + 2];
  u32 numManifolds = 0;
  u32 count = 0;
  SolverConfig config = solverDefaultConfig();

  Row() {
    bodyInit(&bodies[0]);
    bodySetType(&bodies[0], BODY_STATIC);
    for (u32 i = 1; i < kBodies; ++i) {
      Body& b = bodies[i];
      bodyInit(&b);
      bodySetMass(&b, 1.0 + 0.25 * (f64)(i % 3));
      bodySetLocalInertiaTensor(&b, bodyInertiaBox(b.mass, V3(0.5, 0.3 + 0.05 * (i % 4), 0.4)));
      b.position = V3(1.0 * i, 0.5, 0.01 * (f64)(i % 5));
      b.rotation = quatFromAxisAngle(v3Normalize(V3(1, 2, 3)), 0.02 * (f64)i);
      bodyUpdateInertiaWorld(&b);
      b.linearVelocity = V3(0.3 * std::sin(i), -1.0 - 0.1 * i, 0.2 * std::cos(i));
      b.angularVelocity = V3(0.5 * std::cos(3.0 * i), 0.4, -0.3 * std::sin(2.0 * i));
    }
    for (u32 i = 1; i < kBodies; ++i) {
      add(0, (i32)i, V3(0, 1, 0), 4);
      if (i + 1 < kBodies) add((i32)i, (i32)i + 1, V3(1, 0, 0), 2 + i % 3);
      if (i + 2 < kBodies && i % 2 == 0) add((i32)i, (i32)i + 2, V3(1, 0.1, 0), 1);
    }
    add(3, 3, V3(0, 1, 0), 2);  // a body against itself: never solved
    manifolds[numManifolds++] = ContactManifold{};  // no points
  }
  void add(i32 a, i32 b, v3 normal, u32 points) {
    ContactManifold& m = manifolds[numManifolds++];
    m = ContactManifold{};
    m.bodyA = a;
    m.bodyB = b;
    for (u32 k = 0; k < points; ++k) {
      ContactPoint& p = m.points[m.numContacts++];
      const v3 spread = V3(0.4 * ((k & 1) ? 1 : -1), 0, 0.4 * ((k & 2) ? 1 : -1));
      p.localPointA = spread + V3(0, a == 0 ? 0.0 : -0.5, 0);
      p.localPointB = spread + V3(0, -0.5, 0);
      p.normal = v3Normalize(normal);
      p.penetrationDepth = 0.002 * (f64)k;
      p.cachedNormalImpulse = k == 1 ? 0.3 : 0.0;
    }
  }
  void velocities(BodyVelocities* out) const {
    for (u32 i = 0; i < kBodies; ++i) out[i] = {bodies[i].linearVelocity, bodies[i].angularVelocity};
  }
};

}  // namespace

// Records solved side by side must move disjoint bodies, or one record's
// velocity write-back would drop the other's impulses.
TEST(ContactSolver, GroupsMoveDisjointBodiesAndCoverEveryManifoldOnce) {
  Row r;
  contactSolverInit(r.data, &r.count, r.manifolds, r.numManifolds, r.bodies, Row::kBodies, &r.config);
  ASSERT_EQ(r.count, r.numManifolds - 2);  // the self pair and the empty one skipped
  std::vector<u32> seen(r.numManifolds, 0);
  u32 grouped = 0;
  for (u32 k = 0; k < r.count;) {
    const u32 n = r.data[k].groupSize;
    ASSERT_GE(n, 1u);
    ASSERT_LE(n, 4u);
    ASSERT_LE(k + n, r.count);
    if (n > 1) grouped += n;
    for (u32 i = k; i < k + n; ++i) {
      ++seen[r.data[i].manifoldIndex];
      for (u32 j = i + 1; j < k + n; ++j)
        for (i32 x : {r.data[i].bodyIndexA, r.data[i].bodyIndexB})
          for (i32 y : {r.data[j].bodyIndexA, r.data[j].bodyIndexB})
            EXPECT_FALSE(x == y && x != 0) << "records " << i << " and " << j << " share body " << x;
    }
    k += n;
  }
  for (u32 m = 0; m + 2 < r.numManifolds; ++m) EXPECT_EQ(seen[m], 1u) << "manifold " << m;
  EXPECT_GT(grouped, r.count / 2);  // the floor is shared freely: most records find partners
}

// A pass over grouped records gives what the plain sequential-impulse rows give
// one record after another (each row reading and writing both bodies).
TEST(ContactSolver, GroupedPassMatchesRowByRowSolve) {
  Row r;
  contactSolverInit(r.data, &r.count, r.manifolds, r.numManifolds, r.bodies, Row::kBodies, &r.config);
  std::vector<ContactManifoldSolverData> ref(r.data, r.data + r.count);
  BodyVelocities vel[Row::kBodies], refVel[Row::kBodies];
  r.velocities(vel);
  r.velocities(refVel);
  for (u32 pass = 0; pass < 3; ++pass) {
    contactSolverSolveVelocity(r.data, r.count, vel, &r.config);
    for (ContactManifoldSolverData& m : ref) {
      BodyVelocities& a = refVel[m.bodyIndexA];
      BodyVelocities& b = refVel[m.bodyIndexB];
      const u32 sweeps = m.numContacts > 1 ? 3 : 1;
      f64 sum = 0.0;
      for (u32 s = 0; s < sweeps; ++s, ++m.passes) {
        sum = 0.0;
        for (u32 ii = 0; ii < m.numContacts; ++ii) {
          const u32 i = (m.passes & 1u) ? m.numContacts - 1 - ii : ii;
          ContactPointSolverData& p = m.points[i];
          const f64 vn = v3Dot(p.normal, b.linVel - a.linVel) + v3Dot(p.r2CrossN, b.angVel) -
                         v3Dot(p.r1CrossN, a.angVel);
          const f64 l =
              std::fmax(0.0, p.accumulatedNormalImpulse - (vn + p.restitutionBias) * p.inverseMassNormal);
          const f64 d = l - p.accumulatedNormalImpulse;
          p.accumulatedNormalImpulse = l;
          a.linVel -= p.normal * (d * m.invMassA);
          a.angVel -= p.i1TimesR1CrossN * d;
          b.linVel += p.normal * (d * m.invMassB);
          b.angVel += p.i2TimesR2CrossN * d;
          sum += l;
        }
      }
      const f64 limit = m.friction * sum;
      auto row = [&](v3 t, v3 c1, v3 c2, v3 i1, v3 i2, f64 inv, f64* acc) {
        const f64 vt = v3Dot(t, b.linVel - a.linVel) + v3Dot(c2, b.angVel) - v3Dot(c1, a.angVel);
        const f64 l = std::clamp(*acc - vt * inv, -limit, limit);
        const f64 d = l - *acc;
        *acc = l;
        a.linVel -= t * (d * m.invMassA);
        a.angVel -= i1 * d;
        b.linVel += t * (d * m.invMassB);
        b.angVel += i2 * d;
      };
      row(m.frictionVector1, m.r1CrossT1, m.r2CrossT1, m.i1TimesR1CrossT1, m.i2TimesR2CrossT1,
          m.inverseFriction1Mass, &m.accumulatedFriction1Impulse);
      row(m.frictionVector2, m.r1CrossT2, m.r2CrossT2, m.i1TimesR1CrossT2, m.i2TimesR2CrossT2,
          m.inverseFriction2Mass, &m.accumulatedFriction2Impulse);
      const f64 lt = std::clamp(m.accumulatedTwistImpulse -
                                    v3Dot(m.normal, b.angVel - a.angVel) * m.inverseTwistFrictionMass,
                                -limit, limit);
      a.angVel -= m.i1TimesN * (lt - m.accumulatedTwistImpulse);
      b.angVel += m.i2TimesN * (lt - m.accumulatedTwistImpulse);
      m.accumulatedTwistImpulse = lt;
    }
  }
  // The static floor never moves.
  EXPECT_EQ(v3Length(vel[0].linVel) + v3Length(vel[0].angVel), 0.0);
  for (u32 i = 1; i < Row::kBodies; ++i) {
    EXPECT_NEAR(vel[i].linVel.x, refVel[i].linVel.x, 1e-9) << "body " << i;
    EXPECT_NEAR(vel[i].linVel.y, refVel[i].linVel.y, 1e-9) << "body " << i;
    EXPECT_NEAR(vel[i].linVel.z, refVel[i].linVel.z, 1e-9) << "body " << i;
    EXPECT_NEAR(v3Length(vel[i].angVel - refVel[i].angVel), 0.0, 1e-9) << "body " << i;
  }
  f64 total = 0.0;
  for (u32 k = 0; k < r.count; ++k)
    for (u32 p = 0; p < r.data[k].numContacts; ++p) {
      EXPECT_NEAR(r.data[k].points[p].accumulatedNormalImpulse, ref[k].points[p].accumulatedNormalImpulse,
                  1e-9);
      total += r.data[k].points[p].accumulatedNormalImpulse;
    }
  EXPECT_GT(total, 1.0);  // the rows did work
}
