#include "physics/broadphase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

using PairSet = std::set<std::pair<i32, i32>>;

b8 overlap(const Aabb& a, const Aabb& b) {
  return a.min.x <= b.max.x && b.min.x <= a.max.x && a.min.y <= b.max.y && b.min.y <= a.max.y &&
         a.min.z <= b.max.z && b.min.z <= a.max.z;
}

struct Bp {
  Broadphase bp;
  Bp(u32 cap = 0) { EXPECT_TRUE(broadphaseInit(&bp, cap)); }
  ~Bp() { broadphaseDestroy(&bp); }
};

Aabb boxAt(v3 c, f64 h) { return Aabb{c - V3(h, h, h), c + V3(h, h, h)}; }

// Pairs of the last query, checked for duplicates and for (smaller, larger) order.
PairSet queriedPairs(Broadphase* bp, u32 n, const Bitset* mask) {
  u32 count = broadphaseQueryPairs(bp, n, mask);
  u32 got = 0;
  const CollisionPair* pairs = broadphaseGetPairs(bp, &got);
  EXPECT_EQ(count, got);
  PairSet set;
  for (u32 i = 0; i < got; ++i) {
    EXPECT_LT(pairs[i].bodyA, pairs[i].bodyB);
    EXPECT_TRUE(set.insert({pairs[i].bodyA, pairs[i].bodyB}).second) << "duplicate pair";
  }
  return set;
}

// Every overlapping pair of stored fat boxes with at least one body in the mask,
// by an independent sweep along x.
PairSet bruteForcePairs(Broadphase* bp, u32 n, const std::vector<b8>& inMask) {
  std::vector<u32> order;
  for (u32 i = 0; i < n; ++i)
    if (bp->inTree[i]) order.push_back(i);
  const Aabb* box = bp->bodyAabbs;
  std::sort(order.begin(), order.end(), [&](u32 a, u32 b) { return box[a].min.x < box[b].min.x; });
  PairSet set;
  for (size_t k = 0; k < order.size(); ++k) {
    u32 i = order[k];
    for (size_t m = k + 1; m < order.size() && box[order[m]].min.x <= box[i].max.x; ++m) {
      u32 j = order[m];
      if ((inMask[i] || inMask[j]) && overlap(box[i], box[j]))
        set.insert({(i32)std::min(i, j), (i32)std::max(i, j)});
    }
  }
  return set;
}

// The pair list as the straightforward algorithm builds it: last step's pairs that
// still overlap, in their order, then for each querying body in increasing order the
// leaves a depth-first traversal (left pushed before right) finds, skipping pairs
// already listed.
std::vector<std::pair<i32, i32>> referencePairs(const Broadphase* bp, u32 n, const Bitset* mask) {
  auto in = [&](u32 i) { return !mask || ((mask->words[i / 64] >> (i % 64)) & 1); };
  std::vector<std::pair<i32, i32>> out;
  std::set<std::pair<i32, i32>> seen;
  for (u32 k = 0; k < bp->lastPairCount; ++k) {
    i32 a = bp->lastPairs[k].bodyA, b = bp->lastPairs[k].bodyB;
    if ((u32)a >= n || (u32)b >= n || !bp->inTree[a] || !bp->inTree[b]) continue;
    if (!in(a) && !in(b)) continue;
    if (!overlap(bp->bodyAabbs[a], bp->bodyAabbs[b])) continue;
    if (seen.insert({std::min(a, b), std::max(a, b)}).second) out.push_back({a, b});
  }
  if (bp->root < 0) return out;
  for (u32 i = 0; i < n; ++i) {
    if (!bp->inTree[i] || !in(i)) continue;
    std::vector<i32> stack{bp->root};
    while (!stack.empty()) {
      const BvhNode& node = bp->nodes[stack.back()];
      stack.pop_back();
      if (!overlap(bp->bodyAabbs[i], node.box)) continue;
      if (node.left >= 0) {
        stack.push_back(node.left);
        stack.push_back(node.right);
      } else if (node.body != (i32)i) {
        std::pair<i32, i32> p{std::min((i32)i, node.body), std::max((i32)i, node.body)};
        if (seen.insert(p).second) out.push_back(p);
      }
    }
  }
  return out;
}

std::vector<std::pair<i32, i32>> pairList(const Broadphase* bp) {
  std::vector<std::pair<i32, i32>> out;
  for (u32 i = 0; i < bp->pairCount; ++i) out.push_back({bp->pairs[i].bodyA, bp->pairs[i].bodyB});
  return out;
}

