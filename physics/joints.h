// Joints between two bodies: ball-and-socket, hinge (limits, motor), slider (limits,
// motor) and fixed. Each kind captures its frame at init from the current poses and
// offers pre-solve, warm start, velocity and position operations for the world step.
#pragma once

#include "physics/dynamics.h"
#include "physics/solver.h"
#include "platform/vecmath.h"

enum JointType : u32 {
  JOINT_BALL_SOCKET = 0,
  JOINT_HINGE = 1,
  JOINT_SLIDER = 2,
  JOINT_FIXED = 3,
};

struct JointBase {
  JointType type;
  i32 bodyIndexA;
  i32 bodyIndexB;
  v3 localAnchorA;  // relative to each body's position, in its frame
  v3 localAnchorB;
  b8 isEnabled;
};

struct BallSocketJoint {
  JointBase base;
  v3 r1, r2;
  mat3 inverseMassMatrix;
  v3 biasVector;
  v3 accumulatedImpulse;
};

struct HingeJoint {
  JointBase base;
  v3 localAxisA, localAxisB;
  // Inverse of B's orientation relative to A (in A's frame) at init.
  v4 initOrientationDifferenceInv;
  f64 lowerLimit, upperLimit;  // radians, angle of B about the axis from the init pose
  b8 isLimitEnabled, isMotorEnabled;
  f64 motorSpeed;  // rad/s of B relative to A about the axis
  f64 maxMotorTorque;
  v3 r1, r2, worldAxisA, worldAxisB, a1, b2;
  mat3 inverseMassMatrixTranslation;
  mat3 inverseMassMatrixRotation;  // upper-left 2x2 used
  v3 biasTranslation, biasRotation;
  v3 accumulatedImpulseTranslation;
  v3 accumulatedImpulseRotation;  // x, y used
  f64 accumulatedLowerLimitImpulse, accumulatedUpperLimitImpulse, accumulatedMotorImpulse;
  f64 inverseMassMotor, maxMotorImpulse;
  // Limit rows of this step (the angle is measured once per step).
  f64 bLowerLimit, bUpperLimit;
  b8 isLowerLimitViolated, isUpperLimitViolated;
};

struct SliderJoint {
  JointBase base;
  v3 localAxisA;
  f64 lowerLimit, upperLimit;
  b8 isLimitEnabled, isMotorEnabled;
  f64 motorSpeed;
  f64 maxMotorForce;
  v3 r1, r2, worldAxisA, n1, n2, r2CrossN1, r2CrossN2, r1PlusUCrossN1, r1PlusUCrossN2,
      r2CrossSliderAxis, r1PlusUCrossSliderAxis;
  mat3 inverseMassMatrixTranslation;  // 2x2 used
  mat3 inverseMassMatrixRotation;
  f64 inverseMassMatrixLimit, inverseMassMatrixMotor;
  v3 biasTranslation, biasRotation;
  f64 bLowerLimit, bUpperLimit;
  v4 initOrientationDifferenceInv;
  b8 isLowerLimitViolated, isUpperLimitViolated;
  v3 accumulatedImpulseTranslation;  // x, y used
  v3 accumulatedImpulseRotation;
  f64 accumulatedLowerLimitImpulse, accumulatedUpperLimitImpulse, accumulatedMotorImpulse;
  f64 maxMotorImpulse;
};

struct FixedJoint {
  JointBase base;
  v4 localOrientationDiff;  // B's orientation relative to A, in A's frame, at init
  v3 r1, r2;
  mat3 inverseMassMatrixTranslation;
  mat3 inverseMassMatrixRotation;
  v3 biasTranslation, biasRotation;
  v3 accumulatedImpulseTranslation, accumulatedImpulseRotation;
};

void ballSocketJointInit(BallSocketJoint* j, i32 bodyA, i32 bodyB, v3 worldAnchor, Body* bodies);
void hingeJointInit(HingeJoint* j, i32 bodyA, i32 bodyB, v3 worldAnchor, v3 worldAxis,
                    Body* bodies);
void sliderJointInit(SliderJoint* j, i32 bodyA, i32 bodyB, v3 worldAnchor, v3 worldAxis,
                     Body* bodies);
void fixedJointInit(FixedJoint* j, i32 bodyA, i32 bodyB, Body* bodies);

// Signed angle of B relative to A about the hinge axis since init, in (-pi, pi].
f64 hingeJointGetAngle(const HingeJoint* j, const Body* bodies);

void ballSocketJointPreSolve(BallSocketJoint* j, Body* bodies, f64 dt, const SolverConfig* config);
void ballSocketJointWarmStart(BallSocketJoint* j, Body* bodies, BodyVelocities* vel);
void ballSocketJointSolveVelocity(BallSocketJoint* j, Body* bodies, BodyVelocities* vel);
void ballSocketJointSolvePosition(BallSocketJoint* j, Body* bodies, const SolverConfig* config);

void hingeJointPreSolve(HingeJoint* j, Body* bodies, f64 dt, const SolverConfig* config);
void hingeJointWarmStart(HingeJoint* j, Body* bodies, BodyVelocities* vel);
void hingeJointSolveVelocity(HingeJoint* j, Body* bodies, BodyVelocities* vel);
void hingeJointSolvePosition(HingeJoint* j, Body* bodies, const SolverConfig* config);

void sliderJointPreSolve(SliderJoint* j, Body* bodies, f64 dt, const SolverConfig* config);
void sliderJointWarmStart(SliderJoint* j, Body* bodies, BodyVelocities* vel);
void sliderJointSolveVelocity(SliderJoint* j, Body* bodies, BodyVelocities* vel);
void sliderJointSolvePosition(SliderJoint* j, Body* bodies, const SolverConfig* config);

void fixedJointPreSolve(FixedJoint* j, Body* bodies, f64 dt, const SolverConfig* config);
void fixedJointWarmStart(FixedJoint* j, Body* bodies, BodyVelocities* vel);
void fixedJointSolveVelocity(FixedJoint* j, Body* bodies, BodyVelocities* vel);
void fixedJointSolvePosition(FixedJoint* j, Body* bodies, const SolverConfig* config);
