#include "physics/joints.h"

#include <cmath>

namespace {

constexpr f64 kJointEpsilon = 1.19209e-7;

v3 centerOfMass(const Body& b) { return b.position + quatRotate(b.rotation, b.centerOfMassLocal); }

// Anchor offset from the centre of mass, in world axes.
v3 anchorOffset(const Body& b, v3 localAnchor) {
  return quatRotate(b.rotation, localAnchor - b.centerOfMassLocal);
}

v3 toLocal(const Body& b, v3 worldPoint) {
  return quatRotate(quatConjugate(b.rotation), worldPoint - b.position);
}

// Two unit vectors orthogonal to unit a, completing a right-handed frame.
void orthoBasis(v3 a, v3* b, v3* c) {
  v3 e = std::fabs(a.x) >= 0.9 ? V3(0, 1, 0) : V3(1, 0, 0);
  *b = v3Normalize(v3Cross(a, e));
  *c = v3Cross(a, *b);
}

// Effective mass of a point-to-point constraint at offsets r1, r2.
mat3 pointMassMatrix(const Body& A, const Body& B, v3 r1, v3 r2) {
  mat3 k = mat3Scale(mat3Identity(), A.invMass + B.invMass);
  mat3 s1 = mat3Skew(r1), s2 = mat3Skew(r2);
  k = mat3Add(k, mat3Mul(mat3Mul(s1, A.invInertiaWorld), mat3Transpose(s1)));
  k = mat3Add(k, mat3Mul(mat3Mul(s2, B.invInertiaWorld), mat3Transpose(s2)));
  return k;
}

// 2x2 inverse into the upper-left corner; zero when nearly singular.
mat3 inverse2x2(f64 k00, f64 k01, f64 k10, f64 k11) {
  mat3 r = mat3Zero();
  f64 det = k00 * k11 - k01 * k10;
  if (std::fabs(det) <= kJointEpsilon) return r;
  f64 inv = 1.0 / det;
  r.c[0].x = k11 * inv;
  r.c[0].y = -k10 * inv;
  r.c[1].x = -k01 * inv;
  r.c[1].y = k00 * inv;
  return r;
}

v3 mul2x2(const mat3& m, f64 x, f64 y) { return V3(m.c[0].x * x + m.c[1].x * y, m.c[0].y * x + m.c[1].y * y, 0); }

f64 invOrZero(f64 k) { return k > 0.0 ? 1.0 / k : 0.0; }

void applyLinear(const Body& A, const Body& B, BodyVelocities& va, BodyVelocities& vb, v3 r1,
                 v3 r2, v3 p) {
  va.linVel -= p * A.invMass;
  va.angVel -= mat3MulV(A.invInertiaWorld, v3Cross(r1, p));
  vb.linVel += p * B.invMass;
  vb.angVel += mat3MulV(B.invInertiaWorld, v3Cross(r2, p));
}

void applyAngular(const Body& A, const Body& B, BodyVelocities& va, BodyVelocities& vb, v3 l) {
  va.angVel -= mat3MulV(A.invInertiaWorld, l);
  vb.angVel += mat3MulV(B.invInertiaWorld, l);
}

// Position-level move: translate and turn by a world-frame rotation vector.
void moveBody(Body& b, v3 dpos, v3 omega, b8 refreshInertia) {
  b.position += dpos;
  v4 w{omega.x, omega.y, omega.z, 0.0};
  v4 q = b.rotation + quatMul(w, b.rotation) * 0.5;
  f64 len = v4Length(q);
  if (len > 0.0) q = q * (1.0 / len);
  b.rotation = q;
  if (refreshInertia) bodyUpdateInertiaWorld(&b);
}

// Angular-only move of the pair: A turns by -l, B by +l, through their inertias.
inline void turnApart(Body& A, Body& B, v3 l) {
  moveBody(A, V3(0, 0, 0), -mat3MulV(A.invInertiaWorld, l), true);
  moveBody(B, V3(0, 0, 0), mat3MulV(B.invInertiaWorld, l), true);
}

// Removes a point-to-point error on the poses (non-linear Gauss-Seidel).
void solvePointPosition(Body& A, Body& B, v3 localAnchorA, v3 localAnchorB, b8 refreshInertia) {
  v3 r1 = anchorOffset(A, localAnchorA);
  v3 r2 = anchorOffset(B, localAnchorB);
  v3 err = centerOfMass(B) + r2 - centerOfMass(A) - r1;
  if (v3Length(err) < kJointEpsilon) return;
  v3 p = mat3MulV(mat3Inverse(pointMassMatrix(A, B, r1, r2)), -err);
  moveBody(A, p * -A.invMass, -mat3MulV(A.invInertiaWorld, v3Cross(r1, p)), refreshInertia);
  moveBody(B, p * B.invMass, mat3MulV(B.invInertiaWorld, v3Cross(r2, p)), refreshInertia);
}

// B's orientation relative to A, expressed in A's frame; invariant when both turn together.
v4 relativeOrientation(const Body& A, const Body& B) {
  return quatMul(quatConjugate(A.rotation), B.rotation);
}

// Rotation of B since init, in A's frame, on the short arc.
v4 orientationDelta(const Body& A, const Body& B, v4 initInv) {
  v4 d = quatMul(relativeOrientation(A, B), initInv);
  if (d.w < 0.0) d = d * -1.0;
  return d;
}

// Rotation error (twice the vector part of the delta), in world axes.
v3 rotationError(const Body& A, const Body& B, v4 initInv) {
  v4 d = orientationDelta(A, B, initInv);
  return quatRotate(A.rotation, V3(d.x, d.y, d.z)) * 2.0;
}

// Removes a 3-D rotation error through inverse(IA + IB).
void solveRotationPosition(Body& A, Body& B, v3 err) {
  mat3 k = mat3Inverse(mat3Add(A.invInertiaWorld, B.invInertiaWorld));
  v3 l = mat3MulV(k, -err);
  turnApart(A, B, l);
}

f64 biasFactorFor(f64 dt, const SolverConfig* config) { return dt > 0.0 ? config->beta / dt : 0.0; }

// Point-to-point rows of this step: offsets, effective mass and position bias.
void preparePointRows(const Body& A, const Body& B, const JointBase& base, f64 biasFactor,
                      v3* r1, v3* r2, mat3* inverseMass, v3* bias) {
  *r1 = anchorOffset(A, base.localAnchorA);
  *r2 = anchorOffset(B, base.localAnchorB);
  *inverseMass = mat3Inverse(pointMassMatrix(A, B, *r1, *r2));
  *bias = (centerOfMass(B) + *r2 - centerOfMass(A) - *r1) * biasFactor;
}

void solvePointVelocity(const Body& A, const Body& B, BodyVelocities& va, BodyVelocities& vb,
                        v3 r1, v3 r2, const mat3& inverseMass, v3 bias, v3* accumulated) {
  v3 jv = vb.linVel + v3Cross(vb.angVel, r2) - va.linVel - v3Cross(va.angVel, r1);
  v3 d = mat3MulV(inverseMass, -jv - bias);
  *accumulated += d;
  applyLinear(A, B, va, vb, r1, r2, d);
}

// Rows that hold the relative orientation at the one recorded at init.
void prepareRotationLock(const Body& A, const Body& B, v4 initInv, f64 biasFactor,
                         mat3* inverseMass, v3* bias) {
  *inverseMass = mat3Inverse(mat3Add(A.invInertiaWorld, B.invInertiaWorld));
  *bias = rotationError(A, B, initInv) * biasFactor;
}

void solveRotationLockVelocity(const Body& A, const Body& B, BodyVelocities& va,
                               BodyVelocities& vb, const mat3& inverseMass, v3 bias,
                               v3* accumulated) {
  v3 dr = mat3MulV(inverseMass, -(vb.angVel - va.angVel) - bias);
  *accumulated += dr;
  applyAngular(A, B, va, vb, dr);
}

// Limit rows of this step from the measured joint value (angle or distance).
template <typename Joint>
void prepareLimitRows(Joint* j, f64 value, f64 biasFactor) {
  f64 lowerError = value - j->lowerLimit;
  f64 upperError = j->upperLimit - value;
  j->isLowerLimitViolated = lowerError <= 0.0;
  j->isUpperLimitViolated = upperError <= 0.0;
  j->bLowerLimit = biasFactor * std::fmax(0.0, -lowerError);
  j->bUpperLimit = biasFactor * std::fmax(0.0, -upperError);
}

// One-sided limit row: the accumulated impulse stays >= 0. Takes the row's
// velocity jv; returns the impulse to apply now.
f64 limitImpulseStep(f64* accumulated, f64 jv, f64 bias, f64 inverseMass) {
  f64 l = std::fmax(0.0, *accumulated + (-jv + bias) * inverseMass);
  f64 delta = l - *accumulated;
  *accumulated = l;
  return delta;
}

// Motor row: drives the speed towards target within +-maxImpulse accumulated;
// returns the impulse to apply now.
f64 motorImpulseStep(f64* accumulated, f64 speed, f64 target, f64 inverseMass, f64 maxImpulse) {
  f64 l = *accumulated - (speed - target) * inverseMass;
  l = std::fmin(std::fmax(l, -maxImpulse), maxImpulse);
  f64 delta = l - *accumulated;
  *accumulated = l;
  return delta;
}

// How far the value lies outside [lower, upper]: negative below, positive above, else 0.
f64 limitError(f64 value, f64 lower, f64 upper) {
  if (value - lower < 0.0) return value - lower;
  if (upper - value < 0.0) return value - upper;
  return 0.0;
}

// The two directions across A's hinge axis a1 along which B's axis a2 may not tilt.
void hingeCrossAxes(v3 a1, v3 a2, v3 b2, v3* u1, v3* u2) {
  v3 c2 = v3Cross(a2, b2);
  *u1 = v3Cross(b2, a1);
  *u2 = v3Cross(c2, a1);
}

void initAnchors(JointBase* base, JointType type, i32 a, i32 b, v3 worldAnchor, Body* bodies) {
  base->type = type;
  base->bodyIndexA = a;
  base->bodyIndexB = b;
  base->localAnchorA = toLocal(bodies[a], worldAnchor);
  base->localAnchorB = toLocal(bodies[b], worldAnchor);
  base->isEnabled = true;
}

f64 wrapAngle(f64 a) {
  while (a > kPi) a -= 2.0 * kPi;
  while (a <= -kPi) a += 2.0 * kPi;
  return a;
}

}  // namespace

