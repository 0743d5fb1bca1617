// Milliseconds per step and stability of the physics world against Bullet's
// btDiscreteDynamicsWorld (double precision, sequential-impulse solver) on the
// same scenes: the demo scene, a 16-layer pyramid and a pit of 1500 mixed bodies.
// Both engines get the same shapes, masses, materials (friction sqrt(fA fB),
// restitution max(eA, eB)), damping, 1/120 s step, 5 solver iterations, sleep
// thresholds and time; the tornado acts from Bullet's pre-tick callback. The two
// engines step in turn in one loop so that machine load hits both alike.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <btBulletDynamicsCommon.h>

#include "demo_scene.h"
#include "physics/world.h"
#include "platform/memory.h"

namespace {

constexpr f64 kDt = 1.0 / 120.0;
constexpr u32 kTimedFirst = 100;
constexpr u32 kTimedEnd = 1100;       // median of steps 100 to 1100
constexpr u32 kStabilitySteps = 2400;  // 20 s, sleeping on
constexpr u32 kOffSteps = 1200;        // 10 s with sleeping off: timing, then stability
constexpr u32 kMaxSteps = 3600;        // sleep time is looked for until 30 s

struct SceneSpec {
  const char* name;
  DemoSceneOptions options;
};

std::vector<SceneSpec> scenes() {
  SceneSpec demo{"demo", demoSceneFull()};
  SceneSpec pyramid{"pyramid16", demoSceneNone()};
  pyramid.options.floor = true;
  pyramid.options.pyramidLayers = 16;
  SceneSpec pit{"pit1500", demoSceneNone()};
  pit.options.floor = true;
  pit.options.pitBodies = 1500;
  return {demo, pyramid, pit};
}

struct RunResult {
  f64 msPerStep = 0;
  f64 pyramidDisplacement = -1;  // largest cube displacement at the end, -1 without pyramid
  f64 pyramidHorizontal = -1;    // largest horizontal cube displacement at the end
  f64 deepest = 0;               // deepest penetration seen (the chain's first sphere excluded)
  f64 allAsleepAt = -1;          // seconds until every body sleeps, -1 if never
  f64 farthest = 0;              // largest distance of a body from the origin after 20 s
  u32 peakManifolds = 0;
  u32 growths = 0;  // ours: times the manifold arrays grew
};

// End of the run whose poses give the stability figures.
u32 stabilityStep(b8 sleeping) { return sleeping ? kStabilitySteps : kOffSteps; }

// The demo scene starts the chain's first sphere inside its post: its contact
// says nothing about the solver.
b8 excludedFromDepth(const DemoScene* scene, i32 a, i32 b) {
  return scene->chainPost >= 0 && (a == scene->chain[0] || b == scene->chain[0]);
}

f64 nowNs() {
  return (f64)std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

f64 median(std::vector<f64>& v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

struct OurScene {
  World* world;
  DemoScene* scene;
  OurScene() {
    world = static_cast<World*>(memCalloc(1, sizeof(World)));
    scene = static_cast<DemoScene*>(memCalloc(1, sizeof(DemoScene)));
  }
  ~OurScene() {
    if (world) worldDestroy(world);
    memFree(world);
    memFree(scene);
  }
};

b8 buildOurs(OurScene& s, const SceneSpec& spec, b8 sleeping) {
  WorldConfig c = worldDefaultConfig();
  c.isSleepingEnabled = sleeping;
  return s.world && s.scene && worldInit(s.world, &c) &&
         demoSceneBuild(s.scene, s.world, &spec.options);
}

// Our world on one scene: one timed step at a time, then the observations.
struct OurRun {
  OurScene s;
  std::vector<v3> start;
  RunResult r;
  b8 ok = false;

  void init(const SceneSpec& spec, b8 sleeping) {
    ok = buildOurs(s, spec, sleeping);
    if (!ok) return;
    for (u32 i = 0; i < s.scene->numPyramid; ++i)
      start.push_back(s.world->bodies[s.scene->pyramid[i]].position);
  }
  f64 step() {
    f64 t0 = nowNs();
    worldStep(s.world, kDt);
    return nowNs() - t0;
  }
  void observe(u32 step, b8 sleeping) {
    World* w = s.world;
    u32 nc = worldGetNumContacts(w);
    r.peakManifolds = std::max(r.peakManifolds, nc);
    r.growths = worldGetContactStats(w).growths;
    for (u32 m = 0; m < nc; ++m) {
      const ContactManifold& cm = w->contactManifolds[m];
      if (excludedFromDepth(s.scene, cm.bodyA, cm.bodyB)) continue;
      for (u32 p = 0; p < cm.numContacts; ++p) r.deepest = std::max(r.deepest, cm.points[p].penetrationDepth);
    }
    if (step + 1 == stabilityStep(sleeping)) {
      if (!start.empty()) r.pyramidDisplacement = r.pyramidHorizontal = 0;
      for (u32 i = 0; i < start.size(); ++i) {
        v3 d = w->bodies[s.scene->pyramid[i]].position - start[i];
        r.pyramidDisplacement = std::max(r.pyramidDisplacement, v3Length(d));
        r.pyramidHorizontal = std::max(r.pyramidHorizontal, std::hypot(d.x, d.z));
      }
      for (u32 i = 0; i < w->numBodies; ++i)
        if (w->bodies[i].id >= 0) r.farthest = std::max(r.farthest, v3Length(w->bodies[i].position));
    }
    if (sleeping && r.allAsleepAt < 0) {
      b8 all = true;
      for (u32 i = 0; i < w->numBodies && all; ++i) {
        const Body& b = w->bodies[i];
        if (b.id >= 0 && b.type == BODY_DYNAMIC && b.isAwake) all = false;
      }
      if (all) r.allAsleepAt = (step + 1) * kDt;
    }
  }
};

// ---- Bullet mirror of the same scene ----

bool combineMaterials(btManifoldPoint& cp, const btCollisionObjectWrapper* a, int, int,
                      const btCollisionObjectWrapper* b, int, int) {
  const btCollisionObject* oa = a->getCollisionObject();
  const btCollisionObject* ob = b->getCollisionObject();
  cp.m_combinedFriction = std::sqrt(oa->getFriction() * ob->getFriction());
  cp.m_combinedRestitution = std::max(oa->getRestitution(), ob->getRestitution());
  return true;
}

struct BulletScene {
  btDefaultCollisionConfiguration config;
  btCollisionDispatcher dispatcher{&config};
  btDbvtBroadphase broadphase;
  btSequentialImpulseConstraintSolver solver;
  btDiscreteDynamicsWorld world{&dispatcher, &broadphase, &solver, &config};
  std::map<const Shape*, btCollisionShape*> shapes;
  std::vector<btRigidBody*> bodies;  // by our body index
  std::vector<btDefaultMotionState*> states;
  std::vector<btTypedConstraint*> constraints;
  const TornadoData* tornado = nullptr;

  ~BulletScene() {
    for (btTypedConstraint* c : constraints) {
      world.removeConstraint(c);
      delete c;
    }
    for (btRigidBody* b : bodies)
      if (b) {
        world.removeRigidBody(b);
        delete b;
      }
    for (btDefaultMotionState* m : states) delete m;
    for (auto& kv : shapes) delete kv.second;
  }
};

btVector3 bt(v3 v) { return btVector3(v.x, v.y, v.z); }
btQuaternion btq(v4 q) { return btQuaternion(q.x, q.y, q.z, q.w); }

void tornadoTick(btDynamicsWorld* world, btScalar) {
  BulletScene* s = static_cast<BulletScene*>(world->getWorldUserInfo());
  if (!s->tornado) return;
  Body probe;
  bodyInit(&probe);
  for (btRigidBody* b : s->bodies) {
    if (!b || b->getInvMass() == 0 || !b->isActive()) continue;
    const btVector3& p = b->getCenterOfMassPosition();
    probe.position = V3(p.x(), p.y(), p.z());
    void* data = const_cast<TornadoData*>(s->tornado);
    if (!tornadoVolume(&probe, data)) continue;
    b->applyCentralForce(bt(tornadoForce(&probe, data)));
  }
}

btCollisionShape* mirrorShape(BulletScene& s, const Shape* shape) {
  auto it = s.shapes.find(shape);
  if (it != s.shapes.end()) return it->second;
  btCollisionShape* out = nullptr;
  switch (shape->type) {
    case SHAPE_BOX: out = new btBoxShape(bt(reinterpret_cast<const BoxShape*>(shape)->halfExtents)); break;
    case SHAPE_SPHERE: out = new btSphereShape(reinterpret_cast<const SphereShape*>(shape)->radius); break;
    case SHAPE_CAPSULE: {
      const CapsuleShape* c = reinterpret_cast<const CapsuleShape*>(shape);
      out = new btCapsuleShape(c->radius, 2.0 * c->halfHeight);
      break;
    }
    default: break;
  }
  s.shapes[shape] = out;
  return out;
}

void buildBullet(BulletScene& s, const World* w, const DemoScene* scene, b8 sleeping) {
  gContactAddedCallback = combineMaterials;
  gDeactivationTime = (btScalar)w->config.timeBeforeSleep;
  s.world.setGravity(bt(w->gravity));
  btContactSolverInfo& info = s.world.getSolverInfo();
  info.m_numIterations = (int)w->config.velocityIterations;
  info.m_restitutionVelocityThreshold = w->config.restitutionVelocityThreshold;
  info.m_splitImpulse = true;
  s.bodies.assign(w->numBodies, nullptr);
  for (u32 i = 0; i < w->numBodies; ++i) {
    const Body& b = w->bodies[i];
    if (b.id < 0 || !b.shape) continue;
    btCollisionShape* shape = mirrorShape(s, b.shape);
    if (!shape) continue;
    b8 dynamic = b.type == BODY_DYNAMIC;
    btDefaultMotionState* ms = new btDefaultMotionState(btTransform(btq(b.rotation), bt(b.position)));
    s.states.push_back(ms);
    btRigidBody::btRigidBodyConstructionInfo ci(dynamic ? b.mass : 0.0, ms, shape,
                                                dynamic ? bt(b.localInertiaTensor) : btVector3(0, 0, 0));
    ci.m_friction = b.friction;
    ci.m_restitution = b.restitution;
    ci.m_linearDamping = b.linearDamping;
    ci.m_angularDamping = b.angularDamping;
    ci.m_linearSleepingThreshold = w->config.sleepLinearVelocity;
    ci.m_angularSleepingThreshold = w->config.sleepAngularVelocity;
    btRigidBody* rb = new btRigidBody(ci);
    rb->setCollisionFlags(rb->getCollisionFlags() | btCollisionObject::CF_CUSTOM_MATERIAL_CALLBACK);
    if (!sleeping) rb->setActivationState(DISABLE_DEACTIVATION);
    s.world.addRigidBody(rb);
    s.bodies[i] = rb;
  }
  for (u32 i = 0; i < w->numBallSocketJoints; ++i) {
    const JointBase& j = w->ballSocketJoints[i].base;
    auto* c = new btPoint2PointConstraint(*s.bodies[j.bodyIndexA], *s.bodies[j.bodyIndexB],
                                          bt(j.localAnchorA), bt(j.localAnchorB));
    s.world.addConstraint(c, false);
    s.constraints.push_back(c);
  }
  for (u32 i = 0; i < w->numHingeJoints; ++i) {
    const HingeJoint& h = w->hingeJoints[i];
    auto* c = new btHingeConstraint(*s.bodies[h.base.bodyIndexA], *s.bodies[h.base.bodyIndexB],
                                    bt(h.base.localAnchorA), bt(h.base.localAnchorB),
                                    bt(h.localAxisA), bt(h.localAxisB), false);
    // Bullet's motor drives A relative to B; ours drives B relative to A.
    if (h.isMotorEnabled) c->enableAngularMotor(true, -h.motorSpeed, h.maxMotorTorque * kDt);
    s.world.addConstraint(c, false);
    s.constraints.push_back(c);
  }
  for (u32 i = 0; i < w->numFixedJoints; ++i) {
    const FixedJoint& f = w->fixedJoints[i];
    const Body& A = w->bodies[f.base.bodyIndexA];
    const Body& B = w->bodies[f.base.bodyIndexB];
    btTransform frameA(btQuaternion::getIdentity(), bt(f.base.localAnchorA));
    btTransform frameB(btq(quatMul(quatConjugate(B.rotation), A.rotation)), bt(f.base.localAnchorB));
    auto* c = new btFixedConstraint(*s.bodies[f.base.bodyIndexA], *s.bodies[f.base.bodyIndexB],
                                    frameA, frameB);
    s.world.addConstraint(c, false);
    s.constraints.push_back(c);
  }
  if (scene->tornadoField >= 0) s.tornado = &scene->tornado;
  s.world.setInternalTickCallback(tornadoTick, &s, true);
}

// Bullet on the same scene, mirrored from a freshly built world of ours.
struct BulletRun {
  OurScene ours;
  BulletScene s;
  std::vector<v3> start;
  RunResult r;
  b8 ok = false;

  void init(const SceneSpec& spec, b8 sleeping) {
    ok = buildOurs(ours, spec, sleeping);
    if (!ok) return;
    buildBullet(s, ours.world, ours.scene, sleeping);
    for (u32 i = 0; i < ours.scene->numPyramid; ++i)
      start.push_back(ours.world->bodies[ours.scene->pyramid[i]].position);
  }
  f64 step() {
    f64 t0 = nowNs();
    s.world.stepSimulation(kDt, 0, kDt);
    return nowNs() - t0;
  }
  void observe(u32 step, b8 sleeping) {
    int nm = s.dispatcher.getNumManifolds();
    r.peakManifolds = std::max(r.peakManifolds, (u32)nm);
    const btCollisionObject* skip =
        ours.scene->chainPost >= 0 ? s.bodies[ours.scene->chain[0]] : nullptr;
    for (int m = 0; m < nm; ++m) {
      btPersistentManifold* pm = s.dispatcher.getManifoldByIndexInternal(m);
      if (skip && (pm->getBody0() == skip || pm->getBody1() == skip)) continue;
      for (int p = 0; p < pm->getNumContacts(); ++p)
        r.deepest = std::max(r.deepest, (f64)-pm->getContactPoint(p).getDistance());
    }
    if (step + 1 == stabilityStep(sleeping)) {
      if (!start.empty()) r.pyramidDisplacement = r.pyramidHorizontal = 0;
      for (u32 i = 0; i < start.size(); ++i) {
        const btVector3& p = s.bodies[ours.scene->pyramid[i]]->getCenterOfMassPosition();
        v3 d = V3(p.x(), p.y(), p.z()) - start[i];
        r.pyramidDisplacement = std::max(r.pyramidDisplacement, v3Length(d));
        r.pyramidHorizontal = std::max(r.pyramidHorizontal, std::hypot(d.x, d.z));
      }
      for (btRigidBody* b : s.bodies)
        if (b) r.farthest = std::max(r.farthest, (f64)b->getCenterOfMassPosition().length());
    }
    if (sleeping && r.allAsleepAt < 0) {
      b8 all = true;
      for (btRigidBody* b : s.bodies)
        if (b && b->getInvMass() != 0 && b->isActive()) {
          all = false;
          break;
        }
      if (all) r.allAsleepAt = (step + 1) * kDt;
    }
  }
};

// Both engines step in turn (the first to go alternates), so that both see the
// same machine load; each gets the median of its own step times.
void runBoth(const SceneSpec& spec, b8 sleeping, u32 steps, RunResult* ours, RunResult* bullet) {
  OurRun* o = new OurRun;
  BulletRun* b = new BulletRun;
  o->init(spec, sleeping);
  b->init(spec, sleeping);
  if (!o->ok || !b->ok) {
    std::fprintf(stderr, "scene %s could not be built\n", spec.name);
  } else {
    std::vector<f64> to, tb;
    for (u32 step = 0; step < steps; ++step) {
      f64 a, c;
      if (step % 2) {
        a = o->step();
        c = b->step();
      } else {
        c = b->step();
        a = o->step();
      }
      if (step >= kTimedFirst && step < kTimedEnd) {
        to.push_back(a);
        tb.push_back(c);
      }
      o->observe(step, sleeping);
      b->observe(step, sleeping);
      b8 done = step + 1 >= stabilityStep(sleeping) &&
                (!sleeping || (o->r.allAsleepAt >= 0 && b->r.allAsleepAt >= 0));
      if (done) break;
    }
    o->r.msPerStep = median(to) * 1e-6;
    b->r.msPerStep = median(tb) * 1e-6;
  }
  *ours = o->r;
  *bullet = b->r;
  delete o;
  delete b;
}

// ---- Google Benchmark entries and the summary table ----

std::map<std::string, RunResult> gResults;

void benchScene(benchmark::State& state, SceneSpec spec, b8 sleeping) {
  RunResult ours, bullet;
  for (auto _ : state) {
    runBoth(spec, sleeping, sleeping ? kMaxSteps : kOffSteps, &ours, &bullet);
    state.SetIterationTime(ours.msPerStep * 1e-3);
  }
  state.counters["ms_per_step"] = ours.msPerStep;
  state.counters["bullet_ms_per_step"] = bullet.msPerStep;
  state.counters["ratio"] = bullet.msPerStep > 0 ? ours.msPerStep / bullet.msPerStep : 0.0;
  state.counters["peak_manifolds"] = ours.peakManifolds;
  gResults[std::string(spec.name) + "/ours" + (sleeping ? "/on" : "/off")] = ours;
  gResults[std::string(spec.name) + "/bullet" + (sleeping ? "/on" : "/off")] = bullet;
}

void printSummary() {
  std::printf("\nms per step (median of steps %u to %u), ratio = ours / Bullet (<= 1 is the goal)\n",
              kTimedFirst, kTimedEnd);
  std::printf("%-10s | %9s %9s %6s | %9s %9s %6s\n", "scene", "ours off", "Bullet", "ratio",
              "ours on", "Bullet", "ratio");
  for (const SceneSpec& s : scenes()) {
    std::string n = s.name;
    const RunResult& of = gResults[n + "/ours/off"];
    const RunResult& bf = gResults[n + "/bullet/off"];
    const RunResult& on = gResults[n + "/ours/on"];
    const RunResult& bn = gResults[n + "/bullet/on"];
    std::printf("%-10s | %9.3f %9.3f %6.2f | %9.3f %9.3f %6.2f\n", s.name, of.msPerStep,
                bf.msPerStep, bf.msPerStep > 0 ? of.msPerStep / bf.msPerStep : 0.0, on.msPerStep,
                bn.msPerStep, bn.msPerStep > 0 ? on.msPerStep / bn.msPerStep : 0.0);
  }
  for (int sleeping = 0; sleeping < 2; ++sleeping) {
    const char* tag = sleeping ? "on" : "off";
    std::printf("\nstability, sleeping %s, after %u s: pyramid = largest cube displacement (horizontal),\n"
                "deepest = deepest penetration seen (demo: the chain's first sphere, which starts\n"
                "inside its post, excluded), asleep = seconds until every body sleeps, far = largest\n"
                "distance of a body from the origin\n",
                tag, stabilityStep(sleeping) / 120);
    std::printf("%-10s | %17s %17s | %9s %9s | %8s %8s | %9s %9s | %s\n", "scene", "pyr ours (horiz)",
                "Bullet (horiz)", "deep ours", "Bullet", "asleep", "Bullet", "far ours", "Bullet",
                "peak manifolds ours (growths)");
    for (const SceneSpec& s : scenes()) {
      std::string n = s.name;
      const RunResult& o = gResults[n + "/ours/" + tag];
      const RunResult& b = gResults[n + "/bullet/" + tag];
      auto fmt = [](f64 v, char* buf) {
        if (v < 0)
          std::snprintf(buf, 16, "%s", "-");
        else
          std::snprintf(buf, 16, "%.4f", v);
      };
      auto pair = [](f64 all, f64 horiz, char* buf) {
        if (all < 0)
          std::snprintf(buf, 32, "%s", "-");
        else
          std::snprintf(buf, 32, "%.4f (%.4f)", all, horiz);
      };
      char p1[32], p2[32], s1[16], s2[16];
      pair(o.pyramidDisplacement, o.pyramidHorizontal, p1);
      pair(b.pyramidDisplacement, b.pyramidHorizontal, p2);
      fmt(sleeping ? o.allAsleepAt : -1, s1);
      fmt(sleeping ? b.allAsleepAt : -1, s2);
      std::printf("%-10s | %17s %17s | %9.4f %9.4f | %8s %8s | %9.1f %9.1f | %u (%u)\n", s.name, p1,
                  p2, o.deepest, b.deepest, s1, s2, o.farthest, b.farthest, o.peakManifolds, o.growths);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (const SceneSpec& s : scenes())
    for (int sleeping = 0; sleeping < 2; ++sleeping) {
      std::string name = std::string("World/") + s.name + (sleeping ? "/sleep_on" : "/sleep_off");
      benchmark::RegisterBenchmark(name.c_str(), benchScene, s, (b8)sleeping)
          ->Iterations(1)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printSummary();
  return 0;
}
