#include "physics/dynamics.h"

#include <cmath>
#include <cstring>

namespace {

b8 isActive(const Body* b) { return b->type == BODY_DYNAMIC && b->isAwake; }

void wake(Body* b) {
  b->isAwake = true;
  b->sleepTime = 0.0;
}

v3 centreOfMass(const Body* b) { return b->position + quatRotate(b->rotation, b->centerOfMassLocal); }

v3 invComponents(v3 v) {
  return V3(v.x > 0.0 ? 1.0 / v.x : 0.0, v.y > 0.0 ? 1.0 / v.y : 0.0, v.z > 0.0 ? 1.0 / v.z : 0.0);
}

// q += (dt/2)(w x q) with w the pure quaternion of a world-frame angular velocity.
v4 integrateRotation(v4 q, v3 w, f64 dt) {
  v4 dq = quatMul(V4(w.x, w.y, w.z, 0.0), q);
  return quatNormalize(q + dq * (0.5 * dt));
}

// v turned about a unit axis by angle (Rodrigues).
v3 turnAbout(v3 v, v3 axis, f64 angle) {
  f64 c = std::cos(angle), s = std::sin(angle);
  return v * c + v3Cross(axis, v) * s + axis * (v3Dot(axis, v) * (1.0 - c));
}

// A free body keeps its angular momentum, not its angular velocity: seen from the
// body, the momentum turns backwards at w (so a box spun about its middle axis
// tumbles). One midpoint step of that turn, exact in length; energy is never
// added. Bodies with equal principal inertias feel nothing and keep their bits.
v3 gyroscopicStep(const Body* b, f64 dt) {
  v3 inertia = b->localInertiaTensor;
  v3 w = b->angularVelocity;
  if (inertia.x == inertia.y && inertia.y == inertia.z) return w;
  if (w.x == 0.0 && w.y == 0.0 && w.z == 0.0) return w;
  v3 inv = b->invLocalInertiaTensor;
  if (!(inv.x > 0.0 && inv.y > 0.0 && inv.z > 0.0)) return w;  // an axis that cannot turn
  mat3 r = mat3FromQuat(b->rotation);
  v3 wb = mat3MulV(mat3Transpose(r), w);
  v3 l = v3Mul(inertia, wb);
  f64 speed = v3Length(wb);
  v3 half = turnAbout(l, wb * (1.0 / speed), -0.5 * speed * dt);
  v3 wh = v3Mul(inv, half);
  f64 halfSpeed = v3Length(wh);
  if (!(halfSpeed > 0.0)) return w;
  v3 turned = turnAbout(l, wh * (1.0 / halfSpeed), -halfSpeed * dt);
  v3 wn = v3Mul(inv, turned);
  f64 before = v3Dot(wb, l), after = v3Dot(wn, turned);  // twice the energies
  if (after > before && after > 0.0) wn = wn * std::sqrt(before / after);
  return mat3MulV(r, wn);
}

}  // namespace

void bodyInit(Body* body) {
  std::memset(body, 0, sizeof(*body));
  body->rotation = quatIdentity();
  body->mass = 1.0;
  body->invMass = 1.0;
  body->localInertiaTensor = V3(1, 1, 1);
  body->invLocalInertiaTensor = V3(1, 1, 1);
  body->invInertiaWorld = mat3Identity();
  body->friction = 0.3;
  body->localAabb = Aabb{V3(-0.5, -0.5, -0.5), V3(0.5, 0.5, 0.5)};
  body->type = BODY_DYNAMIC;
  body->isAwake = true;
  body->isGravityEnabled = true;
  body->isAllowedToSleep = true;
  body->collisionCategory = 1;
  body->collisionMask = 0xFFFFFFFFu;
  body->linearLockFactor = V3(1, 1, 1);
  body->angularLockFactor = V3(1, 1, 1);
  body->id = -1;
}

void bodySetType(Body* body, BodyType type) {
  if (body->type == type) return;
  body->type = type;
  if (type == BODY_STATIC) {
    body->invMass = 0.0;
    body->invLocalInertiaTensor = V3(0, 0, 0);
    body->linearVelocity = V3(0, 0, 0);
    body->angularVelocity = V3(0, 0, 0);
    body->invInertiaWorld = mat3{};
    body->isAwake = false;
  } else if (type == BODY_KINEMATIC) {
    body->invMass = 0.0;
    body->invLocalInertiaTensor = V3(0, 0, 0);
    body->invInertiaWorld = mat3{};
  } else {
    if (body->mass > 0.0) body->invMass = 1.0 / body->mass;
    body->invLocalInertiaTensor = invComponents(body->localInertiaTensor);
    bodyUpdateInertiaWorld(body);
  }
  // A static body is asleep; one that may move now must not stay frozen in the air.
  if (type != BODY_STATIC) wake(body);
  bodyClearForces(body);
}

