// The sandbox's demo scene, built into a physics world: shared by the program's
// sceneSetup and by the physics tests and benchmarks, so that all of them run the
// same bodies in the same order. Shape storage and what happens to each new body
// (tracking, colours) belong to the caller, through a sink.
#pragma once

#include "physics/world.h"

struct TornadoData {
  v3 centre;
  f64 radius;
  f64 height;
  f64 strength;
};

// Swirl plus updraft inside a vertical cylinder above the centre.
v3 tornadoForce(const Body* body, void* data);
b8 tornadoVolume(const Body* body, void* data);

// Every channel between 0x64 and 0xe3, full alpha.
u32 randomColor(u32 seed);

// The sandbox's body creation: type, mass and inertia (dynamic bodies), shape and
// its local box, friction, restitution, damping 0.05, pose. -1 when the world is full.
i32 sceneCreateBody(World* world, Shape* shape, v3 inertia, v3 position, v4 rotation, f64 mass, f64 friction,
                    f64 restitution, BodyType type);

enum ScenePart : u32 {
  SCENE_FLOOR,
  SCENE_RING,
  SCENE_SPHERES,
  SCENE_CAPSULES,
  SCENE_PYRAMID,
  SCENE_CHAIN_POST,
  SCENE_CHAIN,
  SCENE_PILLAR,
  SCENE_ARM,
  SCENE_HEAD,
};

struct SceneParts {
  b8 floor;
  b8 ring;      // ten cubes
  b8 spheres;   // five spheres
  b8 capsules;  // five capsules
  u32 pyramidLayers;  // 8 in the demo scene (204 cubes), 0 for none
  b8 chain;     // post and seven spheres on ball-socket joints
  b8 hammer;    // pillar, motorised arm, fixed head
  b8 tornado;
};

struct SceneSink {
  void* user;
  // Null when the caller's storage is full (the build then fails).
  BoxShape* (*allocBox)(void* user, v3 halfExtents);
  SphereShape* (*allocSphere)(void* user, f64 radius);
  CapsuleShape* (*allocCapsule)(void* user, f64 radius, f64 height);
  // Each body as it is created: its part, index within the part, and colour.
  // Returning false stops the build. May be null.
  b8 (*body)(void* user, i32 bodyId, ScenePart part, u32 index, u32 color);
};

struct SceneJoints {
  JointHandle chain[7];
  JointHandle hinge, headJoint;
  i32 tornadoField;  // -1 without a tornado
};

// The demo scene: 236 bodies with every part; pyramid layers may differ.
SceneParts scenePartsFull();
// Adds the chosen parts to the world (which the caller has cleared) in the
// sandbox's order; the tornado field's user data is `tornado`, which must stay put.
// False when the world or the caller's storage is full.
b8 sceneBuild(World* world, const SceneParts* parts, const SceneSink* sink, TornadoData* tornado, SceneJoints* out);
