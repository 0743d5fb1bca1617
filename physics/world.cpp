#include "physics/world.h"

#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#include "platform/clock.h"
#include "platform/hashmap.h"
#include "platform/memory.h"
#include "platform/profiler_hook.h"

namespace {

constexpr f64 kMaxThreadCatchUp = 0.25;  // seconds simulated per loop at most
constexpr f64 kDefaultThreadDt = 1.0 / 120.0;
// Pairs exactly touching (within rounding) get points from the first step.
constexpr f64 kSpeculativeBase = 1e-9;
// Pairs that can close more than this in one step get points up to that far
// apart. Slower pairs get none before touch: points on resting neighbours' side
// faces pass every wobble on as a push and piles spread.
constexpr f64 kSpeculativeMinMotion = 0.01;

void* mapAlloc(void*, size_t bytes) { return memAlloc(bytes); }
void mapFree(void*, void* p) { memFree(p); }

template <typename T>
T* allocArray(u32 count) {
  return static_cast<T*>(memCalloc(count, sizeof(T)));
}

void bitSet(Bitset& b, u32 i, b8 on) {
  u32 w = i / 64;
  if (w >= b.wordCount) return;
  u64 bit = 1ull << (i % 64);
  if (on)
    b.words[w] |= bit;
  else
    b.words[w] &= ~bit;
}

b8 validBody(const World* w, i32 i) {
  return i >= 0 && (u32)i < w->numBodies && w->bodies[i].id >= 0;
}

b8 isActive(const Body& b) { return b.type == BODY_DYNAMIC && b.isAwake; }
// Able to disturb its neighbours this step: an awake dynamic body, or a kinematic
// body being driven. A still kinematic body is support, like a static one, so what
// rests on it can sleep.
b8 isMoving(const Body& b) {
  if (!b.isAwake) return false;
  if (b.type == BODY_DYNAMIC) return true;
  return b.type == BODY_KINEMATIC &&
         (v3LengthSq(b.linearVelocity) > 0.0 || v3LengthSq(b.angularVelocity) > 0.0);
}

// How close counts as touching when waking the neighbours of a body that moved or
// went away: resting contacts may keep a small gap.
constexpr f64 kTouchMargin = 0.05;

Aabb grown(Aabb a, f64 by) { return Aabb{a.min - V3(by, by, by), a.max + V3(by, by, by)}; }

b8 finite3(v3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }
b8 finite4(v4 q) {
  return std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z) && std::isfinite(q.w);
}
b8 velocitiesFinite(const Body& b) { return finite3(b.linearVelocity) && finite3(b.angularVelocity); }
b8 bodyFinite(const Body& b) {
  return finite3(b.position) && finite4(b.rotation) && velocitiesFinite(b) &&
         finite3(b.externalForce) && finite3(b.externalTorque);
}

// Puts a body whose state became non-finite back to rest where it last was
// finite, before anything reads it: a NaN must not reach its contacts, joints,
// the static bodies' working velocities or the broadphase.
void resetToRest(World* w, u32 i) {
  Body& b = w->bodies[i];
  if (!finite3(b.position) || !finite4(b.rotation)) {
    if (w->lastPoseKnown[i]) {
      b.position = w->lastPoses[i].position;
      b.rotation = w->lastPoses[i].rotation;
    } else {
      b.position = V3(0, 0, 0);
      b.rotation = quatIdentity();
    }
  }
  b.linearVelocity = V3(0, 0, 0);
  b.angularVelocity = V3(0, 0, 0);
  bodyClearForces(&b);
  b.sleepTime = 0.0;
  bodyUpdateInertiaWorld(&b);
  w->nonFiniteResets.fetch_add(1, std::memory_order_relaxed);
}

void wakeVisit(i32, i32 bodyId, void* userData) {
  World* w = static_cast<World*>(userData);
  if (bodyId < 0 || (u32)bodyId >= w->numBodies) return;
  Body& b = w->bodies[bodyId];
  if (b.id >= 0 && b.type == BODY_DYNAMIC && !b.isAwake) bodySetAwake(&b, true);
}

// Holds the (recursive) broadphase lock so that the query cannot come back empty
// because a ray cast on another thread holds it.
void wakeBox(World* w, Aabb box) {
  threadMutexLock(&w->broadphase.mutex);
  broadphaseQueryAabb(&w->broadphase, box, wakeVisit, w);
  threadMutexUnlock(&w->broadphase.mutex);
}

// The box the broadphase holds for a body: where its neighbours found it last.
b8 storedBox(const World* w, i32 i, Aabb* out) {
  const Broadphase& bp = w->broadphase;
  if (i < 0 || (u32)i >= bp.bodyCap || !bp.inTree[i]) return false;
  *out = bp.bodyAabbs[i];
  return true;
}

void wakeAround(World* w, i32 i) {
  Aabb old;
  if (storedBox(w, i, &old)) wakeBox(w, grown(old, kTouchMargin));
}

u64 pairKey(i32 a, i32 b) { return ((u64)(u32)a << 32) | (u64)(u32)b; }

// Root with path halving; indices outside [0, n) are their own roots.
i32 ufFind(i32* parent, i32 i, u32 n) {
  if (i < 0 || (u32)i >= n) return i;
  while (parent[i] != i) {
    parent[i] = parent[parent[i]];
    i = parent[i];
  }
  return i;
}

// A joint between two bodies that both rest (or cannot move) needs no solving.
b8 jointNeedsSolve(const World* w, const JointBase& j) {
  return j.isEnabled && j.bodyIndexA >= 0 && j.bodyIndexB >= 0 &&
         (isMoving(w->bodies[j.bodyIndexA]) || isMoving(w->bodies[j.bodyIndexB]));
}

template <typename J, typename F>
void eachLiveJoint(const World* w, const J* joints, u32 count, F fn) {
  for (u32 i = 0; i < count; ++i) {
    const JointBase& j = joints[i].base;
    if (j.isEnabled && j.bodyIndexA >= 0 && j.bodyIndexB >= 0 && (u32)j.bodyIndexA < w->numBodies &&
        (u32)j.bodyIndexB < w->numBodies)
      fn(j);
  }
}

template <typename F>
void forEachJoint(const World* w, F fn) {
  eachLiveJoint(w, w->ballSocketJoints, w->numBallSocketJoints, fn);
  eachLiveJoint(w, w->hingeJoints, w->numHingeJoints, fn);
  eachLiveJoint(w, w->sliderJoints, w->numSliderJoints, fn);
  eachLiveJoint(w, w->fixedJoints, w->numFixedJoints, fn);
}

