#include <cmath>

#include "physics_test_util.h"

namespace {

// Bodies without shapes: joints only, no contacts.
i32 addAnchor(TestWorld& t, v3 pos) {
  return demoCreateBody(t.world, nullptr, V3(0, 0, 0), pos, quatIdentity(), 0.0, 0.5, 0.0,
                        BODY_STATIC);
}

i32 addBlock(TestWorld& t, v3 pos, f64 mass, v4 rot = quatIdentity()) {
  return demoCreateBody(t.world, nullptr, bodyInertiaBox(mass, V3(0.5, 0.25, 0.25)), pos, rot,
                        mass, 0.5, 0.0, BODY_DYNAMIC);
}

void expectV3(v3 got, v3 want, f64 tol) {
  EXPECT_NEAR(got.x, want.x, tol);
  EXPECT_NEAR(got.y, want.y, tol);
  EXPECT_NEAR(got.z, want.z, tol);
}

WorldConfig noSleep() {
  WorldConfig c = worldDefaultConfig();
  c.isSleepingEnabled = false;
  return c;
}

}  // namespace

TEST(Joints, BallSocketPendulumKeepsItsLength) {
  WorldConfig c = noSleep();
  TestWorld t(&c);
  ASSERT_TRUE(t.ok);
  i32 a = addAnchor(t, V3(0, 10, 0));
  i32 b = addBlock(t, V3(2, 10, 0), 1.0);
  ASSERT_GE(worldCreateBallSocketJoint(t.world, a, b, V3(0, 10, 0)).index, 0);
  f64 lowest = 10.0;
  for (int i = 0; i < 600; ++i) {
    t.steps(1);
    f64 len = v3Length(t.body(b)->position - V3(0, 10, 0));
    ASSERT_NEAR(len, 2.0, 0.01) << "step " << i;
    lowest = std::fmin(lowest, t.body(b)->position.y);
  }
  EXPECT_LT(lowest, 8.1);  // it really swung through the bottom
}

TEST(Joints, BallSocketBetweenStaticBodiesDoesNothing) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  i32 a = addAnchor(t, V3(0, 1, 0));
  i32 b = addAnchor(t, V3(3, 1, 0));
  ASSERT_GE(worldCreateBallSocketJoint(t.world, a, b, V3(1, 1, 0)).index, 0);
  t.steps(10);
  EXPECT_EQ(t.body(b)->position.x, 3.0);
  EXPECT_EQ(t.body(a)->position.x, 0.0);
}

TEST(Joints, HammerArmTurnsAtMotorSpeed) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  DemoSceneOptions o = demoSceneNone();
  o.floor = true;
  o.hammer = true;
  ASSERT_TRUE(demoSceneBuild(t.scene, t.world, &o));
  const Body* arm = t.body(t.scene->arm);
  const Body* head = t.body(t.scene->head);
  for (int i = 0; i < 480; ++i) {
    t.steps(1);
    if (i >= 240) {
      ASSERT_NEAR(arm->angularVelocity.y, 4.0, 0.2) << "step " << i;
      // The head stays on the arm's tip.
      v3 tip = arm->position + quatRotate(arm->rotation, V3(3.4, 0, 0));
      ASSERT_LT(v3Length(head->position - tip), 0.02);
    }
  }
  // The arm stays on its pillar.
  EXPECT_NEAR(arm->position.x, 8.0, 0.02);
  EXPECT_NEAR(arm->position.y, 6.0, 0.02);
  EXPECT_NEAR(arm->position.z, 8.0, 0.02);
}

TEST(Joints, HingeMotorWithoutTorqueAppliesNone) {
  WorldConfig c = noSleep();
  TestWorld t(&c);
  ASSERT_TRUE(t.ok);
  i32 a = addAnchor(t, V3(0, 5, 0));
  i32 b = addBlock(t, V3(0, 5, 0), 1.0);
  t.body(b)->isGravityEnabled = false;
  JointHandle h = worldCreateHingeJoint(t.world, a, b, V3(0, 5, 0), V3(0, 1, 0));
  ASSERT_GE(h.index, 0);
  t.world->hingeJoints[h.index].isMotorEnabled = true;
  t.world->hingeJoints[h.index].motorSpeed = 5.0;
  t.steps(60);
  EXPECT_EQ(t.body(b)->angularVelocity.y, 0.0);
}