// ---- init ----

void ballSocketJointInit(BallSocketJoint* j, i32 bodyA, i32 bodyB, v3 worldAnchor, Body* bodies) {
  *j = BallSocketJoint{};
  initAnchors(&j->base, JOINT_BALL_SOCKET, bodyA, bodyB, worldAnchor, bodies);
}

void hingeJointInit(HingeJoint* j, i32 bodyA, i32 bodyB, v3 worldAnchor, v3 worldAxis,
                    Body* bodies) {
  *j = HingeJoint{};
  initAnchors(&j->base, JOINT_HINGE, bodyA, bodyB, worldAnchor, bodies);
  const Body& A = bodies[bodyA];
  const Body& B = bodies[bodyB];
  j->localAxisA = v3Normalize(quatRotate(quatConjugate(A.rotation), worldAxis));
  j->localAxisB = v3Normalize(quatRotate(quatConjugate(B.rotation), worldAxis));
  j->initOrientationDifferenceInv = quatConjugate(relativeOrientation(A, B));
}

void sliderJointInit(SliderJoint* j, i32 bodyA, i32 bodyB, v3 worldAnchor, v3 worldAxis,
                     Body* bodies) {
  *j = SliderJoint{};
  initAnchors(&j->base, JOINT_SLIDER, bodyA, bodyB, worldAnchor, bodies);
  const Body& A = bodies[bodyA];
  j->localAxisA = v3Normalize(quatRotate(quatConjugate(A.rotation), worldAxis));
  j->initOrientationDifferenceInv = quatConjugate(relativeOrientation(A, bodies[bodyB]));
}

