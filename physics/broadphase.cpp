#include "physics/broadphase.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/hashmap.h"
#include "platform/memory.h"

namespace {

constexpr f64 kRayZero = 1e-10;
constexpr f64 kRayInverseLimit = 3.4028234663852886e38;

void* accountedAlloc(void*, size_t bytes) { return memAlloc(bytes); }
void accountedFree(void*, void* ptr) { memFree(ptr); }
const sm_allocator_t kAccounted = {nullptr, accountedAlloc, accountedFree, nullptr, nullptr};

struct Lock {
  explicit Lock(ThreadMutex* m) : mx(m) { threadMutexLock(mx); }
  ~Lock() { threadMutexUnlock(mx); }
  ThreadMutex* mx;
};

// Releases a lock taken by a successful try-lock.
struct Unlocker {
  explicit Unlocker(ThreadMutex* m) : mx(m) {}
  ~Unlocker() { threadMutexUnlock(mx); }
  ThreadMutex* mx;
};

b8 overlaps(const Aabb& a, const Aabb& b) {
#if defined(__SSE2__)
  // The same six comparisons without branches (the fourth lane is ignored).
  __m128d xy = _mm_and_pd(_mm_cmple_pd(_mm_loadu_pd(&a.min.x), _mm_loadu_pd(&b.max.x)),
                          _mm_cmple_pd(_mm_loadu_pd(&b.min.x), _mm_loadu_pd(&a.max.x)));
  __m128d z = _mm_and_pd(_mm_cmple_sd(_mm_load_sd(&a.min.z), _mm_load_sd(&b.max.z)),
                         _mm_cmple_sd(_mm_load_sd(&b.min.z), _mm_load_sd(&a.max.z)));
  return ((_mm_movemask_pd(xy) | (_mm_movemask_pd(z) << 2)) & 7) == 7;
#else
  return a.min.x <= b.max.x && b.min.x <= a.max.x && a.min.y <= b.max.y && b.min.y <= a.max.y &&
         a.min.z <= b.max.z && b.min.z <= a.max.z;
#endif
}

b8 contains(const Aabb& outer, const Aabb& inner) {
  return outer.min.x <= inner.min.x && outer.min.y <= inner.min.y && outer.min.z <= inner.min.z &&
         inner.max.x <= outer.max.x && inner.max.y <= outer.max.y && inner.max.z <= outer.max.z;
}

// Plain comparisons: boxes are finite, and these inline where fmin/fmax do not.
f64 minf(f64 a, f64 b) { return a < b ? a : b; }
f64 maxf(f64 a, f64 b) { return a > b ? a : b; }
v3 minv(v3 a, v3 b) { return v3{minf(a.x, b.x), minf(a.y, b.y), minf(a.z, b.z), 0.0}; }
v3 maxv(v3 a, v3 b) { return v3{maxf(a.x, b.x), maxf(a.y, b.y), maxf(a.z, b.z), 0.0}; }

Aabb unite(const Aabb& a, const Aabb& b) { return Aabb{minv(a.min, b.min), maxv(a.max, b.max)}; }

f64 area(const Aabb& b) {
  f64 dx = b.max.x - b.min.x, dy = b.max.y - b.min.y, dz = b.max.z - b.min.z;
  dx = dx > 0.0 ? dx : 0.0;
  dy = dy > 0.0 ? dy : 0.0;
  dz = dz > 0.0 ? dz : 0.0;
  return 2.0 * (dx * dy + dy * dz + dz * dx);
}

// Resizes *array to count elements; on failure *array is left as it was.
template <typename T>
b8 resizeArray(T** array, u64 count) {
  T* p = (T*)memRealloc(*array, sizeof(T) * count);
  if (!p) return false;
  *array = p;
  return true;
}

u64 pairKey(i32 a, i32 b) {
  u32 lo = (u32)(a < b ? a : b), hi = (u32)(a < b ? b : a);
  return ((u64)lo << 32) | hi;
}

// Per-body arrays large enough to hold index bodyId.
b8 ensureBodyCapacity(Broadphase* bp, i32 bodyId) {
  if ((u32)bodyId < bp->bodyCap) return true;
  u64 cap = bp->bodyCap ? bp->bodyCap : 64;
  while (cap <= (u64)bodyId) cap *= 2;
  if (cap > 0x7fffffffu) return false;
  if (!resizeArray(&bp->bodyAabbs, cap) || !resizeArray(&bp->bodyToNode, cap) ||
      !resizeArray(&bp->inTree, cap) || !resizeArray(&bp->leafRank, cap) ||
      !resizeArray(&bp->moved, cap) || !resizeArray(&bp->movedList, cap))
    return false;
  for (u64 i = bp->bodyCap; i < cap; ++i) {
    bp->bodyToNode[i] = -1;
    bp->inTree[i] = false;
    bp->moved[i] = false;
    bp->bodyAabbs[i] = Aabb{};
  }
  bp->bodyCap = (u32)cap;
  return true;
}

// The traversal stack never needs more entries than there are nodes plus one,
// so it grows with the node array and no subtree is ever skipped.
b8 ensureNodeCapacity(Broadphase* bp, u32 cap) {
  if (cap <= bp->nodeCap) return true;
  if (!resizeArray(&bp->nodes, cap) || !resizeArray(&bp->stack, cap + 1)) return false;
  bp->stackCap = cap + 1;
  if (!resizeArray(&bp->nodeHasQuery, cap) || !resizeArray(&bp->nodeArea, cap)) return false;
  bp->nodeCap = cap;
  return true;
}

i32 allocNode(Broadphase* bp) {
  i32 n;
  if (bp->freeList >= 0) {
    n = bp->freeList;
    bp->freeList = bp->nodes[n].next;
  } else {
    if (bp->nodeCount == bp->nodeCap) {
      u64 cap = bp->nodeCap ? (u64)bp->nodeCap * 2 : 64;
      if (cap > 0x3fffffffu || !ensureNodeCapacity(bp, (u32)cap)) return -1;
    }
    n = (i32)bp->nodeCount++;
  }
  BvhNode* node = &bp->nodes[n];
  node->left = node->right = node->parent = -1;
  node->body = -1;
  node->next = -1;
  return n;
}

void freeNode(Broadphase* bp, i32 n) {
  bp->nodes[n].next = bp->freeList;
  bp->nodes[n].body = -1;
  bp->freeList = n;
}

// Every write of a node's box goes through here: the area is kept beside it.
void setBox(Broadphase* bp, i32 n, const Aabb& box) {
  bp->nodes[n].box = box;
  bp->nodeArea[n] = area(box);
}

void refit(Broadphase* bp, i32 n) {
  BvhNode* nodes = bp->nodes;
  for (u32 guard = 0; n >= 0 && guard < bp->nodeCount; ++guard) {
    setBox(bp, n, unite(nodes[nodes[n].left].box, nodes[nodes[n].right].box));
    n = nodes[n].parent;
  }
}

// Inserts a leaf into a non-empty tree under the given fresh internal node.
void insertLeaf(Broadphase* bp, i32 leaf, i32 internal) {
  BvhNode* nodes = bp->nodes;
  const Aabb box = nodes[leaf].box;
  i32 s = bp->root;
  while (nodes[s].left >= 0) {
    i32 l = nodes[s].left, r = nodes[s].right;
    f64 costL = area(unite(nodes[l].box, box)) - bp->nodeArea[l];
    f64 costR = area(unite(nodes[r].box, box)) - bp->nodeArea[r];
    s = costL < costR ? l : r;
  }
  i32 oldParent = nodes[s].parent;
  BvhNode* p = &nodes[internal];
  p->parent = oldParent;
  p->left = s;
  p->right = leaf;
  p->body = -1;
  setBox(bp, internal, unite(nodes[s].box, box));
  nodes[s].parent = internal;
  nodes[leaf].parent = internal;
  if (oldParent < 0) {
    bp->root = internal;
  } else if (nodes[oldParent].left == s) {
    nodes[oldParent].left = internal;
  } else {
    nodes[oldParent].right = internal;
  }
  refit(bp, oldParent);
}

void removeLeaf(Broadphase* bp, i32 leaf) {
  BvhNode* nodes = bp->nodes;
  if (leaf == bp->root) {
    bp->root = -1;
    return;
  }
  i32 p = nodes[leaf].parent;
  i32 g = nodes[p].parent;
  i32 s = nodes[p].left == leaf ? nodes[p].right : nodes[p].left;
  if (g < 0) {
    bp->root = s;
    nodes[s].parent = -1;
  } else {
    if (nodes[g].left == p) nodes[g].left = s;
    else nodes[g].right = s;
    nodes[s].parent = g;
  }
  freeNode(bp, p);
  refit(bp, g);
}

// Allocates a leaf (and the internal node its insertion needs) for a body.
i32 addLeaf(Broadphase* bp, i32 bodyId, const Aabb& fat) {
  i32 leaf = allocNode(bp);
  if (leaf < 0) return -1;
  setBox(bp, leaf, fat);
  bp->nodes[leaf].body = bodyId;
  if (bp->root < 0) {
    bp->root = leaf;
  } else {
    i32 internal = allocNode(bp);
    if (internal < 0) {
      freeNode(bp, leaf);
      return -1;
    }
    insertLeaf(bp, leaf, internal);
  }
  bp->bodyToNode[bodyId] = leaf;
  bp->inTree[bodyId] = true;
  bp->bodyAabbs[bodyId] = fat;
  if (!bp->moved[bodyId]) {
    bp->moved[bodyId] = true;
    bp->movedList[bp->movedCount++] = bodyId;
  }
  return leaf;
}

// Takes a body's leaf (and the internal node above it) out of the tree.
inline void removeBodyLeaf(Broadphase* bp, i32 bodyId) {
  i32 leaf = bp->bodyToNode[bodyId];
  removeLeaf(bp, leaf);
  freeNode(bp, leaf);
  bp->bodyToNode[bodyId] = -1;
  bp->inTree[bodyId] = false;
}

b8 ensurePairCapacity(Broadphase* bp, u32 needed) {
  if (needed <= bp->pairCap) return true;
  u64 cap = bp->pairCap ? bp->pairCap : 256;
  while (cap < needed) cap *= 2;
  if (cap > 0x7fffffffu) return false;
  if (!resizeArray(&bp->pairs, cap) || !resizeArray(&bp->lastPairs, cap)) return false;
  bp->pairCap = (u32)cap;
  return true;
}

// False when the pair could not be stored (out of memory).
b8 appendPair(Broadphase* bp, i32 a, i32 b) {
  if (bp->pairCount == bp->pairCap && !ensurePairCapacity(bp, bp->pairCount + 1)) return false;
  bp->pairs[bp->pairCount++] = CollisionPair{a, b};
  return true;
}

// True when the key was not seen before (and records it).
b8 markNew(Broadphase* bp, u64 key) {
  u8 one = 1;
  return sm_put(bp->pairSeen, &key, &one) != 0;  // 0: was there already
}

// The shared traversal stack, or a private one when a callback starts a nested
// traversal on the same thread (the lock is recursive). Callbacks must not edit
// the broadphase they are called from.
struct TraversalStack {
  explicit TraversalStack(Broadphase* b) : bp(b) {
    if (!bp->stackBusy) {
      bp->stackBusy = true;
      data = bp->stack;
    } else {
      owned = (i32*)memAlloc(sizeof(i32) * bp->stackCap);
      data = owned;
    }
  }
  ~TraversalStack() {
    if (owned) memFree(owned);
    else if (data) bp->stackBusy = false;
  }
  Broadphase* bp;
  i32* data = nullptr;
  i32* owned = nullptr;
};

b8 inMask(const Bitset* mask, u32 i) {
  return (i >> 6) < mask->wordCount && ((mask->words[i >> 6] >> (i & 63)) & 1u);
}

// A pair not listed last step: found by its first querying member (the smaller
// index when both query), ordered as a per-body traversal would report it.
struct NewPair {
  u64 order;  // finder << 32 | traversal rank of the partner
  i32 a, b;
};

template <typename T>
b8 growBuffer(T** buf, u32* cap, u64 needed) {
  if (needed <= *cap) return true;
  u64 c = *cap ? *cap : 256;
  while (c < needed) c *= 2;
  if (c > 0x7fffffffu) return false;
  if (!resizeArray(buf, c)) return false;
  *cap = (u32)c;
  return true;
}

b8 isQuery(const Broadphase* bp, u32 limit, const Bitset* mask, i32 body) {
  return (u32)body < limit && bp->inTree[body] && (!mask || inMask(mask, (u32)body));
}

// Leaves in the order a depth-first traversal pushing left then right visits them.
b8 rankLeaves(Broadphase* bp) {
  TraversalStack ts(bp);
  i32* stack = ts.data;
  if (!stack) return false;
  u32 top = 0;
  i32 rank = 0;
  stack[top++] = bp->root;
  while (top > 0) {
    const BvhNode& n = bp->nodes[stack[--top]];
    if (n.left < 0) {
      bp->leafRank[n.body] = rank++;
    } else {
      stack[top++] = n.left;
      stack[top++] = n.right;
    }
  }
  return true;
}

void sortNewPairs(NewPair* p, u32 n) {
  // Insertion sort for the usual handful, heap sort beyond (no allocation).
  if (n < 32) {
    for (u32 i = 1; i < n; ++i) {
      NewPair v = p[i];
      u32 j = i;
      for (; j > 0 && p[j - 1].order > v.order; --j) p[j] = p[j - 1];
      p[j] = v;
    }
    return;
  }
  auto sift = [&](u32 root, u32 end) {
    while (2 * root + 1 < end) {
      u32 child = 2 * root + 1;
      if (child + 1 < end && p[child].order < p[child + 1].order) ++child;
      if (p[root].order >= p[child].order) return;
      NewPair t = p[root];
      p[root] = p[child];
      p[child] = t;
      root = child;
    }
  };
  for (u32 i = n / 2; i-- > 0;) sift(i, n);
  for (u32 end = n; end-- > 1;) {
    NewPair t = p[0];
    p[0] = p[end];
    p[end] = t;
    sift(0, end);
  }
}

// A leaf pair of the tree pass (qi, qj: whether each body queries): a kept pair
// is skipped, another waits in newPairs for ordering. False when memory ran out.
b8 recordNewPair(Broadphase* bp, i32 i, i32 j, b8 qi, b8 qj, b8 checkKept, u32* numNew) {
  u64 key = pairKey(i, j);
  if (checkKept && sm_find(bp->pairSeen, &key)) return true;
  if (!growBuffer((NewPair**)&bp->newPairs, &bp->newPairCap, (u64)*numNew + 1)) return false;
  i32 finder = qi && qj ? (i < j ? i : j) : (qi ? i : j);
  i32 other = finder == i ? j : i;
  // The partner's rank is filled in before sorting.
  ((NewPair*)bp->newPairs)[(*numNew)++] =
      NewPair{((u64)(u32)finder << 32) | (u32)other, i < j ? i : j, i < j ? j : i};
  return true;
}

b8 emitNewPairs(Broadphase* bp, u32 numNew);

// The tree pass: every overlapping pair of leaves with at least one querying body,
// found by one descent of the tree against itself instead of one traversal per
// body, then put in the order the per-body traversals would produce. False when
// memory ran out (the pairs found so far are kept).
b8 findNewPairs(Broadphase* bp, u32 limit, const Bitset* mask, b8 checkKept) {
  const BvhNode* nodes = bp->nodes;
  u8* has = bp->nodeHasQuery;
  std::memset(has, 0, bp->nodeCount);
  b8 any = false;
  for (u32 i = 0; i < limit; ++i) {
    if (!isQuery(bp, limit, mask, (i32)i)) continue;
    any = true;
    for (i32 n = bp->bodyToNode[i]; n >= 0 && !has[n]; n = nodes[n].parent) has[n] = 1;
  }
  if (!any) return true;

  u32 numNew = 0;
  u32 top = 0;
  if (!growBuffer(&bp->pairStack, &bp->pairStackCap, 64)) return false;
  bp->pairStack[top++] = bp->root;
  bp->pairStack[top++] = bp->root;
  while (top > 0) {
    i32 b = bp->pairStack[--top];
    i32 a = bp->pairStack[--top];
    const BvhNode& na = nodes[a];
    const BvhNode& nb = nodes[b];
    if (!growBuffer(&bp->pairStack, &bp->pairStackCap, (u64)top + 8)) return false;
    i32* st = bp->pairStack;
    // Pairs are tested when pushed, so every popped pair of distinct nodes overlaps
    // and holds a querying body.
    auto push = [&](i32 x, i32 y) {
      if ((has[x] | has[y]) && overlaps(nodes[x].box, nodes[y].box)) {
        st[top++] = x;
        st[top++] = y;
      }
    };
    if (a == b) {
      if (na.left < 0 || !has[a]) continue;
      if (has[na.left]) {
        st[top++] = na.left;
        st[top++] = na.left;
      }
      if (has[na.right]) {
        st[top++] = na.right;
        st[top++] = na.right;
      }
      push(na.left, na.right);
      continue;
    }
    b8 leafA = na.left < 0, leafB = nb.left < 0;
    if (leafA && leafB) {
      // A leaf's flag says whether its body queries.
      if (!recordNewPair(bp, na.body, nb.body, has[a] != 0, has[b] != 0, checkKept, &numNew)) return false;
      continue;
    }
    if (leafA || (!leafB && bp->nodeArea[b] > bp->nodeArea[a])) {
      push(a, nb.left);
      push(a, nb.right);
    } else {
      push(na.left, b);
      push(na.right, b);
    }
  }
  return emitNewPairs(bp, numNew);
}

// Leaves whose boxes did not change since the last query, under the same limit
// and mask, form no pair that query did not list: their overlapping pairs are all
// kept ones. Only the leaves rebuilt since then are looked up in the tree.
b8 findNewPairsOfMoved(Broadphase* bp, u32 limit, const Bitset* mask, b8 checkKept) {
  const BvhNode* nodes = bp->nodes;
  u32 numNew = 0;
  if (!growBuffer(&bp->pairStack, &bp->pairStackCap, (u64)bp->nodeCount + 1)) return false;
  i32* stack = bp->pairStack;
  for (u32 k = 0; k < bp->movedCount; ++k) {
    const i32 d = bp->movedList[k];
    if (!bp->inTree[d]) continue;
    const b8 qd = isQuery(bp, limit, mask, d);
    const Aabb box = bp->bodyAabbs[d];
    u32 top = 0;
    stack[top++] = bp->root;
    while (top > 0) {
      const BvhNode& n = nodes[stack[--top]];
      if (!overlaps(n.box, box)) continue;
      if (n.left >= 0) {
        stack[top++] = n.left;
        stack[top++] = n.right;
        continue;
      }
      const i32 j = n.body;
      // Two moved bodies: the pair is recorded from the smaller one.
      if (j == d || (bp->moved[j] && j < d)) continue;
      const b8 qj = isQuery(bp, limit, mask, j);
      if (!qd && !qj) continue;
      if (!recordNewPair(bp, d, j, qd, qj, checkKept, &numNew)) return false;
    }
  }
  return emitNewPairs(bp, numNew);
}

// True when the incremental pass gives what the full one would.
b8 movedPassApplies(const Broadphase* bp, u32 limit, const Bitset* mask) {
  if (!bp->lastQueryComplete || bp->lastLimit != limit) return false;
  if ((mask != nullptr) != bp->lastHadMask) return false;
  if (mask && (mask->wordCount != bp->lastMaskWords ||
               (mask->wordCount && std::memcmp(mask->words, bp->lastMask, sizeof(u64) * mask->wordCount) != 0)))
    return false;
  // A body at or past the limit never keeps a pair, so its pairs are found anew each time.
  for (u32 i = limit; i < bp->bodyCap; ++i)
    if (bp->inTree[i]) return false;
  // Many moved leaves: one descent of the whole tree is cheaper.
  return (u64)bp->movedCount * 8 <= (u64)bp->nodeCount;
}

// Remembers what the incremental pass of the next query compares against.
void rememberQuery(Broadphase* bp, u32 limit, const Bitset* mask, b8 complete) {
  for (u32 k = 0; k < bp->movedCount; ++k) bp->moved[bp->movedList[k]] = false;
  bp->movedCount = 0;
  bp->lastLimit = limit;
  bp->lastHadMask = mask != nullptr;
  bp->lastQueryComplete = complete;
  if (mask) {
    if (!growBuffer(&bp->lastMask, &bp->lastMaskCap, mask->wordCount)) {
      bp->lastQueryComplete = false;
      return;
    }
    if (mask->wordCount) std::memcpy(bp->lastMask, mask->words, sizeof(u64) * mask->wordCount);
    bp->lastMaskWords = mask->wordCount;
  }
}

// Puts the recorded new pairs in per-body traversal order and appends them.
b8 emitNewPairs(Broadphase* bp, u32 numNew) {
  if (numNew == 0) return true;

  if (!rankLeaves(bp)) return false;
  NewPair* np = (NewPair*)bp->newPairs;
  for (u32 k = 0; k < numNew; ++k) {
    i32 other = (i32)(u32)(np[k].order & 0xffffffffu);
    np[k].order = (np[k].order & ~0xffffffffull) | (u32)bp->leafRank[other];
  }
  sortNewPairs(np, numNew);
  for (u32 k = 0; k < numNew; ++k)
    if (!appendPair(bp, np[k].a, np[k].b)) return false;
  return true;
}

}  // namespace

