// Collision detection against Bullet's double-precision library on identical
// inputs: the broadphase (update plus pair query per step, 4096 boxes, a quarter
// static) against btDbvtBroadphase, and box-box / capsule-box manifolds against
// the algorithms Bullet's default dispatcher picks for those pairs.
#include <benchmark/benchmark.h>

#include <btBulletCollisionCommon.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "physics/broadphase.h"
#include "physics/narrowphase.h"
#include "physics/shapes.h"

namespace {

// ---- broadphase scene ----------------------------------------------------------------

constexpr u32 kBodies = 4096;
constexpr f64 kRegion = 64.0;  // boxes live in [0, kRegion] x [0, kRegion / 4] x [0, kRegion]

struct MovingBoxes {
  std::vector<v3> centre, half, velocity;
  std::vector<b8> moving;
  explicit MovingBoxes(u64 seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<f64> u(0.0, 1.0);
    for (u32 i = 0; i < kBodies; ++i) {
      centre.push_back(V3(u(rng) * kRegion, u(rng) * kRegion * 0.25, u(rng) * kRegion));
      half.push_back(V3(0.3 + 0.5 * u(rng), 0.3 + 0.5 * u(rng), 0.3 + 0.5 * u(rng)));
      moving.push_back(i % 4 != 0);
      // About 1 m/s at 60 steps per second.
      velocity.push_back(V3(u(rng) - 0.5, u(rng) - 0.5, u(rng) - 0.5) * (2.0 / 60.0));
    }
  }
  void step() {
    for (u32 i = 0; i < kBodies; ++i) {
      if (!moving[i]) continue;
      centre[i] += velocity[i];
      for (int k = 0; k < 3; ++k) {
        f64 lim = k == 1 ? kRegion * 0.25 : kRegion;
        f64 c = v3Get(centre[i], k);
        if (c < 0.0 || c > lim) v3Set(velocity[i], k, -v3Get(velocity[i], k));
      }
    }
  }
  Aabb box(u32 i) const { return Aabb{centre[i] - half[i], centre[i] + half[i]}; }
};

std::map<std::string, f64> gMs;          // name -> milliseconds per iteration
std::map<std::string, f64> gPairs;       // name -> pairs per step (last)

void BM_BroadphaseOurs(benchmark::State& state) {
  MovingBoxes scene(1);
  Broadphase bp;
  broadphaseInit(&bp, kBodies);
  std::vector<u64> words(kBodies / 64, 0);
  for (u32 i = 0; i < kBodies; ++i) {
    broadphaseAddBody(&bp, (i32)i, scene.box(i));
    if (scene.moving[i]) words[i / 64] |= 1ull << (i % 64);
  }
  Bitset mask{words.data(), (u32)words.size()};
  u32 pairs = 0;
  for (int warm = 0; warm < 30; ++warm) {
    scene.step();
    for (u32 i = 0; i < kBodies; ++i)
      if (scene.moving[i]) broadphaseUpdateBody(&bp, (i32)i, scene.box(i), scene.velocity[i]);
    broadphaseQueryPairs(&bp, kBodies, &mask);
  }
  for (auto _ : state) {
    scene.step();
    for (u32 i = 0; i < kBodies; ++i)
      if (scene.moving[i]) broadphaseUpdateBody(&bp, (i32)i, scene.box(i), scene.velocity[i]);
    pairs = broadphaseQueryPairs(&bp, kBodies, &mask);
    benchmark::DoNotOptimize(pairs);
  }
  state.counters["pairs"] = pairs;
  gPairs["broadphase/ours"] = pairs;
  broadphaseDestroy(&bp);
}

void BM_BroadphaseBullet(benchmark::State& state) {
  MovingBoxes scene(1);
  btDefaultCollisionConfiguration config;
  btCollisionDispatcher dispatcher(&config);
  btDbvtBroadphase bp;
  std::vector<btBroadphaseProxy*> proxies(kBodies);
  auto bt = [](v3 v) { return btVector3(v.x, v.y, v.z); };
  for (u32 i = 0; i < kBodies; ++i) {
    Aabb b = scene.box(i);
    int group = scene.moving[i] ? btBroadphaseProxy::DefaultFilter : btBroadphaseProxy::StaticFilter;
    int mask = scene.moving[i] ? btBroadphaseProxy::AllFilter
                               : btBroadphaseProxy::AllFilter ^ btBroadphaseProxy::StaticFilter;
    proxies[i] = bp.createProxy(bt(b.min), bt(b.max), BOX_SHAPE_PROXYTYPE, nullptr, group, mask, &dispatcher);
  }
  for (int warm = 0; warm < 30; ++warm) {
    scene.step();
    for (u32 i = 0; i < kBodies; ++i)
      if (scene.moving[i]) bp.setAabb(proxies[i], bt(scene.box(i).min), bt(scene.box(i).max), &dispatcher);
    bp.calculateOverlappingPairs(&dispatcher);
  }
  int pairs = 0;
  for (auto _ : state) {
    scene.step();
    for (u32 i = 0; i < kBodies; ++i)
      if (scene.moving[i]) bp.setAabb(proxies[i], bt(scene.box(i).min), bt(scene.box(i).max), &dispatcher);
    bp.calculateOverlappingPairs(&dispatcher);
    pairs = bp.getOverlappingPairCache()->getNumOverlappingPairs();
    benchmark::DoNotOptimize(pairs);
  }
  state.counters["pairs"] = pairs;
  gPairs["broadphase/bullet"] = pairs;
  for (u32 i = 0; i < kBodies; ++i) bp.destroyProxy(proxies[i], &dispatcher);
}

// ---- narrowphase pairs --------------------------------------------------------------

constexpr u32 kPairs = 1024;

v4 randomQuat(std::mt19937_64& rng) {
  std::normal_distribution<f64> n(0.0, 1.0);
  return quatNormalize(V4(n(rng), n(rng), n(rng), n(rng)));
}

struct PairSet {
  std::vector<BoxShape> boxesA, boxesB;
  std::vector<CapsuleShape> capsules;
  std::vector<Transform> ta, tb;
  // capsule: false for box-box pairs, true for capsule-box pairs.
  PairSet(u64 seed, b8 capsule) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<f64> u(0.0, 1.0);
    for (u32 i = 0; i < kPairs; ++i) {
      BoxShape a, b;
      CapsuleShape c;
      boxInit(&a, V3(0.2 + 0.8 * u(rng), 0.2 + 0.8 * u(rng), 0.2 + 0.8 * u(rng)));
      boxInit(&b, V3(0.2 + 0.8 * u(rng), 0.2 + 0.8 * u(rng), 0.2 + 0.8 * u(rng)));
      capsuleInit(&c, 0.1 + 0.4 * u(rng), 0.2 + 1.0 * u(rng));
      boxesA.push_back(a);
      boxesB.push_back(b);
      capsules.push_back(c);
      // Random direction, centres closer than the smaller shape's reach: overlapping.
      std::normal_distribution<f64> n(0.0, 1.0);
      v3 dir = v3Normalize(V3(n(rng), n(rng), n(rng)));
      f64 reachA = capsule ? c.radius + c.halfHeight * 0.5 : v3Length(a.halfExtents) * 0.6;
      f64 reachB = std::min(b.halfExtents.x, std::min(b.halfExtents.y, b.halfExtents.z));
      f64 dist = (reachA + reachB) * (0.6 + 0.35 * u(rng));
      ta.push_back(Transform{V3(0, 0, 0), randomQuat(rng)});
      tb.push_back(Transform{dir * dist, randomQuat(rng)});
    }
  }
};