void fixedJointInit(FixedJoint* j, i32 bodyA, i32 bodyB, Body* bodies) {
  *j = FixedJoint{};
  v3 mid = (bodies[bodyA].position + bodies[bodyB].position) * 0.5;
  initAnchors(&j->base, JOINT_FIXED, bodyA, bodyB, mid, bodies);
  j->localOrientationDiff = relativeOrientation(bodies[bodyA], bodies[bodyB]);
}

f64 hingeJointGetAngle(const HingeJoint* j, const Body* bodies) {
  const Body& A = bodies[j->base.bodyIndexA];
  const Body& B = bodies[j->base.bodyIndexB];
  v4 d = quatMul(relativeOrientation(A, B), j->initOrientationDifferenceInv);
  f64 s = v3Dot(V3(d.x, d.y, d.z), j->localAxisA);
  return wrapAngle(2.0 * std::atan2(s, d.w));
}

// ---- ball and socket ----

void ballSocketJointPreSolve(BallSocketJoint* j, Body* bodies, f64 dt, const SolverConfig* config) {
  const Body& A = bodies[j->base.bodyIndexA];
  const Body& B = bodies[j->base.bodyIndexB];
  preparePointRows(A, B, j->base, biasFactorFor(dt, config), &j->r1, &j->r2,
                   &j->inverseMassMatrix, &j->biasVector);
}

