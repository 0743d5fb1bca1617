#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "physics/broadphase.h"

namespace {

// While another thread holds the broadphase (a running step), queries from this
// thread return at once and report nothing; afterwards they report again.
TEST(BroadphaseThreads, QueriesSkipWhileAnotherThreadHoldsTheLock) {
  Broadphase bp;
  ASSERT_TRUE(broadphaseInit(&bp, 16));
  broadphaseAddBody(&bp, 0, Aabb{V3(-1, -1, -1), V3(1, 1, 1)});
  std::atomic<int> phase{0};
  std::thread holder([&] {
    threadMutexLock(&bp.mutex);
    phase.store(1);
    while (phase.load() != 2) std::this_thread::yield();
    threadMutexUnlock(&bp.mutex);
    phase.store(3);
  });
  while (phase.load() != 1) std::this_thread::yield();
  int rays = 0, boxes = 0;
  auto onRay = [](i32, void* u) {
    ++*static_cast<int*>(u);
    return true;
  };
  auto onBox = [](i32, i32, void* u) { ++*static_cast<int*>(u); };
  broadphaseRaycast(&bp, V3(-5, 0, 0), V3(5, 0, 0), onRay, &rays);
  broadphaseQueryAabb(&bp, Aabb{V3(-5, -5, -5), V3(5, 5, 5)}, onBox, &boxes);
  EXPECT_EQ(rays, 0);
  EXPECT_EQ(boxes, 0);
  phase.store(2);
  while (phase.load() != 3) std::this_thread::yield();
  holder.join();
  broadphaseRaycast(&bp, V3(-5, 0, 0), V3(5, 0, 0), onRay, &rays);
  broadphaseQueryAabb(&bp, Aabb{V3(-5, -5, -5), V3(5, 5, 5)}, onBox, &boxes);
  EXPECT_EQ(rays, 1);
  EXPECT_EQ(boxes, 1);
  broadphaseDestroy(&bp);
}

// A stepping thread updating and pairing while another thread casts rays.
TEST(BroadphaseThreads, StepsAndRaysConcurrently) {
  Broadphase bp;
  ASSERT_TRUE(broadphaseInit(&bp, 64));
  for (i32 i = 0; i < 64; ++i) broadphaseAddBody(&bp, i, Aabb{V3(i, 0, 0), V3(i + 1.5, 1, 1)});
  std::atomic<bool> done{false};
  std::thread stepper([&] {
    for (int s = 0; s < 300; ++s) {
      for (i32 i = 0; i < 64; ++i) {
        f64 x = i + 0.01 * (s % 50);
        broadphaseUpdateBody(&bp, i, Aabb{V3(x, 0, 0), V3(x + 1.5, 1, 1)}, V3(0.01, 0, 0));
      }
      broadphaseQueryPairs(&bp, 64, nullptr);
    }
    done.store(true);
  });
  int hits = 0;
  auto onRay = [](i32, void* u) {
    ++*static_cast<int*>(u);
    return true;
  };
  while (!done.load()) broadphaseRaycast(&bp, V3(-5, 0.5, 0.5), V3(80, 0.5, 0.5), onRay, &hits);
  stepper.join();
  EXPECT_GE(hits, 0);
  broadphaseDestroy(&bp);
}

}  // namespace
