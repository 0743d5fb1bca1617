// Sleeping that never freezes motion, and everything that must wake sleeping
// bodies: support destroyed or moved, an edited height field, a driven kinematic
// body, joint partners.
#include <cmath>
#include <vector>

#include "physics_test_util.h"

namespace {

constexpr f64 kDt = 1.0 / 120.0;

// Undamped body, so that motion is lost only where the physics loses it.
i32 addBody(TestWorld& t, Shape* shape, v3 inertia, v3 pos, v4 rot, f64 mass, f64 friction,
            BodyType type) {
  i32 id = demoCreateBody(t.world, shape, inertia, pos, rot, mass, friction, 0.0, type);
  if (id >= 0) {
    t.body(id)->linearDamping = 0.0;
    t.body(id)->angularDamping = 0.0;
  }
  return id;
}

i32 addFloor(TestWorld& t, BoxShape* shape, v3 pos = V3(0, 0, 0)) {
  boxInit(shape, V3(20, 0.25, 20));
  return addBody(t, &shape->base, V3(0, 0, 0), pos, quatIdentity(), 0.0, 0.8, BODY_STATIC);
}

i32 addCube(TestWorld& t, BoxShape* shape, v3 pos) {
  return addBody(t, &shape->base, bodyInertiaBox(1.0, shape->halfExtents), pos, quatIdentity(),
                 1.0, 0.8, BODY_DYNAMIC);
}

// Steps until every listed body sleeps; false if that takes longer than maxSteps.
b8 stepUntilAsleep(TestWorld& t, const std::vector<i32>& ids, u32 maxSteps) {
  for (u32 i = 0; i < maxSteps; ++i) {
    t.steps(1);
    b8 all = true;
    for (i32 id : ids) all = all && !t.body(id)->isAwake;
    if (all) return true;
  }
  return false;
}

}  // namespace

TEST(Sleeping, PendulumKeepsSwingingWithSleepingOn) {
  TestWorld t;  // sleeping on (the default)
  ASSERT_TRUE(t.ok);
  ASSERT_TRUE(t.world->config.isSleepingEnabled);
  const f64 length = 1.0, start = 10.0 * kPi / 180.0;
  i32 anchor = addBody(t, nullptr, V3(0, 0, 0), V3(0, 10, 0), quatIdentity(), 0.0, 0.5,
                       BODY_STATIC);
  // A small heavy bob: close to a point pendulum.
  i32 bob = addBody(t, nullptr, bodyInertiaSphere(1.0, 0.05),
                    V3(length * std::sin(start), 10 - length * std::cos(start), 0), quatIdentity(),
                    1.0, 0.5, BODY_DYNAMIC);
  ASSERT_GE(worldCreateBallSocketJoint(t.world, anchor, bob, V3(0, 10, 0)).index, 0);
  f64 lastSwing = 0.0;
  for (int i = 0; i < 20 * 120; ++i) {
    t.steps(1);
    v3 d = t.body(bob)->position - V3(0, 10, 0);
    f64 angle = std::atan2(std::fabs(d.x), -d.y);
    if (i >= 18 * 120) lastSwing = std::fmax(lastSwing, angle);  // last turns of the 20 s
  }
  EXPECT_TRUE(t.body(bob)->isAwake);
  EXPECT_NEAR(lastSwing / start, 1.0, 0.01);
}