void ballSocketJointWarmStart(BallSocketJoint* j, Body* bodies, BodyVelocities* vel) {
  i32 a = j->base.bodyIndexA, b = j->base.bodyIndexB;
  applyLinear(bodies[a], bodies[b], vel[a], vel[b], j->r1, j->r2, j->accumulatedImpulse);
}

void ballSocketJointSolveVelocity(BallSocketJoint* j, Body* bodies, BodyVelocities* vel) {
  i32 a = j->base.bodyIndexA, b = j->base.bodyIndexB;
  solvePointVelocity(bodies[a], bodies[b], vel[a], vel[b], j->r1, j->r2, j->inverseMassMatrix,
                     j->biasVector, &j->accumulatedImpulse);
}

void ballSocketJointSolvePosition(BallSocketJoint* j, Body* bodies, const SolverConfig* config) {
  (void)config;
  solvePointPosition(bodies[j->base.bodyIndexA], bodies[j->base.bodyIndexB],
                     j->base.localAnchorA, j->base.localAnchorB, false);
}

// ---- hinge ----

void hingeJointPreSolve(HingeJoint* j, Body* bodies, f64 dt, const SolverConfig* config) {
  const Body& A = bodies[j->base.bodyIndexA];
  const Body& B = bodies[j->base.bodyIndexB];
  f64 biasFactor = biasFactorFor(dt, config);
  preparePointRows(A, B, j->base, biasFactor, &j->r1, &j->r2, &j->inverseMassMatrixTranslation,
                   &j->biasTranslation);
  j->a1 = v3Normalize(quatRotate(A.rotation, j->localAxisA));
  v3 a2 = quatRotate(B.rotation, j->localAxisB);
  v3 c2;
  orthoBasis(a2, &j->b2, &c2);
  j->worldAxisA = j->a1;
  j->worldAxisB = a2;

  v3 u1, u2;
  hingeCrossAxes(j->a1, a2, j->b2, &u1, &u2);
  mat3 isum = mat3Add(A.invInertiaWorld, B.invInertiaWorld);
  v3 iu1 = mat3MulV(isum, u1), iu2 = mat3MulV(isum, u2);
  j->inverseMassMatrixRotation =
      inverse2x2(v3Dot(u1, iu1), v3Dot(u1, iu2), v3Dot(u2, iu1), v3Dot(u2, iu2));
  j->biasRotation = V3(v3Dot(j->a1, j->b2), v3Dot(j->a1, c2), 0) * biasFactor;

  j->isLowerLimitViolated = false;
  j->isUpperLimitViolated = false;
  if (j->isLimitEnabled) prepareLimitRows(j, hingeJointGetAngle(j, bodies), biasFactor);
  // A limit that is not touched this step must not warm start a stale impulse.
  if (!j->isLowerLimitViolated) j->accumulatedLowerLimitImpulse = 0.0;
  if (!j->isUpperLimitViolated) j->accumulatedUpperLimitImpulse = 0.0;
  if (!j->isMotorEnabled) j->accumulatedMotorImpulse = 0.0;
  if (j->isMotorEnabled || j->isLimitEnabled) {
    j->inverseMassMotor = invOrZero(v3Dot(j->a1, mat3MulV(isum, j->a1)));
    j->maxMotorImpulse = dt * j->maxMotorTorque;
  }
}

void hingeJointWarmStart(HingeJoint* j, Body* bodies, BodyVelocities* vel) {
  i32 a = j->base.bodyIndexA, b = j->base.bodyIndexB;
  const Body& A = bodies[a];
  const Body& B = bodies[b];
  applyLinear(A, B, vel[a], vel[b], j->r1, j->r2, j->accumulatedImpulseTranslation);
  v3 u1, u2;
  hingeCrossAxes(j->a1, j->worldAxisB, j->b2, &u1, &u2);
  // Angular impulse received by A; B receives its negative.
  v3 onA = u1 * -j->accumulatedImpulseRotation.x - u2 * j->accumulatedImpulseRotation.y +
           j->a1 * (j->accumulatedUpperLimitImpulse - j->accumulatedLowerLimitImpulse) -
           j->a1 * j->accumulatedMotorImpulse;
  applyAngular(A, B, vel[a], vel[b], -onA);
}

