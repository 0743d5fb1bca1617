#include "physics/narrowphase.h"

b8 narrowphaseCollide(const Shape*, Transform, const Shape*, Transform, ContactManifold* m) {
  m->numContacts = 0;
  return false;
}
