#include "physics/solver.h"

#include <cmath>

namespace {

// Split impulses push out this share of the excess depth per second.
constexpr f64 kSplitImpulseFactor = 12.0;
// Sweeps over a manifold's normal rows in each velocity pass.
constexpr u32 kNormalSweeps = 3;
// Tangential speed above which the friction directions follow the sliding.
constexpr f64 kFrictionTurnSpeed = 1e-3;

v3 centerOfMass(const Body& b) { return b.position + quatRotate(b.rotation, b.centerOfMassLocal); }

// Relative velocity of B against A at offsets r1, r2, projected on d.
f64 jacobianVelocity(const BodyVelocities& a, const BodyVelocities& b, v3 r1, v3 r2, v3 d) {
  v3 rel = b.linVel + v3Cross(b.angVel, r2) - a.linVel - v3Cross(a.angVel, r1);
  return v3Dot(d, rel);
}

// The same from the row's angular terms c1 = r1 x d, c2 = r2 x d: three dot products.
inline f64 rowVelocity(const BodyVelocities& a, const BodyVelocities& b, v3 d, v3 c1, v3 c2) {
  return v3Dot(d, b.linVel - a.linVel) + v3Dot(c2, b.angVel) - v3Dot(c1, a.angVel);
}

// Inverse effective mass of a row with linear direction d, angular parts c1 = r1 x d,
// c2 = r2 x d and their responses i1 = IA c1, i2 = IB c2; 0 when nothing can respond.
f64 inverseEffectiveMass(f64 invMassA, f64 invMassB, v3 c1, v3 i1, v3 c2, v3 i2) {
  f64 k = invMassA + invMassB + v3Dot(c1, i1) + v3Dot(c2, i2);
  return k > 0.0 ? 1.0 / k : 0.0;
}

// Impulse lambda along a tangent, using the step's precomputed angular responses.
inline void applyTangent(const ContactManifoldSolverData& m, BodyVelocities& a, BodyVelocities& b, v3 t,
                  v3 i1, v3 i2, f64 lambda) {
  a.linVel -= t * (lambda * m.invMassA);
  a.angVel -= i1 * lambda;
  b.linVel += t * (lambda * m.invMassB);
  b.angVel += i2 * lambda;
}

inline void applyTwist(const ContactManifoldSolverData& m, BodyVelocities& a, BodyVelocities& b,
                f64 lambda) {
  a.angVel -= m.i1TimesN * lambda;
  b.angVel += m.i2TimesN * lambda;
}

// Normal impulse along a contact normal, using the cached inertia products.
inline void applyNormal(const ContactManifoldSolverData& m, const ContactPointSolverData& p,
                 BodyVelocities& a, BodyVelocities& b, f64 lambda) {
  a.linVel -= p.normal * (lambda * m.invMassA);
  a.angVel -= p.i1TimesR1CrossN * lambda;
  b.linVel += p.normal * (lambda * m.invMassB);
  b.angVel += p.i2TimesR2CrossN * lambda;
}

f64 clampAbs(f64 v, f64 limit) { return v < -limit ? -limit : (v > limit ? limit : v); }

// Manifolds solved side by side when they share no body that responds to impulses.
constexpr u32 kSolveWidth = 4;
// Manifolds looked ahead to find records for a group.
constexpr u32 kLookAhead = 32;

// Static and kinematic bodies have zero inverse mass and inertia: impulses leave
// their velocities as they are.
b8 movesBody(const Body& b) { return b.type == BODY_DYNAMIC; }

// One velocity pass over W records that move disjoint bodies. A record's normal
// rows are swept sequentially (each row sees what the previous ones applied), but
// on the points' normal velocities through the coupling matrix rather than on the
// bodies: a row is then a few multiply-adds, and the bodies take the sum of the
// changes once. The records' sweeps are interleaved so their dependent chains
// overlap in the pipeline.
template <u32 W>
inline void solveManifoldGroup(ContactManifoldSolverData* ms, BodyVelocities* vel) {
  BodyVelocities a[W], b[W];
  alignas(16) f64 vn[W][4];
  f64 start[W][4];
  u32 rows[W], ii[W];
  b8 back[W];
  f64 sum[W];
  u32 most = 0;
  for (u32 w = 0; w < W; ++w) {
    ContactManifoldSolverData& m = ms[w];
    a[w] = vel[m.bodyIndexA];
    b[w] = vel[m.bodyIndexB];
    for (u32 i = 0; i < 4; ++i) {
      const ContactPointSolverData& p = m.points[i];
      const b8 used = i < m.numContacts;
      vn[w][i] = used ? rowVelocity(a[w], b[w], p.normal, p.r1CrossN, p.r2CrossN) +
                            p.restitutionBias
                      : 0.0;
      start[w][i] = used ? p.accumulatedNormalImpulse : 0.0;
    }
    // A manifold's normal rows act on the same two bodies and pull against each
    // other, so they are swept a few times per pass, each sweep in the other
    // direction from the last (a fixed order tips resting boxes). One sweep per
    // pass left a ten-box tower rocking.
    const u32 sweeps = m.numContacts > 1 ? kNormalSweeps : 1;
    rows[w] = sweeps * m.numContacts;
    ii[w] = 0;
    back[w] = (m.passes & 1u) != 0;
    m.passes += sweeps;
    sum[w] = 0.0;
    most = rows[w] > most ? rows[w] : most;
  }
  for (u32 s = 0; s < most; ++s) {
    for (u32 w = 0; w < W; ++w) {
      if (s >= rows[w]) continue;
      ContactManifoldSolverData& m = ms[w];
      const u32 nc = m.numContacts;
      const u32 i = back[w] ? nc - 1 - ii[w] : ii[w];
      ContactPointSolverData& p = m.points[i];
      f64 lambda = p.accumulatedNormalImpulse - vn[w][i] * p.inverseMassNormal;
      if (lambda < 0.0) lambda = 0.0;
      const f64 delta = lambda - p.accumulatedNormalImpulse;
      p.accumulatedNormalImpulse = lambda;
      const f64* k = m.coupling[i];
      for (u32 j = 0; j < 4; ++j) vn[w][j] += k[j] * delta;
      if (ii[w] == 0) sum[w] = 0.0;
      sum[w] += lambda;
      if (++ii[w] == nc) {
        ii[w] = 0;
        back[w] = !back[w];
      }
    }
  }
  for (u32 w = 0; w < W; ++w) {
    ContactManifoldSolverData& m = ms[w];
    v3 linear = V3(0, 0, 0), angularA = V3(0, 0, 0), angularB = V3(0, 0, 0);
    for (u32 i = 0; i < m.numContacts; ++i) {
      const ContactPointSolverData& p = m.points[i];
      const f64 d = p.accumulatedNormalImpulse - start[w][i];
      linear += p.normal * d;
      angularA += p.i1TimesR1CrossN * d;
      angularB += p.i2TimesR2CrossN * d;
    }
    a[w].linVel -= linear * m.invMassA;
    a[w].angVel -= angularA;
    b[w].linVel += linear * m.invMassB;
    b[w].angVel += angularB;

    // Friction and twist the same way: three row velocities, the rows in turn on
    // them, one update of the bodies.
    const f64 limit = m.friction * sum[w];
    const f64 v1 = rowVelocity(a[w], b[w], m.frictionVector1, m.r1CrossT1, m.r2CrossT1);
    f64 v2 = rowVelocity(a[w], b[w], m.frictionVector2, m.r1CrossT2, m.r2CrossT2);
    f64 vt = v3Dot(m.normal, b[w].angVel - a[w].angVel);
    const f64 l1 = clampAbs(m.accumulatedFriction1Impulse - v1 * m.inverseFriction1Mass, limit);
    const f64 d1 = l1 - m.accumulatedFriction1Impulse;
    m.accumulatedFriction1Impulse = l1;
    v2 += m.couplingT1T2 * d1;
    vt += m.couplingT1Twist * d1;
    const f64 l2 = clampAbs(m.accumulatedFriction2Impulse - v2 * m.inverseFriction2Mass, limit);
    const f64 d2 = l2 - m.accumulatedFriction2Impulse;
    m.accumulatedFriction2Impulse = l2;
    vt += m.couplingT2Twist * d2;
    const f64 lt = clampAbs(m.accumulatedTwistImpulse - vt * m.inverseTwistFrictionMass, limit);
    const f64 dt = lt - m.accumulatedTwistImpulse;
    m.accumulatedTwistImpulse = lt;
    const v3 tangential = m.frictionVector1 * d1 + m.frictionVector2 * d2;
    a[w].linVel -= tangential * m.invMassA;
    a[w].angVel -= m.i1TimesR1CrossT1 * d1 + m.i1TimesR1CrossT2 * d2 + m.i1TimesN * dt;
    b[w].linVel += tangential * m.invMassB;
    b[w].angVel += m.i2TimesR2CrossT1 * d1 + m.i2TimesR2CrossT2 * d2 + m.i2TimesN * dt;
  }
  // Bodies that do not respond keep their velocities untouched (several records
  // of the group may read the same static floor).
  for (u32 w = 0; w < W; ++w) {
    if (ms[w].moverA >= 0) vel[ms[w].bodyIndexA] = a[w];
    if (ms[w].moverB >= 0) vel[ms[w].bodyIndexB] = b[w];
  }
}

v3 perpendicular(v3 n) {
  v3 a = std::fabs(n.x) >= 0.9 ? V3(0, 1, 0) : V3(1, 0, 0);
  return v3Normalize(v3Cross(n, a));
}

// Builds the solver record of manifold k (valid, with contacts) into m.
void initRecord(ContactManifoldSolverData& m, const ContactManifold* manifolds, u32 k,
                const Body* bodies, const SolverConfig* config, const BodyVelocities* approachVel) {
  const ContactManifold& cm = manifolds[k];
  const u32 np = cm.numContacts > 4 ? 4 : cm.numContacts;
  const f64 invDt = config->timeStep > 0.0 ? 1.0 / config->timeStep : 0.0;
  const Body& A = bodies[cm.bodyA];
  const Body& B = bodies[cm.bodyB];
  // Every field the solver reads is written below (the record is large: no
  // clearing pass first).
  m.passes = 0;
  m.bodyIndexA = cm.bodyA;
  m.bodyIndexB = cm.bodyB;
  m.moverA = movesBody(A) ? cm.bodyA : -1;
  m.moverB = movesBody(B) ? cm.bodyB : -1;
  m.invMassA = A.invMass;
  m.invMassB = B.invMass;
  const mat3& invInertiaA = A.invInertiaWorld;
  const mat3& invInertiaB = B.invInertiaWorld;
  m.friction = std::sqrt(A.friction * B.friction);
  f64 restitution = A.restitution > B.restitution ? A.restitution : B.restitution;
  m.isNew = true;
  m.numContacts = np;
  m.manifoldIndex = k;
  v3 x1 = centerOfMass(A);
  v3 x2 = centerOfMass(B);
  BodyVelocities va{A.linearVelocity, A.angularVelocity};
  BodyVelocities vb{B.linearVelocity, B.angularVelocity};

  v3 sumA = V3(0, 0, 0), sumB = V3(0, 0, 0), sumN = V3(0, 0, 0);
  for (u32 i = 0; i < np; ++i) {
    const ContactPoint& cp = cm.points[i];
    ContactPointSolverData& p = m.points[i];
    v3 pA = A.position + quatRotate(A.rotation, cp.localPointA);
    v3 pB = B.position + quatRotate(B.rotation, cp.localPointB);
    p.normal = cp.normal;
    const v3 r1 = pA - x1;
    const v3 r2 = pB - x2;
    p.penetrationDepth = cp.penetrationDepth;
    p.accumulatedNormalImpulse = cp.cachedNormalImpulse;
    p.accumulatedSplitImpulse = 0.0;
    p.isRestingContact = cp.cachedNormalImpulse != 0.0;
    v3 c1 = v3Cross(r1, p.normal), c2 = v3Cross(r2, p.normal);
    p.r1CrossN = c1;
    p.r2CrossN = c2;
    p.i1TimesR1CrossN = mat3MulV(invInertiaA, c1);
    p.i2TimesR2CrossN = mat3MulV(invInertiaB, c2);
    p.inverseMassNormal = inverseEffectiveMass(m.invMassA, m.invMassB, c1, p.i1TimesR1CrossN,
                                               c2, p.i2TimesR2CrossN);
    f64 vn = jacobianVelocity(va, vb, r1, r2, p.normal);
    // A bounce returns the approach speed the bodies arrived with: this step's
    // gravity in it would add g dt to every rebound (energy gained).
    f64 approach = approachVel ? jacobianVelocity(approachVel[cm.bodyA], approachVel[cm.bodyB],
                                                  r1, r2, p.normal)
                               : vn;
    p.restitutionBias = approach < -config->restitutionThreshold ? approach * restitution : 0.0;
    if (p.restitutionBias < 0.0 && restitution < 1.0 && approachVel) {
      // Touch happens a gap away (or happened a depth ago), where this step's
      // acceleration towards the surface made the approach slower (faster): the
      // bounce gives back e^2 of the energy at touch, not of the energy here.
      f64 accel = (approach - vn) * invDt;
      if (accel > 0.0) {
        f64 u2 = restitution * restitution * approach * approach +
                 2.0 * accel * cp.penetrationDepth * (1.0 - restitution * restitution);
        p.restitutionBias = u2 > 0.0 ? -std::sqrt(u2) : 0.0;
      }
    }
    if (cp.penetrationDepth < 0.0) {
      // Not touching yet: the row only stops approach beyond the gap. When the gap
      // closes within this step the bounce is taken now, else the body would
      // arrive at rest and never rebound.
      f64 gapSpeed = -cp.penetrationDepth * invDt;
      if (!(p.restitutionBias < 0.0 && vn < -gapSpeed)) p.restitutionBias = gapSpeed;
    }
    sumA += pA;
    sumB += pB;
    sumN += cp.normal;
  }

  const f64 invMassSum = m.invMassA + m.invMassB;
  for (u32 i = 0; i < 4; ++i) {
    const ContactPointSolverData& pi = m.points[i];
    for (u32 j = i; j < 4; ++j) {
      const ContactPointSolverData& pj = m.points[j];
      // Symmetric: the inverse inertias are.
      const f64 k = i >= np || j >= np ? 0.0
                                       : invMassSum * v3Dot(pi.normal, pj.normal) +
                                             v3Dot(pi.r1CrossN, pj.i1TimesR1CrossN) +
                                             v3Dot(pi.r2CrossN, pj.i2TimesR2CrossN);
      m.coupling[i][j] = k;
      m.coupling[j][i] = k;
    }
  }

  f64 inv = 1.0 / (f64)np;
  m.normal = v3Normalize(sumN);
  const v3 r1Friction = sumA * inv - x1;
  const v3 r2Friction = sumB * inv - x2;

  v3 n = m.normal;
  v3 vRel = vb.linVel + v3Cross(vb.angVel, r2Friction) - va.linVel -
            v3Cross(va.angVel, r1Friction);
  v3 t = vRel - n * v3Dot(vRel, n);
  f64 tl = v3Length(t);
  // Below a sliding speed the tangents stay where they were (in this step's
  // plane): at rest the relative velocity is noise and turning the tangents
  // with it every step spoils the warm start.
  v3 kept = cm.cachedFrictionVector1 - n * v3Dot(cm.cachedFrictionVector1, n);
  f64 keptLen = v3Length(kept);
  if (tl > kFrictionTurnSpeed || (tl > 1.19209e-7 && !(keptLen > 0.5)))
    m.frictionVector1 = t * (1.0 / tl);
  else if (keptLen > 0.5)
    m.frictionVector1 = kept * (1.0 / keptLen);
  else
    m.frictionVector1 = perpendicular(n);
  m.frictionVector2 = v3Cross(n, m.frictionVector1);

  v3 c1t1 = v3Cross(r1Friction, m.frictionVector1);
  v3 c2t1 = v3Cross(r2Friction, m.frictionVector1);
  v3 c1t2 = v3Cross(r1Friction, m.frictionVector2);
  v3 c2t2 = v3Cross(r2Friction, m.frictionVector2);
  m.r1CrossT1 = c1t1;
  m.r1CrossT2 = c1t2;
  m.r2CrossT1 = c2t1;
  m.r2CrossT2 = c2t2;
  m.i1TimesR1CrossT1 = mat3MulV(invInertiaA, c1t1);
  m.i1TimesR1CrossT2 = mat3MulV(invInertiaA, c1t2);
  m.i2TimesR2CrossT1 = mat3MulV(invInertiaB, c2t1);
  m.i2TimesR2CrossT2 = mat3MulV(invInertiaB, c2t2);
  m.inverseFriction1Mass = inverseEffectiveMass(m.invMassA, m.invMassB, c1t1, m.i1TimesR1CrossT1,
                                                c2t1, m.i2TimesR2CrossT1);
  m.inverseFriction2Mass = inverseEffectiveMass(m.invMassA, m.invMassB, c1t2, m.i1TimesR1CrossT2,
                                                c2t2, m.i2TimesR2CrossT2);
  m.i1TimesN = mat3MulV(invInertiaA, n);
  m.i2TimesN = mat3MulV(invInertiaB, n);
  f64 kt = v3Dot(n, m.i1TimesN) + v3Dot(n, m.i2TimesN);
  m.inverseTwistFrictionMass = kt > 0.0 ? 1.0 / kt : 0.0;
  m.couplingT1T2 = invMassSum * v3Dot(m.frictionVector1, m.frictionVector2) +
                   v3Dot(c1t2, m.i1TimesR1CrossT1) + v3Dot(c2t2, m.i2TimesR2CrossT1);
  m.couplingT1Twist = v3Dot(n, m.i1TimesR1CrossT1) + v3Dot(n, m.i2TimesR2CrossT1);
  m.couplingT2Twist = v3Dot(n, m.i1TimesR1CrossT2) + v3Dot(n, m.i2TimesR2CrossT2);

  // Last step's friction impulse was along last step's tangents: warm start with
  // that same impulse expressed along this step's (the tangents follow the
  // sliding direction, which turns freely at rest; reusing the numbers along
  // new directions pushed resting stacks sideways).
  const v3 oldFriction = cm.cachedFrictionVector1 * cm.cachedFriction1Impulse +
                         cm.cachedFrictionVector2 * cm.cachedFriction2Impulse;
  m.accumulatedFriction1Impulse = v3Dot(oldFriction, m.frictionVector1);
  m.accumulatedFriction2Impulse = v3Dot(oldFriction, m.frictionVector2);
  m.accumulatedTwistImpulse = cm.cachedTwistImpulse;
}

}  // namespace