void hingeJointSolveVelocity(HingeJoint* j, Body* bodies, BodyVelocities* vel) {
  i32 a = j->base.bodyIndexA, b = j->base.bodyIndexB;
  const Body& A = bodies[a];
  const Body& B = bodies[b];
  BodyVelocities& va = vel[a];
  BodyVelocities& vb = vel[b];

  solvePointVelocity(A, B, va, vb, j->r1, j->r2, j->inverseMassMatrixTranslation,
                     j->biasTranslation, &j->accumulatedImpulseTranslation);

  v3 u1, u2;
  hingeCrossAxes(j->a1, j->worldAxisB, j->b2, &u1, &u2);
  v3 dw = vb.angVel - va.angVel;
  v3 dr = mul2x2(j->inverseMassMatrixRotation, -v3Dot(u1, dw) - j->biasRotation.x,
                 -v3Dot(u2, dw) - j->biasRotation.y);
  j->accumulatedImpulseRotation.x += dr.x;
  j->accumulatedImpulseRotation.y += dr.y;
  applyAngular(A, B, va, vb, u1 * dr.x + u2 * dr.y);

  // Limits: one-sided rows about the axis (lower pushes the angle up, upper down).
  if (j->isLowerLimitViolated) {
    f64 jl = v3Dot(j->a1, vb.angVel - va.angVel);
    applyAngular(A, B, va, vb,
                 j->a1 * limitImpulseStep(&j->accumulatedLowerLimitImpulse, jl, j->bLowerLimit,
                                          j->inverseMassMotor));
  }
  if (j->isUpperLimitViolated) {
    f64 ju = -v3Dot(j->a1, vb.angVel - va.angVel);
    applyAngular(A, B, va, vb,
                 j->a1 * -limitImpulseStep(&j->accumulatedUpperLimitImpulse, ju, j->bUpperLimit,
                                           j->inverseMassMotor));
  }

  // Motor: drives a1 . (wB - wA) towards motorSpeed within the torque budget.
  if (j->isMotorEnabled) {
    f64 spin = v3Dot(j->a1, vb.angVel - va.angVel);
    applyAngular(A, B, va, vb,
                 j->a1 * motorImpulseStep(&j->accumulatedMotorImpulse, spin, j->motorSpeed,
                                          j->inverseMassMotor, j->maxMotorImpulse));
  }
}

void hingeJointSolvePosition(HingeJoint* j, Body* bodies, const SolverConfig* config) {
  (void)config;
  Body& A = bodies[j->base.bodyIndexA];
  Body& B = bodies[j->base.bodyIndexB];
  solvePointPosition(A, B, j->base.localAnchorA, j->base.localAnchorB, true);

  v3 a1 = v3Normalize(quatRotate(A.rotation, j->localAxisA));
  v3 a2 = quatRotate(B.rotation, j->localAxisB);
  v3 b2, c2;
  orthoBasis(a2, &b2, &c2);
  v3 u1, u2;
  hingeCrossAxes(a1, a2, b2, &u1, &u2);
  mat3 isum = mat3Add(A.invInertiaWorld, B.invInertiaWorld);
  v3 iu1 = mat3MulV(isum, u1), iu2 = mat3MulV(isum, u2);
  mat3 k = inverse2x2(v3Dot(u1, iu1), v3Dot(u1, iu2), v3Dot(u2, iu1), v3Dot(u2, iu2));
  v3 l = mul2x2(k, -v3Dot(a1, b2), -v3Dot(a1, c2));
  turnApart(A, B, u1 * l.x + u2 * l.y);

  if (!j->isLimitEnabled) return;
  // Negative: turn B up; positive: turn B down.
  f64 err = limitError(hingeJointGetAngle(j, bodies), j->lowerLimit, j->upperLimit);
  if (err == 0.0) return;
  a1 = v3Normalize(quatRotate(A.rotation, j->localAxisA));
  f64 m = invOrZero(v3Dot(a1, mat3MulV(mat3Add(A.invInertiaWorld, B.invInertiaWorld), a1)));
  turnApart(A, B, a1 * (-err * m));
}

// ---- slider ----

