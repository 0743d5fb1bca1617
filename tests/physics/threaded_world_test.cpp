// The physics thread and snapshot readers on the frame thread.
#include <cmath>
#include <cstring>
#include <vector>

#include "physics_test_util.h"
#include "platform/clock.h"

namespace {

// A few falling bodies without shapes: the thread has work and moving poses.
void buildFalling(TestWorld& t, u32 count) {
  for (u32 i = 0; i < count; ++i)
    demoCreateBody(t.world, nullptr, V3(1, 1, 1), V3((f64)i, 100.0, 0.0), quatIdentity(), 1.0,
                   0.5, 0.0, BODY_DYNAMIC);
}

}  // namespace

TEST(PhysicsThread, CatchesUpAtMostAQuarterSecond) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  buildFalling(t, 2);
  f64 acc = 0.0, t0 = 10.0;
  // A stall of several seconds: 0.25 s of 1/120 s steps, each published.
  EXPECT_EQ(worldThreadAdvance(t.world, &acc, &t0, 15.0, 1.0 / 120.0), 30u);
  EXPECT_EQ(t0, 15.0);
  EXPECT_LT(acc, 1.0 / 120.0);
  const Snapshot* s = worldGetSnapshot(t.world);
  EXPECT_EQ(s->timeSec, 15.0);
  EXPECT_EQ(s->count, 2u);
  // A clock that goes backwards adds nothing.
  EXPECT_EQ(worldThreadAdvance(t.world, &acc, &t0, 14.0, 1.0 / 120.0), 0u);
}

TEST(PhysicsThread, ReaderKeepsItsSnapshotWhileTheThreadPublishes) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  buildFalling(t, 50);
  worldDestroyBody(t.world, 7);
  ASSERT_TRUE(worldStartThread(t.world, 0.0));  // 0 means 1/120 s
  ASSERT_TRUE(worldStartThread(t.world, 0.0));  // already running: nothing happens

  std::vector<Xform> copy(64);
  u32 changes = 0;
  f64 lastTime = -1.0;
  u64 lastSequence = 0;
  f64 end = clockNanos() + 0.3e9;
  while (clockNanos() < end) {
    const Snapshot* s = worldAcquireSnapshot(t.world);
    ASSERT_EQ(s->count, 50u);
    std::memcpy(copy.data(), s->xforms, s->count * sizeof(Xform));
    f64 time = s->timeSec;
    u64 sequence = s->sequence;
    // Hold it across several physics steps, then check nothing moved under us.
    nanoSleep(20000000);
    ASSERT_EQ(std::memcmp(copy.data(), s->xforms, s->count * sizeof(Xform)), 0);
    ASSERT_EQ(s->timeSec, time);
    ASSERT_EQ(s->sequence, sequence);
    for (u32 i = 0; i < s->count; ++i) ASSERT_EQ(s->xforms[i].id, i == 7 ? 0xffffffffu : i);
    worldReleaseSnapshot(t.world);
    // Every new publication has a larger number, even when its buffer index repeats.
    if (time != lastTime) {
      ASSERT_GT(sequence, lastSequence);
    }
    ASSERT_GE(sequence, lastSequence);
    changes += time != lastTime;
    lastTime = time;
    lastSequence = sequence;
  }
  worldStopThread(t.world);
  EXPECT_EQ(t.world->thread, nullptr);
  EXPECT_GT(changes, 3u);
  // Stopped: the frame thread may step and publish itself.
  worldStep(t.world, 1.0 / 120.0);
  worldPublishSnapshot(t.world);
  const Snapshot* s = worldAcquireSnapshot(t.world);
  EXPECT_EQ(s->timeSec, 0.0);
  EXPECT_EQ(s->xforms[3].pos.y, t.body(3)->position.y);
  worldReleaseSnapshot(t.world);
}

TEST(PhysicsThread, EditsUnderTheLockBesideARunningThread) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  buildFalling(t, 20);
  ASSERT_TRUE(worldStartThread(t.world, 0.0));
  u64 firstSequence = worldAcquireSnapshot(t.world)->sequence;
  worldReleaseSnapshot(t.world);
  // The frame thread's kinds of edits: teleport, impulse, new bodies, a field.
  SphereShape sphere;
  sphereInit(&sphere, 0.5);
  for (u32 i = 0; i < 60; ++i) {
    worldLock(t.world);
    Body* b = t.body((i32)(i % 20));
    bodySetTransform(b, Transform{V3((f64)i, 50.0, 0.0), quatIdentity()});
    bodyApplyImpulseAtPoint(b, V3(0, 1, 0), b->position);
    if (i % 10 == 0) addSphereBody(t, &sphere, V3(0.0, 30.0 + i, 5.0), 1.0);
    worldUnlock(t.world);
    nanoSleep(2000000);
  }
  worldLock(t.world);
  u32 bodies = worldGetNumBodies(t.world);
  worldUnlock(t.world);
  EXPECT_EQ(bodies, 26u);
  const Snapshot* s = worldAcquireSnapshot(t.world);
  EXPECT_GT(s->sequence, firstSequence + 5);  // the thread kept stepping
  worldReleaseSnapshot(t.world);
  worldStopThread(t.world);
}

namespace {

// A thread stuck in catch-up: every pass pretends a quarter second went by.
struct CatchUp {
  World* world;
  std::atomic<i32> run;
};

i32 catchUpThread(void* user) {
  CatchUp* c = static_cast<CatchUp*>(user);
  f64 acc = 0.0, t0 = 0.0;
  while (c->run.load()) worldThreadAdvance(c->world, &acc, &t0, t0 + 1.0, 1.0 / 120.0);
  return 0;
}

}  // namespace

TEST(PhysicsThread, LockIsGrantedWithinTwoStepsDuringCatchUp) {
  WorldConfig config = worldDefaultConfig();
  config.isSleepingEnabled = false;  // keep every step busy
  TestWorld t(&config);
  ASSERT_TRUE(t.ok);
  DemoSceneOptions o = demoSceneFull();
  ASSERT_TRUE(demoSceneBuild(t.scene, t.world, &o));
  CatchUp c{t.world, 1};
  Thread* th = threadCreate(catchUpThread, &c);
  ASSERT_NE(th, nullptr);
  u32 worst = 0;
  for (u32 round = 0; round < 20; ++round) {
    nanoSleep(3000000);
    u64 before = worldAcquireSnapshot(t.world)->sequence;
    worldReleaseSnapshot(t.world);
    worldLock(t.world);
    u64 granted = t.world->snapSequence;
    worldUnlock(t.world);
    u32 steps = (u32)(granted - before);
    if (steps > worst) worst = steps;
  }
  c.run.store(0);
  threadJoin(th);
  threadDestroy(th);
  EXPECT_LE(worst, 2u);
}
