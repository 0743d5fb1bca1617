#include "components/camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

constexpr f64 kEps = 1e-9;

void expectNear(v3 a, v3 b, f64 eps = kEps) {
  EXPECT_NEAR(a.x, b.x, eps);
  EXPECT_NEAR(a.y, b.y, eps);
  EXPECT_NEAR(a.z, b.z, eps);
}

v3 transformPoint(const mat4& m, v3 p) {
  v4 r = mat4MulV4(m, V4(p.x, p.y, p.z, 1.0));
  return V3(r.x, r.y, r.z);
}

Camera sceneCamera() { return CameraCreate(V3(0, 80, 100), V3(0, 25, 0), 1.0, 16.0 / 9.0); }

TEST(Camera, CreationDerivesYawPitchAndTheViewLooksDownMinusZ) {
  Camera c = sceneCamera();
  EXPECT_NEAR(std::fabs(c.yaw), kPi, kEps);
  EXPECT_LT(c.pitch, 0.0);
  expectNear(CameraGetForward(&c), v3Normalize(c.target - c.position));
  // In view space the target lies straight ahead on -z and the eye at the origin.
  expectNear(transformPoint(c.view, c.target), V3(0, 0, -CameraGetDistance(&c)), 1e-9);
  expectNear(transformPoint(c.view, c.position), V3(0, 0, 0));
  EXPECT_EQ(c.move_speed, 5.0);
  EXPECT_EQ(c.turn_speed, 0.002);
  // Coinciding points give a zero direction, not NaNs.
  Camera same = CameraCreate(V3(1, 2, 3), V3(1, 2, 3), 1.0, 1.0);
  EXPECT_EQ(same.yaw, 0.0);
  EXPECT_EQ(same.pitch, 0.0);
}

// Straight down or up would give pitch -+90 degrees and zero right and up
// vectors; creation keeps the 89-degree limit instead.
TEST(Camera, CreatedLookingStraightDownOrUpKeepsThePitchLimit) {
  struct Case { v3 target; f64 pitch; } cases[] = {
      {V3(0, -50, 0), -kCameraMaxPitch},
      {V3(0, 70, 0), kCameraMaxPitch},
  };
  for (const Case& k : cases) {
    Camera c = CameraCreate(V3(0, 10, 0), k.target, 1.0, 1.0);
    EXPECT_EQ(c.pitch, k.pitch);
    EXPECT_NEAR(v3Length(CameraGetRight(&c)), 1.0, kEps);
    EXPECT_NEAR(v3Length(CameraGetUp(&c)), 1.0, kEps);
    EXPECT_NEAR(CameraGetDistance(&c), std::fabs(k.target.y - 10.0), 1e-9);
    expectNear(CameraGetForward(&c), v3Normalize(c.target - c.position));
    expectNear(transformPoint(c.view, c.target), V3(0, 0, -CameraGetDistance(&c)), 1e-9);
    for (f64 v : c.view_projection.m) EXPECT_TRUE(std::isfinite(v));
  }
}

TEST(Camera, RotateClampsPitchAndWrapsYaw) {
  struct Case { f64 yaw0, dyaw, pitch0, dpitch, yaw, pitch; } cases[] = {
      {0.0, 0.0, 1.5, 0.2, 0.0, kCameraMaxPitch},
      {0.0, 0.0, -1.5, -0.2, 0.0, -kCameraMaxPitch},
      {kPi - 0.01, 0.02, 0.0, 0.0, -kPi + 0.01, 0.0},
      {-kPi + 0.01, -0.02, 0.0, 0.0, kPi - 0.01, 0.0},
      {0.5, 7.0 * 2.0 * kPi, 0.0, 0.0, 0.5, 0.0},
  };
  for (const Case& k : cases) {
    Camera c = CameraCreate(V3(0, 0, 0), V3(0, 0, 10), 1.0, 1.0);
    c.yaw = k.yaw0;
    c.pitch = k.pitch0;
    CameraRotate(&c, k.dyaw, k.dpitch);
    EXPECT_NEAR(c.yaw, k.yaw, 1e-9) << k.yaw0 << " + " << k.dyaw;
    EXPECT_NEAR(c.pitch, k.pitch, 1e-12);
    // The target follows the new direction at the old distance.
    EXPECT_NEAR(CameraGetDistance(&c), 10.0, 1e-9);
    expectNear(v3Normalize(c.target - c.position), CameraGetForward(&c));
  }
  Camera c = CameraCreate(V3(0, 0, 0), V3(0, 0, 10), 1.0, 1.0);
  CameraRotate(&c, 1e300, 0.0);  // absurd input still ends in range, promptly
  EXPECT_LE(std::fabs(c.yaw), kPi);
}

TEST(Camera, ZeroToOneProjectionDepthsAndYDown) {
  Camera c = CameraCreateFull(V3(0, 0, 0), V3(0, 0, -1), V3(0, 1, 0), 1.2, 1.5, 0.5, 200.0);
  EXPECT_NEAR(CameraWorldToNDC(&c, V3(0, 0, -0.5)).z, 0.0, 1e-12);
  EXPECT_NEAR(CameraWorldToNDC(&c, V3(0, 0, -200)).z, 1.0, 1e-12);
  EXPECT_LT(CameraWorldToNDC(&c, V3(0, 3, -10)).y, 0.0);  // above the camera
  EXPECT_GT(CameraWorldToNDC(&c, V3(3, 0, -10)).x, 0.0);
  // A point on the camera plane has w = 0.
  v3 z = CameraWorldToNDC(&c, V3(5, 1, 0));
  EXPECT_EQ(z.x, 0.0);
  EXPECT_EQ(z.y, 0.0);
  EXPECT_EQ(z.z, 0.0);
}