// Joints whose bodies all rest (or cannot move) are left alone until something
// wakes them. Orders: pre-solve ball, hinge, slider, fixed; the rest ball,
// hinge, fixed, slider.
template <typename J, typename F>
void eachJoint(const World* w, J* joints, u32 count, F fn) {
  for (u32 i = 0; i < count; ++i)
    if (jointNeedsSolve(w, joints[i].base)) fn(&joints[i]);
}

void jointsPreSolve(World* w, f64 dt) {
  Body* b = w->bodies;
  const SolverConfig* sc = &w->solverConfig;
  eachJoint(w, w->ballSocketJoints, w->numBallSocketJoints,
            [&](BallSocketJoint* j) { ballSocketJointPreSolve(j, b, dt, sc); });
  eachJoint(w, w->hingeJoints, w->numHingeJoints,
            [&](HingeJoint* j) { hingeJointPreSolve(j, b, dt, sc); });
  eachJoint(w, w->sliderJoints, w->numSliderJoints,
            [&](SliderJoint* j) { sliderJointPreSolve(j, b, dt, sc); });
  eachJoint(w, w->fixedJoints, w->numFixedJoints,
            [&](FixedJoint* j) { fixedJointPreSolve(j, b, dt, sc); });
}

void jointsWarmStart(World* w) {
  Body* b = w->bodies;
  BodyVelocities* v = w->constrainedVel;
  eachJoint(w, w->ballSocketJoints, w->numBallSocketJoints,
            [&](BallSocketJoint* j) { ballSocketJointWarmStart(j, b, v); });
  eachJoint(w, w->hingeJoints, w->numHingeJoints,
            [&](HingeJoint* j) { hingeJointWarmStart(j, b, v); });
  eachJoint(w, w->fixedJoints, w->numFixedJoints,
            [&](FixedJoint* j) { fixedJointWarmStart(j, b, v); });
  eachJoint(w, w->sliderJoints, w->numSliderJoints,
            [&](SliderJoint* j) { sliderJointWarmStart(j, b, v); });
}

void jointsSolveVelocity(World* w) {
  Body* b = w->bodies;
  BodyVelocities* v = w->constrainedVel;
  eachJoint(w, w->ballSocketJoints, w->numBallSocketJoints,
            [&](BallSocketJoint* j) { ballSocketJointSolveVelocity(j, b, v); });
  eachJoint(w, w->hingeJoints, w->numHingeJoints,
            [&](HingeJoint* j) { hingeJointSolveVelocity(j, b, v); });
  eachJoint(w, w->fixedJoints, w->numFixedJoints,
            [&](FixedJoint* j) { fixedJointSolveVelocity(j, b, v); });
  eachJoint(w, w->sliderJoints, w->numSliderJoints,
            [&](SliderJoint* j) { sliderJointSolveVelocity(j, b, v); });
}

void jointsSolvePosition(World* w) {
  Body* b = w->bodies;
  const SolverConfig* sc = &w->solverConfig;
  eachJoint(w, w->ballSocketJoints, w->numBallSocketJoints,
            [&](BallSocketJoint* j) { ballSocketJointSolvePosition(j, b, sc); });
  eachJoint(w, w->hingeJoints, w->numHingeJoints,
            [&](HingeJoint* j) { hingeJointSolvePosition(j, b, sc); });
  eachJoint(w, w->fixedJoints, w->numFixedJoints,
            [&](FixedJoint* j) { fixedJointSolvePosition(j, b, sc); });
  eachJoint(w, w->sliderJoints, w->numSliderJoints,
            [&](SliderJoint* j) { sliderJointSolvePosition(j, b, sc); });
}

// Sleeping dynamic bodies neither move nor look for pairs: the narrowphase skips
// every pair without an awake body, so only awake non-static bodies query (their
// pairs with sleeping and static bodies are still found).
// A body's box covers where it is and where it goes this step (and the fat box
// the step after), so a fast body finds what lies in its path.
void broadphaseRefresh(World* w, f64 dt) {
  Bitset& awake = w->awakeMask;
  std::memset(awake.words, 0, awake.wordCount * sizeof(u64));
  for (u32 i = 0; i < w->numBodies; ++i) {
    Body& b = w->bodies[i];
    if (b.id < 0) continue;
    if (b.type == BODY_DYNAMIC && !b.isAwake) continue;
    if (isMoving(b)) bitSet(awake, i, true);
    Aabb box = bodyComputeAabb(&b);
    const v3 d = b.linearVelocity * dt;
    Aabb swept{box.min + v3Min(d, V3(0, 0, 0)), box.max + v3Max(d, V3(0, 0, 0))};
    broadphaseUpdateBody(&w->broadphase, (i32)i, swept, d);
  }
  broadphaseQueryPairs(&w->broadphase, w->numBodies, &awake);
}

// Room for one more manifold: doubles the three manifold arrays through the
// accounted allocator when full. False when that fails (or the limit is reached).
b8 reserveManifold(World* w) {
  if (w->numContactManifolds < w->manifoldCapacity) return true;
  u32 cap = w->manifoldCapacity * 2;
  if (cap > kWorldManifoldCapacityLimit || cap <= w->manifoldCapacity) return false;
  auto grow = [&](auto*& array) {
    using T = std::remove_reference_t<decltype(*array)>;
    T* p = static_cast<T*>(memRealloc(array, (size_t)cap * sizeof(T)));
    if (!p) return false;
    array = p;
    return true;
  };
  // Each array is replaced only once its growth succeeded, so a failure leaves
  // every array valid at the old capacity.
  if (!grow(w->contactManifolds) || !grow(w->prevContactManifolds) || !grow(w->contactSolverData))
    return false;
  w->manifoldCapacity = cap;
  ++w->manifoldGrowths;
  return true;
}

// How far apart a pair may be and still get points this step: touching within
// rounding, or for a fast pair the most the two can close in one step.
f64 speculativeDistance(const Body& a, const Body& b, f64 dt) {
  f64 closing = v3Length(b.linearVelocity - a.linearVelocity);
  const Body* spin[2] = {&a, &b};
  for (const Body* s : spin) {
    f64 w2 = v3LengthSq(s->angularVelocity);
    if (w2 < 1e-12 || !s->shape) continue;
    Aabb box = shapeComputeAabb(s->shape, Transform{V3(0, 0, 0), quatIdentity()});
    f64 reach = std::sqrt(std::fmax(v3LengthSq(box.min), v3LengthSq(box.max)));
    closing += std::sqrt(w2) * reach;
  }
  f64 reach = closing * dt;
  f64 d = reach > kSpeculativeMinMotion ? kSpeculativeBase + reach : kSpeculativeBase;
  return std::isfinite(d) ? d : kSpeculativeBase;
}

f64 deepestPoint(const ContactManifold& m) {
  f64 d = -1e300;
  for (u32 i = 0; i < m.numContacts; ++i) d = std::fmax(d, m.points[i].penetrationDepth);
  return d;
}