namespace {

struct SliderFrame {
  v3 r1, r2, u, axis, n1, n2, r1u;
};

SliderFrame sliderFrame(const SliderJoint* j, const Body& A, const Body& B) {
  SliderFrame f;
  f.r1 = anchorOffset(A, j->base.localAnchorA);
  f.r2 = anchorOffset(B, j->base.localAnchorB);
  f.u = centerOfMass(B) + f.r2 - centerOfMass(A) - f.r1;
  f.axis = v3Normalize(quatRotate(A.rotation, j->localAxisA));
  orthoBasis(f.axis, &f.n1, &f.n2);
  f.r1u = f.r1 + f.u;
  return f;
}

// Inverse mass along a linear direction d of the slider's point pair.
f64 sliderLinearMass(const Body& A, const Body& B, v3 r1xd, v3 r2xd) {
  return A.invMass + B.invMass + v3Dot(r1xd, mat3MulV(A.invInertiaWorld, r1xd)) +
         v3Dot(r2xd, mat3MulV(B.invInertiaWorld, r2xd));
}

mat3 sliderTranslationBlock(const Body& A, const Body& B, v3 r1xn1, v3 r1xn2, v3 r2xn1,
                            v3 r2xn2) {
  f64 m = A.invMass + B.invMass;
  f64 k00 = m + v3Dot(r1xn1, mat3MulV(A.invInertiaWorld, r1xn1)) +
            v3Dot(r2xn1, mat3MulV(B.invInertiaWorld, r2xn1));
  f64 k01 = v3Dot(r1xn1, mat3MulV(A.invInertiaWorld, r1xn2)) +
            v3Dot(r2xn1, mat3MulV(B.invInertiaWorld, r2xn2));
  f64 k10 = v3Dot(r1xn2, mat3MulV(A.invInertiaWorld, r1xn1)) +
            v3Dot(r2xn2, mat3MulV(B.invInertiaWorld, r2xn1));
  f64 k11 = m + v3Dot(r1xn2, mat3MulV(A.invInertiaWorld, r1xn2)) +
            v3Dot(r2xn2, mat3MulV(B.invInertiaWorld, r2xn2));
  return inverse2x2(k00, k01, k10, k11);
}

// Impulse lambda along linear direction d, acting at r1 + u on A and r2 on B.
void sliderApplyLinear(const Body& A, const Body& B, BodyVelocities& va, BodyVelocities& vb, v3 d,
                       v3 r1uxd, v3 r2xd, f64 lambda) {
  va.linVel -= d * (A.invMass * lambda);
  va.angVel -= mat3MulV(A.invInertiaWorld, r1uxd) * lambda;
  vb.linVel += d * (B.invMass * lambda);
  vb.angVel += mat3MulV(B.invInertiaWorld, r2xd) * lambda;
}

f64 sliderJv(const BodyVelocities& va, const BodyVelocities& vb, v3 d, v3 r1uxd, v3 r2xd) {
  return v3Dot(d, vb.linVel - va.linVel) + v3Dot(r2xd, vb.angVel) - v3Dot(r1uxd, va.angVel);
}

void sliderMovePosition(Body& A, Body& B, v3 d, v3 r1uxd, v3 r2xd, f64 lambda) {
  moveBody(A, d * (-A.invMass * lambda), mat3MulV(A.invInertiaWorld, r1uxd) * -lambda, true);
  moveBody(B, d * (B.invMass * lambda), mat3MulV(B.invInertiaWorld, r2xd) * lambda, true);
}

}  // namespace

void sliderJointPreSolve(SliderJoint* j, Body* bodies, f64 dt, const SolverConfig* config) {
  const Body& A = bodies[j->base.bodyIndexA];
  const Body& B = bodies[j->base.bodyIndexB];
  f64 biasFactor = biasFactorFor(dt, config);
  SliderFrame f = sliderFrame(j, A, B);
  j->r1 = f.r1;
  j->r2 = f.r2;
  j->worldAxisA = f.axis;
  j->n1 = f.n1;
  j->n2 = f.n2;
  j->r2CrossN1 = v3Cross(f.r2, f.n1);
  j->r2CrossN2 = v3Cross(f.r2, f.n2);
  j->r1PlusUCrossN1 = v3Cross(f.r1u, f.n1);
  j->r1PlusUCrossN2 = v3Cross(f.r1u, f.n2);
  j->r2CrossSliderAxis = v3Cross(f.r2, f.axis);
  j->r1PlusUCrossSliderAxis = v3Cross(f.r1u, f.axis);
  j->inverseMassMatrixTranslation = sliderTranslationBlock(
      A, B, j->r1PlusUCrossN1, j->r1PlusUCrossN2, j->r2CrossN1, j->r2CrossN2);
  j->biasTranslation = V3(v3Dot(f.u, f.n1), v3Dot(f.u, f.n2), 0) * biasFactor;
  prepareRotationLock(A, B, j->initOrientationDifferenceInv, biasFactor,
                      &j->inverseMassMatrixRotation, &j->biasRotation);

  j->isLowerLimitViolated = false;
  j->isUpperLimitViolated = false;
  if (j->isLimitEnabled) {
    prepareLimitRows(j, v3Dot(f.u, f.axis), biasFactor);
    if (j->isLowerLimitViolated || j->isUpperLimitViolated)
      j->inverseMassMatrixLimit = invOrZero(
          sliderLinearMass(A, B, j->r1PlusUCrossSliderAxis, j->r2CrossSliderAxis));
  }
  if (!j->isLowerLimitViolated) j->accumulatedLowerLimitImpulse = 0.0;
  if (!j->isUpperLimitViolated) j->accumulatedUpperLimitImpulse = 0.0;
  if (j->isMotorEnabled) {
    j->inverseMassMatrixMotor = invOrZero(A.invMass + B.invMass);
    j->maxMotorImpulse = dt * j->maxMotorForce;
  } else {
    j->accumulatedMotorImpulse = 0.0;
  }
}

