// The physics world: bodies, joints, vector fields and contact manifolds at fixed
// capacities, the fixed-step pipeline with islands and sleeping, ray and box
// queries, and a physics thread that publishes snapshots of body poses.
#pragma once

#include <atomic>

#include "physics/broadphase.h"
#include "physics/dynamics.h"
#include "physics/joints.h"
#include "physics/narrowphase.h"
#include "physics/shapes.h"
#include "physics/solver.h"
#include "platform/threads.h"
#include "platform/vecmath.h"

struct WorldConfig {
  f64 persistentContactThreshold;  // old impulse inherited within this distance
  f64 defaultFriction;
  f64 defaultRestitution;
  f64 restitutionVelocityThreshold;
  b8 isSleepingEnabled;
  u32 velocityIterations;
  u32 positionIterations;
  f64 timeBeforeSleep;
  f64 sleepLinearVelocity;
  f64 sleepAngularVelocity;
};

struct Xform {
  v3 pos;
  v4 rot;
  u32 id;  // all ones for a destroyed slot
};

struct Snapshot {
  Xform* xforms;
  u32 count;  // numBodies at publication, destroyed slots included
  u32 capacity;
  f64 timeSec;  // thread clock at publication, 0 from outside the thread
  // Publication number, 1 for the first: tells a reader whether poses changed
  // (buffer indices repeat, so the head index alone cannot).
  u64 sequence;
};

enum JointHandleType : u32 {
  JOINT_HANDLE_BALL_SOCKET = 0,
  JOINT_HANDLE_HINGE = 1,
  JOINT_HANDLE_SLIDER = 2,
  JOINT_HANDLE_FIXED = 3,
};

struct JointHandle {
  JointHandleType type;
  i32 index;  // -1 when creation failed
  // Which joint of that slot the handle names: a handle kept after its joint was
  // destroyed never names a later joint created in the same slot.
  u32 generation;
};

// Joint slots of one kind: destroyed slots are reused, never moved, so the handles
// of the other joints stay valid.
struct JointSlots {
  u32* generation;  // per slot: odd while a joint lives there
  i32* freeList;    // destroyed slots, last freed first
  u32 numFree;
};

// A body pose, kept per slot between steps.
struct BodyPose {
  v3 position;
  v4 rotation;
};

// Returning false stops the ray.
typedef b8 (*WorldRaycastCallback)(const RaycastHit* hit, void* userData);
typedef void (*WorldAabbCallback)(i32 bodyId, void* userData);

struct World;

struct RaycastContext {
  World* world;
  v3 rayStart;
  v3 rayDir;  // unit
  f64 rayLen;
  RaycastHit bestHit;
  WorldRaycastCallback callback;
  void* userData;
  b8 hasHit;
};

// Published snapshots rotate over three buffers so that the one the frame thread
// holds is never rewritten while it reads.
inline constexpr u32 kWorldSnapshotBuffers = 3;
inline constexpr u32 kNoSnapshot = 0xffffffffu;

struct World {
  WorldConfig config;
  SolverConfig solverConfig;
  Body* bodies;
  u32 numBodies;  // high-water mark of body slots
  u32 bodyCapacity;
  i32* freeBodyIndices;
  u32 numFreeBodyIndices;
  Bitset nonStaticMask;
  Bitset awakeMask;  // non-static bodies awake this step: the ones that query for pairs
  BallSocketJoint* ballSocketJoints;
  u32 numBallSocketJoints;
  HingeJoint* hingeJoints;
  u32 numHingeJoints;
  SliderJoint* sliderJoints;
  u32 numSliderJoints;
  FixedJoint* fixedJoints;
  u32 numFixedJoints;
  JointSlots jointSlots[4];  // by JointHandleType
  Broadphase broadphase;
  ContactManifold* contactManifolds;
  u32 numContactManifolds;
  // Length of the three manifold arrays (current, previous, solver data): starts
  // at kWorldMaxManifolds and doubles when a step needs more.
  u32 manifoldCapacity;
  u32 manifoldGrowths;    // times the capacity doubled
  u32 peakManifolds;      // most manifolds kept in one step
  u64 manifoldsDropped;   // pairs with contacts left out because growth failed
  ContactManifold* prevContactManifolds;
  u32 numPrevContactManifolds;
  void* pairMap;  // (bodyA << 32 | bodyB) -> previous manifold index
  v3 gravity;
  VectorField* vectorFields;
  u32 numVectorFields;
  i32* islandParent;
  f64* islandMinSleep;
  ContactManifoldSolverData* contactSolverData;
  u32 numContactSolverManifolds;
  BodyVelocities* constrainedVel;
  BodyVelocities* splitVel;
  BodyVelocities* approachVel;  // velocities at the start of the step, for restitution
  f64 accumulator;
  f64 fixedTimeStep;
  Snapshot snaps[kWorldSnapshotBuffers];
  std::atomic<u32> snapHead;    // index of the published snapshot
  std::atomic<u32> snapReader;  // snapshot held by the frame thread, kNoSnapshot if none
  u64 snapSequence;             // publications so far; written by the publishing thread
  Thread* thread;
  std::atomic<i32> runFlag;
  f64 fixedDt;
  // Held by the physics thread for each step and its publication, and by the
  // frame thread around every change to bodies, shapes, joints or fields while the
  // thread may run. lockWaiters counts frame-thread requests so that the thread
  // yields between steps instead of taking the lock straight back.
  ThreadMutex lock;
  std::atomic<u32> lockWaiters;
  b8 lockReady;
  // Each slot's pose at the end of the last step (finite), to see what was moved
  // between steps and to reset a body whose state became non-finite.
  BodyPose* lastPoses;
  b8* lastPoseKnown;
  std::atomic<u64> nonFiniteResets;  // bodies reset to rest so far
  // Body pairs that never collide, as sorted keys (low index << 32 | high index).
  u64* disabledPairs;
  u32 numDisabledPairs;
  u32 disabledPairCap;
  u32* disabledPairCount;  // per slot: how many of those pairs name it
};

