#include "demo_scene.h"

#include <cmath>

namespace {

constexpr f64 kDegToRad = kPi / 180.0;

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

b8 buildPyramid(DemoScene* s, World* w, u32 layers) {
  BoxShape* cube = newBox(s, V3(0.5, 0.5, 0.5));
  for (u32 L = 0; L < layers; ++L) {
    u32 side = layers - L;
    f64 offset = 0.5 * ((f64)L - (f64)(layers - 1)) - 6.0;
    for (u32 row = 0; row < side; ++row)
      for (u32 col = 0; col < side; ++col) {
        v3 pos = V3(offset + col, L + 0.75, offset + row);
        i32 id = addCube(w, cube, pos, 1.0, 0.6, 0.1);
        if (id < 0 || s->numPyramid >= kDemoMaxBodies) return false;
        s->pyramid[s->numPyramid++] = id;
      }
  }
  return true;
}

b8 buildChain(DemoScene* s, World* w) {
  s->chainPost = addStaticBox(s, w, V3(0.2, 2.0, 0.2), V3(11, 11.25, 8), 0.5, 0.2);
  if (s->chainPost < 0) return false;
  i32 prev = s->chainPost;
  for (u32 k = 1; k <= 7; ++k) {
    SphereShape* sphere = newSphere(s, 0.35);
    if (!sphere) return false;
    i32 id = demoCreateBody(w, &sphere->base, bodyInertiaSphere(1.5, 0.35),
                            V3(11, 12.25 - 0.9 * k, 8), quatIdentity(), 1.5, 0.5, 0.3,
                            BODY_DYNAMIC);
    if (id < 0) return false;
    v3 anchor = k == 1 ? V3(11, 10.25, 8) : V3(11, 11.9 - 0.9 * (k - 1), 8);
    s->chain[k - 1] = id;
    s->chainJoints[k - 1] = worldCreateBallSocketJoint(w, prev, id, anchor);
    if (s->chainJoints[k - 1].index < 0) return false;
    prev = id;
  }
  return true;
}

b8 buildHammer(DemoScene* s, World* w) {
  s->pillar = addStaticBox(s, w, V3(0.35, 2.625, 0.35), V3(8, 2.875, 8), 0.5, 0.2);
  s->arm = addCube(w, newBox(s, V3(3.0, 0.2, 0.2)), V3(8, 6, 8), 4.0, 0.5, 0.3);
  s->head = addCube(w, newBox(s, V3(0.4, 0.4, 0.4)), V3(11.4, 6, 8), 3.0, 0.8, 0.5);
  if (s->pillar < 0 || s->arm < 0 || s->head < 0) return false;
  s->hinge = worldCreateHingeJoint(w, s->pillar, s->arm, V3(8, 6, 8), V3(0, 1, 0));
  if (s->hinge.index < 0) return false;
  HingeJoint* h = &w->hingeJoints[s->hinge.index];
  h->isMotorEnabled = true;
  h->motorSpeed = 4.0;
  h->maxMotorTorque = 100.0;
  s->headJoint = worldCreateFixedJoint(w, s->arm, s->head);
  return s->headJoint.index >= 0;
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

v3 tornadoForce(const Body* body, void* data) {
  const TornadoData* t = static_cast<const TornadoData*>(data);
  v3 d = V3(body->position.x - t->centre.x, 0, body->position.z - t->centre.z);
  f64 r = v3Length(d);
  if (r > t->radius) return V3(0, 0, 0);
  f64 s = t->strength * (1.0 - r / t->radius);
  v3 f = V3(0, 2.0 * s, 0);
  if (r > 0.01) f += V3(-d.z, 0, d.x) * (s / r);
  return f;
}

b8 tornadoVolume(const Body* body, void* data) {
  const TornadoData* t = static_cast<const TornadoData*>(data);
  f64 y = body->position.y;
  if (y < t->centre.y || y > t->centre.y + t->height) return false;
  f64 dx = body->position.x - t->centre.x, dz = body->position.z - t->centre.z;
  return dx * dx + dz * dz <= t->radius * t->radius;
}

DemoSceneOptions demoSceneNone() { return DemoSceneOptions{}; }

DemoSceneOptions demoSceneFull() {
  DemoSceneOptions o{};
  o.floor = o.ring = o.spheres = o.capsules = o.chain = o.hammer = o.tornado = true;
  o.pyramidLayers = 8;
  return o;
}

i32 demoCreateBody(World* world, Shape* shape, v3 inertia, v3 position, v4 rotation, f64 mass,
                   f64 friction, f64 restitution, BodyType type) {
  i32 id = worldCreateBody(world);
  if (id < 0) return -1;
  worldSetBodyType(world, id, type);
  Body* b = worldGetBody(world, id);
  if (type == BODY_DYNAMIC) {
    bodySetMass(b, mass);
    bodySetLocalInertiaTensor(b, inertia);
  }
  b->shape = shape;
  Transform identity{V3(0, 0, 0), quatIdentity()};
  if (shape) b->localAabb = shapeComputeAabb(shape, identity);
  b->friction = friction;
  b->restitution = restitution;
  b->linearDamping = 0.05;
  b->angularDamping = 0.05;
  bodySetTransform(b, Transform{position, rotation});
  return id;
}

b8 demoSceneBuild(DemoScene* s, World* w, const DemoSceneOptions* o) {
  worldClear(w);
  s->numBoxes = s->numSpheres = s->numCapsules = 0;
  s->numPyramid = s->numPit = 0;
  s->floorBody = s->chainPost = s->pillar = s->arm = s->head = s->tornadoField = -1;

  if (o->floor) {
    s->floorBody = addStaticBox(s, w, V3(100, 0.25, 100), V3(0, 0, 0), 0.8, 0.2);
    if (s->floorBody < 0) return false;
  }
  if (o->ring) {
    for (u32 i = 0; i < 10; ++i) {
      f64 a = 36.0 * i * kDegToRad;
      if (addCube(w, newBox(s, V3(0.5, 0.5, 0.5)), V3(3 * std::cos(a), 3 + 1.5 * i, 3 * std::sin(a)),
                  1.0, 0.4, 0.2) < 0)
        return false;
    }
  }
  if (o->spheres) {
    for (u32 k = 0; k < 5; ++k) {
      f64 a = 72.0 * k * kDegToRad;
      SphereShape* sphere = newSphere(s, 0.5);
      if (!sphere) return false;
      if (demoCreateBody(w, &sphere->base, bodyInertiaSphere(1.0, 0.5),
                         V3(2 * std::cos(a), 23 + 2.0 * k, 2 * std::sin(a)), quatIdentity(), 1.0,
                         0.4, 0.3, BODY_DYNAMIC) < 0)
        return false;
    }
  }
  if (o->capsules) {
    for (u32 k = 0; k < 5; ++k) {
      f64 a = 72.0 * k * kDegToRad;
      CapsuleShape* capsule = newCapsule(s, 0.3, 1.0);
      if (!capsule) return false;
      if (demoCreateBody(w, &capsule->base, bodyInertiaCapsule(1.0, 0.3, 1.0),
                         V3(1.5 * std::cos(a), 38 + 2.5 * k, 1.5 * std::sin(a)), quatIdentity(),
                         1.0, 0.4, 0.2, BODY_DYNAMIC) < 0)
        return false;
    }
  }
  if (o->pyramidLayers > 0 && !buildPyramid(s, w, o->pyramidLayers)) return false;
  if (o->chain && !buildChain(s, w)) return false;
  if (o->hammer && !buildHammer(s, w)) return false;
  if (o->tornado) {
    s->tornado = TornadoData{V3(0, 5, 0), 6.0, 25.0, 80.0};
    s->tornadoField = worldCreateVectorField(w);
    VectorField* f = worldGetVectorField(w, s->tornadoField);
    if (!f) return false;
    f->fn = tornadoForce;
    f->volume = tornadoVolume;
    f->userData = &s->tornado;
    f->isEnabled = true;
  }
  if (o->pitBodies > 0 && !buildPit(s, w, o->pitBodies)) return false;
  return true;
}