b8 broadphaseInit(Broadphase* bp, u32 initialCapacity) {
  std::memset((void*)bp, 0, sizeof(*bp));
  bp->root = -1;
  bp->freeList = -1;
  bp->aabbFattenMargin = 0.1;
  threadMutexInit(&bp->mutex);
  bp->pairSeen = sm_new(64, sizeof(u64), 1, &kAccounted);
  if (!bp->pairSeen) return false;
  if (initialCapacity > 0) {
    if (!ensureBodyCapacity(bp, (i32)(initialCapacity - 1))) return false;
    if (!ensureNodeCapacity(bp, 2 * initialCapacity)) return false;
  }
  return true;
}

void broadphaseDestroy(Broadphase* bp) {
  memFree(bp->nodes);
  memFree(bp->bodyAabbs);
  memFree(bp->bodyToNode);
  memFree(bp->inTree);
  memFree(bp->pairs);
  memFree(bp->lastPairs);
  memFree(bp->stack);
  memFree(bp->nodeHasQuery);
  memFree(bp->nodeArea);
  memFree(bp->moved);
  memFree(bp->movedList);
  memFree(bp->lastMask);
  memFree(bp->leafRank);
  memFree(bp->newPairs);
  memFree(bp->pairStack);
  sm_free(bp->pairSeen);
  threadMutexDestroy(&bp->mutex);
  std::memset((void*)bp, 0, sizeof(*bp));
  bp->root = -1;
  bp->freeList = -1;
}