void bodySetMass(Body* body, f64 m) {
  body->mass = m;
  body->invMass = (body->type == BODY_DYNAMIC && m > 0.0) ? 1.0 / m : 0.0;
}

void bodySetLocalInertiaTensor(Body* body, v3 inertia) {
  body->localInertiaTensor = inertia;
  if (body->type != BODY_DYNAMIC) {
    body->invLocalInertiaTensor = V3(0, 0, 0);
    return;
  }
  body->invLocalInertiaTensor = invComponents(inertia);
  bodyUpdateInertiaWorld(body);
}

void bodyUpdateInertiaWorld(Body* body) {
  if (body->type != BODY_DYNAMIC) {
    body->invInertiaWorld = mat3{};
    return;
  }
  mat3 r = mat3FromQuat(body->rotation);
  v3 d = body->invLocalInertiaTensor;
  mat3 rd{{r.c[0] * d.x, r.c[1] * d.y, r.c[2] * d.z}};
  body->invInertiaWorld = mat3Mul(rd, mat3Transpose(r));
}

void bodyClearForces(Body* body) {
  body->externalForce = V3(0, 0, 0);
  body->externalTorque = V3(0, 0, 0);
}

Transform bodyGetTransform(const Body* body) { return Transform{body->position, body->rotation}; }

// A teleport: the velocities stay as they were (a spinning body moved far away
// must not be launched by its spin times the distance).
void bodySetTransform(Body* body, Transform t) {
  body->position = t.position;
  body->rotation = t.orientation;
  bodyUpdateInertiaWorld(body);
  if (body->type != BODY_STATIC) wake(body);
}

void bodySetAwake(Body* body, b8 awake) {
  if (body->type == BODY_STATIC) return;
  if (awake) {
    wake(body);
  } else {
    body->isAwake = false;
    body->linearVelocity = V3(0, 0, 0);
    body->angularVelocity = V3(0, 0, 0);
  }
}

void bodyApplyForce(Body* body, v3 force) {
  if (body->type != BODY_DYNAMIC) return;
  body->externalForce += force;
  wake(body);
}

void bodyApplyForceAtPoint(Body* body, v3 force, v3 point) {
  if (body->type != BODY_DYNAMIC) return;
  body->externalForce += force;
  body->externalTorque += v3Cross(point - centreOfMass(body), force);
  wake(body);
}

void bodyApplyTorque(Body* body, v3 torque) {
  if (body->type != BODY_DYNAMIC) return;
  body->externalTorque += torque;
  wake(body);
}

void bodyApplyLinearImpulse(Body* body, v3 impulse) {
  if (body->type != BODY_DYNAMIC) return;
  body->linearVelocity += impulse * body->invMass;
  wake(body);
}

void bodyApplyImpulseAtPoint(Body* body, v3 impulse, v3 point) {
  if (body->type != BODY_DYNAMIC) return;
  body->linearVelocity += impulse * body->invMass;
  body->angularVelocity +=
      mat3MulV(body->invInertiaWorld, v3Cross(point - centreOfMass(body), impulse));
  wake(body);
}

void bodyApplyAngularImpulse(Body* body, v3 impulse) {
  if (body->type != BODY_DYNAMIC) return;
  body->angularVelocity += mat3MulV(body->invInertiaWorld, impulse);
  wake(body);
}

b8 bodyShouldSleep(const Body* body, f64 linearThreshold, f64 angularThreshold, f64 timeThreshold) {
  return body->isAllowedToSleep && body->type == BODY_DYNAMIC &&
         v3LengthSq(body->linearVelocity) <= linearThreshold * linearThreshold &&
         v3LengthSq(body->angularVelocity) <= angularThreshold * angularThreshold &&
         body->sleepTime >= timeThreshold;
}

Aabb bodyComputeAabb(const Body* body) {
  if (body->shape) return shapeComputeAabb(body->shape, bodyGetTransform(body));
  v3 m = (body->localAabb.min + body->localAabb.max) * 0.5;
  v3 e = (body->localAabb.max - body->localAabb.min) * 0.5;
  mat3 r = mat3FromQuat(body->rotation);
  mat3 a{{v3Abs(r.c[0]), v3Abs(r.c[1]), v3Abs(r.c[2])}};
  v3 c = body->position + mat3MulV(r, m);
  v3 ext = mat3MulV(a, e);
  return Aabb{c - ext, c + ext};
}

