// Faults that must not come back: non-finite state spreading, collision filtering
// reaching a third body, scaled shapes keeping their old margin, and a long shaken
// run that must stay finite and inside its arena.
#include <cmath>
#include <cstring>
#include <vector>

#include "physics_test_util.h"
#include "soak_scene.h"

namespace {

constexpr f64 kDt = 1.0 / 120.0;

b8 finiteBody(const Body* b) {
  return std::isfinite(b->position.x) && std::isfinite(b->position.y) &&
         std::isfinite(b->position.z) && std::isfinite(b->rotation.w) &&
         std::isfinite(b->linearVelocity.y) && std::isfinite(b->angularVelocity.x);
}

struct NanField {
  i32 victim;
};

v3 nanForVictim(const Body* body, void* data) {
  return body->id == static_cast<NanField*>(data)->victim ? V3(NAN, 0, 0) : V3(0, 0, 0);
}

}  // namespace

TEST(Mends, ANonFiniteBodyIsResetAndNeverSpreads) {
  enum Fault { LinearNan, AngularInf, PositionNan, RotationNan, ForceNan, FieldNan };
  for (Fault fault : {LinearNan, AngularInf, PositionNan, RotationNan, ForceNan, FieldNan}) {
    WorldConfig c = worldDefaultConfig();
    c.isSleepingEnabled = false;  // every contact is solved every step
    TestWorld t(&c);
    ASSERT_TRUE(t.ok);
    BoxShape floor, cube;
    boxInit(&floor, V3(30, 0.25, 30));
    boxInit(&cube, V3(0.5, 0.5, 0.5));
    addBoxBody(t, &floor, V3(0, 0, 0), quatIdentity(), 0.0, BODY_STATIC);
    std::vector<i32> boxes;
    for (int i = 0; i < 20; ++i)
      boxes.push_back(addBoxBody(t, &cube, V3(-19.0 + 2.0 * i, 0.75, 0), quatIdentity(), 1.0,
                                 BODY_DYNAMIC));
    t.steps(60);
    std::vector<v3> rest;
    for (i32 id : boxes) rest.push_back(t.body(id)->position);
    Body* victim = t.body(boxes[10]);
    NanField field{boxes[10]};
    switch (fault) {
      case LinearNan: victim->linearVelocity = V3(NAN, 0, 0); break;
      case AngularInf: victim->angularVelocity = V3(0, INFINITY, 0); break;
      case PositionNan: victim->position.y = NAN; break;
      case RotationNan: victim->rotation.x = NAN; break;
      case ForceNan: bodyApplyForce(victim, V3(0, NAN, 0)); break;
      case FieldNan: {
        i32 f = worldCreateVectorField(t.world);
        ASSERT_GE(f, 0);
        worldGetVectorField(t.world, f)->fn = nanForVictim;
        worldGetVectorField(t.world, f)->userData = &field;
        break;
      }
    }
    t.steps(120);
    for (size_t i = 0; i < boxes.size(); ++i) {
      const Body* b = t.body(boxes[i]);
      ASSERT_TRUE(finiteBody(b)) << fault << " box " << i;
      // Every box, the victim too, is where it rested.
      EXPECT_LT(v3Length(b->position - rest[i]), 0.01) << fault << " box " << i;
    }
    EXPECT_GE(worldGetNonFiniteResets(t.world), 1u) << fault;
    if (fault != FieldNan) {
      EXPECT_EQ(worldGetNonFiniteResets(t.world), 1u) << fault;
    }
    // The broadphase never saw a non-finite box: rays still find the boxes.
    RaycastHit hit{};
    ASSERT_TRUE(worldRaycast(t.world, V3(1, 10, 0), V3(1, -10, 0), &hit)) << fault;
    EXPECT_EQ(hit.bodyId, boxes[10]) << fault;
  }
}