void broadphaseClear(Broadphase* bp) {
  Lock lock(&bp->mutex);
  bp->root = -1;
  bp->freeList = -1;
  bp->nodeCount = 0;
  bp->pairCount = 0;
  bp->lastPairCount = 0;
  bp->lastQueryComplete = false;
  for (u32 i = 0; i < bp->bodyCap; ++i) {
    bp->bodyToNode[i] = -1;
    bp->inTree[i] = false;
    bp->moved[i] = false;
  }
  bp->movedCount = 0;
}

i32 broadphaseAddBody(Broadphase* bp, i32 bodyId, Aabb aabb) {
  if (bodyId < 0) return -1;
  Lock lock(&bp->mutex);
  if ((u32)bodyId < bp->bodyCap && bp->inTree[bodyId]) {
    broadphaseUpdateBody(bp, bodyId, aabb, V3(0, 0, 0));
    return bp->bodyToNode[bodyId];
  }
  if (!ensureBodyCapacity(bp, bodyId)) return -1;
  v3 m = V3(bp->aabbFattenMargin, bp->aabbFattenMargin, bp->aabbFattenMargin);
  return addLeaf(bp, bodyId, Aabb{aabb.min - m, aabb.max + m});
}

void broadphaseRemoveBody(Broadphase* bp, i32 bodyId) {
  Lock lock(&bp->mutex);
  if (bodyId < 0 || (u32)bodyId >= bp->bodyCap || !bp->inTree[bodyId]) return;
  removeBodyLeaf(bp, bodyId);
}