void BM_NarrowOurs(benchmark::State& state, b8 capsule) {
  PairSet set(capsule ? 3 : 2, capsule);
  ContactManifold m{};
  u64 contacts = 0, calls = 0;
  for (auto _ : state) {
    for (u32 i = 0; i < kPairs; ++i) {
      const Shape* a = capsule ? &set.capsules[i].base : &set.boxesA[i].base;
      narrowphaseCollide(a, set.ta[i], &set.boxesB[i].base, set.tb[i], &m);
      contacts += m.numContacts;
      benchmark::DoNotOptimize(m);
    }
    calls += kPairs;
  }
  state.SetItemsProcessed((i64)calls);
  state.counters["points/pair"] = calls ? (f64)contacts / (f64)calls : 0.0;
}

btTransform toBt(Transform t) {
  return btTransform(btQuaternion(t.orientation.x, t.orientation.y, t.orientation.z, t.orientation.w),
                     btVector3(t.position.x, t.position.y, t.position.z));
}

void BM_NarrowBullet(benchmark::State& state, b8 capsule) {
  PairSet set(capsule ? 3 : 2, capsule);
  btDefaultCollisionConfiguration config;
  btCollisionDispatcher dispatcher(&config);
  btDispatcherInfo info;
  std::vector<btCollisionShape*> shapesA, shapesB;
  std::vector<btCollisionObject> objA(kPairs), objB(kPairs);
  std::vector<btCollisionAlgorithm*> algos(kPairs);
  for (u32 i = 0; i < kPairs; ++i) {
    const BoxShape& b = set.boxesB[i];
    shapesB.push_back(new btBoxShape(btVector3(b.halfExtents.x, b.halfExtents.y, b.halfExtents.z)));
    if (capsule) {
      shapesA.push_back(new btCapsuleShape(set.capsules[i].radius, 2.0 * set.capsules[i].halfHeight));
    } else {
      const BoxShape& a = set.boxesA[i];
      shapesA.push_back(new btBoxShape(btVector3(a.halfExtents.x, a.halfExtents.y, a.halfExtents.z)));
    }
    objA[i].setCollisionShape(shapesA[i]);
    objB[i].setCollisionShape(shapesB[i]);
    objA[i].setWorldTransform(toBt(set.ta[i]));
    objB[i].setWorldTransform(toBt(set.tb[i]));
    btCollisionObjectWrapper wa(nullptr, shapesA[i], &objA[i], objA[i].getWorldTransform(), -1, -1);
    btCollisionObjectWrapper wb(nullptr, shapesB[i], &objB[i], objB[i].getWorldTransform(), -1, -1);
    algos[i] = dispatcher.findAlgorithm(&wa, &wb, nullptr, BT_CONTACT_POINT_ALGORITHMS);
  }
  u64 contacts = 0, calls = 0;
  for (auto _ : state) {
    for (u32 i = 0; i < kPairs; ++i) {
      btCollisionObjectWrapper wa(nullptr, shapesA[i], &objA[i], objA[i].getWorldTransform(), -1, -1);
      btCollisionObjectWrapper wb(nullptr, shapesB[i], &objB[i], objB[i].getWorldTransform(), -1, -1);
      btManifoldResult result(&wa, &wb);
      algos[i]->processCollision(&wa, &wb, info, &result);
      if (result.getPersistentManifold()) contacts += result.getPersistentManifold()->getNumContacts();
    }
    calls += kPairs;
  }
  state.SetItemsProcessed((i64)calls);
  state.counters["points/pair"] = calls ? (f64)contacts / (f64)calls : 0.0;
  for (u32 i = 0; i < kPairs; ++i) {
    algos[i]->~btCollisionAlgorithm();
    dispatcher.freeCollisionAlgorithm(algos[i]);
    delete shapesA[i];
    delete shapesB[i];
  }
}

