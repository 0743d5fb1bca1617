#include "demo_scene.h"

#include <cmath>

namespace {


BoxShape* newBox(DemoScene* s, v3 halfExtents) {
  if (s->numBoxes >= kDemoMaxShapes) return nullptr;
  BoxShape* b = &s->boxes[s->numBoxes++];
  boxInit(b, halfExtents);
  return b;
}

SphereShape* newSphere(DemoScene* s, f64 radius) {
  if (s->numSpheres >= kDemoMaxShapes) return nullptr;
  SphereShape* b = &s->spheres[s->numSpheres++];
  sphereInit(b, radius);
  return b;
}

CapsuleShape* newCapsule(DemoScene* s, f64 radius, f64 height) {
  if (s->numCapsules >= kDemoMaxShapes) return nullptr;
  CapsuleShape* b = &s->capsules[s->numCapsules++];
  capsuleInit(b, radius, height);
  return b;
}

i32 addStaticBox(DemoScene* s, World* w, v3 halfExtents, v3 pos, f64 friction, f64 restitution) {
  BoxShape* shape = newBox(s, halfExtents);
  if (!shape) return -1;
  return demoCreateBody(w, &shape->base, V3(0, 0, 0), pos, quatIdentity(), 0.0, friction,
                        restitution, BODY_STATIC);
}

i32 addCube(World* w, BoxShape* shape, v3 pos, f64 mass, f64 friction, f64 restitution) {
  if (!shape) return -1;
  return demoCreateBody(w, &shape->base, bodyInertiaBox(mass, shape->halfExtents), pos,
                        quatIdentity(), mass, friction, restitution, BODY_DYNAMIC);
}

BoxShape* sinkBox(void* user, v3 halfExtents) { return newBox(static_cast<DemoScene*>(user), halfExtents); }
SphereShape* sinkSphere(void* user, f64 radius) { return newSphere(static_cast<DemoScene*>(user), radius); }
CapsuleShape* sinkCapsule(void* user, f64 radius, f64 height) {
  return newCapsule(static_cast<DemoScene*>(user), radius, height);
}

// Keeps the ids the tests look at.
b8 sinkBody(void* user, i32 id, ScenePart part, u32 index, u32) {
  DemoScene* s = static_cast<DemoScene*>(user);
  switch (part) {
    case SCENE_FLOOR: s->floorBody = id; break;
    case SCENE_PYRAMID:
      if (s->numPyramid >= kDemoMaxBodies) return false;
      s->pyramid[s->numPyramid++] = id;
      break;
    case SCENE_CHAIN_POST: s->chainPost = id; break;
    case SCENE_CHAIN: s->chain[index] = id; break;
    case SCENE_PILLAR: s->pillar = id; break;
    case SCENE_ARM: s->arm = id; break;
    case SCENE_HEAD: s->head = id; break;
    default: break;
  }
  return true;
}

// A square pit with four walls on the floor, filled from above with a grid of
// boxes, spheres and capsules (in turn) that do not touch at the start.
b8 buildPit(DemoScene* s, World* w, u32 count) {
  const u32 perRow = 10;
  const f64 spacing = 1.2;
  const f64 inner = perRow * spacing * 0.5 + 0.5;
  const f64 wallHalfHeight = 5.0;
  for (int side = 0; side < 4; ++side) {
    f64 sign = side % 2 ? 1.0 : -1.0;
    v3 he = side < 2 ? V3(0.5, wallHalfHeight, inner + 1.0) : V3(inner + 1.0, wallHalfHeight, 0.5);
    v3 pos = side < 2 ? V3(sign * (inner + 0.5), 0.25 + wallHalfHeight, 0)
                      : V3(0, 0.25 + wallHalfHeight, sign * (inner + 0.5));
    if (addStaticBox(s, w, he, pos, 0.5, 0.1) < 0) return false;
  }
  BoxShape* box = newBox(s, V3(0.4, 0.4, 0.4));
  SphereShape* sphere = newSphere(s, 0.4);
  CapsuleShape* capsule = newCapsule(s, 0.3, 0.6);
  if (!box || !sphere || !capsule) return false;
  for (u32 i = 0; i < count; ++i) {
    u32 layer = i / (perRow * perRow), cell = i % (perRow * perRow);
    f64 x = ((f64)(cell % perRow) - (perRow - 1) * 0.5) * spacing;
    f64 z = ((f64)(cell / perRow) - (perRow - 1) * 0.5) * spacing;
    // Alternate layers are nudged so that the pile does not stack in columns.
    f64 nudge = layer % 2 ? 0.15 : -0.15;
    v3 pos = V3(x + nudge, 1.0 + layer * spacing, z - nudge);
    i32 id = -1;
    switch (i % 3) {
      case 0: id = addCube(w, box, pos, 1.0, 0.5, 0.1); break;
      case 1:
        id = demoCreateBody(w, &sphere->base, bodyInertiaSphere(1.0, 0.4), pos, quatIdentity(),
                            1.0, 0.5, 0.1, BODY_DYNAMIC);
        break;
      default:
        id = demoCreateBody(w, &capsule->base, bodyInertiaCapsule(1.0, 0.3, 0.6), pos,
                            quatFromAxisAngle(V3(0, 0, 1), kPi * 0.5), 1.0, 0.5, 0.1,
                            BODY_DYNAMIC);
        break;
    }
    if (id < 0 || s->numPit >= kDemoMaxBodies) return false;
    s->pit[s->numPit++] = id;
  }
  return true;
}

}  // namespace

DemoSceneOptions demoSceneNone() { return DemoSceneOptions{}; }

DemoSceneOptions demoSceneFull() {
  DemoSceneOptions o{};
  o.floor = o.ring = o.spheres = o.capsules = o.chain = o.hammer = o.tornado = true;
  o.pyramidLayers = 8;
  return o;
}

i32 demoCreateBody(World* world, Shape* shape, v3 inertia, v3 position, v4 rotation, f64 mass,
                   f64 friction, f64 restitution, BodyType type) {
  return sceneCreateBody(world, shape, inertia, position, rotation, mass, friction, restitution, type);
}

b8 demoSceneBuild(DemoScene* s, World* w, const DemoSceneOptions* o) {
  worldClear(w);
  s->numBoxes = s->numSpheres = s->numCapsules = 0;
  s->numPyramid = s->numPit = 0;
  s->floorBody = s->chainPost = s->pillar = s->arm = s->head = s->tornadoField = -1;
  SceneParts parts{o->floor, o->ring, o->spheres, o->capsules, o->pyramidLayers, o->chain, o->hammer, o->tornado};
  SceneSink sink{s, sinkBox, sinkSphere, sinkCapsule, sinkBody};
  SceneJoints joints{};
  if (!sceneBuild(w, &parts, &sink, &s->tornado, &joints)) return false;
  for (u32 k = 0; k < 7; ++k) s->chainJoints[k] = joints.chain[k];
  s->hinge = joints.hinge;
  s->headJoint = joints.headJoint;
  s->tornadoField = joints.tornadoField;
  if (o->pitBodies > 0 && !buildPit(s, w, o->pitBodies)) return false;
  return true;
}