b8 broadphaseUpdateBody(Broadphase* bp, i32 bodyId, Aabb aabb, v3 displacement) {
  if (bodyId < 0) return false;
  Lock lock(&bp->mutex);
  if ((u32)bodyId >= bp->bodyCap || !bp->inTree[bodyId]) {
    return broadphaseAddBody(bp, bodyId, aabb) >= 0;
  }
  if (contains(bp->bodyAabbs[bodyId], aabb)) return false;
  v3 m = V3(bp->aabbFattenMargin, bp->aabbFattenMargin, bp->aabbFattenMargin);
  v3 d = displacement;
  Aabb fat{aabb.min - m + minv(d, V3(0, 0, 0)), aabb.max + m + maxv(d, V3(0, 0, 0))};
  removeBodyLeaf(bp, bodyId);
  // Two nodes were just freed, so the re-insertion cannot run out of memory.
  addLeaf(bp, bodyId, fat);
  return true;
}

u32 broadphaseQueryPairs(Broadphase* bp, u32 bodyCount, const Bitset* queryMask) {
  Lock lock(&bp->mutex);
  bp->pairCount = 0;
  sm_clear(bp->pairSeen);
  u32 limit = bodyCount < bp->bodyCap ? bodyCount : bp->bodyCap;
  const Aabb* fat = bp->bodyAabbs;
  b8 full = false;

  // Last step's pairs first, in their order, while they still overlap.
  for (u32 k = 0; k < bp->lastPairCount && !full; ++k) {
    i32 a = bp->lastPairs[k].bodyA, b = bp->lastPairs[k].bodyB;
    if ((u32)a >= limit || (u32)b >= limit || !bp->inTree[a] || !bp->inTree[b]) continue;
    if (queryMask && !inMask(queryMask, (u32)a) && !inMask(queryMask, (u32)b)) continue;
    if (!overlaps(fat[a], fat[b])) continue;
    if (markNew(bp, pairKey(a, b))) full = !appendPair(bp, a, b);
  }
  const u32 keptCount = bp->pairCount;

  if (bp->root >= 0 && !full) {
    full = movedPassApplies(bp, limit, queryMask) ? !findNewPairsOfMoved(bp, limit, queryMask, keptCount > 0)
                                                   : !findNewPairs(bp, limit, queryMask, keptCount > 0);
  }
  rememberQuery(bp, limit, queryMask, !full);

  if (bp->pairCount > 0) std::memcpy(bp->lastPairs, bp->pairs, sizeof(CollisionPair) * bp->pairCount);
  bp->lastPairCount = bp->pairCount;
  return bp->pairCount;
}

