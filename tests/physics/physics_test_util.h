// Shared set-up for the physics tests: a world and a demo scene on the accounted heap.
#pragma once

#include <gtest/gtest.h>

#include "demo_scene.h"
#include "physics/world.h"
#include "platform/memory.h"

struct TestWorld {
  World* world;
  DemoScene* scene;
  TestWorld(const WorldConfig* config = nullptr) {
    world = static_cast<World*>(memCalloc(1, sizeof(World)));
    scene = static_cast<DemoScene*>(memCalloc(1, sizeof(DemoScene)));
    ok = world && scene && worldInit(world, config);
  }
  ~TestWorld() {
    if (world) worldDestroy(world);
    memFree(world);
    memFree(scene);
  }
  TestWorld(const TestWorld&) = delete;
  TestWorld& operator=(const TestWorld&) = delete;
  Body* body(i32 i) { return worldGetBody(world, i); }
  void steps(u32 n, f64 dt = 1.0 / 120.0) {
    for (u32 i = 0; i < n; ++i) worldStep(world, dt);
  }
  b8 ok;
};

inline i32 addSphereBody(TestWorld& t, SphereShape* shape, v3 pos, f64 mass) {
  return demoCreateBody(t.world, &shape->base, bodyInertiaSphere(mass, shape->radius), pos,
                        quatIdentity(), mass, 0.5, 0.0, BODY_DYNAMIC);
}

inline i32 addBoxBody(TestWorld& t, BoxShape* shape, v3 pos, v4 rot, f64 mass, BodyType type) {
  return demoCreateBody(t.world, &shape->base,
                        type == BODY_DYNAMIC ? bodyInertiaBox(mass, shape->halfExtents) : V3(0, 0, 0),
                        pos, rot, mass, 0.5, 0.0, type);
}

// B's orientation relative to A, in A's frame.
inline v4 relativeRotation(const Body* a, const Body* b) {
  return quatMul(quatConjugate(a->rotation), b->rotation);
}
