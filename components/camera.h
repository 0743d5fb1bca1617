// The camera record and the right-handed matrix helpers every view uses. All
// math is f64; GPU consumers convert to f32 themselves.
#pragma once

#include "platform/vecmath.h"

// Pitch limit, 89 degrees.
inline constexpr f64 kCameraMaxPitch = 1.5533430342749532;
// Zoom keeps the distance to the target within these (planetary) bounds.
inline constexpr f64 kCameraZoomMin = 6.3715e6;
inline constexpr f64 kCameraZoomMax = 3.8226e7;

// Forward = (cos pitch sin yaw, sin pitch, cos pitch cos yaw): yaw 0 looks along
// +z, positive pitch looks up.
struct Camera {
  v3 position;
  v3 target;
  v3 up;      // world up hint, (0, 1, 0) in practice
  f64 yaw;    // radians, kept in [-pi, pi]
  f64 pitch;  // radians, within +-kCameraMaxPitch
  f64 roll;   // always 0
  f64 fov;    // vertical, radians
  f64 aspect;
  f64 near_plane;
  f64 far_plane;
  f64 move_speed;  // units per second in free flight
  f64 turn_speed;  // radians per input unit
  mat4 view;
  mat4 projection;
  mat4 view_projection;  // projection * view
};

Camera CameraCreateFull(v3 position, v3 target, v3 up, f64 fov, f64 aspect, f64 near_plane, f64 far_plane);
// Up (0, 1, 0), near 0.1, far 1000.
Camera CameraCreate(v3 position, v3 target, f64 fov, f64 aspect);
void CameraUpdate(Camera* camera);
void CameraUpdateView(Camera* camera);
void CameraUpdateProjection(Camera* camera);
void CameraSetAspect(Camera* camera, f64 aspect);
void CameraSetFOV(Camera* camera, f64 fov);

mat4 LookAtRH(v3 eye, v3 center, v3 up);
mat4 LookRH(v3 eye, v3 direction, v3 up);
// Depth 0 at near, 1 at far; y flipped for a y-down clip space.
mat4 PerspectiveRH_ZO(f64 fov_y, f64 aspect, f64 near_plane, f64 far_plane);
// Depth -1 to 1, y not flipped.
mat4 PerspectiveRH_NO(f64 fov_y, f64 aspect, f64 near_plane, f64 far_plane);
// Reversed depth: near / distance, 1 at the near plane, 0 at infinity.
mat4 PerspectiveInfiniteRH_ZO(f64 fov_y, f64 aspect, f64 near_plane);
// A y-down pixel space: bottom = height, top = 0.
mat4 OrthoRH_ZO(f64 left, f64 right, f64 bottom, f64 top, f64 near_plane, f64 far_plane);
mat4 OrthoRH_NO(f64 left, f64 right, f64 bottom, f64 top, f64 near_plane, f64 far_plane);

// From yaw and pitch, not from the target.
v3 CameraGetForward(const Camera* camera);
v3 CameraGetRight(const Camera* camera);
v3 CameraGetUp(const Camera* camera);

// These move position and target together and leave the matrices alone.
void CameraMoveForward(Camera* camera, f64 distance);
void CameraMoveRight(Camera* camera, f64 distance);
// Along the world up field, not CameraGetUp.
void CameraMoveUp(Camera* camera, f64 distance);
void CameraRotate(Camera* camera, f64 delta_yaw, f64 delta_pitch);
void CameraOrbit(Camera* camera, f64 delta_azimuth, f64 delta_elevation);
void CameraPan(Camera* camera, f64 dx, f64 dy);
void CameraZoom(Camera* camera, f64 delta);
void CameraSetDistance(Camera* camera, f64 distance);
f64 CameraGetDistance(const Camera* camera);

v4 CameraWorldToClip(const Camera* camera, v3 p);
// Zero when the point lies on the camera plane (w exactly 0).
v3 CameraWorldToNDC(const Camera* camera, v3 p);
// Screen coordinates in [0, 1], y down; the ray starts at the eye.
void CameraScreenToRay(const Camera* camera, f64 screen_x, f64 screen_y, v3* ray_origin, v3* ray_direction);
// Left, right, bottom, top, near, far as (a, b, c, d) with a x + b y + c z + d >= 0
// inside, each scaled by the length of all four components.
void CameraExtractFrustumPlanes(const Camera* camera, v4 planes[6]);