struct Mask {
  std::vector<u64> words;
  Bitset bits;
  explicit Mask(const std::vector<b8>& in) : words((in.size() + 255) / 256 * 4, 0) {
    for (size_t i = 0; i < in.size(); ++i)
      if (in[i]) words[i / 64] |= 1ull << (i % 64);
    bits = Bitset{words.data(), (u32)words.size()};
  }
};

TEST(Broadphase, PairsMatchBruteForceOnMovingBoxes) {
  const u32 n = 3000;
  Bp b;
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<f64> pos(0.0, 40.0), size(0.05, 0.6), step(-0.15, 0.15);
  std::vector<v3> centres(n);
  std::vector<f64> halves(n);
  std::vector<b8> dynamic(n);
  for (u32 i = 0; i < n; ++i) {
    centres[i] = V3(pos(rng), pos(rng) * 0.25, pos(rng));
    halves[i] = size(rng);
    dynamic[i] = i % 4 != 0;  // a quarter static
    ASSERT_GE(broadphaseAddBody(&b.bp, (i32)i, boxAt(centres[i], halves[i])), 0);
  }
  Mask mask(dynamic);
  for (int s = 0; s < 12; ++s) {
    for (u32 i = 0; i < n; ++i) {
      if (!dynamic[i]) continue;
      v3 d = V3(step(rng), step(rng), step(rng));
      centres[i] += d;
      broadphaseUpdateBody(&b.bp, (i32)i, boxAt(centres[i], halves[i]), d);
    }
    // Some bodies leave and come back.
    if (s == 5)
      for (u32 i = 0; i < n; i += 97) broadphaseRemoveBody(&b.bp, (i32)i);
    if (s == 8)
      for (u32 i = 0; i < n; i += 97) broadphaseAddBody(&b.bp, (i32)i, boxAt(centres[i], halves[i]));
    auto ordered = referencePairs(&b.bp, n, &mask.bits);
    PairSet got = queriedPairs(&b.bp, n, &mask.bits);
    PairSet want = bruteForcePairs(&b.bp, n, dynamic);
    ASSERT_EQ(got, want) << "step " << s;
    ASSERT_EQ(pairList(&b.bp), ordered) << "step " << s;
    ASSERT_GT(want.size(), 100u);
  }
  // Without a mask every body queries.
  std::vector<b8> all(n, true);
  auto ordered = referencePairs(&b.bp, n, nullptr);
  EXPECT_EQ(queriedPairs(&b.bp, n, nullptr), bruteForcePairs(&b.bp, n, all));
  EXPECT_EQ(pairList(&b.bp), ordered);
  // Bodies at or beyond the count do not query.
  std::vector<b8> firstHalf(n, false);
  for (u32 i = 0; i < n / 2; ++i) firstHalf[i] = true;
  PairSet half = queriedPairs(&b.bp, n / 2, nullptr);
  for (auto& p : half) EXPECT_LT(p.first, (i32)(n / 2));
}