TEST(Joints, LimitedHingeStopsAtItsLimits) {
  // Motor-driven both ways, and gravity-driven about a horizontal axis.
  struct Case {
    f64 motorSpeed;
    f64 lower, upper;
    b8 gravity;
    f64 expected;
  };
  const Case cases[] = {
      {3.0, -0.5, 0.7, false, 0.7},
      {-3.0, -0.5, 0.7, false, -0.5},
      {0.0, -0.3, 0.4, true, -0.3},  // the block hangs off +x and falls: angle about +z drops
  };
  for (const Case& k : cases) {
    WorldConfig c = noSleep();
    TestWorld t(&c);
    ASSERT_TRUE(t.ok);
    i32 a = addAnchor(t, V3(0, 5, 0));
    i32 b = addBlock(t, V3(1, 5, 0), 1.0);
    t.body(b)->isGravityEnabled = k.gravity;
    v3 axis = k.gravity ? V3(0, 0, 1) : V3(0, 1, 0);
    JointHandle h = worldCreateHingeJoint(t.world, a, b, V3(0, 5, 0), axis);
    ASSERT_GE(h.index, 0);
    HingeJoint* j = &t.world->hingeJoints[h.index];
    j->isLimitEnabled = true;
    j->lowerLimit = k.lower;
    j->upperLimit = k.upper;
    if (k.motorSpeed != 0.0) {
      j->isMotorEnabled = true;
      j->motorSpeed = k.motorSpeed;
      j->maxMotorTorque = 20.0;
    }
    f64 lo = 1e9, hi = -1e9;
    for (int i = 0; i < 360; ++i) {
      t.steps(1);
      f64 angle = hingeJointGetAngle(j, t.world->bodies);
      lo = std::fmin(lo, angle);
      hi = std::fmax(hi, angle);
      EXPECT_GE(j->accumulatedLowerLimitImpulse, 0.0);
      EXPECT_GE(j->accumulatedUpperLimitImpulse, 0.0);
    }
    f64 angle = hingeJointGetAngle(j, t.world->bodies);
    EXPECT_NEAR(angle, k.expected, 0.02) << "speed " << k.motorSpeed;
    EXPECT_GT(lo, k.lower - 0.05);
    EXPECT_LT(hi, k.upper + 0.05);
    EXPECT_NEAR(v3Length(t.body(b)->position - V3(0, 5, 0)), 1.0, 0.01);
  }
}

TEST(Joints, HingeAngleFollowsRelativeSpin) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  // Both bodies turned away from identity: the angle is measured from the init pose.
  v4 base = quatFromAxisAngle(V3(1, 1, 0), 0.7);
  i32 a = addBlock(t, V3(0, 0, 0), 1.0, base);
  i32 b = addBlock(t, V3(1, 0, 0), 1.0, base);
  JointHandle h = worldCreateHingeJoint(t.world, a, b, V3(0.5, 0, 0), V3(0, 0, 1));
  const HingeJoint* j = &t.world->hingeJoints[h.index];
  EXPECT_NEAR(hingeJointGetAngle(j, t.world->bodies), 0.0, 1e-12);
  t.body(b)->rotation = quatMul(quatFromAxisAngle(V3(0, 0, 1), 0.4), base);
  EXPECT_NEAR(hingeJointGetAngle(j, t.world->bodies), 0.4, 1e-9);
  // Turning both bodies together leaves the angle alone.
  v4 extra = quatFromAxisAngle(V3(0.3, -1, 0.2), 1.1);
  t.body(a)->rotation = quatMul(extra, t.body(a)->rotation);
  t.body(b)->rotation = quatMul(extra, t.body(b)->rotation);
  EXPECT_NEAR(hingeJointGetAngle(j, t.world->bodies), 0.4, 1e-9);
  v3 axis = quatRotate(t.body(a)->rotation, j->localAxisA);
  t.body(b)->rotation = quatMul(quatFromAxisAngle(axis, 2.8), t.body(b)->rotation);
  // 0.4 + 2.8 wraps into (-pi, pi].
  EXPECT_NEAR(hingeJointGetAngle(j, t.world->bodies), 3.2 - 2 * kPi, 1e-9);
}

