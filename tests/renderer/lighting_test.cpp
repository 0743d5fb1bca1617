// The light's view-projection and the texel-snapped shadow focus (no GPU).
#include <gtest/gtest.h>

#include <cmath>

#include "renderer/lighting.h"

namespace {

v4 apply(const mat4f32& m, v3 p) {
  f64 in[4] = {p.x, p.y, p.z, 1.0}, out[4] = {0, 0, 0, 0};
  for (int r = 0; r < 4; r++)
    for (int c = 0; c < 4; c++) out[r] += (f64)m.m[c * 4 + r] * in[c];
  return V4(out[0], out[1], out[2], out[3]);
}

TEST(LightingShadowVP, LightStraightAboveMapsTheFocusToMidDepth) {
  mat4f32 m = lightingComputeShadowVP(V3(0, 1, 0), V3(0, 0, 0), 50.0);
  EXPECT_NEAR(apply(m, V3(0, 0, 0)).z, 0.5, 1e-6);
  EXPECT_NEAR(apply(m, V3(0, -50, 0)).z, 1.0, 1e-6);
  EXPECT_NEAR(apply(m, V3(0, 50, 0)).z, 0.0, 1e-6);  // the light's position
  // Reference axis (0, 0, 1) when looking straight down: x stays on screen x.
  v4 px = apply(m, V3(50, 0, 0));
  EXPECT_NEAR(std::fabs(px.x) + std::fabs(px.y), 1.0, 1e-6);
}

TEST(LightingShadowVP, SphereAroundTheFocusFitsTheMap) {
  v3 dir = V3(0.5, 1.0, 0.3), focus = V3(10, 2, -7);
  mat4f32 m = lightingComputeShadowVP(dir, focus, 150.0);
  v3 l = v3Normalize(dir);
  v3 side = v3Normalize(v3Cross(l, V3(0, 1, 0)));
  for (v3 p : {focus + l * 150.0, focus - l * 150.0, focus + side * 150.0}) {
    v4 c = apply(m, p);
    EXPECT_LE(std::fabs(c.x), 1.0 + 1e-5);
    EXPECT_LE(std::fabs(c.y), 1.0 + 1e-5);
    EXPECT_GE(c.z, -1e-5);
    EXPECT_LE(c.z, 1.0 + 1e-5);
  }
  EXPECT_NEAR(apply(m, focus + l * 150.0).z, 0.0, 1e-5);  // toward the light: nearest
}

TEST(LightingShadowVP, SnappedFocusMovesOnlyInWholeTexels) {
  v3 dir = V3(0.5, 1.0, 0.3);
  f64 radius = 150.0, texel = 2 * radius / kShadowMapSize;
  v3 a = lightingSnapShadowFocus(dir, V3(3.3, 20.0, 11.7), radius);
  // A camera drifting by less than a texel across the light keeps the same map.
  for (f64 d = 0.0; d < 0.4 * texel; d += 0.05 * texel) {
    mat4f32 ma = lightingComputeShadowVP(dir, a, radius);
    mat4f32 mb = lightingComputeShadowVP(dir, lightingSnapShadowFocus(dir, V3(3.3 + d, 20.0, 11.7), radius), radius);
    // World points keep their texel: x, y in map texels agree to a small fraction.
    v4 pa = apply(ma, V3(0, 0, 0)), pb = apply(mb, V3(0, 0, 0));
    f64 shift = (pb.x - pa.x) * kShadowMapSize / 2;
    EXPECT_NEAR(shift - std::round(shift), 0.0, 0.02) << d;
  }
  // Snapping never moves the focus by more than half a texel across the light.
  v3 raw = V3(3.3, 20.0, 11.7);
  v3 diff = a - raw;
  v3 l = v3Normalize(dir);
  v3 across = diff - l * v3Dot(diff, l);
  EXPECT_LE(v3Length(across), texel * 0.7072);
}

}  // namespace
