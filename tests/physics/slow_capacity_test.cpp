// A pile larger than the initial manifold capacity (slow: thousands of bodies).
#include <cmath>
#include <vector>

#include "physics_test_util.h"

namespace {
constexpr f64 kDt = 1.0 / 120.0;
}  // namespace

// A block of 3,840 cubes needs more manifolds than the initial capacity: the
// arrays grow, the growth is counted, no contact is dropped and no cube ends up
// in the floor.
TEST(ManifoldCapacity, LargeBlockKeepsEveryContact) {
  TestWorld t;
  ASSERT_TRUE(t.ok);
  BoxShape floor, cube;
  boxInit(&floor, V3(60, 0.5, 60));
  boxInit(&cube, V3(0.5, 0.5, 0.5));
  addBoxBody(t, &floor, V3(0, -0.5, 0), quatIdentity(), 0.0, BODY_STATIC);
  std::vector<i32> cubes;
  for (int y = 0; y < 15; ++y)
    for (int z = 0; z < 16; ++z)
      for (int x = 0; x < 16; ++x)
        cubes.push_back(addBoxBody(t, &cube, V3(x - 7.5, 0.5 + y, z - 7.5), quatIdentity(), 1.0, BODY_DYNAMIC));
  ASSERT_EQ(cubes.size(), 3840u);
  f64 lowest = 1e9;
  for (int s = 0; s < 120; ++s) {
    worldStep(t.world, kDt);
    for (i32 id : cubes) lowest = std::fmin(lowest, t.body(id)->position.y);
  }
  WorldContactStats st = worldGetContactStats(t.world);
  EXPECT_GT(st.peak, kWorldMaxManifolds);
  EXPECT_GE(st.capacity, st.peak);
  EXPECT_GE(st.growths, 1u);
  EXPECT_EQ(st.dropped, 0u);
  EXPECT_GT(lowest, 0.5 - 0.02);
}