TEST(Joints, SliderStopsAtItsLimits) {
  // A vertical slider: B hangs from a static A, gravity pulls it down the axis.
  struct Case {
    f64 motorSpeed;
    f64 startY;  // B's start along the axis, relative to A
    f64 expected;
  };
  const Case cases[] = {
      {3.0, 0.0, 1.0},    // driven up into the upper limit
      {-3.0, 0.0, -0.5},  // driven down into the lower limit
      {0.0, -1.2, -0.5},  // starts below the lower limit, pushed back and held there
  };
  for (const Case& k : cases) {
    WorldConfig c = noSleep();
    TestWorld t(&c);
    ASSERT_TRUE(t.ok);
    i32 a = addAnchor(t, V3(0, 5, 0));
    i32 b = addBlock(t, V3(0, 5 + k.startY, 0), 2.0);
    JointHandle h = worldCreateSliderJoint(t.world, a, b, V3(0, 5 + k.startY, 0), V3(0, 1, 0));
    ASSERT_GE(h.index, 0);
    SliderJoint* j = &t.world->sliderJoints[h.index];
    // Limits are measured from the anchors captured at init; shift them so that
    // they read as heights of B above A.
    j->isLimitEnabled = true;
    j->lowerLimit = -0.5 - k.startY;
    j->upperLimit = 1.0 - k.startY;
    if (k.motorSpeed != 0.0) {
      j->isMotorEnabled = true;
      j->motorSpeed = k.motorSpeed;
      j->maxMotorForce = 60.0;
    }
    f64 lo = 1e9, hi = -1e9;
    for (int i = 0; i < 360; ++i) {
      t.steps(1);
      if (i > 60) {
        lo = std::fmin(lo, t.body(b)->position.y - 5.0);
        hi = std::fmax(hi, t.body(b)->position.y - 5.0);
      }
      EXPECT_GE(j->accumulatedLowerLimitImpulse, 0.0);
      EXPECT_GE(j->accumulatedUpperLimitImpulse, 0.0);
    }
    const Body* B = t.body(b);
    EXPECT_NEAR(B->position.y - 5.0, k.expected, 0.02) << "speed " << k.motorSpeed;
    // Arriving fast, it may pass a limit by one step's travel before being pushed back.
    EXPECT_GT(lo, -0.5 - 0.05) << "speed " << k.motorSpeed;
    EXPECT_LT(hi, 1.0 + 0.05) << "speed " << k.motorSpeed;
    // Held on its line, without turning.
    EXPECT_NEAR(B->position.x, 0.0, 0.01);
    EXPECT_NEAR(B->position.z, 0.0, 0.01);
    EXPECT_NEAR(std::fabs(B->rotation.w), 1.0, 1e-4);
  }
}

TEST(Joints, FixedJointKeepsTheRelativePose) {
  WorldConfig c = noSleep();
  TestWorld t(&c);
  ASSERT_TRUE(t.ok);
  i32 a = addBlock(t, V3(0, 20, 0), 2.0, quatFromAxisAngle(V3(0, 1, 0), 0.3));
  i32 b = addBlock(t, V3(1.2, 20.3, 0.1), 1.0, quatFromAxisAngle(V3(0, 0, 1), 0.5));
  JointHandle h = worldCreateFixedJoint(t.world, a, b);
  ASSERT_GE(h.index, 0);
  const FixedJoint* j = &t.world->fixedJoints[h.index];
  // The anchor is halfway between the two positions.
  v3 anchorA = t.body(a)->position + quatRotate(t.body(a)->rotation, j->base.localAnchorA);
  EXPECT_NEAR(v3Length(anchorA - V3(0.6, 20.15, 0.05)), 0.0, 1e-12);

  Body* A = t.body(a);
  Body* B = t.body(b);
  v4 rel0 = relativeRotation(A, B);
  v3 local0 = quatRotate(quatConjugate(A->rotation), B->position - A->position);
  // Spin and throw the pair; gravity pulls both.
  A->angularVelocity = V3(0.5, 3.0, -1.0);
  B->linearVelocity = V3(2, 0, 0);
  for (int i = 0; i < 240; ++i) t.steps(1);
  v4 rel = relativeRotation(A, B);
  v3 local = quatRotate(quatConjugate(A->rotation), B->position - A->position);
  EXPECT_GT(std::fabs(v4Dot(rel, rel0)), 1.0 - 1e-5);
  EXPECT_LT(v3Length(local - local0), 0.01);
  EXPECT_GT(v3Length(A->angularVelocity), 0.5);  // the pair still turns
}

