// Helpers shared by the narrowphase modules.
#pragma once

#include "physics/narrowphase.h"

// Appends one point while fewer than four are stored; the cached impulse stays as
// the caller initialised it.
void manifoldAddPoint(ContactManifold* m, v3 localA, v3 localB, v3 normal, f64 depth);
Transform transformInverse(Transform t);
// a after b: transformPoint(transformMul(a, b), p) == transformPoint(a, transformPoint(b, p)).
Transform transformMul(Transform a, Transform b);