TEST(Camera, OtherProjectionsMapTheirRanges) {
  auto ndc = [](const mat4& m, v3 p) {
    v4 r = mat4MulV4(m, V4(p.x, p.y, p.z, 1.0));
    return V3(r.x / r.w, r.y / r.w, r.z / r.w);
  };
  mat4 no = PerspectiveRH_NO(1.0, 1.0, 1.0, 100.0);
  EXPECT_NEAR(ndc(no, V3(0, 0, -1)).z, -1.0, 1e-12);
  EXPECT_NEAR(ndc(no, V3(0, 0, -100)).z, 1.0, 1e-12);
  EXPECT_GT(ndc(no, V3(0, 1, -5)).y, 0.0);  // not flipped
  mat4 inf = PerspectiveInfiniteRH_ZO(1.0, 1.0, 0.25);
  EXPECT_NEAR(ndc(inf, V3(0, 0, -0.25)).z, 1.0, 1e-12);
  EXPECT_NEAR(ndc(inf, V3(0, 0, -1000)).z, 0.25 / 1000.0, 1e-15);
  mat4 oz = OrthoRH_ZO(0, 800, 600, 0, 0.0, 10.0);  // y-down pixels
  expectNear(ndc(oz, V3(0, 600, 0)), V3(-1, -1, 0));
  expectNear(ndc(oz, V3(800, 0, -10)), V3(1, 1, 1));
  mat4 on = OrthoRH_NO(-2, 2, -1, 1, 1.0, 3.0);
  expectNear(ndc(on, V3(2, 1, -1)), V3(1, 1, -1));
  expectNear(ndc(on, V3(-2, -1, -3)), V3(-1, -1, 1));
}

TEST(Camera, ScreenRaysProjectBackToTheirPixels) {
  Camera c = sceneCamera();
  v3 o, d;
  CameraScreenToRay(&c, 0.5, 0.5, &o, &d);
  expectNear(o, c.position);
  expectNear(d, CameraGetForward(&c));
  const f64 pts[][2] = {{0.0, 0.0}, {1.0, 0.0}, {0.25, 0.8}, {0.9, 0.6}};
  for (const auto& s : pts) {
    CameraScreenToRay(&c, s[0], s[1], &o, &d);
    EXPECT_NEAR(v3Length(d), 1.0, 1e-12);
    v3 n = CameraWorldToNDC(&c, o + d * 37.0);
    // Clip space is y-down, like the screen.
    EXPECT_NEAR(n.x, 2 * s[0] - 1, 1e-9);
    EXPECT_NEAR(n.y, 2 * s[1] - 1, 1e-9);
  }
}

TEST(Camera, FrustumPlanesContainWhatIsVisible) {
  Camera c = CameraCreateFull(V3(0, 0, 0), V3(0, 0, -1), V3(0, 1, 0), 1.0, 1.0, 1.0, 100.0);
  v4 planes[6];
  CameraExtractFrustumPlanes(&c, planes);
  auto side = [&](int i, v3 p) { return planes[i].x * p.x + planes[i].y * p.y + planes[i].z * p.z + planes[i].w; };
  for (int i = 0; i < 6; ++i) {
    EXPECT_NEAR(v4Length(planes[i]), 1.0, 1e-12);
    EXPECT_GE(side(i, V3(0, 0, -50)), 0.0) << i;
  }
  EXPECT_LT(side(0, V3(-100, 0, -10)), 0.0);  // left
  EXPECT_LT(side(1, V3(100, 0, -10)), 0.0);   // right
  EXPECT_LT(side(5, V3(0, 0, -150)), 0.0);    // beyond far
}

TEST(Camera, OrbitPanAndZoom) {
  Camera c = sceneCamera();
  f64 r = CameraGetDistance(&c);
  CameraOrbit(&c, 0.7, 0.2);
  EXPECT_NEAR(CameraGetDistance(&c), r, 1e-9);
  expectNear(CameraGetForward(&c), v3Normalize(c.target - c.position));
  CameraOrbit(&c, 0.0, 10.0);
  EXPECT_NEAR(c.pitch, -kCameraMaxPitch, 1e-12);

  v3 p0 = c.position, t0 = c.target;
  CameraPan(&c, 2.0, -3.0);
  expectNear(c.position - p0, c.target - t0);
  EXPECT_NEAR(v3Length(c.position - p0), std::sqrt(13.0), 1e-9);

  v3 dir = v3Normalize(c.target - c.position);
  CameraZoom(&c, 1.0);  // the planetary lower bound applies
  EXPECT_NEAR(CameraGetDistance(&c), kCameraZoomMin, 1e-6);
  expectNear(v3Normalize(c.target - c.position), dir);
  CameraZoom(&c, -1e9);
  EXPECT_NEAR(CameraGetDistance(&c), kCameraZoomMax, 1e-6);
  CameraSetDistance(&c, 12.0);
  EXPECT_NEAR(CameraGetDistance(&c), 12.0, 1e-9);
}

TEST(Camera, SettersKeepTheView) {
  Camera c = sceneCamera();
  mat4 view = c.view;
  CameraSetAspect(&c, 2.0);
  CameraSetFOV(&c, 0.8);
  EXPECT_EQ(std::memcmp(&view, &c.view, sizeof view), 0);
  mat4 expect = mat4Mul(PerspectiveRH_ZO(0.8, 2.0, 0.1, 1000.0), c.view);
  for (int i = 0; i < 16; ++i) EXPECT_DOUBLE_EQ(c.view_projection.m[i], expect.m[i]);
}

}  // namespace