void narrowphase(World* w, f64 dt) {
  u32 pairCount = 0;
  const CollisionPair* pairs = broadphaseGetPairs(&w->broadphase, &pairCount);
  for (u32 k = 0; k < pairCount; ++k) {
    i32 ia = pairs[k].bodyA, ib = pairs[k].bodyB;
    if (ia < 0 || ib < 0 || (u32)ia >= w->numBodies || (u32)ib >= w->numBodies) continue;
    Body& a = w->bodies[ia];
    Body& b = w->bodies[ib];
    if (a.type == BODY_STATIC && b.type == BODY_STATIC) continue;
    if (!isMoving(a) && !isMoving(b)) continue;
    if (!(a.collisionCategory & b.collisionMask) || !(b.collisionCategory & a.collisionMask))
      continue;
    if (w->numDisabledPairs && w->disabledPairCount[ia] && w->disabledPairCount[ib] &&
        worldIsCollisionDisabled(w, ia, ib))
      continue;
    if (!a.shape || !b.shape) continue;
    // Pairs come with last step's first, so when memory runs out the pairs that
    // already carried contacts keep them.
    if (!reserveManifold(w)) {
      ContactManifold probe{};
      if (narrowphaseCollide(a.shape, bodyGetTransform(&a), b.shape, bodyGetTransform(&b), &probe) &&
          probe.numContacts > 0)
        ++w->manifoldsDropped;
      continue;
    }
    ContactManifold* m = &w->contactManifolds[w->numContactManifolds];
    *m = ContactManifold{};
    m->bodyA = ia;
    m->bodyB = ib;
    const f64 within = speculativeDistance(a, b, dt);
    if (!narrowphaseCollideWithin(a.shape, bodyGetTransform(&a), b.shape, bodyGetTransform(&b),
                                  within, m) ||
        m->numContacts == 0)
      continue;
    if (m->numContacts > 4) m->numContacts = 4;
    // A sleeping body wakes once the pair touches or could touch within this step
    // from its motion; a gap of the fixed distance alone leaves it asleep.
    if (deepestPoint(*m) >= -(within - kSpeculativeBase)) {
      if (a.type != BODY_STATIC && !a.isAwake) bodySetAwake(&a, true);
      if (b.type != BODY_STATIC && !b.isAwake) bodySetAwake(&b, true);
    }
    ++w->numContactManifolds;
  }
  if (w->numContactManifolds > w->peakManifolds) w->peakManifolds = w->numContactManifolds;
}

// Carries last step's impulses over to this step's matching contacts.
void matchContacts(World* w) {
  if (w->numPrevContactManifolds == 0) return;
  sm_clear(w->pairMap);
  for (u32 j = 0; j < w->numPrevContactManifolds; ++j) {
    const ContactManifold& p = w->prevContactManifolds[j];
    u64 key = pairKey(p.bodyA, p.bodyB);
    sm_put(w->pairMap, &key, &j);
  }
  f64 thresholdSq = w->config.persistentContactThreshold * w->config.persistentContactThreshold;
  for (u32 i = 0; i < w->numContactManifolds; ++i) {
    ContactManifold& m = w->contactManifolds[i];
    u64 key = pairKey(m.bodyA, m.bodyB);
    const u32* found = static_cast<const u32*>(sm_find(w->pairMap, &key));
    if (!found) continue;
    const ContactManifold& old = w->prevContactManifolds[*found];
    m.cachedFriction1Impulse = old.cachedFriction1Impulse;
    m.cachedFriction2Impulse = old.cachedFriction2Impulse;
    m.cachedTwistImpulse = old.cachedTwistImpulse;
    m.cachedFrictionVector1 = old.cachedFrictionVector1;
    m.cachedFrictionVector2 = old.cachedFrictionVector2;
    for (u32 c = 0; c < m.numContacts; ++c) {
      ContactPoint& p = m.points[c];
      f64 best = thresholdSq;
      i32 bestIndex = -1;
      for (u32 o = 0; o < old.numContacts; ++o) {
        f64 d = v3LengthSq(old.points[o].localPointA - p.localPointA);
        if (d < best) {
          best = d;
          bestIndex = (i32)o;
        }
      }
      p.cachedNormalImpulse = bestIndex >= 0 ? old.points[bestIndex].cachedNormalImpulse : 0.0;
    }
  }
}

void updateSleepingBodies(World* w, f64 dt) {
  u32 n = w->numBodies;
  Body* bodies = w->bodies;
  i32* parent = w->islandParent;
  for (u32 i = 0; i < n; ++i) parent[i] = (i32)i;
  auto join = [&](i32 a, i32 b) {
    if (a < 0 || b < 0 || (u32)a >= n || (u32)b >= n) return;
    if (bodies[a].type == BODY_STATIC || bodies[b].type == BODY_STATIC) return;
    ufUnion(parent, a, b, n);
  };
  // Only pairs in touch form islands: points before touch carry no load.
  for (u32 i = 0; i < w->numContactManifolds; ++i)
    if (deepestPoint(w->contactManifolds[i]) >= 0.0)
      join(w->contactManifolds[i].bodyA, w->contactManifolds[i].bodyB);
  for (u32 i = 0; i < w->numBallSocketJoints; ++i)
    join(w->ballSocketJoints[i].base.bodyIndexA, w->ballSocketJoints[i].base.bodyIndexB);
  for (u32 i = 0; i < w->numHingeJoints; ++i)
    join(w->hingeJoints[i].base.bodyIndexA, w->hingeJoints[i].base.bodyIndexB);
  for (u32 i = 0; i < w->numSliderJoints; ++i)
    join(w->sliderJoints[i].base.bodyIndexA, w->sliderJoints[i].base.bodyIndexB);
  for (u32 i = 0; i < w->numFixedJoints; ++i)
    join(w->fixedJoints[i].base.bodyIndexA, w->fixedJoints[i].base.bodyIndexB);

  f64* minSleep = w->islandMinSleep;
  // Joint partners of a moving body wake with it: contacts wake their bodies in
  // the narrowphase, joints have no other way to.
  for (u32 i = 0; i < n; ++i) minSleep[i] = 1e30;
  for (u32 i = 0; i < n; ++i)
    if (bodies[i].id >= 0 && isMoving(bodies[i])) minSleep[ufFind(parent, (i32)i, n)] = -1.0;
  for (u32 i = 0; i < n; ++i) {
    Body& b = bodies[i];
    if (b.id >= 0 && b.type == BODY_DYNAMIC && !b.isAwake &&
        minSleep[ufFind(parent, (i32)i, n)] < 0.0)
      bodySetAwake(&b, true);
  }

  // Below the thresholds a body only counts rest time: its velocities are zeroed
  // when its whole island goes to sleep, never before (a pendulum passes through
  // rest at each turn, a box on a slope starts from rest).
  f64 linSq = w->config.sleepLinearVelocity * w->config.sleepLinearVelocity;
  f64 angSq = w->config.sleepAngularVelocity * w->config.sleepAngularVelocity;
  for (u32 i = 0; i < n; ++i) {
    Body& b = bodies[i];
    if (b.id < 0 || !isActive(b)) continue;
    if (v3LengthSq(b.linearVelocity) < linSq && v3LengthSq(b.angularVelocity) < angSq) {
      b.sleepTime += dt;
    } else {
      b.sleepTime = 0.0;
    }
  }
  for (u32 i = 0; i < n; ++i) minSleep[i] = 1e30;
  for (u32 i = 0; i < n; ++i) {
    const Body& b = bodies[i];
    if (b.id < 0 || !isActive(b)) continue;
    i32 r = ufFind(parent, (i32)i, n);
    if (b.sleepTime < minSleep[r]) minSleep[r] = b.sleepTime;
  }
  for (u32 i = 0; i < n; ++i) {
    Body& b = bodies[i];
    if (b.id < 0 || !isActive(b)) continue;
    if (minSleep[ufFind(parent, (i32)i, n)] >= w->config.timeBeforeSleep) bodySetAwake(&b, false);
  }
}