const CollisionPair* broadphaseGetPairs(const Broadphase* bp, u32* count) {
  if (count) *count = bp->pairCount;
  return bp->pairs;
}

namespace {

// Depth-first walk from the root: enters the nodes whose box passes `enter` and
// hands each leaf reached to `leaf`, which returns false to stop the walk.
template <typename Enter, typename Leaf>
void walkTree(Broadphase* bp, Enter enter, Leaf leaf) {
  TraversalStack ts(bp);
  if (bp->root < 0 || !ts.data) return;
  i32* stack = ts.data;
  u32 top = 0;
  stack[top++] = bp->root;
  while (top > 0) {
    const BvhNode* n = &bp->nodes[stack[--top]];
    if (!enter(n->box)) continue;
    if (n->left < 0) {
      if (!leaf(n->body)) break;
    } else {
      stack[top++] = n->left;
      stack[top++] = n->right;
    }
  }
}

}  // namespace

void broadphaseQueryAabb(Broadphase* bp, Aabb aabb, BroadphaseAabbCallback callback,
                         void* userData) {
  if (!callback || threadMutexTryLock(&bp->mutex) != 0) return;
  Unlocker unlock(&bp->mutex);
  walkTree(
      bp, [&](const Aabb& box) { return overlaps(box, aabb); },
      [&](i32 body) {
        callback(-1, body, userData);
        return true;
      });
}

