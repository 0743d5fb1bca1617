// The demo scene in the program's State, the physics thread's control, and the
// frame's snapshot handling (no GPU: the renderer stays empty).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "app/state.h"
#include "demo_scene.h"
#include "platform/memory.h"

namespace {

struct AppScene : testing::Test {
  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    s = static_cast<State*>(memCalloc(1, sizeof(State)));
    ASSERT_NE(s, nullptr);
    s->tornadoFieldIdx = -1;
    ASSERT_TRUE(ecsInit(&s->ecs, kAppMaxEntities));
    appRegisterComponents(&s->ecs);
    ASSERT_TRUE(worldInit(&s->world, nullptr));
  }
  void TearDown() override {
    if (!s) return;
    physicsStop(s);
    worldDestroy(&s->world);
    ecsDestroy(&s->ecs);
    memFree(s);
  }
  // Colour of every body id, 0 where none is tracked.
  std::vector<u32> colours() {
    std::vector<u32> out(worldGetNumBodies(&s->world), 0);
    void* pool = s->ecs.pools[ECS_SYS_PHYSICS_BODY];
    for (u32 i = 0; i < ecsPoolCount(pool); i++) {
      auto* c = static_cast<PhysicsBodyComp*>(ecsPoolComponent(pool, i));
      if (c->bodyId >= 0 && (u32)c->bodyId < out.size()) out[c->bodyId] = c->color;
    }
    return out;
  }
  State* s = nullptr;
};

TEST_F(AppScene, SetupTwiceGivesTheDemoScenesBodiesAndTheSameColours) {
  ASSERT_TRUE(sceneBuildDemo(s));
  std::vector<u32> first = colours();
  ASSERT_TRUE(sceneBuildDemo(s));
  std::vector<u32> second = colours();
  EXPECT_EQ(first, second);
  ASSERT_EQ(worldGetNumBodies(&s->world), 236u);
  EXPECT_EQ(ecsPoolCount(s->ecs.pools[ECS_SYS_PHYSICS_BODY]), 236u);
  // Same bodies, in the same order, as the physics tests' demo scene.
  World* ref = static_cast<World*>(memCalloc(1, sizeof(World)));
  DemoScene* scene = static_cast<DemoScene*>(memCalloc(1, sizeof(DemoScene)));
  ASSERT_TRUE(worldInit(ref, nullptr));
  DemoSceneOptions o = demoSceneFull();
  ASSERT_TRUE(demoSceneBuild(scene, ref, &o));
  ASSERT_EQ(worldGetNumBodies(ref), 236u);
  for (i32 i = 0; i < 236; i++) {
    const Body* a = worldGetBody(&s->world, i);
    const Body* b = worldGetBody(ref, i);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(std::memcmp(&a->position, &b->position, sizeof(v3)), 0) << i;
    EXPECT_EQ(std::memcmp(&a->rotation, &b->rotation, sizeof(v4)), 0) << i;
    EXPECT_EQ(a->invMass, b->invMass) << i;
    EXPECT_EQ(a->shape->type, b->shape->type) << i;
  }
  // Every tracked body has a colour; hand-checked values for a few.
  for (u32 c : first) EXPECT_EQ(c >> 24, 0xffu);
  EXPECT_EQ(first[0], 0xff5a5050u);  // floor
  EXPECT_EQ(first[1], 0xff64949du);  // first ring cube: seed 12345
  // Pyramid cube at column 1, row 0, layer 0: seed 12345 + 5504451 = 0x542dfc.
  EXPECT_EQ(first[21 + 1], 0xffb891e0u);
  EXPECT_EQ(first[scene->chain[0]], 0xffb4c8dcu);
  EXPECT_EQ(first[scene->chain[1]], 0xffb4c8dcu - 0x19190fu);
  EXPECT_EQ(first[scene->head], 0xff32aadcu);
  worldDestroy(ref);
  memFree(ref);
  memFree(scene);
}

TEST_F(AppScene, SetupStartsThePhysicsThreadAndStopPublishesTheBodies) {
  sceneSetup(s);
  EXPECT_TRUE(s->physicsRunning);
  EXPECT_NE(s->world.thread, nullptr);
  EXPECT_GE(s->tornadoFieldIdx, 0);
  physicsStop(s);
  EXPECT_FALSE(s->physicsRunning);
  EXPECT_EQ(s->world.thread, nullptr);
  const Snapshot* snap = worldAcquireSnapshot(&s->world);
  for (u32 i = 0; i < snap->count; i++)
    EXPECT_EQ(std::memcmp(&snap->xforms[i].pos, &worldGetBody(&s->world, (i32)i)->position, sizeof(v3)), 0);
  worldReleaseSnapshot(&s->world);
}

TEST_F(AppScene, BodyGeometryIsRebuiltOnlyForANewPublicationOrBodyCount) {
  ASSERT_TRUE(sceneBuildDemo(s));
  auto frame = [&] {
    s->frameSnap = worldAcquireSnapshot(&s->world);
    b8 rebuilt = buildBodyGeometry(s);
    worldReleaseSnapshot(&s->world);
    s->frameSnap = nullptr;
    return rebuilt;
  };
  EXPECT_TRUE(frame());
  EXPECT_FALSE(frame());
  EXPECT_FALSE(frame());
  // Two publications bring the same buffer index back as head; still new poses.
  worldStep(&s->world, kPhysicsStep);
  worldPublishSnapshot(&s->world);
  worldPublishSnapshot(&s->world);
  worldPublishSnapshot(&s->world);
  EXPECT_TRUE(frame());
  EXPECT_FALSE(frame());
  ASSERT_NE(trackBody(s, 3, 0xffffffffu), 0u);
  EXPECT_TRUE(frame());
  EXPECT_FALSE(frame());
}

TEST_F(AppScene, ASkippedFrameReleasesItsSnapshot) {
  ASSERT_TRUE(sceneBuildDemo(s));
  // No device: rendererBeginFrame fails.
  EXPECT_FALSE(renderFrame(s, 1.0 / 60.0));
  EXPECT_EQ(s->world.snapReader.load(), kNoSnapshot);
  EXPECT_EQ(s->frameSnap, nullptr);
}

TEST_F(AppScene, TornadoWandersFromItsPhase) {
  ASSERT_TRUE(sceneBuildDemo(s));
  updateTornado(s, 1.25);  // phase 1.0
  v3 c = s->tornadoData.centre;
  EXPECT_DOUBLE_EQ(c.x, 8 * std::sin(0.5) + 4 * std::sin(1.7));
  EXPECT_DOUBLE_EQ(c.y, 5 + 2 * std::sin(0.7));
  EXPECT_DOUBLE_EQ(c.z, 8 * std::cos(0.3) + 4 * std::cos(1.1));
  ASSERT_TRUE(sceneBuildDemo(s));  // a new scene restarts the phase
  EXPECT_EQ(s->tornadoPhase, 0.0);
}

}  // namespace
