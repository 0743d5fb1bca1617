#include "components/camera.h"

#include <cmath>

namespace {

f64 clampf(f64 v, f64 lo, f64 hi) { return v < lo ? lo : (v > hi ? hi : v); }

// asin that tolerates rounding just outside [-1, 1].
f64 safeAsin(f64 v) { return std::asin(clampf(v, -1.0, 1.0)); }

v3 forwardOf(f64 yaw, f64 pitch) {
  f64 cp = std::cos(pitch);
  return V3(cp * std::sin(yaw), std::sin(pitch), cp * std::cos(yaw));
}

}  // namespace

Camera CameraCreateFull(v3 position, v3 target, v3 up, f64 fov, f64 aspect, f64 near_plane, f64 far_plane) {
  Camera c{};
  c.position = position;
  c.target = target;
  c.up = up;
  c.fov = fov;
  c.aspect = aspect;
  c.near_plane = near_plane;
  c.far_plane = far_plane;
  v3 d = v3Normalize(target - position);
  c.yaw = std::atan2(d.x, d.z);
  c.pitch = safeAsin(d.y);
  // Looking straight up or down leaves no right vector (forward parallel to
  // up): keep the pitch limit the camera holds everywhere else, and aim the
  // target along the clamped forward so that the view matrix agrees.
  if (std::fabs(c.pitch) > kCameraMaxPitch) {
    c.pitch = clampf(c.pitch, -kCameraMaxPitch, kCameraMaxPitch);
    c.target = position + forwardOf(c.yaw, c.pitch) * v3Length(target - position);
  }
  c.roll = 0.0;
  c.move_speed = 5.0;
  c.turn_speed = 0.002;
  CameraUpdate(&c);
  return c;
}

Camera CameraCreate(v3 position, v3 target, f64 fov, f64 aspect) {
  return CameraCreateFull(position, target, V3(0, 1, 0), fov, aspect, 0.1, 1000.0);
}

void CameraUpdateView(Camera* camera) {
  if (!camera) return;
  camera->view = LookAtRH(camera->position, camera->target, camera->up);
}

void CameraUpdateProjection(Camera* camera) {
  if (!camera) return;
  camera->projection = PerspectiveRH_ZO(camera->fov, camera->aspect, camera->near_plane, camera->far_plane);
}

void CameraUpdate(Camera* camera) {
  if (!camera) return;
  CameraUpdateView(camera);
  CameraUpdateProjection(camera);
  camera->view_projection = mat4Mul(camera->projection, camera->view);
}

void CameraSetAspect(Camera* camera, f64 aspect) {
  if (!camera) return;
  camera->aspect = aspect;
  CameraUpdateProjection(camera);
  camera->view_projection = mat4Mul(camera->projection, camera->view);
}

void CameraSetFOV(Camera* camera, f64 fov) {
  if (!camera) return;
  camera->fov = fov;
  CameraUpdateProjection(camera);
  camera->view_projection = mat4Mul(camera->projection, camera->view);
}

mat4 LookAtRH(v3 eye, v3 center, v3 up) {
  v3 f = v3Normalize(center - eye);
  v3 s = v3Normalize(v3Cross(f, up));
  v3 u = v3Cross(s, f);
  mat4 m{};
  m.m[0] = s.x;
  m.m[4] = s.y;
  m.m[8] = s.z;
  m.m[1] = u.x;
  m.m[5] = u.y;
  m.m[9] = u.z;
  m.m[2] = -f.x;
  m.m[6] = -f.y;
  m.m[10] = -f.z;
  m.m[12] = -v3Dot(s, eye);
  m.m[13] = -v3Dot(u, eye);
  m.m[14] = v3Dot(f, eye);
  m.m[15] = 1.0;
  return m;
}

mat4 LookRH(v3 eye, v3 direction, v3 up) { return LookAtRH(eye, eye + direction, up); }

mat4 PerspectiveRH_ZO(f64 fov_y, f64 aspect, f64 near_plane, f64 far_plane) {
  f64 t = std::tan(fov_y / 2.0);
  mat4 m{};
  m.m[0] = 1.0 / (t * aspect);
  m.m[5] = -1.0 / t;
  m.m[10] = far_plane / (near_plane - far_plane);
  m.m[11] = -1.0;
  m.m[14] = near_plane * far_plane / (near_plane - far_plane);
  return m;
}

mat4 PerspectiveRH_NO(f64 fov_y, f64 aspect, f64 near_plane, f64 far_plane) {
  f64 t = std::tan(fov_y / 2.0);
  mat4 m{};
  m.m[0] = 1.0 / (t * aspect);
  m.m[5] = 1.0 / t;
  m.m[10] = (far_plane + near_plane) / (near_plane - far_plane);
  m.m[11] = -1.0;
  m.m[14] = 2.0 * near_plane * far_plane / (near_plane - far_plane);
  return m;
}

mat4 PerspectiveInfiniteRH_ZO(f64 fov_y, f64 aspect, f64 near_plane) {
  f64 t = std::tan(fov_y / 2.0);
  mat4 m{};
  m.m[0] = 1.0 / (t * aspect);
  m.m[5] = 1.0 / t;
  m.m[11] = -1.0;
  m.m[14] = near_plane;
  return m;
}

mat4 OrthoRH_ZO(f64 left, f64 right, f64 bottom, f64 top, f64 near_plane, f64 far_plane) {
  mat4 m{};
  m.m[0] = 2.0 / (right - left);
  m.m[5] = 2.0 / (top - bottom);
  m.m[10] = 1.0 / (near_plane - far_plane);
  m.m[12] = -(right + left) / (right - left);
  m.m[13] = -(top + bottom) / (top - bottom);
  m.m[14] = near_plane / (near_plane - far_plane);
  m.m[15] = 1.0;
  return m;
}

