#include "app/scene_build.h"

#include <cmath>

namespace {

constexpr f64 kDegToRad = kPi / 180.0;

struct Builder {
  World* world;
  const SceneSink* sink;
};

b8 report(Builder* b, i32 id, ScenePart part, u32 index, u32 color) {
  if (id < 0) return false;
  return !b->sink->body || b->sink->body(b->sink->user, id, part, index, color);
}

i32 staticBox(Builder* b, v3 halfExtents, v3 pos, f64 friction, f64 restitution) {
  BoxShape* shape = b->sink->allocBox(b->sink->user, halfExtents);
  if (!shape) return -1;
  return sceneCreateBody(b->world, &shape->base, V3(0, 0, 0), pos, quatIdentity(), 0.0, friction, restitution,
                         BODY_STATIC);
}

i32 cube(Builder* b, BoxShape* shape, v3 pos, f64 mass, f64 friction, f64 restitution) {
  if (!shape) return -1;
  return sceneCreateBody(b->world, &shape->base, bodyInertiaBox(mass, shape->halfExtents), pos, quatIdentity(), mass,
                         friction, restitution, BODY_DYNAMIC);
}

b8 buildPyramid(Builder* b, u32 layers) {
  BoxShape* shape = b->sink->allocBox(b->sink->user, V3(0.5, 0.5, 0.5));
  u32 index = 0;
  for (u32 L = 0; L < layers; ++L) {
    u32 side = layers - L;
    f64 offset = 0.5 * ((f64)L - (f64)(layers - 1)) - 6.0;
    for (u32 row = 0; row < side; ++row)
      for (u32 col = 0; col < side; ++col) {
        u32 seed = 12345u + 5504451u * col + 55044510u * row + 550445100u * L;
        i32 id = cube(b, shape, V3(offset + col, L + 0.75, offset + row), 1.0, 0.6, 0.1);
        if (!report(b, id, SCENE_PYRAMID, index++, randomColor(seed))) return false;
      }
  }
  return true;
}

b8 buildChain(Builder* b, SceneJoints* out) {
  i32 post = staticBox(b, V3(0.2, 2.0, 0.2), V3(11, 11.25, 8), 0.5, 0.2);
  if (!report(b, post, SCENE_CHAIN_POST, 0, 0xffaaa0a0u)) return false;
  i32 prev = post;
  for (u32 k = 1; k <= 7; ++k) {
    SphereShape* sphere = b->sink->allocSphere(b->sink->user, 0.35);
    if (!sphere) return false;
    i32 id = sceneCreateBody(b->world, &sphere->base, bodyInertiaSphere(1.5, 0.35), V3(11, 12.25 - 0.9 * k, 8),
                             quatIdentity(), 1.5, 0.5, 0.3, BODY_DYNAMIC);
    if (!report(b, id, SCENE_CHAIN, k - 1, 0xffb4c8dcu - (k - 1) * 0x19190fu)) return false;
    v3 anchor = k == 1 ? V3(11, 10.25, 8) : V3(11, 11.9 - 0.9 * (k - 1), 8);
    out->chain[k - 1] = worldCreateBallSocketJoint(b->world, prev, id, anchor);
    if (out->chain[k - 1].index < 0) return false;
    prev = id;
  }
  return true;
}

b8 buildHammer(Builder* b, SceneJoints* out) {
  i32 pillar = staticBox(b, V3(0.35, 2.625, 0.35), V3(8, 2.875, 8), 0.5, 0.2);
  if (!report(b, pillar, SCENE_PILLAR, 0, 0xff786464u)) return false;
  i32 arm = cube(b, b->sink->allocBox(b->sink->user, V3(3.0, 0.2, 0.2)), V3(8, 6, 8), 4.0, 0.5, 0.3);
  if (!report(b, arm, SCENE_ARM, 0, 0xff4646b4u)) return false;
  i32 head = cube(b, b->sink->allocBox(b->sink->user, V3(0.4, 0.4, 0.4)), V3(11.4, 6, 8), 3.0, 0.8, 0.5);
  if (!report(b, head, SCENE_HEAD, 0, 0xff32aadcu)) return false;
  out->hinge = worldCreateHingeJoint(b->world, pillar, arm, V3(8, 6, 8), V3(0, 1, 0));
  if (out->hinge.index < 0) return false;
  HingeJoint* h = &b->world->hingeJoints[out->hinge.index];
  h->isMotorEnabled = true;
  h->motorSpeed = 4.0;
  h->maxMotorTorque = 100.0;
  out->headJoint = worldCreateFixedJoint(b->world, arm, head);
  return out->headJoint.index >= 0;
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

u32 randomColor(u32 seed) { return (seed & 0x7f7f7fu) + 0xff646464u; }

i32 sceneCreateBody(World* world, Shape* shape, v3 inertia, v3 position, v4 rotation, f64 mass, f64 friction,
                    f64 restitution, BodyType type) {
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

SceneParts scenePartsFull() {
  SceneParts p{};
  p.floor = p.ring = p.spheres = p.capsules = p.chain = p.hammer = p.tornado = true;
  p.pyramidLayers = 8;
  return p;
}

b8 sceneBuild(World* w, const SceneParts* parts, const SceneSink* sink, TornadoData* tornado, SceneJoints* out) {
  if (!w || !parts || !sink || !sink->allocBox || !sink->allocSphere || !sink->allocCapsule || !out) return false;
  *out = SceneJoints{};
  out->tornadoField = -1;
  Builder b{w, sink};
  if (parts->floor &&
      !report(&b, staticBox(&b, V3(100, 0.25, 100), V3(0, 0, 0), 0.8, 0.2), SCENE_FLOOR, 0, 0xff5a5050u))
    return false;
  if (parts->ring)
    for (u32 i = 0; i < 10; ++i) {
      f64 a = 36.0 * i * kDegToRad;
      i32 id = cube(&b, sink->allocBox(sink->user, V3(0.5, 0.5, 0.5)), V3(3 * std::cos(a), 3 + 1.5 * i, 3 * std::sin(a)),
                    1.0, 0.4, 0.2);
      if (!report(&b, id, SCENE_RING, i, randomColor(12345u + 5504451u * i))) return false;
    }
  if (parts->spheres)
    for (u32 k = 0; k < 5; ++k) {
      f64 a = 72.0 * k * kDegToRad;
      SphereShape* sphere = sink->allocSphere(sink->user, 0.5);
      if (!sphere) return false;
      i32 id = sceneCreateBody(w, &sphere->base, bodyInertiaSphere(1.0, 0.5),
                               V3(2 * std::cos(a), 23 + 2.0 * k, 2 * std::sin(a)), quatIdentity(), 1.0, 0.4, 0.3,
                               BODY_DYNAMIC);
      if (!report(&b, id, SCENE_SPHERES, k, randomColor(2263553u + 7868071u * k))) return false;
    }
  if (parts->capsules)
    for (u32 k = 0; k < 5; ++k) {
      f64 a = 72.0 * k * kDegToRad;
      CapsuleShape* capsule = sink->allocCapsule(sink->user, 0.3, 1.0);
      if (!capsule) return false;
      i32 id = sceneCreateBody(w, &capsule->base, bodyInertiaCapsule(1.0, 0.3, 1.0),
                               V3(1.5 * std::cos(a), 38 + 2.5 * k, 1.5 * std::sin(a)), quatIdentity(), 1.0, 0.4, 0.2,
                               BODY_DYNAMIC);
      if (!report(&b, id, SCENE_CAPSULES, k, randomColor(4514761u + 2033615u * k))) return false;
    }
  if (parts->pyramidLayers > 0 && !buildPyramid(&b, parts->pyramidLayers)) return false;
  if (parts->chain && !buildChain(&b, out)) return false;
  if (parts->hammer && !buildHammer(&b, out)) return false;
  if (parts->tornado) {
    if (!tornado) return false;
    *tornado = TornadoData{V3(0, 5, 0), 6.0, 25.0, 80.0};
    out->tornadoField = worldCreateVectorField(w);
    VectorField* f = worldGetVectorField(w, out->tornadoField);
    if (!f) return false;
    f->fn = tornadoForce;
    f->volume = tornadoVolume;
    f->userData = tornado;
    f->isEnabled = true;
  }
  return true;
}
