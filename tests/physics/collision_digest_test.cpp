// Golden digests of the exact output bits of the collision routines on fixed
// pseudo-random inputs. Contacts and pair orders feed the solver and the saved
// worlds, so speed work on these routines must leave every bit unchanged; a
// changed digest means a changed result, not a test to update.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "physics/broadphase.h"
#include "physics/narrowphase.h"
#include "physics/shapes.h"
#include "shape_fixtures.h"

namespace {

// splitmix64: the same sequence with every compiler and standard library.
struct Rng {
  u64 s;
  u64 next() {
    u64 z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  f64 unit() { return (f64)(next() >> 11) * (1.0 / 9007199254740992.0); }
  f64 range(f64 lo, f64 hi) { return lo + (hi - lo) * unit(); }
  u32 below(u32 n) { return (u32)(next() % n); }
  // Draws in x, y, z order (argument evaluation order differs between compilers).
  v3 box(v3 lo, v3 hi) {
    f64 x = range(lo.x, hi.x);
    f64 y = range(lo.y, hi.y);
    f64 z = range(lo.z, hi.z);
    return V3(x, y, z);
  }
  v3 cube(f64 lo, f64 hi) { return box(V3(lo, lo, lo), V3(hi, hi, hi)); }
  // Each coordinate one of 0, 1, ..., n - 1.
  v3 grid(u32 n) {
    f64 x = (f64)below(n);
    f64 y = (f64)below(n);
    f64 z = (f64)below(n);
    return V3(x, y, z);
  }
};

struct Digest {
  u64 h = 0xcbf29ce484222325ull;
  void bytes(const void* p, size_t n) {
    const u8* b = (const u8*)p;
    for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 0x100000001b3ull;
  }
  void f(f64 x) { bytes(&x, sizeof x); }
  void u(u64 x) { bytes(&x, sizeof x); }
  void v(v3 x) {
    f(x.x);
    f(x.y);
    f(x.z);
  }
  void manifold(b8 hit, const ContactManifold& m) {
    u(hit ? 1 : 0);
    u(m.numContacts);
    for (u32 i = 0; i < m.numContacts && i < 4; ++i) {
      v(m.points[i].localPointA);
      v(m.points[i].localPointB);
      v(m.points[i].normal);
      f(m.points[i].penetrationDepth);
    }
  }
};

v4 randomQuat(Rng& r) {
  v3 xyz = r.cube(-1, 1);
  v4 q = V4(xyz.x, xyz.y, xyz.z, r.range(-1, 1));
  f64 len = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
  if (len < 1e-3) return quatIdentity();
  return V4(q.x / len, q.y / len, q.z / len, q.w / len);
}

// Orientations where faces and edges line up exactly: ties between axes and
// parallel edges, which random poses never produce.
v4 alignedQuat(Rng& r) {
  const f64 h = 0.5, s = 0.70710678118654752;
  const v4 table[] = {quatIdentity(), V4(s, 0, 0, s), V4(0, s, 0, s), V4(0, 0, s, s),
                      V4(1, 0, 0, 0), V4(0, 1, 0, 0), V4(h, h, h, h), V4(-h, h, -h, h),
                      V4(0, 0, 0.38268343236508977, 0.92387953251128674)};
  return table[r.below(sizeof(table) / sizeof(table[0]))];
}

// A pose for shape B near shape A at the origin: random, aligned, or aligned
// with a tiny tilt, at distances from deep overlap to just apart.
void randomPose(Rng& r, f64 reach, Transform* ta, Transform* tb) {
  u32 kind = r.below(3);
  ta->position = V3(0, 0, 0);
  if (kind == 0) {
    ta->orientation = randomQuat(r);
    tb->orientation = randomQuat(r);
    v3 d = r.cube(-1, 1);
    tb->position = d * reach;
  } else {
    ta->orientation = alignedQuat(r);
    tb->orientation = alignedQuat(r);
    if (kind == 2) tb->orientation = quatNormalize(tb->orientation + V4(1e-3, -2e-3, 0, 0) * r.range(-1, 1));
    // Grid positions give exactly equal depths on several axes.
    tb->position = (r.grid(9) - V3(4, 4, 4)) * (reach * 0.25);
  }
}

BoxShape randomBox(Rng& r, b8 grid) {
  BoxShape b;
  if (grid) boxInit(&b, (r.grid(4) + V3(1, 1, 1)) * 0.25);
  else boxInit(&b, r.cube(0.05, 1.0));
  return b;
}

template <typename Fn>
u64 runPairs(u64 seed, u32 count, Fn collide) {
  Rng r{seed};
  Digest d;
  u32 hits = 0;
  for (u32 i = 0; i < count; ++i) {
    ContactManifold m{};
    b8 hit = collide(r, &m);
    hits += hit ? 1 : 0;
    d.manifold(hit, m);
  }
  // Most poses touch, some do not: both paths are in the digest.
  EXPECT_GT(hits, count / 4);
  EXPECT_LT(hits, count);
  return d.h;
}

TEST(CollisionDigest, BoxBoxBothOrders) {
  u64 h = runPairs(11, 6000, [](Rng& r, ContactManifold* m) {
    b8 grid = r.below(2) == 0;
    BoxShape a = randomBox(r, grid), b = randomBox(r, grid);
    Transform ta, tb;
    randomPose(r, 1.6, &ta, &tb);
    b8 swap = r.below(2) == 0;
    return swap ? narrowphaseCollide(&b.base, tb, &a.base, ta, m)
                : narrowphaseCollide(&a.base, ta, &b.base, tb, m);
  });
  // Box pairs go through the dedicated box-box routine since it replaced the
  // polyhedron path (points chosen to span the clipped face, not the first four).
  EXPECT_EQ(h, 0x27d9552410b5e8f2ull) << std::hex << h;
}

TEST(CollisionDigest, BoxConvexAndConvexConvex) {
  ConvexPolyhedronShape prisms[3];
  ASSERT_TRUE(makePrism(&prisms[0], 3, 0.4, 0.7));
  ASSERT_TRUE(makePrism(&prisms[1], 4, 0.5, 0.7071067811865476));
  ASSERT_TRUE(makePrism(&prisms[2], 7, 0.3, 0.8));
  u64 h = runPairs(12, 3000, [&](Rng& r, ContactManifold* m) {
    BoxShape b = randomBox(r, r.below(2) == 0);
    const ConvexPolyhedronShape* p = &prisms[r.below(3)];
    const ConvexPolyhedronShape* q = &prisms[r.below(3)];
    Transform ta, tb;
    randomPose(r, 1.5, &ta, &tb);
    switch (r.below(3)) {
      case 0: return narrowphaseCollide(&b.base, ta, &p->base, tb, m);
      case 1: return narrowphaseCollide(&p->base, ta, &b.base, tb, m);
      default: return narrowphaseCollide(&p->base, ta, &q->base, tb, m);
    }
  });
  for (auto& p : prisms) convexPolyDestroy(&p);
  EXPECT_EQ(h, 0xaea10b6118de21b3ull) << std::hex << h;
}

TEST(CollisionDigest, CapsuleAndSphereAgainstBoxesAndPolyhedra) {
  ConvexPolyhedronShape prism;
  ASSERT_TRUE(makePrism(&prism, 5, 0.5, 0.8));
  u64 h = runPairs(13, 4000, [&](Rng& r, ContactManifold* m) {
    BoxShape b = randomBox(r, r.below(2) == 0);
    CapsuleShape c;
    f64 radius = r.range(0.05, 0.5);
    capsuleInit(&c, radius, r.range(0.0, 1.5));
    SphereShape s;
    sphereInit(&s, r.range(0.05, 0.8));
    Transform ta, tb;
    randomPose(r, 1.4, &ta, &tb);
    switch (r.below(5)) {
      case 0: return narrowphaseCollide(&c.base, ta, &b.base, tb, m);
      case 1: return narrowphaseCollide(&b.base, ta, &c.base, tb, m);
      case 2: return narrowphaseCollide(&c.base, ta, &prism.base, tb, m);
      case 3: return narrowphaseCollide(&s.base, ta, &prism.base, tb, m);
      default: return narrowphaseCollide(&prism.base, ta, &s.base, tb, m);
    }
  });
  convexPolyDestroy(&prism);
  EXPECT_EQ(h, 0xd59a8bc9a23c57a9ull) << std::hex << h;
}

struct QueryDigest {
  Digest* d;
};

void onAabb(i32, i32 body, void* user) { ((QueryDigest*)user)->d->u((u64)body); }
b8 onRay(i32 body, void* user) {
  ((QueryDigest*)user)->d->u((u64)body + 7);
  return true;
}

// Adds, removals, moves and pair queries with and without a mask, plus box
// queries and raycasts, as a world would issue them over many steps.
TEST(CollisionDigest, BroadphaseSequence) {
  constexpr u32 kBodies = 700;
  Rng r{14};
  std::vector<v3> centre(kBodies), half(kBodies), vel(kBodies);
  for (u32 i = 0; i < kBodies; ++i) {
    centre[i] = r.box(V3(0, 0, 0), V3(24, 6, 24));
    half[i] = r.cube(0.1, 0.8);
    vel[i] = r.cube(-1, 1) * (1.0 / 30.0);
    if (i % 4 == 0) vel[i] = V3(0, 0, 0);
  }
  auto box = [&](u32 i) { return Aabb{centre[i] - half[i], centre[i] + half[i]}; };
  std::vector<u64> words(((kBodies + 255) / 256) * 4, 0);
  for (u32 i = 0; i < kBodies; ++i)
    if (i % 4 != 0) words[i / 64] |= 1ull << (i % 64);
  Bitset mask{words.data(), (u32)words.size()};

  Broadphase bp;
  ASSERT_TRUE(broadphaseInit(&bp, 0));
  Digest d;
  QueryDigest qd{&d};
  std::vector<b8> present(kBodies, false);
  // Added in sorted order first: a deep, unbalanced start.
  for (u32 i = 0; i < kBodies / 2; ++i) {
    d.u((u64)broadphaseAddBody(&bp, (i32)i, box(i)));
    present[i] = true;
  }
  u64 totalPairs = 0;
  for (u32 step = 0; step < 120; ++step) {
    for (u32 i = 0; i < kBodies; ++i) {
      centre[i] += vel[i];
      if (!present[i]) {
        if (r.below(20) == 0) {
          d.u((u64)broadphaseAddBody(&bp, (i32)i, box(i)));
          present[i] = true;
        }
        continue;
      }
      if (r.below(200) == 0) {
        broadphaseRemoveBody(&bp, (i32)i);
        present[i] = false;
        continue;
      }
      if (vel[i].x != 0.0 || vel[i].y != 0.0 || vel[i].z != 0.0)
        d.u(broadphaseUpdateBody(&bp, (i32)i, box(i), vel[i]) ? 1 : 0);
    }
    // A run of queries with a limit below the bodies in the tree, and single ones
    // with another limit or without the mask.
    u32 limit = (step >= 40 && step < 46) || step % 7 == 3 ? kBodies / 2 : kBodies;
    u32 n = broadphaseQueryPairs(&bp, limit, step % 5 == 4 ? nullptr : &mask);
    u32 count = 0;
    const CollisionPair* pairs = broadphaseGetPairs(&bp, &count);
    EXPECT_EQ(n, count);
    d.u(count);
    for (u32 k = 0; k < count; ++k) {
      d.u((u64)pairs[k].bodyA);
      d.u((u64)pairs[k].bodyB);
    }
    totalPairs += count;
    v3 q = r.box(V3(0, 0, 0), V3(24, 6, 24));
    broadphaseQueryAabb(&bp, Aabb{q - V3(2, 2, 2), q + V3(2, 2, 2)}, onAabb, &qd);
    v3 from = r.box(V3(-2, -1, -2), V3(26, 7, 26));
    v3 to = step % 3 == 0 ? from + V3(30, 0, 0) : r.box(V3(-2, -1, -2), V3(26, 7, 26));
    broadphaseRaycast(&bp, from, to, onRay, &qd);
    if (step == 60) {
      broadphaseClear(&bp);
      for (u32 i = 0; i < kBodies; ++i) present[i] = false;
    }
  }
  EXPECT_GT(totalPairs, 1000u);
  broadphaseDestroy(&bp);
  EXPECT_EQ(d.h, 0xcde2f52938a430f6ull) << std::hex << d.h;
}

}  // namespace
