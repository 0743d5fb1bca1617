// Rigid bodies: the Body record, per-body operations (mass, inertia, forces,
// impulses, sleep test, world box) and the array-wide integration passes the
// world step calls in order.
#pragma once

#include "physics/shapes.h"
#include "platform/types.h"
#include "platform/vecmath.h"

enum BodyType : u32 {
  BODY_STATIC = 0,
  BODY_KINEMATIC = 1,
  BODY_DYNAMIC = 2,
};

struct Body {
  v3 position;
  v4 rotation;
  v3 linearVelocity;
  v3 angularVelocity;  // world frame
  v3 externalForce;
  v3 externalTorque;
  f64 mass;
  f64 invMass;
  v3 localInertiaTensor;     // diagonal, body axes
  v3 invLocalInertiaTensor;  // 0 where not positive or not dynamic
  mat3 invInertiaWorld;      // R diag(inv) R^T; zero unless dynamic
  v3 centerOfMassLocal;
  f64 friction;
  f64 restitution;
  f64 linearDamping;
  f64 angularDamping;
  Shape* shape;  // not owned; may be null
  Aabb localAabb;  // used when there is no shape
  BodyType type;
  b8 isAwake;
  b8 isGravityEnabled;
  b8 isAllowedToSleep;
  f64 sleepTime;
  u32 collisionCategory;
  u32 collisionMask;
  v3 linearLockFactor;   // per-axis multiplier, 1 free, 0 locked
  v3 angularLockFactor;
  void* userData;
  i32 id;  // index in the world, -1 until added
};

struct BodyVelocities {
  v3 linVel;
  v3 angVel;
};

typedef v3 (*VectorFieldFn)(const Body* body, void* userData);
typedef b8 (*VectorFieldVolumeFn)(const Body* body, void* userData);

struct VectorField {
  VectorFieldFn fn;
  VectorFieldVolumeFn volume;  // optional
  void* userData;
  b8 isEnabled;
};

void bodyInit(Body* body);
void bodySetType(Body* body, BodyType type);
void bodySetMass(Body* body, f64 m);
void bodySetLocalInertiaTensor(Body* body, v3 inertia);
void bodyUpdateInertiaWorld(Body* body);
void bodyClearForces(Body* body);
Transform bodyGetTransform(const Body* body);
void bodySetTransform(Body* body, Transform t);
void bodySetAwake(Body* body, b8 awake);
void bodyApplyForce(Body* body, v3 force);
void bodyApplyForceAtPoint(Body* body, v3 force, v3 point);
void bodyApplyTorque(Body* body, v3 torque);
void bodyApplyLinearImpulse(Body* body, v3 impulse);
void bodyApplyImpulseAtPoint(Body* body, v3 impulse, v3 point);
void bodyApplyAngularImpulse(Body* body, v3 impulse);
b8 bodyShouldSleep(const Body* body, f64 linearThreshold, f64 angularThreshold, f64 timeThreshold);
Aabb bodyComputeAabb(const Body* body);

// Diagonal inertia tensors; y is the axis of capsules and cylinders.
v3 bodyInertiaBox(f64 mass, v3 halfExtents);
v3 bodyInertiaSphere(f64 mass, f64 radius);
v3 bodyInertiaCylinder(f64 mass, f64 radius, f64 height);
// height is the cylindrical part.
v3 bodyInertiaCapsule(f64 mass, f64 radius, f64 height);

// Array passes, in index order; "active" means dynamic and awake.
void applyVectorFields(Body* bodies, u32 count, const VectorField* fields, u32 fieldCount, f64 dt);
void integrateVelocities(Body* bodies, u32 count, f64 dt);
void applyDamping(Body* bodies, u32 count, f64 dt);
void initConstrainedVelocities(const Body* bodies, u32 count, BodyVelocities* out);
void applyConstrainedVelocities(Body* bodies, u32 count, const BodyVelocities* in);
void integratePositions(Body* bodies, u32 count, f64 dt);
void initSplitVelocities(BodyVelocities* out, u32 count);
void applySplitImpulseCorrection(Body* bodies, u32 count, const BodyVelocities* splitVel, f64 dt);
void updateWorldInertias(Body* bodies, u32 count);