SolverConfig solverDefaultConfig() {
  SolverConfig c{};
  c.velocityIterations = 10;
  c.positionIterations = 5;
  c.beta = 0.05;
  c.slop = 0.001;
  c.restitutionThreshold = 0.5;
  c.timeStep = 1.0 / 60.0;
  return c;
}

void contactSolverInit(ContactManifoldSolverData* solverData, u32* numManifolds,
                       const ContactManifold* manifolds, u32 manifoldCount, Body* bodies,
                       u32 bodyCount, const SolverConfig* config,
                       const BodyVelocities* approachVel) {
  auto usable = [&](u32 k) {
    const ContactManifold& cm = manifolds[k];
    if (cm.numContacts == 0) return false;
    if (cm.bodyA < 0 || cm.bodyB < 0 || (u32)cm.bodyA >= bodyCount || (u32)cm.bodyB >= bodyCount)
      return false;
    // A body never touches itself; the velocity pass works on the pair as two copies.
    return cm.bodyA != cm.bodyB;
  };
  // Records are laid out in groups of up to kSolveWidth that move disjoint bodies,
  // picked in manifold order from a short look-ahead so the solve order stays
  // close to the manifolds' (bottom of a stack first) and is the same every run.
  struct Pending {
    u32 manifold;
    i32 moverA, moverB;
  };
  Pending pending[kLookAhead];
  u32 numPending = 0, next = 0, out = 0;
  for (;;) {
    while (numPending < kLookAhead && next < manifoldCount) {
      const u32 k = next++;
      if (!usable(k)) continue;
      const ContactManifold& cm = manifolds[k];
      pending[numPending++] = {k, movesBody(bodies[cm.bodyA]) ? cm.bodyA : -1,
                               movesBody(bodies[cm.bodyB]) ? cm.bodyB : -1};
    }
    if (numPending == 0) break;
    u32 picked[kSolveWidth];
    u32 numPicked = 0;
    for (u32 j = 0; j < numPending && numPicked < kSolveWidth; ++j) {
      b8 clash = false;
      for (u32 q = 0; q < numPicked && !clash; ++q) {
        const Pending& o = pending[picked[q]];
        const i32 ka = pending[j].moverA, kb = pending[j].moverB;
        clash = (ka >= 0 && (ka == o.moverA || ka == o.moverB)) ||
                (kb >= 0 && (kb == o.moverA || kb == o.moverB));
      }
      if (!clash) picked[numPicked++] = j;
    }
    for (u32 q = 0; q < numPicked; ++q) {
      ContactManifoldSolverData& m = solverData[out + q];
      initRecord(m, manifolds, pending[picked[q]].manifold, bodies, config, approachVel);
      m.groupSize = q == 0 ? numPicked : 0;
    }
    out += numPicked;
    // Drop the picked ones, keeping the others in order.
    u32 keep = 0;
    for (u32 j = 0, q = 0; j < numPending; ++j) {
      if (q < numPicked && picked[q] == j) {
        ++q;
        continue;
      }
      pending[keep++] = pending[j];
    }
    numPending = keep;
  }
  *numManifolds = out;
}