TEST(Joints, CreationFailsForBadBodiesAndFullArrays) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  i32 a = addAnchor(t, V3(0, 0, 0));
  i32 b = addBlock(t, V3(1, 0, 0), 1.0);
  EXPECT_EQ(worldCreateBallSocketJoint(t.world, a, a, V3(0, 0, 0)).index, -1);
  EXPECT_EQ(worldCreateHingeJoint(t.world, a, 99, V3(0, 0, 0), V3(0, 1, 0)).index, -1);
  EXPECT_EQ(worldCreateFixedJoint(t.world, -1, b).index, -1);
  for (u32 i = 0; i < kWorldMaxJointsPerType; ++i)
    ASSERT_EQ(worldCreateSliderJoint(t.world, a, b, V3(0, 0, 0), V3(1, 0, 0)).index, (i32)i);
  JointHandle full = worldCreateSliderJoint(t.world, a, b, V3(0, 0, 0), V3(1, 0, 0));
  EXPECT_EQ(full.type, JOINT_HANDLE_SLIDER);
  EXPECT_EQ(full.index, -1);
  // A freed slot makes room again; handles that name nothing are ignored.
  worldDestroyJoint(t.world, JointHandle{JOINT_HANDLE_SLIDER, 5000, 1});
  worldDestroyJoint(t.world, JointHandle{JOINT_HANDLE_SLIDER, 3, 0});
  worldDestroyJoint(t.world, JointHandle{(JointHandleType)7, 3, 1});  // no such kind
  EXPECT_EQ(worldGetJoint(t.world, JointHandle{(JointHandleType)7, 3, 1}), nullptr);
  EXPECT_EQ(worldCreateSliderJoint(t.world, a, b, V3(0, 0, 0), V3(1, 0, 0)).index, -1);
  JointHandle third{JOINT_HANDLE_SLIDER, 3, t.world->jointSlots[JOINT_HANDLE_SLIDER].generation[3]};
  ASSERT_NE(worldGetJoint(t.world, third), nullptr);
  worldDestroyJoint(t.world, third);
  EXPECT_EQ(worldGetJoint(t.world, third), nullptr);
  EXPECT_EQ(worldCreateSliderJoint(t.world, a, b, V3(0, 0, 0), V3(1, 0, 0)).index, 3);
}

TEST(Joints, HandlesStayValidWhenOtherJointsAreDestroyed) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  i32 anchor = addAnchor(t, V3(0, 10, 0));
  i32 blocks[3];
  JointHandle h[3];
  for (int i = 0; i < 3; ++i) {
    blocks[i] = addBlock(t, V3(2.0 * i, 9, 0), 1.0);
    h[i] = worldCreateHingeJoint(t.world, anchor, blocks[i], V3(2.0 * i, 10, 0), V3(0, 0, 1));
    ASSERT_GE(h[i].index, 0);
  }
  worldDestroyJoint(t.world, h[0]);
  // The last joint was not moved into the freed slot: h[2] still names it.
  JointBase* last = worldGetJoint(t.world, h[2]);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->bodyIndexB, blocks[2]);
  EXPECT_EQ(worldGetJoint(t.world, h[0]), nullptr);
  // A joint created later in the freed slot is not reachable through the old handle.
  JointHandle reused = worldCreateHingeJoint(t.world, anchor, blocks[0], V3(0, 10, 0), V3(0, 0, 1));
  EXPECT_EQ(reused.index, h[0].index);
  EXPECT_EQ(worldGetJoint(t.world, h[0]), nullptr);
  worldDestroyJoint(t.world, h[0]);  // stale: the new joint survives
  EXPECT_NE(worldGetJoint(t.world, reused), nullptr);
  // The destroyed joint is not solved: its block falls while the others hang.
  worldDestroyJoint(t.world, h[1]);
  t.steps(60);
  EXPECT_LT(t.body(blocks[1])->position.y, 8.0);
  EXPECT_NEAR(t.body(blocks[2])->position.y, 9.0, 0.05);
  EXPECT_NEAR(t.body(blocks[0])->position.y, 9.0, 0.05);
}

