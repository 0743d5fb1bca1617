#include "ecs/gizmo.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr i32 kW = 800, kH = 600;

Camera cameraAt(v3 pos, v3 target) {
  return CameraCreateFull(pos, target, V3(0, 1, 0), 1.0471975511965976, (f64)kW / kH, 0.1, 1000.0);
}

struct Pixel {
  i32 x, y;
};

Pixel project(const Camera& cam, v3 p) {
  f64 sx = -1, sy = -1;
  EXPECT_TRUE(worldToScreen(&cam, p, kW, kH, &sx, &sy));
  return {(i32)std::lround(sx), (i32)std::lround(sy)};
}

Gizmo hovering(const Camera& cam, v3 centre, Pixel at) {
  Gizmo g;
  gizmoInit(&g);
  gizmoDraw(&g, nullptr, &cam, centre, at.x, at.y, kW, kH);
  return g;
}

TEST(Gizmo, ScreenProjectionAgreesWithThePickingRay) {
  Camera cam = cameraAt(V3(3, 7, 12), V3(0, 1, 0));
  for (v3 p : {V3(0, 1, 0), V3(2, -1, 3), V3(-4, 3, -2)}) {
    f64 sx, sy;
    ASSERT_TRUE(worldToScreen(&cam, p, kW, kH, &sx, &sy));
    v3 o, d;
    CameraScreenToRay(&cam, sx / kW, sy / kH, &o, &d);
    v3 toP = p - o;
    // The ray through the pixel passes through the point.
    EXPECT_LT(v3Length(toP - d * v3Dot(toP, d)), 1e-6 * v3Length(toP));
  }
  // A point above the look target lands above the screen centre.
  Pixel up = project(cam, V3(0, 3, 0));
  EXPECT_LT(up.y, kH / 2);
}

TEST(Gizmo, EachHandleIsPickedWhereItIsDrawn) {
  Camera cam = cameraAt(V3(6, 5, 9), V3(0, 0, 0));
  v3 c = V3(0, 0, 0);
  f64 d = v3Length(cam.position - c);
  struct Case {
    v3 point;
    i32 handle;
  } cases[] = {
      {V3(0.06 * d, 0, 0), 0},  {V3(0, 0.06 * d, 0), 1},  {V3(0, 0, 0.06 * d), 2},
      {V3(0.138 * d, 0, 0), 6}, {V3(0, 0.138 * d, 0), 7}, {V3(0, 0, 0.138 * d), 8},
  };
  for (const Case& k : cases) EXPECT_EQ(hovering(cam, c, project(cam, k.point)).hoveredHandle, k.handle);
  // Rings: a point on each circle of radius 0.15 d, away from the axes.
  f64 r = 0.15 * d, s = r * std::sqrt(0.5);
  EXPECT_EQ(hovering(cam, c, project(cam, V3(0, s, -s))).hoveredHandle, 3);
  EXPECT_EQ(hovering(cam, c, project(cam, V3(-s, 0, s))).hoveredHandle, 4);
  EXPECT_EQ(hovering(cam, c, project(cam, V3(s, -s, 0))).hoveredHandle, 5);
  // Far from everything: nothing.
  EXPECT_EQ(hovering(cam, c, {5, 5}).hoveredHandle, -1);
}

TEST(Gizmo, NothingIsHoveredWhenTheCentreIsBehindTheCamera) {
  Camera cam = cameraAt(V3(0, 0, 10), V3(0, 0, 20));
  Gizmo g = hovering(cam, V3(0, 0, 0), {kW / 2, kH / 2});
  EXPECT_EQ(g.hoveredHandle, -1);
  gizmoBeginDrag(&g, &cam, V3(0, 0, 0), quatIdentity(), 1.0, kW / 2, kH / 2, kW, kH);
  EXPECT_EQ(g.activeHandle, -1);
}

TEST(Gizmo, HoverIsFrozenDuringADrag) {
  Camera cam = cameraAt(V3(6, 5, 9), V3(0, 0, 0));
  f64 d = v3Length(cam.position);
  Pixel onX = project(cam, V3(0.06 * d, 0, 0));
  Gizmo g = hovering(cam, V3(0, 0, 0), onX);
  gizmoBeginDrag(&g, &cam, V3(0, 0, 0), quatIdentity(), 1.0, onX.x, onX.y, kW, kH);
  ASSERT_EQ(g.activeHandle, 0);
  gizmoDraw(&g, nullptr, &cam, V3(0, 0, 0), 5, 5, kW, kH);
  EXPECT_EQ(g.hoveredHandle, 0);
  gizmoEndDrag(&g);
  EXPECT_EQ(g.activeHandle, -1);
}

TEST(Gizmo, TranslationFollowsThePointerAlongTheAxisOnly) {
  Camera cam = cameraAt(V3(6, 5, 9), V3(0, 0, 0));
  v3 c = V3(0, 0, 0);
  f64 d = v3Length(cam.position);
  Pixel start = project(cam, V3(0.06 * d, 0, 0));
  Gizmo g = hovering(cam, c, start);
  gizmoBeginDrag(&g, &cam, c, quatIdentity(), 1.0, start.x, start.y, kW, kH);
  ASSERT_EQ(g.activeHandle, 0);
  // Pointer moved to where the axis point 3 units further projects, plus a sideways wobble.
  Pixel to = project(cam, V3(0.06 * d + 3.0, 0, 0));
  v3 pos = V3(9, 9, 9);
  v4 rot = V4(9, 9, 9, 9);
  f64 scale = 9;
  gizmoUpdateDrag(&g, &cam, &pos, &rot, &scale, to.x, to.y + 4, kW, kH);
  EXPECT_NEAR(pos.x, 3.0, 0.15);
  EXPECT_EQ(pos.y, 0.0);
  EXPECT_EQ(pos.z, 0.0);
  EXPECT_EQ(rot.x, 9.0);  // untouched
  EXPECT_EQ(scale, 9.0);
}