TEST(Broadphase, QueriesAndRaysMatchBruteForce) {
  const u32 n = 2000;
  Bp b;
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<f64> pos(-20.0, 20.0), size(0.1, 1.0);
  for (u32 i = 0; i < n; ++i)
    broadphaseAddBody(&b.bp, (i32)i, boxAt(V3(pos(rng), pos(rng), pos(rng)), size(rng)));

  auto collect = [](i32, i32 body, void* user) { static_cast<std::vector<i32>*>(user)->push_back(body); };
  for (int q = 0; q < 50; ++q) {
    Aabb box = boxAt(V3(pos(rng), pos(rng), pos(rng)), 4.0);
    std::vector<i32> got;
    broadphaseQueryAabb(&b.bp, box, collect, &got);
    std::sort(got.begin(), got.end());
    std::vector<i32> want;
    for (u32 i = 0; i < n; ++i)
      if (overlap(b.bp.bodyAabbs[i], box)) want.push_back((i32)i);
    ASSERT_EQ(got, want);
  }

  auto hitAll = [](i32 body, void* user) {
    static_cast<std::vector<i32>*>(user)->push_back(body);
    return true;
  };
  for (int q = 0; q < 100; ++q) {
    v3 s = V3(pos(rng), pos(rng), pos(rng)), e = V3(pos(rng), pos(rng), pos(rng));
    if (q % 10 == 0) e = V3(s.x + 30.0, s.y, s.z);  // axis-parallel
    std::vector<i32> got;
    broadphaseRaycast(&b.bp, s, e, hitAll, &got);
    std::sort(got.begin(), got.end());
    // Brute force: the segment crosses the box (slab test on the segment parameter).
    std::vector<i32> want;
    for (u32 i = 0; i < n; ++i) {
      const Aabb& a = b.bp.bodyAabbs[i];
      f64 t0 = 0.0, t1 = 1.0;
      b8 ok = true;
      for (int k = 0; k < 3 && ok; ++k) {
        f64 o = v3Get(s, k), d = v3Get(e - s, k);
        if (std::fabs(d) < 1e-12) {
          ok = o >= v3Get(a.min, k) && o <= v3Get(a.max, k);
          continue;
        }
        f64 ta = (v3Get(a.min, k) - o) / d, tb = (v3Get(a.max, k) - o) / d;
        t0 = std::max(t0, std::min(ta, tb));
        t1 = std::min(t1, std::max(ta, tb));
        ok = t0 <= t1;
      }
      if (ok) want.push_back((i32)i);
    }
    ASSERT_EQ(got, want) << "ray " << q;
  }
  // A callback returning false stops the ray.
  int calls = 0;
  auto stop = [](i32, void* user) {
    ++*static_cast<int*>(user);
    return false;
  };
  broadphaseRaycast(&b.bp, V3(-30, 0, 0), V3(30, 0, 0), stop, &calls);
  EXPECT_LE(calls, 1);
  calls = 0;
  broadphaseRaycast(&b.bp, V3(1, 1, 1), V3(1, 1, 1), stop, &calls);  // zero length
  EXPECT_EQ(calls, 0);
}

// Bodies added in sorted order build a chain far deeper than any fixed stack;
// nothing may be lost.
TEST(Broadphase, DeepTreeLosesNothing) {
  const u32 n = 1500;
  Bp b;
  for (u32 i = 0; i < n; ++i) {
    f64 x = i * 0.5;
    broadphaseAddBody(&b.bp, (i32)i, Aabb{V3(x, 0, 0), V3(x + 0.45, 1, 1 + i * 0.01)});
  }
  u32 depth = 0;
  for (u32 i = 0; i < n; ++i) {
    u32 d = 0;
    for (i32 node = b.bp.bodyToNode[i]; node >= 0; node = b.bp.nodes[node].parent) ++d;
    depth = std::max(depth, d);
  }
  ASSERT_GT(depth, 300u);
  std::vector<b8> all(n, true);
  PairSet got = queriedPairs(&b.bp, n, nullptr);
  EXPECT_EQ(got, bruteForcePairs(&b.bp, n, all));
  EXPECT_EQ(got.size(), n - 1);  // each fat box reaches its neighbours only

  std::vector<i32> hits;
  auto hitAll = [](i32 body, void* user) {
    static_cast<std::vector<i32>*>(user)->push_back(body);
    return true;
  };
  broadphaseRaycast(&b.bp, V3(-1, 0.5, 0.5), V3(n * 0.5 + 1, 0.5, 0.5), hitAll, &hits);
  EXPECT_EQ(hits.size(), n);
  u32 boxes = 0;
  auto count = [](i32, i32, void* user) { ++*static_cast<u32*>(user); };
  broadphaseQueryAabb(&b.bp, Aabb{V3(-10, -10, -10), V3(1e4, 10, 30)}, count, &boxes);
  EXPECT_EQ(boxes, n);
}

