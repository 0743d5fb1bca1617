// A closed arena of mixed bodies and joints shaken by pseudo-random impulses, for
// the long soak test and the long benchmark run. The record holds the shapes, so it
// must stay put while the world uses it.
#pragma once

#include "physics/world.h"

inline constexpr u32 kSoakMaxBodies = 96;

struct SoakScene {
  BoxShape walls[6];
  BoxShape box, plank;
  SphereShape ball;
  CapsuleShape capsule;
  i32 bodies[kSoakMaxBodies];  // the moving ones
  u32 numBodies;
  u32 numJoints;
  Aabb inside;  // the arena's open space
  u64 rng;
};

struct SoakFigures {
  b8 allFinite;
  f64 farthestOutside;  // how far any body's centre is outside the open space, m
  f64 fastest;          // largest linear speed, m/s
};

// Clears the world and builds the arena. False when the world is full.
b8 soakSceneBuild(SoakScene* s, World* world);
// Before step number `step`: every few steps an impulse at a random point of a
// random body; the sequence depends only on the steps, so runs repeat exactly.
void soakSceneShake(SoakScene* s, World* world, u32 step);
SoakFigures soakSceneMeasure(const SoakScene* s, World* world);
