#include <cmath>

#include "physics_test_util.h"

TEST(World, DefaultsAndCapacities) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  World* w = t.world;
  EXPECT_EQ(w->bodyCapacity, 4096u);
  EXPECT_EQ(w->nonStaticMask.wordCount, 64u);
  EXPECT_EQ(w->solverConfig.velocityIterations, 5u);
  EXPECT_EQ(w->solverConfig.positionIterations, 5u);
  EXPECT_EQ(w->solverConfig.restitutionThreshold, 0.5);
  EXPECT_EQ(w->numVectorFields, 1u);
  EXPECT_EQ(w->fixedTimeStep, 1.0 / 60.0);
  // Gravity is field 0 and acts as an acceleration whatever the mass.
  Body b;
  bodyInit(&b);
  bodySetMass(&b, 3.0);
  v3 f = w->vectorFields[0].fn(&b, w->vectorFields[0].userData);
  EXPECT_EQ(f.y, -9.81 * 3.0);
  b.isGravityEnabled = false;
  EXPECT_EQ(w->vectorFields[0].fn(&b, w->vectorFields[0].userData).y, 0.0);

  for (u32 i = 1; i < kWorldMaxVectorFields; ++i) ASSERT_EQ(worldCreateVectorField(w), (i32)i);
  EXPECT_EQ(worldCreateVectorField(w), -1);
  EXPECT_EQ(worldGetVectorField(w, 64), nullptr);
  worldClear(w);
  EXPECT_EQ(w->numVectorFields, 1u);
  for (u32 i = 0; i < 4096; ++i) ASSERT_EQ(worldCreateBody(w), (i32)i);
  EXPECT_EQ(worldCreateBody(w), -1);
  EXPECT_EQ(worldGetNumBodies(w), 4096u);
}

TEST(World, DestroyedSlotsAreReusedOnceLastFreedFirst) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  World* w = t.world;
  for (int i = 0; i < 5; ++i) worldCreateBody(w);
  worldDestroyBody(w, 1);
  worldDestroyBody(w, 3);
  worldDestroyBody(w, 3);   // already destroyed: no change
  worldDestroyBody(w, 17);  // out of range
  worldDestroyBody(w, -2);
  EXPECT_EQ(w->numFreeBodyIndices, 2u);
  EXPECT_EQ(worldGetNumBodies(w), 3u);
  ASSERT_NE(worldGetBody(w, 3), nullptr);
  EXPECT_EQ(worldGetBody(w, 3)->id, -1);
  EXPECT_EQ(worldGetBody(w, 5), nullptr);
  EXPECT_EQ(worldCreateBody(w), 3);
  EXPECT_EQ(worldGetBody(w, 3)->collisionCategory, 1u << 4);
  EXPECT_EQ(worldCreateBody(w), 1);
  EXPECT_EQ(worldCreateBody(w), 5);  // no slot handed out twice
}

TEST(World, UpdateRunsWholeFixedStepsWithABoundedBacklog) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  i32 b = worldCreateBody(t.world);
  struct Case {
    f64 dt;
    u32 steps;
  };
  // 1.0 s runs 8 steps, not 60; small dts accumulate.
  const Case cases[] = {{1.0, 8}, {1.0 / 120.0, 0}, {1.0 / 120.0, 1}, {0.0, 0}, {-1.0, 0},
                        {NAN, 0}, {0.05, 3}};
  for (const Case& k : cases) EXPECT_EQ(worldUpdate(t.world, k.dt), k.steps) << k.dt;
  // Free fall under gravity went through every step.
  EXPECT_LT(t.body(b)->linearVelocity.y, -9.81 * 11.0 / 60.0 + 1e-9);
  // A bad step length changes nothing.
  Body before = *t.body(b);
  worldStep(t.world, NAN);
  worldStep(t.world, -0.1);
  worldStep(t.world, INFINITY);
  EXPECT_EQ(t.body(b)->position.y, before.position.y);
  EXPECT_EQ(t.body(b)->linearVelocity.y, before.linearVelocity.y);
}