TEST(Broadphase, FatBoxesAndUpdates) {
  Bp b;
  Aabb box = boxAt(V3(0, 0, 0), 1.0);
  i32 leaf = broadphaseAddBody(&b.bp, 3, box);
  ASSERT_GE(leaf, 0);
  EXPECT_EQ(b.bp.bodyAabbs[3].min.x, -1.1);
  EXPECT_EQ(broadphaseAddBody(&b.bp, 3, box), leaf);  // already present: same leaf
  // Inside the stored fat box: nothing changes.
  EXPECT_FALSE(broadphaseUpdateBody(&b.bp, 3, boxAt(V3(0.05, 0, 0), 1.0), V3(1, 0, 0)));
  EXPECT_EQ(b.bp.bodyAabbs[3].max.x, 1.1);
  // Moving along +x: the fat box grows by the displacement on the max-x side only.
  EXPECT_TRUE(broadphaseUpdateBody(&b.bp, 3, boxAt(V3(0.5, 0, 0), 1.0), V3(0.25, 0, 0)));
  EXPECT_DOUBLE_EQ(b.bp.bodyAabbs[3].min.x, -0.6);
  EXPECT_DOUBLE_EQ(b.bp.bodyAabbs[3].max.x, 1.5 + 0.1 + 0.25);
  EXPECT_DOUBLE_EQ(b.bp.bodyAabbs[3].max.y, 1.1);
  // Updating an absent body adds it; ids beyond the capacity grow the arrays.
  EXPECT_TRUE(broadphaseUpdateBody(&b.bp, 700, boxAt(V3(0, 0, 0), 1.0), V3(0, 0, 0)));
  EXPECT_GE(b.bp.bodyCap, 701u);
  EXPECT_TRUE(b.bp.inTree[700]);
  broadphaseRemoveBody(&b.bp, 700);
  broadphaseRemoveBody(&b.bp, 700);
  broadphaseRemoveBody(&b.bp, -5);
  EXPECT_FALSE(b.bp.inTree[700]);
  EXPECT_EQ(broadphaseAddBody(&b.bp, -1, box), -1);
}

TEST(Broadphase, MaskOrderAndClear) {
  Bp b;
  // 0 and 1 static and overlapping; 2 dynamic overlapping 1; 3 dynamic overlapping 2.
  broadphaseAddBody(&b.bp, 0, boxAt(V3(0, 0, 0), 1.0));
  broadphaseAddBody(&b.bp, 1, boxAt(V3(1.5, 0, 0), 1.0));
  broadphaseAddBody(&b.bp, 2, boxAt(V3(3.0, 0, 0), 1.0));
  broadphaseAddBody(&b.bp, 3, boxAt(V3(4.5, 0, 0), 1.0));
  std::vector<b8> dyn = {false, false, true, true};
  Mask mask(dyn);
  PairSet first = queriedPairs(&b.bp, 4, &mask.bits);
  EXPECT_EQ(first, (PairSet{{1, 2}, {2, 3}}));  // never (0, 1)
  u32 count = 0;
  const CollisionPair* pairs = broadphaseGetPairs(&b.bp, &count);
  std::vector<std::pair<i32, i32>> order;
  for (u32 i = 0; i < count; ++i) order.push_back({pairs[i].bodyA, pairs[i].bodyB});
  // A new pair appears after the previous ones, which keep their order.
  broadphaseUpdateBody(&b.bp, 0, boxAt(V3(1.9, 0, 0), 1.0), V3(0, 0, 0));
  dyn[0] = true;
  Mask mask2(dyn);
  queriedPairs(&b.bp, 4, &mask2.bits);
  pairs = broadphaseGetPairs(&b.bp, &count);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(pairs[0].bodyA, order[0].first);
  EXPECT_EQ(pairs[1].bodyA, order[1].first);
  EXPECT_EQ(pairs[0].bodyB, order[0].second);
  EXPECT_EQ(pairs[1].bodyB, order[1].second);

  broadphaseClear(&b.bp);
  EXPECT_EQ(b.bp.root, -1);
  EXPECT_EQ(broadphaseQueryPairs(&b.bp, 4, nullptr), 0u);
  EXPECT_GE(broadphaseAddBody(&b.bp, 2, boxAt(V3(0, 0, 0), 1.0)), 0);
  EXPECT_EQ(b.bp.nodeCount, 1u);
}

TEST(Broadphase, NestedQueryFromACallback) {
  Bp b;
  for (i32 i = 0; i < 50; ++i) broadphaseAddBody(&b.bp, i, boxAt(V3(i * 0.3, 0, 0), 0.5));
  struct Ctx {
    Broadphase* bp;
    u32 outer = 0, inner = 0;
  } ctx{&b.bp};
  auto outer = [](i32 body, void* user) {
    auto* c = static_cast<Ctx*>(user);
    ++c->outer;
    auto inner = [](i32, i32, void* u) { ++static_cast<Ctx*>(u)->inner; };
    broadphaseQueryAabb(c->bp, boxAt(V3(body * 0.3, 0, 0), 0.1), inner, user);
    return true;
  };
  broadphaseRaycast(&b.bp, V3(-1, 0, 0), V3(20, 0, 0), outer, &ctx);
  EXPECT_EQ(ctx.outer, 50u);
  EXPECT_GE(ctx.inner, 50u);
}

}  // namespace