// Joint partners of a moving body wake before anything is solved: the joint
// position solve moves both bodies, and a sleeping body moved there would keep a
// stale broadphase box and velocities.
void wakeJointPartners(World* w) {
  if (!(w->numBallSocketJoints | w->numHingeJoints | w->numSliderJoints | w->numFixedJoints)) return;
  u32 n = w->numBodies;
  Body* bodies = w->bodies;
  i32* parent = w->islandParent;
  f64* moving = w->islandMinSleep;  // scratch: 1 for an island holding a moving body
  for (u32 i = 0; i < n; ++i) {
    parent[i] = (i32)i;
    moving[i] = 0.0;
  }
  forEachJoint(w, [&](const JointBase& j) {
    if (bodies[j.bodyIndexA].type != BODY_STATIC && bodies[j.bodyIndexB].type != BODY_STATIC)
      ufUnion(parent, j.bodyIndexA, j.bodyIndexB, n);
  });
  for (u32 i = 0; i < n; ++i)
    if (bodies[i].id >= 0 && isMoving(bodies[i])) moving[ufFind(parent, (i32)i, n)] = 1.0;
  for (u32 i = 0; i < n; ++i) {
    Body& b = bodies[i];
    if (b.id >= 0 && b.type == BODY_DYNAMIC && !b.isAwake && moving[ufFind(parent, (i32)i, n)] > 0.0)
      bodySetAwake(&b, true);
  }
}

// Before a step: bodies whose state became non-finite go back to rest; bodies
// moved since the last step (teleported, a floor shifted) and driven kinematic
// bodies wake what touches them at the old and the new place.
void checkBodiesBeforeStep(World* w, f64 dt) {
  for (u32 i = 0; i < w->numBodies; ++i) {
    Body& b = w->bodies[i];
    if (b.id < 0) continue;
    if (!bodyFinite(b)) resetToRest(w, i);
    if (!w->lastPoseKnown[i]) continue;  // new since the last step: nothing moved
    const BodyPose& last = w->lastPoses[i];
    b8 moved = b.position.x != last.position.x || b.position.y != last.position.y ||
               b.position.z != last.position.z || b.rotation.x != last.rotation.x ||
               b.rotation.y != last.rotation.y || b.rotation.z != last.rotation.z ||
               b.rotation.w != last.rotation.w;
    if (moved) {
      wakeAround(w, (i32)i);
      wakeBox(w, grown(bodyComputeAabb(&b), kTouchMargin));
    } else if (b.type == BODY_KINEMATIC && isMoving(b)) {
      // Also what it moves away from: a platform sinking under a sleeping box.
      f64 reach = v3Length(b.linearVelocity) * dt + kTouchMargin;
      wakeBox(w, grown(bodyComputeAabb(&b), reach));
    }
  }
  wakeJointPartners(w);
}

// Vector fields are user code: a non-finite push stops at the body it hit.
void checkVelocities(World* w) {
  for (u32 i = 0; i < w->numBodies; ++i) {
    const Body& b = w->bodies[i];
    if (b.id >= 0 && isActive(b) && !velocitiesFinite(b)) resetToRest(w, i);
  }
}

// After a step: a body the step made non-finite goes back to where it began the
// step; every pose is remembered for the next step's checks.
void finishBodies(World* w) {
  for (u32 i = 0; i < w->numBodies; ++i) {
    Body& b = w->bodies[i];
    if (b.id < 0) continue;
    if (!bodyFinite(b)) resetToRest(w, i);
    w->lastPoses[i] = BodyPose{b.position, b.rotation};
    w->lastPoseKnown[i] = true;
  }
}

// The joint record in slot k of a kind, or null outside the kind's slots.
JointBase* jointSlot(World* w, u32 type, i32 k) {
  if (k < 0) return nullptr;
  switch (type) {
    case JOINT_HANDLE_BALL_SOCKET:
      return (u32)k < w->numBallSocketJoints ? &w->ballSocketJoints[k].base : nullptr;
    case JOINT_HANDLE_HINGE: return (u32)k < w->numHingeJoints ? &w->hingeJoints[k].base : nullptr;
    case JOINT_HANDLE_SLIDER: return (u32)k < w->numSliderJoints ? &w->sliderJoints[k].base : nullptr;
    case JOINT_HANDLE_FIXED: return (u32)k < w->numFixedJoints ? &w->fixedJoints[k].base : nullptr;
  }
  return nullptr;
}

u64 disabledKey(i32 a, i32 b) {
  if (a > b) std::swap(a, b);
  return pairKey(a, b);
}

