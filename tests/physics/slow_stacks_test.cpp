// Stacks placed exactly touching with sleeping off, where nothing hides drift
// (slow: 20 s of a 204-cube pyramid).
#include <cmath>
#include <vector>

#include "physics_test_util.h"

TEST(StacksWithoutSleeping, PyramidOfEightHoldsItsShape) {
  WorldConfig c = worldDefaultConfig();
  c.isSleepingEnabled = false;
  TestWorld t(&c);
  ASSERT_TRUE(t.ok);
  DemoSceneOptions o = demoSceneNone();
  o.floor = true;
  o.pyramidLayers = 8;
  ASSERT_TRUE(demoSceneBuild(t.scene, t.world, &o));
  std::vector<v3> start;
  for (u32 i = 0; i < t.scene->numPyramid; ++i) start.push_back(t.body(t.scene->pyramid[i])->position);
  f64 worstH = 0.0, worstV = 0.0;
  for (int s = 0; s < 20 * 120; ++s) {
    worldStep(t.world, 1.0 / 120.0);
    if (s % 60 != 59) continue;
    for (u32 i = 0; i < t.scene->numPyramid; ++i) {
      v3 p = t.body(t.scene->pyramid[i])->position;
      worstH = std::fmax(worstH, std::hypot(p.x - start[i].x, p.z - start[i].z));
      worstV = std::fmax(worstV, std::fabs(p.y - start[i].y));
    }
  }
  EXPECT_LT(worstH, 0.005);
  EXPECT_LT(worstV, 0.01);
}
