// Sequential-impulse contact solver with warm starting, per-manifold friction and
// twist friction, a restitution threshold and split-impulse position correction.
#pragma once

#include "physics/dynamics.h"
#include "physics/narrowphase.h"
#include "platform/vecmath.h"

struct SolverConfig {
  u32 velocityIterations;
  u32 positionIterations;
  f64 beta;  // position-error factor of the joints
  f64 slop;  // penetration left alone by split impulses
  f64 restitutionThreshold;
  // Step length: points reported before touch (negative depth) let the bodies
  // close at most their gap in one step.
  f64 timeStep;
};

// Hot data first: a row costs dot products against the angular terms fixed at init
// (r x n and its inertia-weighted response), no cross or matrix products.
struct ContactPointSolverData {
  v3 normal;
  v3 r1CrossN;
  v3 r2CrossN;
  v3 i1TimesR1CrossN;
  v3 i2TimesR2CrossN;
  f64 inverseMassNormal;
  // Velocity bias of the normal row: restitution for a touching point, or the
  // speed that closes a gap within the step for a point not yet touching.
  f64 restitutionBias;
  f64 accumulatedNormalImpulse;
  f64 accumulatedSplitImpulse;
  f64 penetrationDepth;
  b8 isRestingContact;
};

struct ContactManifoldSolverData {
  i32 bodyIndexA;
  i32 bodyIndexB;
  // The body index where the body responds to impulses, -1 for static and
  // kinematic ones: records whose movers differ can be solved side by side.
  i32 moverA;
  i32 moverB;
  // On the first record of such a group: how many records it holds (1 to 4).
  u32 groupSize;
  u32 numContacts;
  u32 passes;  // sweeps over the normal rows so far this step (alternates their order)
  f64 invMassA;
  f64 invMassB;
  f64 friction;
  ContactPointSolverData points[4];
  // coupling[i][j]: change of point i's normal velocity per unit impulse at point j
  // (J_i M^-1 J_j^T). The normal rows are swept on these four velocities and the
  // bodies get the sum once, instead of every row reading and writing both bodies.
  f64 coupling[4][4];
  v3 normal;
  v3 frictionVector1;
  v3 frictionVector2;
  // Angular terms of the friction and twist rows at the friction point, fixed for
  // the step: r x t for both tangents on each body, their inertia-weighted
  // responses and invInertia * n.
  v3 r1CrossT1, r1CrossT2, r2CrossT1, r2CrossT2;
  v3 i1TimesR1CrossT1, i1TimesR1CrossT2, i2TimesR2CrossT1, i2TimesR2CrossT2;
  v3 i1TimesN, i2TimesN;
  f64 inverseFriction1Mass;
  f64 inverseFriction2Mass;
  f64 inverseTwistFrictionMass;
  // The same coupling between the friction rows and the twist row: tangent 2's
  // and the twist's velocity change per unit impulse on tangent 1, the twist's
  // per unit impulse on tangent 2.
  f64 couplingT1T2, couplingT1Twist, couplingT2Twist;
  f64 accumulatedFriction1Impulse;
  f64 accumulatedFriction2Impulse;
  f64 accumulatedTwistImpulse;
  b8 isNew;
  u32 manifoldIndex;  // the manifold this record came from: impulses go back there
};

SolverConfig solverDefaultConfig();

// approachVel (one per body, may be null): the velocities the bodies arrived with,
// before this step's forces; restitution answers those. Null: the bodies' own.
void contactSolverInit(ContactManifoldSolverData* solverData, u32* numManifolds,
                       const ContactManifold* manifolds, u32 manifoldCount, Body* bodies,
                       u32 bodyCount, const SolverConfig* config,
                       const BodyVelocities* approachVel = nullptr);
void contactSolverWarmStart(ContactManifoldSolverData* solverData, u32 numManifolds,
                            BodyVelocities* vel);
void contactSolverSolveVelocity(ContactManifoldSolverData* solverData, u32 numManifolds,
                                BodyVelocities* vel, const SolverConfig* config);
void contactSolverSolvePosition(ContactManifoldSolverData* solverData, u32 numManifolds,
                                BodyVelocities* splitVel, const SolverConfig* config);
// Each record goes back to the manifold it was built from, whatever init skipped.
void contactSolverStoreImpulses(const ContactManifoldSolverData* solverData, u32 numManifolds,
                                ContactManifold* manifolds);