mat4 OrthoRH_NO(f64 left, f64 right, f64 bottom, f64 top, f64 near_plane, f64 far_plane) {
  mat4 m = OrthoRH_ZO(left, right, bottom, top, near_plane, far_plane);
  m.m[10] = 2.0 / (near_plane - far_plane);
  m.m[14] = (far_plane + near_plane) / (near_plane - far_plane);
  return m;
}

v3 CameraGetForward(const Camera* camera) { return forwardOf(camera->yaw, camera->pitch); }

v3 CameraGetRight(const Camera* camera) { return v3Normalize(v3Cross(CameraGetForward(camera), camera->up)); }

v3 CameraGetUp(const Camera* camera) { return v3Cross(CameraGetRight(camera), CameraGetForward(camera)); }

void CameraMoveForward(Camera* camera, f64 distance) {
  v3 d = CameraGetForward(camera) * distance;
  camera->position += d;
  camera->target += d;
}

void CameraMoveRight(Camera* camera, f64 distance) {
  v3 d = CameraGetRight(camera) * distance;
  camera->position += d;
  camera->target += d;
}

void CameraMoveUp(Camera* camera, f64 distance) {
  v3 d = camera->up * distance;
  camera->position += d;
  camera->target += d;
}

void CameraRotate(Camera* camera, f64 delta_yaw, f64 delta_pitch) {
  f64 dist = CameraGetDistance(camera);
  f64 yaw = camera->yaw + delta_yaw;
  // Far out of range (a huge delta) would take endless 2 pi steps; fold it first.
  if (std::fabs(yaw) > 64.0 * kPi) yaw = std::remainder(yaw, 2.0 * kPi);
  while (yaw > kPi) yaw -= 2.0 * kPi;
  while (yaw < -kPi) yaw += 2.0 * kPi;
  camera->yaw = yaw;
  camera->pitch = clampf(camera->pitch + delta_pitch, -kCameraMaxPitch, kCameraMaxPitch);
  camera->target = camera->position + CameraGetForward(camera) * dist;
}

void CameraOrbit(Camera* camera, f64 delta_azimuth, f64 delta_elevation) {
  v3 offset = camera->position - camera->target;
  f64 r = v3Length(offset);
  f64 azimuth = std::atan2(offset.x, offset.z);
  // A camera sitting on its target has no elevation to speak of.
  f64 elevation = r > 0.0 ? safeAsin(offset.y / r) : 0.0;
  elevation = clampf(elevation + delta_elevation, -kCameraMaxPitch, kCameraMaxPitch);
  azimuth += delta_azimuth;
  f64 ce = std::cos(elevation);
  camera->position = camera->target + V3(ce * std::sin(azimuth), std::sin(elevation), ce * std::cos(azimuth)) * r;
  camera->yaw = azimuth + kPi;
  camera->pitch = -elevation;
}

void CameraPan(Camera* camera, f64 dx, f64 dy) {
  v3 d = CameraGetRight(camera) * dx + CameraGetUp(camera) * dy;
  camera->position += d;
  camera->target += d;
}

void CameraZoom(Camera* camera, f64 delta) {
  f64 d = CameraGetDistance(camera) - delta;
  if (d < kCameraZoomMin) d = kCameraZoomMin;
  if (d > kCameraZoomMax) d = kCameraZoomMax;
  CameraSetDistance(camera, d);
}

void CameraSetDistance(Camera* camera, f64 distance) {
  v3 dir = v3Normalize(camera->target - camera->position);
  camera->position = camera->target - dir * distance;
}

f64 CameraGetDistance(const Camera* camera) { return v3Length(camera->target - camera->position); }

v4 CameraWorldToClip(const Camera* camera, v3 p) { return mat4MulV4(camera->view_projection, V4(p.x, p.y, p.z, 1.0)); }

v3 CameraWorldToNDC(const Camera* camera, v3 p) {
  v4 c = CameraWorldToClip(camera, p);
  if (c.w == 0.0) return V3(0, 0, 0);
  return V3(c.x / c.w, c.y / c.w, c.z / c.w);
}

void CameraScreenToRay(const Camera* camera, f64 screen_x, f64 screen_y, v3* ray_origin, v3* ray_direction) {
  f64 ndc_x = 2.0 * screen_x - 1.0;
  f64 ndc_y = 1.0 - 2.0 * screen_y;
  f64 half_h = std::tan(camera->fov / 2.0) * camera->near_plane;
  f64 half_w = half_h * camera->aspect;
  v3 fwd = CameraGetForward(camera);
  v3 near_point = camera->position + fwd * camera->near_plane + CameraGetRight(camera) * (ndc_x * half_w) +
                  CameraGetUp(camera) * (ndc_y * half_h);
  if (ray_origin) *ray_origin = camera->position;
  if (ray_direction) *ray_direction = v3Normalize(near_point - camera->position);
}

void CameraExtractFrustumPlanes(const Camera* camera, v4 planes[6]) {
  const f64* m = camera->view_projection.m;
  v4 row[4];
  for (int r = 0; r < 4; ++r) row[r] = V4(m[r], m[4 + r], m[8 + r], m[12 + r]);
  planes[0] = row[3] + row[0];
  planes[1] = row[3] - row[0];
  planes[2] = row[3] + row[1];
  planes[3] = row[3] - row[1];
  planes[4] = row[3] + row[2];
  planes[5] = row[3] - row[2];
  for (int i = 0; i < 6; ++i) {
    f64 len = v4Length(planes[i]);
    if (len != 0.0) planes[i] = planes[i] * (1.0 / len);
  }
}
