// The editor's transform gizmo: nine handles (translate, rotate, scale along X, Y,
// Z) drawn with debug lines at the selected body and picked in screen space. All
// sizes scale with the camera distance so the gizmo keeps its apparent size.
#pragma once

#include "components/camera.h"
#include "platform/types.h"
#include "platform/vecmath.h"

struct Lines;

// Handles 0-2 translate along X, Y, Z; 3-5 rotate about them; 6-8 scale (uniform;
// the axis only picks the drag direction).
inline constexpr i32 kGizmoHandleCount = 9;
inline constexpr u32 kGizmoColorX = 0xff0000ffu, kGizmoColorY = 0xff00ff00u, kGizmoColorZ = 0xffff0000u;
inline constexpr u32 kGizmoColorHovered = 0xff00ffffu, kGizmoColorActive = 0xffffffffu;
inline constexpr f64 kGizmoMinScale = 0.05, kGizmoMaxScale = 50.0;

struct Gizmo {
  i32 activeHandle;   // -1 when idle
  i32 hoveredHandle;  // -1 for none
  v3 dragOriginPos;
  v4 dragOriginRot;
  f64 dragOriginScale;
  v3 dragHit0;         // first hit of a translation drag
  f64 dragStartAngle;  // first angle of a rotation drag, radians
  f64 dragStartDist;   // first signed distance along the axis of a scale drag
};

void gizmoInit(Gizmo* g);
// Picks the hovered handle (only while idle) and adds this frame's lines. `lines`
// may be null (picking only).
void gizmoDraw(Gizmo* g, Lines* lines, const Camera* cam, v3 position, i32 mouseX, i32 mouseY, i32 windowW,
               i32 windowH);
// The hovered handle under the pointer, without drawing: what gizmoDraw picks.
i32 gizmoPick(const Camera* cam, v3 position, i32 mouseX, i32 mouseY, i32 windowW, i32 windowH);
// Starts dragging the hovered handle; nothing happens when none is hovered.
void gizmoBeginDrag(Gizmo* g, const Camera* cam, v3 bodyPos, v4 bodyRot, f64 scale, i32 mouseX, i32 mouseY,
                    i32 windowW, i32 windowH);
// Writes whichever output the active handle changes; leaves the others (and all
// three when the mouse ray misses the drag plane).
void gizmoUpdateDrag(Gizmo* g, const Camera* cam, v3* outPos, v4* outRot, f64* outScale, i32 mouseX, i32 mouseY,
                     i32 windowW, i32 windowH);
void gizmoEndDrag(Gizmo* g);
// Pixel coordinates (y down) of a world point; false when it is not in front of
// the camera (clip w not positive).
b8 worldToScreen(const Camera* cam, v3 p, i32 windowW, i32 windowH, f64* sx, f64* sy);