TEST(Gizmo, LookingStraightDownAnAxisFallsBackToTheHorizontalPlane) {
  // The camera sits exactly on the Y axis line: the plane containing Y and facing
  // the camera is undefined, the horizontal one is used (no NaN, no motion along Y).
  Camera cam = cameraAt(V3(0, 20, 0), V3(0, 0, 0.001));
  v3 c = V3(0, 0, 0);
  Gizmo g;
  gizmoInit(&g);
  g.hoveredHandle = 1;
  gizmoBeginDrag(&g, &cam, c, quatIdentity(), 1.0, kW / 2 + 30, kH / 2 + 20, kW, kH);
  ASSERT_EQ(g.activeHandle, 1);
  EXPECT_TRUE(std::isfinite(g.dragHit0.x) && std::isfinite(g.dragHit0.z));
  EXPECT_NEAR(g.dragHit0.y, 0.0, 1e-9);
  v3 pos = V3(7, 7, 7);
  gizmoUpdateDrag(&g, &cam, &pos, nullptr, nullptr, kW / 2 - 50, kH / 2 + 60, kW, kH);
  EXPECT_NEAR(pos.x, 0.0, 1e-12);
  EXPECT_NEAR(pos.y, 0.0, 1e-9);
  EXPECT_NEAR(pos.z, 0.0, 1e-12);
}

TEST(Gizmo, RotationTurnsByTheAngleSweptAroundTheRing) {
  Camera cam = cameraAt(V3(0.5, 12, 0.5), V3(0, 0, 0));  // from above: the Y ring faces the camera
  v3 c = V3(0, 0, 0);
  f64 r = 0.15 * v3Length(cam.position);
  f64 s = r * std::sqrt(0.5);
  Pixel start = project(cam, V3(s, 0, s));  // 45 degrees about Y, (Z, X) = (s, s): on no other ring
  Gizmo g = hovering(cam, c, start);
  ASSERT_EQ(g.hoveredHandle, 4);
  v4 rot0 = quatFromAxisAngle(V3(1, 0, 0), 0.3);
  gizmoBeginDrag(&g, &cam, c, rot0, 1.0, start.x, start.y, kW, kH);
  Pixel to = project(cam, V3(s, 0, -s));  // a quarter turn on, +90 degrees about Y
  v4 rot = quatIdentity();
  gizmoUpdateDrag(&g, &cam, nullptr, &rot, nullptr, to.x, to.y, kW, kH);
  v4 want = quatMul(quatFromAxisAngle(V3(0, 1, 0), kPi / 2), rot0);
  EXPECT_NEAR(std::fabs(v4Dot(rot, want)), 1.0, 1e-3);
}

TEST(Gizmo, ARayParallelToTheRotationPlaneChangesNothing) {
  Camera cam = cameraAt(V3(0, 0, 10), V3(0, 0, 0));
  Gizmo g;
  gizmoInit(&g);
  g.activeHandle = 4;  // about Y; the centre ray runs in the plane y = 0
  g.dragOriginPos = V3(0, 0, 0);
  g.dragOriginRot = quatIdentity();
  v4 rot = V4(0.1, 0.2, 0.3, 0.4);
  gizmoUpdateDrag(&g, &cam, nullptr, &rot, nullptr, kW / 2, kH / 2, kW, kH);
  EXPECT_EQ(rot.x, 0.1);
  EXPECT_EQ(rot.w, 0.4);
}

TEST(Gizmo, ScaleDraggedThroughTheCentreStopsAtTheMinimum) {
  Camera cam = cameraAt(V3(-6, 5, 9), V3(0, 0, 0));  // +X runs away from the camera, in front of it
  v3 c = V3(0, 0, 0);
  f64 d = v3Length(cam.position);
  Pixel knob = project(cam, V3(0.138 * d, 0, 0));
  Gizmo g = hovering(cam, c, knob);
  ASSERT_EQ(g.hoveredHandle, 6);
  gizmoBeginDrag(&g, &cam, c, quatIdentity(), 2.0, knob.x, knob.y, kW, kH);
  f64 scale = 0;
  // Twice as far out: twice the scale.
  Pixel out = project(cam, V3(2 * 0.138 * d, 0, 0));
  gizmoUpdateDrag(&g, &cam, nullptr, nullptr, &scale, out.x, out.y, kW, kH);
  EXPECT_NEAR(scale, 4.0, 0.1);
  // Through the centre to the other side: clamped, never negative.
  Pixel past = project(cam, V3(-0.138 * d, 0, 0));
  gizmoUpdateDrag(&g, &cam, nullptr, nullptr, &scale, past.x, past.y, kW, kH);
  EXPECT_EQ(scale, kGizmoMinScale);
  Pixel far = project(cam, V3(60 * 0.138 * d, 0, 0));
  gizmoUpdateDrag(&g, &cam, nullptr, nullptr, &scale, far.x, far.y, kW, kH);
  EXPECT_EQ(scale, kGizmoMaxScale);
}

}  // namespace
