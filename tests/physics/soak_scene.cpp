#include "soak_scene.h"

#include <cmath>

#include "demo_scene.h"

namespace {

constexpr f64 kHalf = 6.0;     // half width of the open space
constexpr f64 kHeight = 12.0;  // height of the open space

u64 nextRandom(u64* state) {
  // xorshift64*: small, and the same everywhere.
  u64 x = *state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  *state = x;
  return x * 2685821657736338717ull;
}

// Uniform in [-1, 1).
f64 signedUnit(u64* state) { return (f64)(nextRandom(state) >> 11) * (2.0 / 9007199254740992.0) - 1.0; }

i32 addMoving(SoakScene* s, World* w, Shape* shape, v3 inertia, v3 pos, v4 rot) {
  if (s->numBodies >= kSoakMaxBodies) return -1;
  i32 id = demoCreateBody(w, shape, inertia, pos, rot, 1.0, 0.5, 0.2, BODY_DYNAMIC);
  if (id >= 0) s->bodies[s->numBodies++] = id;
  return id;
}

// Jointed neighbours do not collide with each other.
b8 countJoint(SoakScene* s, World* w, JointHandle h, i32 a, i32 b) {
  if (h.index < 0) return false;
  ++s->numJoints;
  if (worldGetBody(w, a)->type != BODY_STATIC) worldDisableCollisionBetween(w, a, b);
  return true;
}

}  // namespace

b8 soakSceneBuild(SoakScene* s, World* w) {
  worldClear(w);
  s->numBodies = s->numJoints = 0;
  s->rng = 0x9E3779B97F4A7C15ull;
  s->inside = Aabb{V3(-kHalf, 0, -kHalf), V3(kHalf, kHeight, kHalf)};
  // Floor, ceiling and four walls, 2 m thick, overlapping at the edges.
  const f64 t = 1.0, span = kHalf + 2.0 * t;
  const v3 he[6] = {V3(span, t, span), V3(span, t, span), V3(t, kHeight * 0.5 + t, span),
                    V3(t, kHeight * 0.5 + t, span), V3(span, kHeight * 0.5 + t, t),
                    V3(span, kHeight * 0.5 + t, t)};
  const v3 pos[6] = {V3(0, -t, 0), V3(0, kHeight + t, 0), V3(-kHalf - t, kHeight * 0.5, 0),
                     V3(kHalf + t, kHeight * 0.5, 0), V3(0, kHeight * 0.5, -kHalf - t),
                     V3(0, kHeight * 0.5, kHalf + t)};
  i32 ceiling = -1;
  for (int i = 0; i < 6; ++i) {
    boxInit(&s->walls[i], he[i]);
    i32 id = demoCreateBody(w, &s->walls[i].base, V3(0, 0, 0), pos[i], quatIdentity(), 0.0, 0.6,
                            0.2, BODY_STATIC);
    if (id < 0) return false;
    if (i == 1) ceiling = id;
  }
  boxInit(&s->box, V3(0.4, 0.4, 0.4));
  boxInit(&s->plank, V3(0.8, 0.15, 0.3));
  sphereInit(&s->ball, 0.35);
  capsuleInit(&s->capsule, 0.25, 0.8);
  v3 boxI = bodyInertiaBox(1.0, s->box.halfExtents), plankI = bodyInertiaBox(1.0, s->plank.halfExtents);
  v3 ballI = bodyInertiaSphere(1.0, 0.35), capI = bodyInertiaCapsule(1.0, 0.25, 0.8);

  // Loose bodies on a grid in the lower half.
  for (u32 i = 0; i < 36; ++i) {
    v3 p = V3(-4.5 + 1.8 * (f64)(i % 6), 0.8 + 1.6 * (f64)(i / 18), -4.5 + 1.8 * (f64)((i / 6) % 3));
    Shape* shape = i % 3 == 0 ? &s->box.base : (i % 3 == 1 ? &s->ball.base : &s->capsule.base);
    v3 inertia = i % 3 == 0 ? boxI : (i % 3 == 1 ? ballI : capI);
    if (addMoving(s, w, shape, inertia, p, quatFromAxisAngle(V3(0.3, 1, 0.2), 0.4 * i)) < 0)
      return false;
  }
  // Two chains of four balls hanging from the ceiling.
  for (int c = 0; c < 2; ++c) {
    f64 x = c ? 3.0 : -3.0;
    i32 prev = ceiling;
    for (int k = 0; k < 4; ++k) {
      i32 id = addMoving(s, w, &s->ball.base, ballI, V3(x, kHeight - 0.5 - 0.8 * k, 3.0), quatIdentity());
      if (id < 0) return false;
      v3 anchor = V3(x, kHeight - 0.1 - 0.8 * k, 3.0);
      if (!countJoint(s, w, worldCreateBallSocketJoint(w, prev, id, anchor), prev, id)) return false;
      prev = id;
    }
  }
  // A motorised hinge, a limited slider with a motor, a fixed pair: planks.
  struct Pair {
    i32 a, b;
  };
  Pair pairs[3];
  for (int k = 0; k < 3; ++k) {
    v3 c = V3(-3.0 + 3.0 * k, 6.0, -2.0);
    pairs[k].a = addMoving(s, w, &s->plank.base, plankI, c, quatIdentity());
    pairs[k].b = addMoving(s, w, &s->plank.base, plankI, c + V3(1.6, 0, 0), quatIdentity());
    if (pairs[k].a < 0 || pairs[k].b < 0) return false;
  }
  JointHandle hinge = worldCreateHingeJoint(w, pairs[0].a, pairs[0].b, V3(-2.2, 6.0, -2.0), V3(0, 0, 1));
  if (!countJoint(s, w, hinge, pairs[0].a, pairs[0].b)) return false;
  HingeJoint* hj = &w->hingeJoints[hinge.index];
  hj->isMotorEnabled = true;
  hj->motorSpeed = 2.0;
  hj->maxMotorTorque = 20.0;
  JointHandle slider = worldCreateSliderJoint(w, pairs[1].a, pairs[1].b, V3(0.8, 6.0, -2.0), V3(1, 0, 0));
  if (!countJoint(s, w, slider, pairs[1].a, pairs[1].b)) return false;
  SliderJoint* sj = &w->sliderJoints[slider.index];
  sj->isLimitEnabled = true;
  sj->lowerLimit = -0.5;
  sj->upperLimit = 0.5;
  sj->isMotorEnabled = true;
  sj->motorSpeed = 1.0;
  sj->maxMotorForce = 30.0;
  if (!countJoint(s, w, worldCreateFixedJoint(w, pairs[2].a, pairs[2].b), pairs[2].a, pairs[2].b))
    return false;
  return true;
}