void contactSolverWarmStart(ContactManifoldSolverData* solverData, u32 numManifolds,
                            BodyVelocities* vel) {
  for (u32 k = 0; k < numManifolds; ++k) {
    ContactManifoldSolverData& m = solverData[k];
    // The record's impulses are summed and the bodies updated once.
    v3 linear = V3(0, 0, 0), angularA = V3(0, 0, 0), angularB = V3(0, 0, 0);
    b8 anyResting = false;
    for (u32 i = 0; i < m.numContacts; ++i) {
      ContactPointSolverData& p = m.points[i];
      if (!p.isRestingContact) {
        p.accumulatedNormalImpulse = 0.0;
        continue;
      }
      anyResting = true;
      const f64 l = p.accumulatedNormalImpulse;
      linear += p.normal * l;
      angularA += p.i1TimesR1CrossN * l;
      angularB += p.i2TimesR2CrossN * l;
    }
    if (!anyResting) {
      m.accumulatedFriction1Impulse = 0.0;
      m.accumulatedFriction2Impulse = 0.0;
      m.accumulatedTwistImpulse = 0.0;
      continue;
    }
    const f64 f1 = m.accumulatedFriction1Impulse, f2 = m.accumulatedFriction2Impulse;
    const f64 tw = m.accumulatedTwistImpulse;
    linear += m.frictionVector1 * f1 + m.frictionVector2 * f2;
    angularA += m.i1TimesR1CrossT1 * f1 + m.i1TimesR1CrossT2 * f2 + m.i1TimesN * tw;
    angularB += m.i2TimesR2CrossT1 * f1 + m.i2TimesR2CrossT2 * f2 + m.i2TimesN * tw;
    // Bodies that do not respond are left as they are.
    if (m.moverA >= 0) {
      BodyVelocities& a = vel[m.bodyIndexA];
      a.linVel -= linear * m.invMassA;
      a.angVel -= angularA;
    }
    if (m.moverB >= 0) {
      BodyVelocities& b = vel[m.bodyIndexB];
      b.linVel += linear * m.invMassB;
      b.angVel += angularB;
    }
  }
}