inline constexpr u32 kWorldMaxBodies = 4096;
inline constexpr u32 kWorldMaxJointsPerType = 1024;
inline constexpr u32 kWorldMaxManifolds = 8192;  // initial manifold capacity
inline constexpr u32 kWorldManifoldCapacityLimit = 1u << 20;
inline constexpr u32 kWorldMaxVectorFields = 64;

WorldConfig worldDefaultConfig();
// False when memory runs out (the world is then left empty and may be destroyed).
b8 worldInit(World* world, const WorldConfig* config);
void worldDestroy(World* world);
void worldClear(World* world);

i32 worldCreateBody(World* world);
void worldDestroyBody(World* world, i32 index);
void worldSetBodyType(World* world, i32 index, BodyType type);
Body* worldGetBody(World* world, i32 index);

i32 worldCreateVectorField(World* world);
void worldDestroyVectorField(World* world, i32 index);
VectorField* worldGetVectorField(World* world, i32 index);
v3 defaultGravityFn(const Body* body, void* userData);

// Only this pair stops colliding; false when memory for the pair list runs out.
b8 worldDisableCollisionBetween(World* world, i32 a, i32 b);
b8 worldIsCollisionDisabled(const World* world, i32 a, i32 b);

// Sets a body's pose (velocities kept) and wakes the bodies touching it at its old
// and new place.
void worldSetBodyTransform(World* world, i32 index, Transform t);
// Wakes every body whose box overlaps aabb: for changes the world cannot see, such
// as in-place edits of a borrowed height field's samples.
void worldWakeRegion(World* world, Aabb aabb);
// Bodies whose state became non-finite and were put back to rest, so far.
u64 worldGetNonFiniteResets(const World* world);

JointHandle worldCreateBallSocketJoint(World* world, i32 a, i32 b, v3 worldAnchor);
JointHandle worldCreateHingeJoint(World* world, i32 a, i32 b, v3 worldAnchor, v3 worldAxis);
JointHandle worldCreateSliderJoint(World* world, i32 a, i32 b, v3 worldAnchor, v3 worldAxis);
JointHandle worldCreateFixedJoint(World* world, i32 a, i32 b);
// Destroys the joint the handle names (a stale handle is ignored) and wakes its
// bodies; the other joints keep their slots.
void worldDestroyJoint(World* world, JointHandle handle);
// The joint a handle names (cast by handle.type), or null when it no longer exists.
JointBase* worldGetJoint(World* world, JointHandle handle);

void worldStep(World* world, f64 dt);
// Runs whole fixed steps for dt seconds of real time (at most 8 steps of backlog);
// returns the number of steps taken.
u32 worldUpdate(World* world, f64 dt);

b8 worldRaycast(World* world, v3 rayStart, v3 rayEnd, RaycastHit* hitOut);
b8 worldRaycastAll(World* world, v3 rayStart, v3 rayEnd, WorldRaycastCallback callback,
                   void* userData);
void worldQueryAabb(World* world, Aabb aabb, WorldAabbCallback callback, void* userData);

u32 worldGetNumBodies(const World* world);
u32 worldGetNumContacts(const World* world);

struct WorldContactStats {
  u32 capacity;        // manifolds the arrays hold now
  u32 peak;            // most manifolds in one step
  u32 growths;         // times a step needed more than the capacity and it grew
  u64 dropped;         // pairs in contact whose manifold could not be kept
};
WorldContactStats worldGetContactStats(const World* world);
const CollisionPair* worldGetCollisionPairs(const World* world, u32* count);

// Union-find join: rootA becomes the parent of rootB.
void ufUnion(i32* parent, i32 a, i32 b, u32 n);

// Exclusive access to the world beside a running physics thread: granted between
// two steps (the thread yields to a waiting caller even while catching up).
// Holding it counts as the thread being stopped. Never call worldStopThread or
// worldDestroy while holding it. Re-entrant on the same thread.
void worldLock(World* world);
void worldUnlock(World* world);

// Thread control. Start returns false when the thread cannot start.
b8 worldStartThread(World* world, f64 fixedDt);
void worldStopThread(World* world);
// One pass of the thread loop at time t seconds: advances the accumulator by the
// elapsed time (clamped to 0.25 s), steps and publishes; returns the steps taken.
u32 worldThreadAdvance(World* world, f64* acc, f64* t0, f64 t, f64 dt);

// Publication, from the thread that steps the world.
void publishSnapshot(World* world, f64 timeSec);
void worldPublishSnapshot(World* world);
// The published snapshot; may be rewritten two publications later. The frame
// thread should use acquire/release instead.
const Snapshot* worldGetSnapshot(const World* world);
// Pins the newest snapshot for one reader (the frame thread) until
// worldReleaseSnapshot; the physics thread keeps publishing into other buffers.
const Snapshot* worldAcquireSnapshot(World* world);
void worldReleaseSnapshot(World* world);
