// Dynamic bounding-volume tree over fattened body boxes: candidate pairs for the
// world step, box queries and raycasts. Body identifiers are world body indices.
#pragma once

#include "platform/types.h"
#include "platform/vecmath.h"
#include "platform/bitset.h"
#include "platform/threads.h"

struct BvhNode {
  Aabb box;
  i32 left;    // -1 for a leaf
  i32 right;
  i32 parent;  // -1 for the root
  i32 body;    // body index for leaves, -1 for internal nodes
  i32 next;    // free-list link
};

struct CollisionPair {
  i32 bodyA;
  i32 bodyB;
};

struct Broadphase {
  BvhNode* nodes;  // grows by reallocation: indices stay valid, addresses do not
  u32 nodeCount;   // high-water mark of used nodes
  u32 nodeCap;
  i32 root;
  i32 freeList;
  Aabb* bodyAabbs;  // fat box per body index
  i32* bodyToNode;  // leaf per body, -1 if none
  b8* inTree;
  u32 bodyCap;
  CollisionPair* pairs;
  u32 pairCount;
  u32 pairCap;
  CollisionPair* lastPairs;
  u32 lastPairCount;
  f64 aabbFattenMargin;
  ThreadMutex mutex;  // guards every operation
  // Working storage kept between calls so that queries do not allocate.
  void* pairSeen;      // pair-key dedupe map, cleared per query
  i32* stack;          // traversal stack, grown with the node array
  u32 stackCap;
  b8 stackBusy;        // a traversal is using stack (nested ones get their own)
  u8* nodeHasQuery;    // per node: its subtree holds a querying body (pair query only)
  f64* nodeArea;       // per node: surface area of its box, kept with the box
  // What the last pair query saw, so that the next one may look up only the
  // leaves rebuilt since then.
  b8* moved;           // per body: leaf rebuilt since the last pair query
  i32* movedList;      // those bodies, each once
  u32 movedCount;
  b8 lastQueryComplete;  // the last query listed every pair (memory did not run out)
  b8 lastHadMask;
  u32 lastLimit;
  u64* lastMask;       // copy of the last query's mask words
  u32 lastMaskWords;
  u32 lastMaskCap;
  i32* leafRank;       // per body: its leaf's position in traversal order
  void* newPairs;      // pair-query scratch: pairs not seen last step, before ordering
  u32 newPairCap;
  i32* pairStack;      // pair-query scratch: node pairs still to test
  u32 pairStackCap;    // entries (two per node pair)
};

typedef void (*BroadphaseAabbCallback)(i32 nodeId, i32 bodyId, void* userData);
// Returning false stops the traversal.
typedef b8 (*BroadphaseRayCallback)(i32 bodyId, void* userData);

// False when the initial arrays cannot be allocated.
b8 broadphaseInit(Broadphase* bp, u32 initialCapacity);
void broadphaseDestroy(Broadphase* bp);
void broadphaseClear(Broadphase* bp);
// The body's leaf index, or -1 when memory runs out.
i32 broadphaseAddBody(Broadphase* bp, i32 bodyId, Aabb aabb);
void broadphaseRemoveBody(Broadphase* bp, i32 bodyId);
// True if the leaf was rebuilt, false if the stored fat box still contains aabb.
b8 broadphaseUpdateBody(Broadphase* bp, i32 bodyId, Aabb aabb, v3 displacement);
// queryMask may be null (every body queries). Returns the pair count.
u32 broadphaseQueryPairs(Broadphase* bp, u32 bodyCount, const Bitset* queryMask);
const CollisionPair* broadphaseGetPairs(const Broadphase* bp, u32* count);
// Try-lock: reports nothing while another thread holds the broadphase.
void broadphaseQueryAabb(Broadphase* bp, Aabb aabb, BroadphaseAabbCallback callback, void* userData);
void broadphaseRaycast(Broadphase* bp, v3 rayStart, v3 rayEnd, BroadphaseRayCallback callback,
                       void* userData);