void soakSceneShake(SoakScene* s, World* w, u32 step) {
  if (step % 4 != 0 || s->numBodies == 0) return;
  i32 id = s->bodies[nextRandom(&s->rng) % s->numBodies];
  Body* b = worldGetBody(w, id);
  v3 dir = V3(signedUnit(&s->rng), signedUnit(&s->rng) * 0.5 + 0.5, signedUnit(&s->rng));
  v3 at = b->position + V3(signedUnit(&s->rng), signedUnit(&s->rng), signedUnit(&s->rng)) * 0.3;
  // Up to about 8 m/s for a 1 kg body: lively, but no faster than walls can stop.
  bodyApplyImpulseAtPoint(b, dir * (8.0 * (0.25 + 0.75 * (signedUnit(&s->rng) * 0.5 + 0.5))), at);
}

SoakFigures soakSceneMeasure(const SoakScene* s, World* w) {
  SoakFigures f{true, 0.0, 0.0};
  for (u32 i = 0; i < s->numBodies; ++i) {
    const Body* b = worldGetBody(w, s->bodies[i]);
    v3 p = b->position;
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z) ||
        !std::isfinite(b->rotation.w) || !std::isfinite(b->linearVelocity.x) ||
        !std::isfinite(b->linearVelocity.y) || !std::isfinite(b->linearVelocity.z)) {
      f.allFinite = false;
      continue;
    }
    f64 out = 0.0;
    out = std::fmax(out, s->inside.min.x - p.x);
    out = std::fmax(out, p.x - s->inside.max.x);
    out = std::fmax(out, s->inside.min.y - p.y);
    out = std::fmax(out, p.y - s->inside.max.y);
    out = std::fmax(out, s->inside.min.z - p.z);
    out = std::fmax(out, p.z - s->inside.max.z);
    f.farthestOutside = std::fmax(f.farthestOutside, out);
    f.fastest = std::fmax(f.fastest, v3Length(b->linearVelocity));
  }
  return f;
}