v3 bodyInertiaBox(f64 mass, v3 h) {
  f64 k = mass / 3.0;
  return V3(k * (h.y * h.y + h.z * h.z), k * (h.x * h.x + h.z * h.z), k * (h.x * h.x + h.y * h.y));
}

v3 bodyInertiaSphere(f64 mass, f64 radius) {
  f64 i = 0.4 * mass * radius * radius;
  return V3(i, i, i);
}

v3 bodyInertiaCylinder(f64 mass, f64 radius, f64 height) {
  f64 side = mass * (3.0 * radius * radius + height * height) / 12.0;
  return V3(side, mass * radius * radius / 2.0, side);
}

v3 bodyInertiaCapsule(f64 mass, f64 radius, f64 height) {
  f64 r = radius, h = height;
  f64 denom = 4.0 * r + 3.0 * h;
  f64 mc = denom > 0.0 ? 3.0 * h * mass / denom : 0.0;
  f64 mh = denom > 0.0 ? 2.0 * r * mass / denom : 0.0;
  f64 iy = mc * r * r / 2.0 + 0.8 * mh * r * r;
  f64 ix = mc * (r * r / 4.0 + h * h / 12.0) + mh * (0.8 * r * r + 0.5 * h * h + 0.75 * r * h);
  return V3(ix, iy, ix);
}

void applyVectorFields(Body* bodies, u32 count, const VectorField* fields, u32 fieldCount, f64 dt) {
  for (u32 f = 0; f < fieldCount; ++f) {
    const VectorField* field = &fields[f];
    if (!field->isEnabled || !field->fn) continue;
    for (u32 i = 0; i < count; ++i) {
      Body* b = &bodies[i];
      if (!isActive(b)) continue;
      if (field->volume && !field->volume(b, field->userData)) continue;
      b->linearVelocity += field->fn(b, field->userData) * (dt * b->invMass);
    }
  }
}

void integrateVelocities(Body* bodies, u32 count, f64 dt) {
  for (u32 i = 0; i < count; ++i) {
    Body* b = &bodies[i];
    if (!isActive(b)) continue;
    b->linearVelocity =
        v3Mul(b->linearVelocity + b->externalForce * (dt * b->invMass), b->linearLockFactor);
    b->angularVelocity =
        v3Mul(gyroscopicStep(b, dt) + mat3MulV(b->invInertiaWorld, b->externalTorque) * dt,
              b->angularLockFactor);
  }
}

void applyDamping(Body* bodies, u32 count, f64 dt) {
  for (u32 i = 0; i < count; ++i) {
    Body* b = &bodies[i];
    if (!isActive(b)) continue;
    b->linearVelocity = b->linearVelocity / (1.0 + b->linearDamping * dt);
    b->angularVelocity = b->angularVelocity / (1.0 + b->angularDamping * dt);
  }
}

void initConstrainedVelocities(const Body* bodies, u32 count, BodyVelocities* out) {
  for (u32 i = 0; i < count; ++i) {
    out[i].linVel = bodies[i].linearVelocity;
    out[i].angVel = bodies[i].angularVelocity;
  }
}

void applyConstrainedVelocities(Body* bodies, u32 count, const BodyVelocities* in) {
  for (u32 i = 0; i < count; ++i) {
    Body* b = &bodies[i];
    if (!isActive(b)) continue;
    b->linearVelocity = v3Mul(in[i].linVel, b->linearLockFactor);
    b->angularVelocity = v3Mul(in[i].angVel, b->angularLockFactor);
  }
}

void integratePositions(Body* bodies, u32 count, f64 dt) {
  for (u32 i = 0; i < count; ++i) {
    Body* b = &bodies[i];
    if (b->type == BODY_STATIC || !b->isAwake) continue;
    b->position += b->linearVelocity * dt;
    b->rotation = integrateRotation(b->rotation, b->angularVelocity, dt);
    bodyUpdateInertiaWorld(b);
  }
}

void initSplitVelocities(BodyVelocities* out, u32 count) {
  if (count > 0) std::memset(out, 0, sizeof(*out) * count);
}

void applySplitImpulseCorrection(Body* bodies, u32 count, const BodyVelocities* splitVel, f64 dt) {
  for (u32 i = 0; i < count; ++i) {
    Body* b = &bodies[i];
    if (!isActive(b)) continue;
    b->position += splitVel[i].linVel * dt;
    b->rotation = integrateRotation(b->rotation, splitVel[i].angVel, dt);
    bodyUpdateInertiaWorld(b);
  }
}

void updateWorldInertias(Body* bodies, u32 count) {
  for (u32 i = 0; i < count; ++i) bodyUpdateInertiaWorld(&bodies[i]);
}