void contactSolverSolveVelocity(ContactManifoldSolverData* solverData, u32 numManifolds,
                                BodyVelocities* vel, const SolverConfig* config) {
  (void)config;
  for (u32 k = 0; k < numManifolds;) {
    // Records come in groups that move disjoint bodies (laid out by init).
    const u32 left = numManifolds - k;
    u32 n = solverData[k].groupSize;
    n = n == 0 ? 1 : (n > left ? left : n);
    switch (n) {
      case 4: solveManifoldGroup<4>(solverData + k, vel); break;
      case 3: solveManifoldGroup<3>(solverData + k, vel); break;
      case 2: solveManifoldGroup<2>(solverData + k, vel); break;
      default: n = 1; solveManifoldGroup<1>(solverData + k, vel); break;
    }
    k += n;
  }
}

void contactSolverSolvePosition(ContactManifoldSolverData* solverData, u32 numManifolds,
                                BodyVelocities* splitVel, const SolverConfig* config) {
  for (u32 k = 0; k < numManifolds; ++k) {
    ContactManifoldSolverData& m = solverData[k];
    BodyVelocities& a = splitVel[m.bodyIndexA];
    BodyVelocities& b = splitVel[m.bodyIndexB];
    for (u32 i = 0; i < m.numContacts; ++i) {
      ContactPointSolverData& p = m.points[i];
      // A bouncing point leaves by its own rebound; pushing it out as well would
      // lift the bounce by the depth (energy gained).
      if (p.penetrationDepth <= config->slop || p.restitutionBias < 0.0) continue;
      f64 bias = kSplitImpulseFactor * (p.penetrationDepth - config->slop) -
                 rowVelocity(a, b, p.normal, p.r1CrossN, p.r2CrossN);
      f64 lambda = p.accumulatedSplitImpulse + bias * p.inverseMassNormal;
      if (lambda < 0.0) lambda = 0.0;
      applyNormal(m, p, a, b, lambda - p.accumulatedSplitImpulse);
      p.accumulatedSplitImpulse = lambda;
    }
  }
}

void contactSolverStoreImpulses(const ContactManifoldSolverData* solverData, u32 numManifolds,
                                ContactManifold* manifolds) {
  for (u32 k = 0; k < numManifolds; ++k) {
    const ContactManifoldSolverData& m = solverData[k];
    ContactManifold& cm = manifolds[m.manifoldIndex];
    for (u32 i = 0; i < m.numContacts; ++i)
      cm.points[i].cachedNormalImpulse = m.points[i].accumulatedNormalImpulse;
    cm.cachedFriction1Impulse = m.accumulatedFriction1Impulse;
    cm.cachedFriction2Impulse = m.accumulatedFriction2Impulse;
    cm.cachedTwistImpulse = m.accumulatedTwistImpulse;
    cm.cachedFrictionVector1 = m.frictionVector1;
    cm.cachedFrictionVector2 = m.frictionVector2;
  }
}
