// Builds the sandbox's demo scene (and larger variants) into a physics world for
// tests and benchmarks, with the program's own builder. Shapes live in the
// DemoScene record, so it must stay put while the world uses it.
#pragma once

#include "app/scene_build.h"
#include "physics/world.h"

struct DemoSceneOptions {
  b8 floor;
  b8 ring;      // ten cubes
  b8 spheres;   // five spheres
  b8 capsules;  // five capsules
  u32 pyramidLayers;  // 8 in the demo scene (204 cubes), 0 for none
  b8 chain;     // post and seven spheres on ball-socket joints
  b8 hammer;    // pillar, motorised arm, fixed head
  b8 tornado;
  u32 pitBodies;  // mixed bodies dropped into a walled pit, 0 for none
};

inline constexpr u32 kDemoMaxShapes = 2048;
inline constexpr u32 kDemoMaxBodies = 4096;

struct DemoScene {
  BoxShape boxes[kDemoMaxShapes];
  SphereShape spheres[kDemoMaxShapes];
  CapsuleShape capsules[kDemoMaxShapes];
  u32 numBoxes, numSpheres, numCapsules;
  i32 floorBody;
  i32 pyramid[kDemoMaxBodies];  // cube bodies of the pyramid, bottom layer first
  u32 numPyramid;
  i32 chainPost;
  i32 chain[7];
  JointHandle chainJoints[7];
  i32 pillar, arm, head;
  JointHandle hinge, headJoint;
  i32 pit[kDemoMaxBodies];
  u32 numPit;
  TornadoData tornado;
  i32 tornadoField;
};

// Every part of the sandbox's demo scene.
DemoSceneOptions demoSceneFull();
// Nothing at all; switch on the parts wanted.
DemoSceneOptions demoSceneNone();

// Clears the world and builds the chosen parts. False when the world or the
// shape storage is full.
b8 demoSceneBuild(DemoScene* scene, World* world, const DemoSceneOptions* options);

// The sandbox's body creation: type, mass and inertia, shape, material, damping 0.05, pose.
i32 demoCreateBody(World* world, Shape* shape, v3 inertia, v3 position, v4 rotation, f64 mass,
                   f64 friction, f64 restitution, BodyType type);