TEST(Mends, DisablingCollisionBetweenTwoBodiesLeavesAThirdAlone) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  BoxShape floor;
  SphereShape ball;
  boxInit(&floor, V3(10, 0.25, 10));
  sphereInit(&ball, 0.5);
  i32 f = addBoxBody(t, &floor, V3(0, 0, 0), quatIdentity(), 0.0, BODY_STATIC);
  i32 ghost = addSphereBody(t, &ball, V3(-2, 2, 0), 1.0);
  // Fill the slots up to ghost + 31, which gets the same category bit as ghost.
  while ((i32)t.world->numBodies < ghost + 31)
    demoCreateBody(t.world, nullptr, V3(0, 0, 0), V3(100, 100, 100), quatIdentity(), 0.0, 0.5, 0.0,
                   BODY_STATIC);
  i32 twin = addSphereBody(t, &ball, V3(2, 2, 0), 1.0);
  ASSERT_EQ(t.body(twin)->collisionCategory, t.body(ghost)->collisionCategory);
  ASSERT_TRUE(worldDisableCollisionBetween(t.world, f, ghost));
  EXPECT_TRUE(worldIsCollisionDisabled(t.world, ghost, f));
  EXPECT_FALSE(worldIsCollisionDisabled(t.world, twin, f));
  t.steps(120);
  EXPECT_LT(t.body(ghost)->position.y, -1.0);           // fell through the floor
  EXPECT_NEAR(t.body(twin)->position.y, 0.75, 0.02);  // landed on it

  // The pair goes with the body: a new body in the ghost's slot lands.
  worldDestroyBody(t.world, ghost);
  EXPECT_FALSE(worldIsCollisionDisabled(t.world, ghost, f));
  i32 next = addSphereBody(t, &ball, V3(-2, 2, 0), 1.0);
  ASSERT_EQ(next, ghost);
  t.steps(120);
  EXPECT_NEAR(t.body(next)->position.y, 0.75, 0.02);
}

TEST(Mends, AScaledSphereRestsOnItsNewSurface) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  std::vector<i16> samples(8 * 8, 0);
  HeightFieldShape hf;
  heightFieldInitBorrowed(&hf, samples.data(), 8, 8, 1.0, 10.0, 0.0);
  demoCreateBody(t.world, &hf.base, V3(0, 0, 0), V3(-3.5, 0, -3.5), quatIdentity(), 0.0, 0.8, 0.0,
                 BODY_STATIC);
  SphereShape ball;
  sphereInit(&ball, 0.5);
  shapeScale(&ball.base, 2.0);
  i32 b = addSphereBody(t, &ball, V3(0, 2, 0), 1.0);
  t.steps(240);
  EXPECT_NEAR(t.body(b)->position.y, 1.0, 0.01);
}

TEST(Mends, ShakenArenaStaysFiniteBoundedAndRepeatable) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const u32 steps = 2000;  // sanitizer builds run about ten times slower
#else
  const u32 steps = 20000;
#endif
  const u32 lockstep = steps < 1000 ? steps : 1000;  // compared against a second run
  TestWorld t, u;
  ASSERT_TRUE(t.ok && u.ok);
  SoakScene* s = static_cast<SoakScene*>(memCalloc(2, sizeof(SoakScene)));
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(soakSceneBuild(&s[0], t.world));
  ASSERT_TRUE(soakSceneBuild(&s[1], u.world));
  EXPECT_EQ(s[0].numJoints, 11u);
  SoakFigures worst{true, 0.0, 0.0};
  for (u32 i = 0; i < steps; ++i) {
    soakSceneShake(&s[0], t.world, i);
    worldStep(t.world, kDt);
    if (i < lockstep) {
      soakSceneShake(&s[1], u.world, i);
      worldStep(u.world, kDt);
    }
    if (i % 50 == 49) {
      SoakFigures f = soakSceneMeasure(&s[0], t.world);
      ASSERT_TRUE(f.allFinite) << "step " << i;
      worst.farthestOutside = std::fmax(worst.farthestOutside, f.farthestOutside);
      worst.fastest = std::fmax(worst.fastest, f.fastest);
    }
    if (i + 1 == lockstep) {
      for (u32 k = 0; k < s[0].numBodies; ++k) {
        const Body* a = t.body(s[0].bodies[k]);
        const Body* b = u.body(s[1].bodies[k]);
        ASSERT_EQ(std::memcmp(&a->position, &b->position, sizeof(v3)), 0) << k;
        ASSERT_EQ(std::memcmp(&a->rotation, &b->rotation, sizeof(v4)), 0) << k;
      }
    }
  }
  EXPECT_LT(worst.farthestOutside, 0.5);
  EXPECT_LT(worst.fastest, 40.0);
  EXPECT_EQ(worldGetNonFiniteResets(t.world), 0u);
  memFree(s);
}