TEST(Sleeping, BoxSlidesDownASlopeAtTheFrictionAccelerationWithSleepingOn) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  const f64 theta = 35.0 * kPi / 180.0, mu = 0.5;
  BoxShape slope, box;
  boxInit(&slope, V3(40, 0.5, 40));
  boxInit(&box, V3(0.5, 0.5, 0.5));
  v4 tilt = quatFromAxisAngle(V3(0, 0, 1), theta);
  addBody(t, &slope.base, V3(0, 0, 0), V3(0, 0, 0), tilt, 0.0, mu, BODY_STATIC);
  // Starts at rest, 1 mm into the slope's top face: in contact from the first step,
  // so its speed starts below the sleep threshold.
  i32 b = addBody(t, &box.base, bodyInertiaBox(1.0, box.halfExtents),
                  quatRotate(tilt, V3(0, 0.999, 0)), tilt, 1.0, mu, BODY_DYNAMIC);
  v3 down = quatRotate(tilt, V3(-1, 0, 0));  // down the slope
  t.steps(30);
  f64 v0 = v3Dot(t.body(b)->linearVelocity, down);
  t.steps(120);
  f64 v1 = v3Dot(t.body(b)->linearVelocity, down);
  f64 expected = 9.81 * (std::sin(theta) - mu * std::cos(theta));
  EXPECT_NEAR((v1 - v0) / 1.0, expected, 0.01 * expected);
  EXPECT_TRUE(t.body(b)->isAwake);
}

TEST(Sleeping, BoxesFallWhenTheirSleepingSupportIsRemovedOrMoved) {
  enum How { Destroy, SetTransformDirectly, WorldSetTransform, BecomeDynamic };
  for (How how : {Destroy, SetTransformDirectly, WorldSetTransform, BecomeDynamic}) {
    TestWorld t;
    ASSERT_TRUE(t.ok);
    BoxShape floor, cube;
    boxInit(&cube, V3(0.5, 0.5, 0.5));
    // A raised floor, so there is room below it.
    i32 f = addFloor(t, &floor, V3(0, 5, 0));
    std::vector<i32> boxes;
    for (int i = 0; i < 3; ++i) boxes.push_back(addCube(t, &cube, V3(-3.0 + 3.0 * i, 5.75, 0)));
    boxes.push_back(addCube(t, &cube, V3(0, 6.75, 0)));  // a small stack in the middle
    ASSERT_TRUE(stepUntilAsleep(t, boxes, 600)) << how;
    std::vector<f64> restY;
    for (i32 id : boxes) restY.push_back(t.body(id)->position.y);
    switch (how) {
      case Destroy: worldDestroyBody(t.world, f); break;
      case SetTransformDirectly:
        bodySetTransform(t.body(f), Transform{V3(0, 2, 0), quatIdentity()});
        break;
      case WorldSetTransform:
        worldSetBodyTransform(t.world, f, Transform{V3(0, 2, 0), quatIdentity()});
        break;
      case BecomeDynamic: worldSetBodyType(t.world, f, BODY_DYNAMIC); break;
    }
    t.steps(60);
    for (size_t i = 0; i < boxes.size(); ++i)
      EXPECT_LT(t.body(boxes[i])->position.y, restY[i] - 0.5) << how << " box " << i;
  }
}

TEST(Sleeping, TeleportingABodyWakesWhatRestedOnIt) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  BoxShape floor, cube;
  boxInit(&cube, V3(0.5, 0.5, 0.5));
  addFloor(t, &floor);
  i32 bottom = addCube(t, &cube, V3(0, 0.75, 0));
  i32 top = addCube(t, &cube, V3(0, 1.75, 0));
  ASSERT_TRUE(stepUntilAsleep(t, {bottom, top}, 600));
  bodySetTransform(t.body(bottom), Transform{V3(5, 0.75, 0), quatIdentity()});
  t.steps(60);
  EXPECT_NEAR(t.body(top)->position.y, 0.75, 0.03);  // fell to the floor
}