void sliderJointWarmStart(SliderJoint* j, Body* bodies, BodyVelocities* vel) {
  i32 a = j->base.bodyIndexA, b = j->base.bodyIndexB;
  const Body& A = bodies[a];
  const Body& B = bodies[b];
  sliderApplyLinear(A, B, vel[a], vel[b], j->n1, j->r1PlusUCrossN1, j->r2CrossN1,
                    j->accumulatedImpulseTranslation.x);
  sliderApplyLinear(A, B, vel[a], vel[b], j->n2, j->r1PlusUCrossN2, j->r2CrossN2,
                    j->accumulatedImpulseTranslation.y);
  applyAngular(A, B, vel[a], vel[b], j->accumulatedImpulseRotation);
  v3 ax = j->worldAxisA;
  sliderApplyLinear(A, B, vel[a], vel[b], ax, j->r1PlusUCrossSliderAxis, j->r2CrossSliderAxis,
                    j->accumulatedLowerLimitImpulse - j->accumulatedUpperLimitImpulse);
  // The motor row is linear only (mass 1/(mA + mB)), in its warm start as in its solve.
  if (j->isMotorEnabled) {
    vel[a].linVel -= ax * (A.invMass * j->accumulatedMotorImpulse);
    vel[b].linVel += ax * (B.invMass * j->accumulatedMotorImpulse);
  }
}

void sliderJointSolveVelocity(SliderJoint* j, Body* bodies, BodyVelocities* vel) {
  i32 a = j->base.bodyIndexA, b = j->base.bodyIndexB;
  const Body& A = bodies[a];
  const Body& B = bodies[b];
  BodyVelocities& va = vel[a];
  BodyVelocities& vb = vel[b];

  f64 j1 = sliderJv(va, vb, j->n1, j->r1PlusUCrossN1, j->r2CrossN1);
  f64 j2 = sliderJv(va, vb, j->n2, j->r1PlusUCrossN2, j->r2CrossN2);
  v3 dt = mul2x2(j->inverseMassMatrixTranslation, -j1 - j->biasTranslation.x,
                 -j2 - j->biasTranslation.y);
  j->accumulatedImpulseTranslation.x += dt.x;
  j->accumulatedImpulseTranslation.y += dt.y;
  sliderApplyLinear(A, B, va, vb, j->n1, j->r1PlusUCrossN1, j->r2CrossN1, dt.x);
  sliderApplyLinear(A, B, va, vb, j->n2, j->r1PlusUCrossN2, j->r2CrossN2, dt.y);

  solveRotationLockVelocity(A, B, va, vb, j->inverseMassMatrixRotation, j->biasRotation,
                            &j->accumulatedImpulseRotation);

  v3 ax = j->worldAxisA;
  if (j->isLowerLimitViolated) {
    f64 jl = sliderJv(va, vb, ax, j->r1PlusUCrossSliderAxis, j->r2CrossSliderAxis);
    sliderApplyLinear(A, B, va, vb, ax, j->r1PlusUCrossSliderAxis, j->r2CrossSliderAxis,
                      limitImpulseStep(&j->accumulatedLowerLimitImpulse, jl, j->bLowerLimit,
                                       j->inverseMassMatrixLimit));
  }
  if (j->isUpperLimitViolated) {
    f64 ju = -sliderJv(va, vb, ax, j->r1PlusUCrossSliderAxis, j->r2CrossSliderAxis);
    sliderApplyLinear(A, B, va, vb, ax, j->r1PlusUCrossSliderAxis, j->r2CrossSliderAxis,
                      -limitImpulseStep(&j->accumulatedUpperLimitImpulse, ju, j->bUpperLimit,
                                        j->inverseMassMatrixLimit));
  }
  if (j->isMotorEnabled) {
    f64 speed = v3Dot(ax, vb.linVel - va.linVel);
    f64 d = motorImpulseStep(&j->accumulatedMotorImpulse, speed, j->motorSpeed,
                             j->inverseMassMatrixMotor, j->maxMotorImpulse);
    va.linVel -= ax * (A.invMass * d);
    vb.linVel += ax * (B.invMass * d);
  }
}