void broadphaseRaycast(Broadphase* bp, v3 rayStart, v3 rayEnd, BroadphaseRayCallback callback,
                       void* userData) {
  if (!callback) return;
  v3 d = rayEnd - rayStart;
  f64 len = v3Length(d);
  if (!(len >= kRayZero)) return;
  if (threadMutexTryLock(&bp->mutex) != 0) return;
  Unlocker unlock(&bp->mutex);
  v3 u = d * (1.0 / len);
  v3 inv = V3(std::fabs(u.x) > kRayZero ? 1.0 / u.x : kRayInverseLimit,
              std::fabs(u.y) > kRayZero ? 1.0 / u.y : kRayInverseLimit,
              std::fabs(u.z) > kRayZero ? 1.0 / u.z : kRayInverseLimit);
  walkTree(
      bp,
      [&](const Aabb& box) {
        v3 t0 = v3Mul(box.min - rayStart, inv);
        v3 t1 = v3Mul(box.max - rayStart, inv);
        f64 tmin = std::fmax(std::fmax(std::fmin(t0.x, t1.x), std::fmin(t0.y, t1.y)),
                             std::fmin(t0.z, t1.z));
        f64 tmax = std::fmin(std::fmin(std::fmax(t0.x, t1.x), std::fmax(t0.y, t1.y)),
                             std::fmax(t0.z, t1.z));
        return tmax >= 0.0 && tmin <= tmax && tmin <= len;
      },
      [&](i32 body) { return callback(body, userData); });
}
