// Sandbox interactions on the frame thread: picking under the pointer, the
// editor's selection and gizmo edits, the mouse blast. Every read of live bodies
// and every edit holds the world lock, so edits land between physics steps.
#include <cmath>

#include "app/state.h"

namespace {

constexpr f64 kBlastRadius = 8.0;
constexpr f64 kBlastPush = 200.0, kBlastLift = 50.0;
constexpr f64 kBlastRayLength = 500000.0;
constexpr f64 kSelectRayLength = 1000.0;
constexpr u32 kBlastParticles = 256;

struct NearestTracked {
  State* s;
  f64 fraction;
  Entity entity;
  i32 bodyId;
};

b8 nearestTrackedHit(const RaycastHit* hit, void* user) {
  auto* n = static_cast<NearestTracked*>(user);
  if (hit->hitFraction >= n->fraction) return true;
  Entity e = ecsReverseGet(&n->s->ecs, ECS_SYS_PHYSICS_BODY, (u32)hit->bodyId);
  if (!e || !ecsHas(&n->s->ecs, ECS_SYS_PHYSICS_BODY, e)) return true;
  n->fraction = hit->hitFraction;
  n->entity = e;
  n->bodyId = hit->bodyId;
  return true;
}

// How many bodies use this shape.
u32 shapeUsers(World* w, const Shape* shape) {
  u32 n = 0, count = worldGetNumBodies(w);
  for (u32 i = 0; i < count; i++) {
    const Body* b = worldGetBody(w, (i32)i);
    if (b && b->shape == shape) n++;
  }
  return n;
}

// A private copy of a shared scene shape in the next free entry of its array;
// null when the kind has no free entry (or is not a scene kind).
Shape* copyShape(State* s, const Shape* shape) {
  switch (shape->type) {
    case SHAPE_BOX:
      if (s->numBoxShapes >= kSceneShapes) return nullptr;
      s->boxShapes[s->numBoxShapes] = *reinterpret_cast<const BoxShape*>(shape);
      return &s->boxShapes[s->numBoxShapes++].base;
    case SHAPE_SPHERE:
      if (s->numSphereShapes >= kSceneShapes) return nullptr;
      s->sphereShapes[s->numSphereShapes] = *reinterpret_cast<const SphereShape*>(shape);
      return &s->sphereShapes[s->numSphereShapes++].base;
    case SHAPE_CAPSULE:
      if (s->numCapsuleShapes >= kSceneShapes) return nullptr;
      s->capsuleShapes[s->numCapsuleShapes] = *reinterpret_cast<const CapsuleShape*>(shape);
      return &s->capsuleShapes[s->numCapsuleShapes++].base;
    default:
      return nullptr;
  }
}

// After an edit with the thread stopped nothing else would publish the change.
void publishIfStopped(State* s) {
  if (!s->world.thread) worldPublishSnapshot(&s->world);
}

}  // namespace

b8 pointerView(State* s, i32 x, i32 y, PointerView* out) {
  if (!s || !out || s->windowW <= 0 || s->windowH <= 0) return false;
  u32 count = s->localPlayerCount < 1 ? 1 : (s->localPlayerCount > kMaxLocalPlayers ? kMaxLocalPlayers
                                                                                       : s->localPlayerCount);
  for (u32 i = 0; i < count; i++) {
    SplitViewport c = splitViewport(s->windowW, s->windowH, count, i);
    if (x < c.x || y < c.y || x >= c.x + c.width || y >= c.y + c.height) continue;
    out->player = i;
    out->camera = &statePlayer(s, i)->camera;
    // Picking must use the cell's own shape even before the next frame sets it.
    CameraSetAspect(out->camera, (f64)c.width / (f64)c.height);
    out->x = x - c.x;
    out->y = y - c.y;
    out->width = c.width;
    out->height = c.height;
    return true;
  }
  return false;
}

b8 pointerRay(State* s, i32 x, i32 y, v3* origin, v3* dir) {
  PointerView v;
  if (!pointerView(s, x, y, &v)) return false;
  CameraScreenToRay(v.camera, (f64)v.x / v.width, (f64)v.y / v.height, origin, dir);
  return true;
}

Body* editorGetBody(State* s) {
  if (!s || !s->selectedEntity) return nullptr;
  auto* c = static_cast<PhysicsBodyComp*>(ecsGetComponent(&s->ecs, ECS_SYS_PHYSICS_BODY, s->selectedEntity));
  return c ? worldGetBody(&s->world, c->bodyId) : nullptr;
}

void editorSelect(State* s, i32 x, i32 y) {
  if (!s) return;
  v3 o, d;
  s->selectedEntity = 0;
  if (!pointerRay(s, x, y, &o, &d)) return;
  NearestTracked n{s, 2.0, 0, -1};
  worldLock(&s->world);
  worldRaycastAll(&s->world, o, o + d * kSelectRayLength, nearestTrackedHit, &n);
  worldUnlock(&s->world);
  s->selectedEntity = n.entity;
  worldSelectBody(s, n.entity ? n.bodyId : -1);
}

