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