TEST(Mends, BouncesReturnTheRestitutionShareOfTheDropHeight) {
  struct Case {
    f64 restitution, drop, low, high;  // rebound height / drop height within [low, high]
  };
  // Restitution 1 once added energy (this step's gravity and the push out of the
  // floor went into the bounce); 0.5 returns a quarter of the height.
  const Case cases[] = {{1.0, 1.0, 0.97, 1.0}, {1.0, 2.0, 0.97, 1.0}, {0.5, 1.0, 0.2425, 0.2575},
                        {0.5, 2.0, 0.2425, 0.2575}, {0.5, 0.37, 0.2425, 0.2575}};
  for (const Case& k : cases) {
    WorldConfig c = worldDefaultConfig();
    c.isSleepingEnabled = false;
    TestWorld t(&c);
    ASSERT_TRUE(t.ok);
    BoxShape floor;
    SphereShape ball;
    boxInit(&floor, V3(10, 0.25, 10));
    sphereInit(&ball, 0.5);
    demoCreateBody(t.world, &floor.base, V3(0, 0, 0), V3(0, 0, 0), quatIdentity(), 0.0, 0.5,
                   k.restitution, BODY_STATIC);
    i32 b = demoCreateBody(t.world, &ball.base, bodyInertiaSphere(1.0, 0.5), V3(0, 0.75 + k.drop, 0),
                           quatIdentity(), 1.0, 0.5, k.restitution, BODY_DYNAMIC);
    Body* body = t.body(b);
    body->linearDamping = 0.0;
    b8 rising = false;
    f64 peak = 0.0;
    for (int i = 0; i < 6 * 120; ++i) {
      t.steps(1);
      if (body->linearVelocity.y > 0.0) rising = true;
      if (!rising) continue;
      peak = std::fmax(peak, body->position.y - 0.75);
      if (body->linearVelocity.y < 0.0) break;  // past the top of the first rebound
    }
    ASSERT_TRUE(rising) << k.restitution << " from " << k.drop;
    EXPECT_GE(peak / k.drop, k.low) << k.restitution << " from " << k.drop;
    EXPECT_LE(peak / k.drop, k.high) << k.restitution << " from " << k.drop;
  }
}

TEST(Mends, ANonFiniteBodyDoesNotSpreadThroughItsJoints) {
  WorldConfig c = worldDefaultConfig();
  c.isSleepingEnabled = false;
  TestWorld t(&c);
  ASSERT_TRUE(t.ok);
  i32 anchor = demoCreateBody(t.world, nullptr, V3(0, 0, 0), V3(0, 10, 0), quatIdentity(), 0.0,
                              0.5, 0.0, BODY_STATIC);
  i32 chain[3];
  i32 prev = anchor;
  for (int k = 0; k < 3; ++k) {
    chain[k] = demoCreateBody(t.world, nullptr, bodyInertiaSphere(1.0, 0.2), V3(0, 9.0 - k, 0),
                              quatIdentity(), 1.0, 0.5, 0.0, BODY_DYNAMIC);
    ASSERT_GE(worldCreateHingeJoint(t.world, prev, chain[k], V3(0, 10.0 - k, 0), V3(0, 0, 1)).index, 0);
    prev = chain[k];
  }
  t.steps(30);
  t.body(chain[1])->angularVelocity = V3(0, 0, NAN);
  t.steps(60);
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(finiteBody(t.body(chain[k]))) << k;
    EXPECT_NEAR(t.body(chain[k])->position.y, 9.0 - k, 0.01) << k;
  }
  EXPECT_EQ(worldGetNonFiniteResets(t.world), 1u);
}