TEST(Joints, DestroyingABodyDestroysItsJoints) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  i32 anchor = addAnchor(t, V3(0, 10, 0));
  i32 block = addBlock(t, V3(0, 9, 0), 1.0);
  JointHandle h = worldCreateBallSocketJoint(t.world, anchor, block, V3(0, 10, 0));
  ASSERT_GE(h.index, 0);
  worldDestroyBody(t.world, anchor);
  EXPECT_EQ(worldGetJoint(t.world, h), nullptr);
  // The next body created in the freed slot is not pulled by the old joint.
  i32 next = addBlock(t, V3(20, 3, 0), 1.0);
  ASSERT_EQ(next, anchor);
  t.steps(60);
  EXPECT_NEAR(t.body(next)->position.x, 20.0, 1e-9);
  EXPECT_LT(t.body(block)->position.y, 8.5);  // nothing holds the block up now
}

TEST(Joints, JointPartnersSleepAndWakeTogether) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  // Two blocks hanging straight down at rest: nothing moves, the island sleeps.
  i32 a = addAnchor(t, V3(0, 10, 0));
  i32 b = addBlock(t, V3(0, 9, 0), 1.0);
  i32 c = addBlock(t, V3(0, 8, 0), 1.0);
  ASSERT_GE(worldCreateBallSocketJoint(t.world, a, b, V3(0, 10, 0)).index, 0);
  ASSERT_GE(worldCreateBallSocketJoint(t.world, b, c, V3(0, 8.5, 0)).index, 0);
  for (int i = 0; i < 240 && (t.body(b)->isAwake || t.body(c)->isAwake); ++i) {
    t.steps(1);
    ASSERT_EQ(t.body(b)->isAwake, t.body(c)->isAwake) << "step " << i;
  }
  ASSERT_FALSE(t.body(b)->isAwake);
  v3 rest = t.body(b)->position;
  t.steps(30);
  EXPECT_EQ(t.body(b)->position.y, rest.y);  // asleep means untouched
  // A push on the lower block wakes the upper one through the joint.
  bodyApplyLinearImpulse(t.body(c), V3(2, 0, 0));
  t.steps(1);
  EXPECT_TRUE(t.body(b)->isAwake);
  t.steps(30);
  EXPECT_GT(t.body(b)->position.x, 0.001);
}

TEST(Joints, SliderMotorWarmStartIsLinearLikeItsSolve) {
  // The motor row has mass 1/(mA + mB) and acts on linear velocity only; its warm
  // start must push the same way, with no turn, even with anchors off the centres.
  WorldConfig c = noSleep();
  TestWorld t(&c);
  ASSERT_TRUE(t.ok);
  i32 a = addBlock(t, V3(0, 5, 0), 1.0);
  i32 b = addBlock(t, V3(1, 5, 0), 3.0);
  JointHandle h = worldCreateSliderJoint(t.world, a, b, V3(0.5, 5.7, 0.2), V3(1, 0, 0));
  ASSERT_GE(h.index, 0);
  SliderJoint* j = &t.world->sliderJoints[h.index];
  j->isMotorEnabled = true;
  j->motorSpeed = 1.0;
  j->maxMotorForce = 100.0;
  Body* bodies = t.world->bodies;
  sliderJointPreSolve(j, bodies, 1.0 / 120.0, &t.world->solverConfig);
  j->accumulatedMotorImpulse = 0.6;
  BodyVelocities vel[2] = {};
  sliderJointWarmStart(j, bodies, vel);
  expectV3(vel[0].angVel, V3(0, 0, 0), 0.0);
  expectV3(vel[1].angVel, V3(0, 0, 0), 0.0);
  expectV3(vel[0].linVel, V3(-0.6, 0, 0), 1e-12);
  expectV3(vel[1].linVel, V3(0.2, 0, 0), 1e-12);
}