// Position of key in the sorted pair list, or where it would go.
u32 disabledLowerBound(const World* w, u64 key) {
  u32 lo = 0, hi = w->numDisabledPairs;
  while (lo < hi) {
    u32 mid = (lo + hi) / 2;
    if (w->disabledPairs[mid] < key)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

// Forgets every disabled pair naming a body (its slot may hold another later).
void forgetDisabledPairs(World* w, i32 index) {
  if (!w->disabledPairCount[index]) return;
  u32 out = 0;
  for (u32 k = 0; k < w->numDisabledPairs; ++k) {
    u64 key = w->disabledPairs[k];
    i32 lo = (i32)(key >> 32), hi = (i32)(u32)key;
    if (lo == index || hi == index) {
      --w->disabledPairCount[lo];
      --w->disabledPairCount[hi];
      continue;
    }
    w->disabledPairs[out++] = key;
  }
  w->numDisabledPairs = out;
}

b8 raycastVisit(i32 bodyId, void* userData) {
  RaycastContext* ctx = static_cast<RaycastContext*>(userData);
  World* w = ctx->world;
  if (bodyId < 0 || (u32)bodyId >= w->numBodies || !w->bodies) return true;
  const Body& b = w->bodies[bodyId];
  if (!b.shape) return true;
  RaycastHit hit{};
  if (!shapeRaycast(b.shape, bodyGetTransform(&b), ctx->rayStart,
                    ctx->rayStart + ctx->rayDir * ctx->rayLen, &hit))
    return true;
  hit.bodyId = bodyId;
  if (ctx->callback) {
    ctx->hasHit = true;
    return ctx->callback(&hit, ctx->userData);
  }
  if (!ctx->hasHit || hit.hitFraction < ctx->bestHit.hitFraction) ctx->bestHit = hit;
  ctx->hasHit = true;
  return true;
}

b8 raycast(World* w, v3 rayStart, v3 rayEnd, WorldRaycastCallback cb, void* userData,
           RaycastHit* hitOut) {
  v3 d = rayEnd - rayStart;
  f64 len = v3Length(d);
  if (!(len >= 1e-10)) return false;
  RaycastContext ctx{};
  ctx.world = w;
  ctx.rayStart = rayStart;
  ctx.rayDir = d * (1.0 / len);
  ctx.rayLen = len;
  ctx.callback = cb;
  ctx.userData = userData;
  broadphaseRaycast(&w->broadphase, rayStart, rayEnd, raycastVisit, &ctx);
  if (ctx.hasHit && hitOut && !cb) *hitOut = ctx.bestHit;
  return ctx.hasHit;
}

struct AabbAdapter {
  WorldAabbCallback callback;
  void* userData;
};

void aabbVisit(i32, i32 bodyId, void* userData) {
  AabbAdapter* a = static_cast<AabbAdapter*>(userData);
  a->callback(bodyId, a->userData);
}

i32 worldThreadFn(void* userData) {
  World* w = static_cast<World*>(userData);
  profilerHookThreadStart("world");
  f64 dt = w->fixedDt > 0.0 ? w->fixedDt : kDefaultThreadDt;
  u64 quantum = (u64)(dt * 5e8);
  f64 t0 = clockNanos() * 1e-9;
  f64 acc = 0.0;
  while (w->runFlag.load(std::memory_order_acquire)) {
    worldThreadAdvance(w, &acc, &t0, clockNanos() * 1e-9, dt);
    nanoSleep(quantum);
  }
  profilerHookThreadEnd();
  return 0;
}

void freeArrays(World* w) {
  memFree(w->bodies);
  memFree(w->freeBodyIndices);
  memFree(w->nonStaticMask.words);
  memFree(w->awakeMask.words);
  memFree(w->ballSocketJoints);
  memFree(w->hingeJoints);
  memFree(w->sliderJoints);
  memFree(w->fixedJoints);
  memFree(w->contactManifolds);
  memFree(w->prevContactManifolds);
  memFree(w->vectorFields);
  memFree(w->islandParent);
  memFree(w->islandMinSleep);
  memFree(w->contactSolverData);
  memFree(w->constrainedVel);
  memFree(w->splitVel);
  memFree(w->approachVel);
  memFree(w->lastPoses);
  memFree(w->lastPoseKnown);
  memFree(w->disabledPairs);
  memFree(w->disabledPairCount);
  for (JointSlots& js : w->jointSlots) {
    memFree(js.generation);
    memFree(js.freeList);
  }
  for (Snapshot& s : w->snaps) memFree(s.xforms);
  if (w->pairMap) sm_free(w->pairMap);
}

void zeroWorld(World* w) {
  std::memset(static_cast<void*>(w), 0, sizeof(World));
  w->snapHead.store(0);
  w->snapReader.store(kNoSnapshot);
  w->runFlag.store(0);
  w->nonFiniteResets.store(0);
}

void installGravity(World* w) {
  w->numVectorFields = 1;
  VectorField& g = w->vectorFields[0];
  g = VectorField{};
  g.fn = defaultGravityFn;
  g.userData = &w->gravity;
  g.isEnabled = true;
}

}  // namespace

WorldConfig worldDefaultConfig() {
  WorldConfig c{};
  c.persistentContactThreshold = 0.03;
  c.defaultFriction = 0.3;
  c.defaultRestitution = 0.5;
  c.restitutionVelocityThreshold = 0.5;
  c.isSleepingEnabled = true;
  c.velocityIterations = 5;
  c.positionIterations = 5;
  c.timeBeforeSleep = 1.0;
  c.sleepLinearVelocity = 0.02;
  c.sleepAngularVelocity = 0.05235987755983333;
  return c;
}

b8 worldInit(World* w, const WorldConfig* config) {
  zeroWorld(w);
  w->lockReady = threadMutexInit(&w->lock) == 0;
  w->config = config ? *config : worldDefaultConfig();
  w->solverConfig = solverDefaultConfig();
  w->solverConfig.velocityIterations = w->config.velocityIterations;
  w->solverConfig.positionIterations = w->config.positionIterations;
  w->solverConfig.restitutionThreshold = w->config.restitutionVelocityThreshold;

  u32 cap = kWorldMaxBodies;
  w->bodyCapacity = cap;
  w->bodies = allocArray<Body>(cap);
  w->freeBodyIndices = allocArray<i32>(cap);
  u32 words = ((cap + 255) / 64) & ~3u;
  if (words < 4) words = 4;
  w->nonStaticMask.words = allocArray<u64>(words);
  w->nonStaticMask.wordCount = words;
  w->awakeMask.words = allocArray<u64>(words);
  w->awakeMask.wordCount = words;
  w->ballSocketJoints = allocArray<BallSocketJoint>(kWorldMaxJointsPerType);
  w->hingeJoints = allocArray<HingeJoint>(kWorldMaxJointsPerType);
  w->sliderJoints = allocArray<SliderJoint>(kWorldMaxJointsPerType);
  w->fixedJoints = allocArray<FixedJoint>(kWorldMaxJointsPerType);
  w->manifoldCapacity = kWorldMaxManifolds;
  w->contactManifolds = allocArray<ContactManifold>(kWorldMaxManifolds);
  w->prevContactManifolds = allocArray<ContactManifold>(kWorldMaxManifolds);
  w->vectorFields = allocArray<VectorField>(kWorldMaxVectorFields);
  w->islandParent = allocArray<i32>(cap);
  w->islandMinSleep = allocArray<f64>(cap);
  w->contactSolverData = allocArray<ContactManifoldSolverData>(kWorldMaxManifolds);
  w->constrainedVel = allocArray<BodyVelocities>(cap);
  w->splitVel = allocArray<BodyVelocities>(cap);
  w->approachVel = allocArray<BodyVelocities>(cap);
  w->lastPoses = allocArray<BodyPose>(cap);
  w->lastPoseKnown = allocArray<b8>(cap);
  w->disabledPairCount = allocArray<u32>(cap);
  b8 slotsOk = true;
  for (JointSlots& js : w->jointSlots) {
    js.generation = allocArray<u32>(kWorldMaxJointsPerType);
    js.freeList = allocArray<i32>(kWorldMaxJointsPerType);
    slotsOk = slotsOk && js.generation && js.freeList;
  }
  sm_allocator_t allocs{};
  allocs.alloc = mapAlloc;
  allocs.free = mapFree;
  w->pairMap = sm_new(kWorldMaxManifolds, sizeof(u64), sizeof(u32), &allocs);
  b8 ok = w->bodies && w->freeBodyIndices && w->nonStaticMask.words && w->awakeMask.words &&
          w->ballSocketJoints &&
          w->hingeJoints && w->sliderJoints && w->fixedJoints && w->contactManifolds &&
          w->prevContactManifolds && w->vectorFields && w->islandParent && w->islandMinSleep &&
          w->contactSolverData && w->constrainedVel && w->splitVel && w->approachVel && w->pairMap &&
          w->lastPoses && w->lastPoseKnown && w->disabledPairCount && slotsOk &&
          broadphaseInit(&w->broadphase, cap);
  if (!ok) {
    freeArrays(w);
    broadphaseDestroy(&w->broadphase);
    if (w->lockReady) threadMutexDestroy(&w->lock);
    zeroWorld(w);
    return false;
  }
  w->gravity = V3(0, -9.81, 0);
  installGravity(w);
  w->accumulator = 0.0;
  w->fixedTimeStep = 1.0 / 60.0;
  return true;
}

void worldDestroy(World* w) {
  worldStopThread(w);
  freeArrays(w);
  broadphaseDestroy(&w->broadphase);
  if (w->lockReady) threadMutexDestroy(&w->lock);
  zeroWorld(w);
}

void worldClear(World* w) {
  // Handles from before the clear must not name the joints created after it.
  const u32 counts[4] = {w->numBallSocketJoints, w->numHingeJoints, w->numSliderJoints,
                         w->numFixedJoints};
  for (u32 t = 0; t < 4; ++t) {
    JointSlots& js = w->jointSlots[t];
    if (!js.generation) continue;
    for (u32 i = 0; i < counts[t]; ++i)
      if (js.generation[i] & 1u) ++js.generation[i];
    js.numFree = 0;
  }
  w->numDisabledPairs = 0;
  if (w->disabledPairCount) std::memset(w->disabledPairCount, 0, w->bodyCapacity * sizeof(u32));
  w->numBodies = 0;
  w->numFreeBodyIndices = 0;
  w->numBallSocketJoints = w->numHingeJoints = w->numSliderJoints = w->numFixedJoints = 0;
  w->numContactManifolds = w->numPrevContactManifolds = 0;
  w->numContactSolverManifolds = 0;
  if (w->nonStaticMask.words)
    std::memset(w->nonStaticMask.words, 0, w->nonStaticMask.wordCount * sizeof(u64));
  w->accumulator = 0.0;
  broadphaseClear(&w->broadphase);
  if (w->vectorFields) installGravity(w);
}

i32 worldCreateBody(World* w) {
  i32 slot;
  if (w->numFreeBodyIndices > 0) {
    slot = w->freeBodyIndices[--w->numFreeBodyIndices];
  } else {
    if (w->numBodies >= w->bodyCapacity) return -1;
    slot = (i32)w->numBodies++;
  }
  Body& b = w->bodies[slot];
  bodyInit(&b);
  b.id = slot;
  b.collisionCategory = 1u << ((slot % 31) + 1);
  b.friction = w->config.defaultFriction;
  b.restitution = w->config.defaultRestitution;
  w->lastPoseKnown[slot] = false;
  bitSet(w->nonStaticMask, (u32)slot, true);
  broadphaseAddBody(&w->broadphase, slot, bodyComputeAabb(&b));
  return slot;
}

void worldDestroyBody(World* w, i32 index) {
  // A destroyed slot is already on the free stack: pushing it twice would hand it
  // out to two bodies.
  if (!validBody(w, index)) return;
  Body& b = w->bodies[index];
  // Joints on it go with it (a later body in the slot must not be driven by them),
  // and whatever rested on it or hung from it falls.
  for (u32 t = 0; t < 4; ++t)
    for (i32 k = 0; JointBase* j = jointSlot(w, t, k); ++k)
      if (j->bodyIndexA == index || j->bodyIndexB == index)
        worldDestroyJoint(w, JointHandle{(JointHandleType)t, k, w->jointSlots[t].generation[k]});
  wakeAround(w, index);
  forgetDisabledPairs(w, index);
  broadphaseRemoveBody(&w->broadphase, index);
  bitSet(w->nonStaticMask, (u32)index, false);
  // The record stays readable; it no longer moves.
  bodySetAwake(&b, false);
  b.id = -1;
  w->freeBodyIndices[w->numFreeBodyIndices++] = index;
}

void worldSetBodyType(World* w, i32 index, BodyType type) {
  if (!validBody(w, index)) return;
  bodySetType(&w->bodies[index], type);
  bitSet(w->nonStaticMask, (u32)index, type != BODY_STATIC);
}

Body* worldGetBody(World* w, i32 index) {
  if (index < 0 || (u32)index >= w->numBodies) return nullptr;
  return &w->bodies[index];
}

i32 worldCreateVectorField(World* w) {
  if (w->numVectorFields >= kWorldMaxVectorFields) return -1;
  i32 i = (i32)w->numVectorFields++;
  w->vectorFields[i] = VectorField{};
  w->vectorFields[i].isEnabled = true;
  return i;
}

void worldDestroyVectorField(World* w, i32 index) {
  if (index < 0 || (u32)index >= w->numVectorFields) return;
  w->vectorFields[index] = w->vectorFields[w->numVectorFields - 1];
  --w->numVectorFields;
}

VectorField* worldGetVectorField(World* w, i32 index) {
  if (index < 0 || (u32)index >= w->numVectorFields) return nullptr;
  return &w->vectorFields[index];
}

v3 defaultGravityFn(const Body* body, void* userData) {
  if (!body->isGravityEnabled || !userData) return V3(0, 0, 0);
  return *static_cast<const v3*>(userData) * body->mass;
}

// Kept as a pair list rather than mask bits: category bits repeat every 31 slots,
// so clearing them would also part bodies that merely share a bit.
b8 worldDisableCollisionBetween(World* w, i32 a, i32 b) {
  if (!validBody(w, a) || !validBody(w, b) || a == b) return false;
  u64 key = disabledKey(a, b);
  u32 at = disabledLowerBound(w, key);
  if (at < w->numDisabledPairs && w->disabledPairs[at] == key) return true;
  if (w->numDisabledPairs == w->disabledPairCap) {
    u32 cap = w->disabledPairCap ? w->disabledPairCap * 2 : 64;
    u64* grownPairs = static_cast<u64*>(memRealloc(w->disabledPairs, (size_t)cap * sizeof(u64)));
    if (!grownPairs) return false;
    w->disabledPairs = grownPairs;
    w->disabledPairCap = cap;
  }
  std::memmove(w->disabledPairs + at + 1, w->disabledPairs + at,
               (w->numDisabledPairs - at) * sizeof(u64));
  w->disabledPairs[at] = key;
  ++w->numDisabledPairs;
  ++w->disabledPairCount[a];
  ++w->disabledPairCount[b];
  return true;
}

b8 worldIsCollisionDisabled(const World* w, i32 a, i32 b) {
  if (a < 0 || b < 0 || (u32)a >= w->numBodies || (u32)b >= w->numBodies) return false;
  if (!w->disabledPairCount[a] || !w->disabledPairCount[b]) return false;
  u64 key = disabledKey(a, b);
  u32 at = disabledLowerBound(w, key);
  return at < w->numDisabledPairs && w->disabledPairs[at] == key;
}

void worldSetBodyTransform(World* w, i32 index, Transform t) {
  if (!validBody(w, index)) return;
  wakeAround(w, index);
  bodySetTransform(&w->bodies[index], t);
  wakeBox(w, grown(bodyComputeAabb(&w->bodies[index]), kTouchMargin));
}

void worldWakeRegion(World* w, Aabb aabb) { wakeBox(w, aabb); }

u64 worldGetNonFiniteResets(const World* w) {
  return w->nonFiniteResets.load(std::memory_order_relaxed);
}

namespace {

template <typename J, typename InitFn>
JointHandle createJoint(World* w, J* joints, u32* count, JointHandleType type, i32 a, i32 b,
                        InitFn init) {
  JointHandle h{type, -1, 0};
  JointSlots& js = w->jointSlots[type];
  if ((js.numFree == 0 && *count >= kWorldMaxJointsPerType) || a == b || !validBody(w, a) ||
      !validBody(w, b))
    return h;
  h.index = js.numFree ? js.freeList[--js.numFree] : (i32)(*count)++;
  init(&joints[h.index]);
  h.generation = ++js.generation[h.index];
  // A new joint between resting bodies must act: wake them.
  bodySetAwake(&w->bodies[a], true);
  bodySetAwake(&w->bodies[b], true);
  return h;
}

}  // namespace

JointHandle worldCreateBallSocketJoint(World* w, i32 a, i32 b, v3 worldAnchor) {
  return createJoint(w, w->ballSocketJoints, &w->numBallSocketJoints, JOINT_HANDLE_BALL_SOCKET, a,
                     b, [&](BallSocketJoint* j) { ballSocketJointInit(j, a, b, worldAnchor, w->bodies); });
}

JointHandle worldCreateHingeJoint(World* w, i32 a, i32 b, v3 worldAnchor, v3 worldAxis) {
  return createJoint(w, w->hingeJoints, &w->numHingeJoints, JOINT_HANDLE_HINGE, a, b,
                     [&](HingeJoint* j) { hingeJointInit(j, a, b, worldAnchor, worldAxis, w->bodies); });
}

JointHandle worldCreateSliderJoint(World* w, i32 a, i32 b, v3 worldAnchor, v3 worldAxis) {
  return createJoint(w, w->sliderJoints, &w->numSliderJoints, JOINT_HANDLE_SLIDER, a, b,
                     [&](SliderJoint* j) { sliderJointInit(j, a, b, worldAnchor, worldAxis, w->bodies); });
}

JointHandle worldCreateFixedJoint(World* w, i32 a, i32 b) {
  return createJoint(w, w->fixedJoints, &w->numFixedJoints, JOINT_HANDLE_FIXED, a, b,
                     [&](FixedJoint* j) { fixedJointInit(j, a, b, w->bodies); });
}

JointBase* worldGetJoint(World* w, JointHandle h) {
  if ((u32)h.type >= 4) return nullptr;
  JointBase* j = jointSlot(w, h.type, h.index);
  u32 gen = j ? w->jointSlots[h.type].generation[h.index] : 0;
  return (gen & 1u) && gen == h.generation ? j : nullptr;
}

void worldDestroyJoint(World* w, JointHandle h) {
  JointBase* j = worldGetJoint(w, h);
  if (!j) return;
  // What the joint held (a body hanging from it) moves on its own now.
  if (validBody(w, j->bodyIndexA)) bodySetAwake(&w->bodies[j->bodyIndexA], true);
  if (validBody(w, j->bodyIndexB)) bodySetAwake(&w->bodies[j->bodyIndexB], true);
  // The slot stays empty until reused: no other joint moves, so every other handle
  // keeps naming its joint.
  j->isEnabled = false;
  j->bodyIndexA = -1;
  j->bodyIndexB = -1;
  JointSlots& js = w->jointSlots[h.type];
  ++js.generation[h.index];
  js.freeList[js.numFree++] = h.index;
}

void worldStep(World* w, f64 dt) {
  if (!(dt > 0.0) || !std::isfinite(dt)) return;  // a bad step length changes nothing
  Body* bodies = w->bodies;
  u32 n = w->numBodies;
  const SolverConfig* sc = &w->solverConfig;

  checkBodiesBeforeStep(w, dt);
  initConstrainedVelocities(bodies, n, w->approachVel);
  integrateVelocities(bodies, n, dt);
  applyVectorFields(bodies, n, w->vectorFields, w->numVectorFields, dt);
  checkVelocities(w);
  updateWorldInertias(bodies, n);

  // Last step's manifolds become the previous ones; this step writes each new
  // manifold in full, so the arrays trade places instead of copying megabytes.
  std::swap(w->prevContactManifolds, w->contactManifolds);
  w->numPrevContactManifolds = w->numContactManifolds;
  w->numContactManifolds = 0;

  w->solverConfig.timeStep = dt;
  broadphaseRefresh(w, dt);
  narrowphase(w, dt);
  wakeJointPartners(w);  // of the bodies the narrowphase woke
  matchContacts(w);

  initConstrainedVelocities(bodies, n, w->constrainedVel);
  initSplitVelocities(w->splitVel, n);
  contactSolverInit(w->contactSolverData, &w->numContactSolverManifolds, w->contactManifolds,
                    w->numContactManifolds, bodies, n, sc, w->approachVel);
  u32 nm = w->numContactSolverManifolds;

  jointsPreSolve(w, dt);
  contactSolverWarmStart(w->contactSolverData, nm, w->constrainedVel);
  jointsWarmStart(w);
  for (u32 it = 0; it < sc->velocityIterations; ++it) {
    jointsSolveVelocity(w);
    contactSolverSolveVelocity(w->contactSolverData, nm, w->constrainedVel, sc);
  }
  applyConstrainedVelocities(bodies, n, w->constrainedVel);

  for (u32 it = 0; it < sc->positionIterations; ++it) {
    updateWorldInertias(bodies, n);
    jointsSolvePosition(w);
    contactSolverSolvePosition(w->contactSolverData, nm, w->splitVel, sc);
  }

  applySplitImpulseCorrection(bodies, n, w->splitVel, dt);
  integratePositions(bodies, n, dt);
  applyDamping(bodies, n, dt);

  if (w->config.isSleepingEnabled) updateSleepingBodies(w, dt);
  for (u32 i = 0; i < n; ++i) bodyClearForces(&bodies[i]);
  finishBodies(w);
  contactSolverStoreImpulses(w->contactSolverData, nm, w->contactManifolds);
}

WorldContactStats worldGetContactStats(const World* w) {
  WorldContactStats s{};
  s.capacity = w->manifoldCapacity;
  s.peak = w->peakManifolds;
  s.growths = w->manifoldGrowths;
  s.dropped = w->manifoldsDropped;
  return s;
}

u32 worldUpdate(World* w, f64 dt) {
  if (!(dt > 0.0) || !(w->fixedTimeStep > 0.0)) return 0;
  f64 cap = 8.0 * w->fixedTimeStep;
  w->accumulator = std::fmin(w->accumulator + dt, cap);
  u32 steps = 0;
  while (w->accumulator >= w->fixedTimeStep) {
    worldStep(w, w->fixedTimeStep);
    w->accumulator -= w->fixedTimeStep;
    ++steps;
  }
  return steps;
}

b8 worldRaycast(World* w, v3 rayStart, v3 rayEnd, RaycastHit* hitOut) {
  return raycast(w, rayStart, rayEnd, nullptr, nullptr, hitOut);
}

b8 worldRaycastAll(World* w, v3 rayStart, v3 rayEnd, WorldRaycastCallback callback,
                   void* userData) {
  if (!callback) return false;
  return raycast(w, rayStart, rayEnd, callback, userData, nullptr);
}

void worldQueryAabb(World* w, Aabb aabb, WorldAabbCallback callback, void* userData) {
  if (!callback) return;
  AabbAdapter a{callback, userData};
  broadphaseQueryAabb(&w->broadphase, aabb, aabbVisit, &a);
}

u32 worldGetNumBodies(const World* w) { return w->numBodies - w->numFreeBodyIndices; }
u32 worldGetNumContacts(const World* w) { return w->numContactManifolds; }
const CollisionPair* worldGetCollisionPairs(const World* w, u32* count) {
  return broadphaseGetPairs(&w->broadphase, count);
}

void ufUnion(i32* parent, i32 a, i32 b, u32 n) {
  i32 ra = ufFind(parent, a, n);
  i32 rb = ufFind(parent, b, n);
  if (ra == rb || ra < 0 || rb < 0 || (u32)ra >= n || (u32)rb >= n) return;
  parent[rb] = ra;
}

b8 worldStartThread(World* w, f64 fixedDt) {
  if (w->thread) return true;
  w->fixedDt = fixedDt;
  w->runFlag.store(1);
  publishSnapshot(w, 0.0);
  w->thread = threadCreate(worldThreadFn, w);
  if (!w->thread) {
    w->runFlag.store(0);
    return false;
  }
  return true;
}

void worldStopThread(World* w) {
  if (!w->thread) return;
  w->runFlag.store(0, std::memory_order_release);
  threadJoin(w->thread);
  threadDestroy(w->thread);
  w->thread = nullptr;
}

u32 worldThreadAdvance(World* w, f64* acc, f64* t0, f64 t, f64 dt) {
  f64 elapsed = t - *t0;
  if (!(elapsed > 0.0)) elapsed = 0.0;
  if (elapsed > kMaxThreadCatchUp) elapsed = kMaxThreadCatchUp;
  *acc += elapsed;
  *t0 = t;
  u32 steps = 0;
  if (!(dt > 0.0)) return 0;
  while (*acc >= dt) {
    worldLock(w);
    worldStep(w, dt);
    publishSnapshot(w, t);
    worldUnlock(w);
    *acc -= dt;
    ++steps;
    // A frame-thread caller waits: let it in before the next step (a mutex
    // handed straight back would starve it through a whole catch-up).
    while (w->lockWaiters.load(std::memory_order_acquire) > 0) threadYield();
  }
  return steps;
}

void worldLock(World* w) {
  if (!w->lockReady) return;
  w->lockWaiters.fetch_add(1, std::memory_order_acq_rel);
  threadMutexLock(&w->lock);
  w->lockWaiters.fetch_sub(1, std::memory_order_acq_rel);
}

void worldUnlock(World* w) {
  if (w->lockReady) threadMutexUnlock(&w->lock);
}

void publishSnapshot(World* w, f64 timeSec) {
  u32 head = w->snapHead.load();
  u32 reader = w->snapReader.load();
  u32 target = 0;
  while (target == head || target == reader) ++target;
  Snapshot& s = w->snaps[target];
  if (w->numBodies > s.capacity) {
    u32 cap = s.capacity ? s.capacity * 2 : 64;
    while (cap < w->numBodies) cap *= 2;
    Xform* grown = static_cast<Xform*>(memRealloc(s.xforms, (size_t)cap * sizeof(Xform)));
    if (!grown) return;  // keep the last published poses
    s.xforms = grown;
    s.capacity = cap;
  }
  s.count = w->numBodies;
  s.timeSec = timeSec;
  s.sequence = ++w->snapSequence;
  for (u32 i = 0; i < w->numBodies; ++i) {
    const Body& b = w->bodies[i];
    s.xforms[i].pos = b.position;
    s.xforms[i].rot = b.rotation;
    s.xforms[i].id = (u32)b.id;
  }
  w->snapHead.store(target);
}

void worldPublishSnapshot(World* w) { publishSnapshot(w, 0.0); }

const Snapshot* worldGetSnapshot(const World* w) { return &w->snaps[w->snapHead.load()]; }

const Snapshot* worldAcquireSnapshot(World* w) {
  // Pin the head, then check it is still the head: a writer choosing its next
  // buffer after our pin sees it and leaves it alone.
  u32 head = w->snapHead.load();
  for (;;) {
    w->snapReader.store(head);
    u32 now = w->snapHead.load();
    if (now == head) break;
    head = now;
  }
  return &w->snaps[head];
}

void worldReleaseSnapshot(World* w) { w->snapReader.store(kNoSnapshot); }