void gizmoPress(State* s, i32 x, i32 y) {
  if (!s) return;
  PointerView v;
  Body* b = editorGetBody(s);
  i32 handle = -1;
  if (b && pointerView(s, x, y, &v)) {
    worldLock(&s->world);
    v3 pos = b->position;
    v4 rot = b->rotation;
    handle = gizmoPick(v.camera, pos, v.x, v.y, v.width, v.height);
    if (handle >= 6) {
      // Scaling changes the shape: a shape other bodies use is copied first; with
      // no room for a copy the scale handles do nothing.
      if (b->shape && shapeUsers(&s->world, b->shape) > 1) {
        Shape* own = copyShape(s, b->shape);
        if (own) b->shape = own;
        else handle = -1;
      } else if (!b->shape) {
        handle = -1;
      }
    }
    if (handle >= 0) {
      s->gizmo.hoveredHandle = handle;
      gizmoBeginDrag(&s->gizmo, v.camera, pos, rot, 1.0, v.x, v.y, v.width, v.height);
      s->gizmoPlayer = v.player;
      s->lastScaleRatio = 1.0;
    }
    worldUnlock(&s->world);
  }
  // Off the handles a press selects again: another body or none.
  if (handle < 0) editorSelect(s, x, y);
}

void gizmoMotion(State* s, i32 x, i32 y) {
  if (!s || s->gizmo.activeHandle < 0) return;
  Body* b = editorGetBody(s);
  if (!b) {
    gizmoEndDrag(&s->gizmo);
    return;
  }
  // The drag keeps the camera of the cell it started in.
  LocalPlayer* p = statePlayer(s, s->gizmoPlayer);
  SplitViewport c = splitViewport(s->windowW, s->windowH, s->localPlayerCount, s->gizmoPlayer);
  if (!p || c.width <= 0 || c.height <= 0) return;
  worldLock(&s->world);
  v3 pos = b->position;
  v4 rot = b->rotation;
  f64 scale = s->gizmo.dragOriginScale * s->lastScaleRatio;
  gizmoUpdateDrag(&s->gizmo, &p->camera, &pos, &rot, &scale, x - c.x, y - c.y, c.width, c.height);
  if (s->gizmo.activeHandle >= 6 && b->shape) {
    f64 ratio = scale / s->gizmo.dragOriginScale;
    shapeScale(b->shape, ratio / s->lastScaleRatio);
    s->lastScaleRatio = ratio;
    b->localAabb = shapeComputeAabb(b->shape, Transform{V3(0, 0, 0), quatIdentity()});
  }
  // Sets the pose and wakes what touches the body at its old and new place.
  worldSetBodyTransform(&s->world, b->id, Transform{pos, rot});
  // Picked again at its new place even before the next step (or while paused).
  refreshBodyBox(s, b->id);
  worldUnlock(&s->world);
  publishIfStopped(s);
}

void applyMouseBlast(State* s, i32 x, i32 y) {
  if (!s) return;
  v3 o, d;
  RaycastHit hit{};
  b8 found = false;
  if (pointerRay(s, x, y, &o, &d)) {
    worldLock(&s->world);
    found = worldRaycast(&s->world, o, o + d * kBlastRayLength, &hit);
    worldUnlock(&s->world);
  }
  if (!found) {
    s->blastMarkerValid = false;
    return;
  }
  v3 centre = hit.worldPoint;
  appPlayExplosion(s);  // stopped and played from its start
  if (s->explosionParticleEmitterId != kParticleNoEmitter) {
    ParticleEmitter e = particleEmitterExplosion(centre);
    particleSystemSetEmitter(&s->particles, s->explosionParticleEmitterId, &e);
    particleSystemBurst(&s->particles, s->explosionParticleEmitterId, kBlastParticles);
  }
  s->blastMarkerValid = true;
  s->blastMarkerPos = v3f{(f32)centre.x, (f32)centre.y, (f32)centre.z, 0.0f};
  s->blastMarkerRadius = (f32)kBlastRadius;
  worldLock(&s->world);
  // Characters become ragdolls under the same lock: no step sees half of it.
  blastCharacters(s, centre);
  u32 count = worldGetNumBodies(&s->world);
  for (u32 i = 0; i < count; i++) {
    Body* b = worldGetBody(&s->world, (i32)i);
    if (!b || b->type != BODY_DYNAMIC) continue;
    v3 off = b->position - centre;
    f64 dist = v3Length(off);
    if (!(dist <= kBlastRadius)) continue;
    v3 n = dist < 1e-8 ? V3(0, 1, 0) : off / dist;
    f64 f = 1.0 - dist / kBlastRadius;
    bodyApplyImpulseAtPoint(b, n * (kBlastPush * f) + V3(0, kBlastLift * f, 0), b->position);
    bodySetAwake(b, true);
  }
  worldUnlock(&s->world);
  publishIfStopped(s);
}