void sliderJointSolvePosition(SliderJoint* j, Body* bodies, const SolverConfig* config) {
  (void)config;
  Body& A = bodies[j->base.bodyIndexA];
  Body& B = bodies[j->base.bodyIndexB];

  SliderFrame f = sliderFrame(j, A, B);
  v3 r1xn1 = v3Cross(f.r1u, f.n1), r1xn2 = v3Cross(f.r1u, f.n2);
  v3 r2xn1 = v3Cross(f.r2, f.n1), r2xn2 = v3Cross(f.r2, f.n2);
  f64 e1 = v3Dot(f.u, f.n1), e2 = v3Dot(f.u, f.n2);
  if (std::fabs(e1) + std::fabs(e2) > kJointEpsilon) {
    mat3 k = sliderTranslationBlock(A, B, r1xn1, r1xn2, r2xn1, r2xn2);
    v3 l = mul2x2(k, -e1, -e2);
    sliderMovePosition(A, B, f.n1, r1xn1, r2xn1, l.x);
    sliderMovePosition(A, B, f.n2, r1xn2, r2xn2, l.y);
  }

  v3 rotErr = rotationError(A, B, j->initOrientationDifferenceInv);
  if (v3Length(rotErr) > kJointEpsilon) solveRotationPosition(A, B, rotErr);

  if (!j->isLimitEnabled) return;
  f = sliderFrame(j, A, B);
  f64 err = limitError(v3Dot(f.u, f.axis), j->lowerLimit, j->upperLimit);
  if (err == 0.0) return;
  v3 r1xa = v3Cross(f.r1u, f.axis), r2xa = v3Cross(f.r2, f.axis);
  f64 m = invOrZero(sliderLinearMass(A, B, r1xa, r2xa));
  sliderMovePosition(A, B, f.axis, r1xa, r2xa, -err * m);
}

// ---- fixed ----

void fixedJointPreSolve(FixedJoint* j, Body* bodies, f64 dt, const SolverConfig* config) {
  const Body& A = bodies[j->base.bodyIndexA];
  const Body& B = bodies[j->base.bodyIndexB];
  f64 biasFactor = biasFactorFor(dt, config);
  preparePointRows(A, B, j->base, biasFactor, &j->r1, &j->r2, &j->inverseMassMatrixTranslation,
                   &j->biasTranslation);
  prepareRotationLock(A, B, quatConjugate(j->localOrientationDiff), biasFactor,
                      &j->inverseMassMatrixRotation, &j->biasRotation);
}

void fixedJointWarmStart(FixedJoint* j, Body* bodies, BodyVelocities* vel) {
  i32 a = j->base.bodyIndexA, b = j->base.bodyIndexB;
  applyLinear(bodies[a], bodies[b], vel[a], vel[b], j->r1, j->r2,
              j->accumulatedImpulseTranslation);
  applyAngular(bodies[a], bodies[b], vel[a], vel[b], j->accumulatedImpulseRotation);
}

void fixedJointSolveVelocity(FixedJoint* j, Body* bodies, BodyVelocities* vel) {
  i32 a = j->base.bodyIndexA, b = j->base.bodyIndexB;
  const Body& A = bodies[a];
  const Body& B = bodies[b];
  BodyVelocities& va = vel[a];
  BodyVelocities& vb = vel[b];
  solvePointVelocity(A, B, va, vb, j->r1, j->r2, j->inverseMassMatrixTranslation,
                     j->biasTranslation, &j->accumulatedImpulseTranslation);
  solveRotationLockVelocity(A, B, va, vb, j->inverseMassMatrixRotation, j->biasRotation,
                            &j->accumulatedImpulseRotation);
}

void fixedJointSolvePosition(FixedJoint* j, Body* bodies, const SolverConfig* config) {
  (void)config;
  Body& A = bodies[j->base.bodyIndexA];
  Body& B = bodies[j->base.bodyIndexB];
  solvePointPosition(A, B, j->base.localAnchorA, j->base.localAnchorB, true);
  v3 err = rotationError(A, B, quatConjugate(j->localOrientationDiff));
  if (v3Length(err) > kJointEpsilon) solveRotationPosition(A, B, err);
}