TEST(Sleeping, AnEditedHeightFieldWakesWhatRestsOnItWhenTheEditorSaysSo) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  const u32 n = 9;
  std::vector<i16> samples(n * n, 16000);
  samples[0] = 0;  // keeps the field's height range open below the plateau
  HeightFieldShape hf;
  heightFieldInitBorrowed(&hf, samples.data(), n, n, 1.0, 10.0, 0.0);
  addBody(t, &hf.base, V3(0, 0, 0), V3(-4, 0, -4), quatIdentity(), 0.0, 0.8, BODY_STATIC);
  SphereShape ball;
  sphereInit(&ball, 0.5);
  f64 plateau = 16000.0 / 32767.0 * 10.0;
  i32 b = addBody(t, &ball.base, bodyInertiaSphere(1.0, 0.5), V3(0, plateau + 0.5, 0),
                  quatIdentity(), 1.0, 0.8, BODY_DYNAMIC);
  ASSERT_TRUE(stepUntilAsleep(t, {b}, 600));
  EXPECT_NEAR(t.body(b)->position.y, plateau + 0.5, 0.02);

  // Lower the middle of the field in place: the world cannot see it.
  for (u32 r = 2; r <= 6; ++r)
    for (u32 c = 2; c <= 6; ++c) samples[r * n + c] = 8000;
  t.steps(30);
  EXPECT_FALSE(t.body(b)->isAwake);
  // The editor wakes the edited region; the ball drops onto the new ground.
  worldWakeRegion(t.world, Aabb{V3(-2, 0, -2), V3(2, 10, 2)});
  t.steps(120);
  EXPECT_NEAR(t.body(b)->position.y, 8000.0 / 32767.0 * 10.0 + 0.5, 0.03);
}

TEST(Sleeping, BoxOnAStillKinematicBodySleepsAndWakesWhenItMoves) {
  struct Case {
    v3 velocity;
    const char* name;
  };
  const Case cases[] = {{V3(1, 0, 0), "sideways"}, {V3(0, -1, 0), "away downwards"}};
  for (const Case& k : cases) {
    TestWorld t;
    ASSERT_TRUE(t.ok);
    BoxShape platform, cube;
    boxInit(&platform, V3(3, 0.25, 3));
    boxInit(&cube, V3(0.5, 0.5, 0.5));
    i32 p = addBody(t, &platform.base, V3(0, 0, 0), V3(0, 2, 0), quatIdentity(), 0.0, 0.8,
                    BODY_KINEMATIC);
    i32 b = addCube(t, &cube, V3(0, 2.75, 0));
    ASSERT_TRUE(stepUntilAsleep(t, {b}, 600)) << k.name;
    t.steps(30);
    ASSERT_FALSE(t.body(b)->isAwake) << k.name;  // stays asleep on the still platform
    t.body(p)->linearVelocity = k.velocity;
    t.steps(2);
    EXPECT_TRUE(t.body(b)->isAwake) << k.name;
    t.steps(58);
    // It rides along or follows the platform down, instead of hanging in the air.
    v3 rel = t.body(b)->position - t.body(p)->position;
    EXPECT_NEAR(rel.y, 0.75, 0.05) << k.name;
  }
}

TEST(Sleeping, JointPartnerIsWokenBeforeTheSolveMovesIt) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  i32 anchor = addBody(t, nullptr, V3(0, 0, 0), V3(0, 10, 0), quatIdentity(), 0.0, 0.5,
                       BODY_STATIC);
  i32 upper = addBody(t, nullptr, bodyInertiaSphere(1.0, 0.1), V3(0, 9, 0), quatIdentity(), 1.0,
                      0.5, BODY_DYNAMIC);
  i32 lower = addBody(t, nullptr, bodyInertiaSphere(1.0, 0.1), V3(0, 8, 0), quatIdentity(), 1.0,
                      0.5, BODY_DYNAMIC);
  ASSERT_GE(worldCreateBallSocketJoint(t.world, anchor, upper, V3(0, 10, 0)).index, 0);
  ASSERT_GE(worldCreateBallSocketJoint(t.world, upper, lower, V3(0, 9, 0)).index, 0);
  ASSERT_TRUE(stepUntilAsleep(t, {upper, lower}, 600));
  bodyApplyLinearImpulse(t.body(lower), V3(3, 0, 0));
  t.steps(1);
  // The upper body took part in the solve (it has the joint's velocity), rather
  // than being shifted by the position solve while asleep and woken afterwards.
  EXPECT_TRUE(t.body(upper)->isAwake);
  EXPECT_GT(t.body(upper)->linearVelocity.x, 0.01);
}