// Records milliseconds per iteration for the summary.
class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0) continue;
      gMs[r.benchmark_name()] = r.cpu_accumulated_time * 1e3 / (f64)r.iterations;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

void printSummary() {
  std::printf("\nCPU time per call; ratio = ours / Bullet time (<= 1 is the goal)\n");
  f64 o = gMs["Broadphase/ours"], b = gMs["Broadphase/bullet"];
  std::printf("broadphase, 4096 boxes (1024 static), update + pairs: ours %.3f ms/step (%.0f pairs), "
              "Bullet btDbvtBroadphase %.3f ms/step (%.0f pairs), ratio %.2f\n",
              o, gPairs["broadphase/ours"], b, gPairs["broadphase/bullet"], b > 0 ? o / b : 0.0);
  const char* names[2] = {"box-box", "capsule-box"};
  const char* anchors[2] = {"btBoxBoxCollisionAlgorithm", "btConvexConvexAlgorithm"};
  for (int k = 0; k < 2; ++k) {
    f64 mo = gMs[std::string("Narrowphase/") + names[k] + "/ours"];
    f64 mb = gMs[std::string("Narrowphase/") + names[k] + "/bullet"];
    std::printf("%-12s ours %.2f M manifolds/s, Bullet %s %.2f M manifolds/s, ratio %.2f\n", names[k],
                mo > 0 ? kPairs / mo * 1e-3 : 0.0, anchors[k], mb > 0 ? kPairs / mb * 1e-3 : 0.0,
                mb > 0 ? mo / mb : 0.0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("Broadphase/ours", BM_BroadphaseOurs)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Broadphase/bullet", BM_BroadphaseBullet)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Narrowphase/box-box/ours", BM_NarrowOurs, false)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Narrowphase/box-box/bullet", BM_NarrowBullet, false)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Narrowphase/capsule-box/ours", BM_NarrowOurs, true)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Narrowphase/capsule-box/bullet", BM_NarrowBullet, true)->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  benchmark::Shutdown();
  printSummary();
  return 0;
}
