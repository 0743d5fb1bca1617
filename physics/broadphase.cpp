#include "physics/broadphase.h"

#include <cstring>

b8 broadphaseInit(Broadphase* bp, u32) {
  std::memset((void*)bp, 0, sizeof(*bp));
  bp->root = -1;
  bp->freeList = -1;
  bp->aabbFattenMargin = 0.1;
  return true;
}
void broadphaseDestroy(Broadphase*) {}
void broadphaseClear(Broadphase*) {}
i32 broadphaseAddBody(Broadphase*, i32, Aabb) { return -1; }
void broadphaseRemoveBody(Broadphase*, i32) {}
b8 broadphaseUpdateBody(Broadphase*, i32, Aabb, v3) { return false; }
u32 broadphaseQueryPairs(Broadphase*, u32, const Bitset*) { return 0; }
const CollisionPair* broadphaseGetPairs(const Broadphase* bp, u32* count) {
  *count = bp->pairCount;
  return bp->pairs;
}
void broadphaseQueryAabb(Broadphase*, Aabb, BroadphaseAabbCallback, void*) {}
void broadphaseRaycast(Broadphase*, v3, v3, BroadphaseRayCallback, void*) {}
