#include "ecs/ecs.h"

#include <cstring>

#include "platform/memory.h"

namespace {

u32 bitsetWords(u32 capacity) {
  u32 words = ((capacity + 255) / 64) & ~3u;
  return words < 4 ? 4 : words;
}

void setBit(Bitset& b, u32 idx, bool on) {
  u64 m = 1ull << (idx & 63);
  if (on)
    b.words[idx >> 6] |= m;
  else
    b.words[idx >> 6] &= ~m;
}

// Bookkeeping shared by both removals: the last dense entry fills position d.
Entity poolRemove(void* pool, Entity e, bool swapData) {
  if (!pool) return 0;
  EcsPool* h = ecsPoolHeader(pool);
  u32 idx = ecsEntityIndex(e);
  if (idx >= h->sparseCapacity) return 0;
  i32* sparse = ecsPoolSparse(pool);
  Entity* dense = ecsPoolDense(pool);
  i32 d = sparse[idx];
  if (d < 0) return 0;
  u32 last = h->denseCount - 1;
  Entity moved = 0;
  if ((u32)d < last) {
    if (swapData) ecsPoolSwapData(pool, (u32)d, last);
    moved = dense[last];
    dense[d] = moved;
    sparse[ecsEntityIndex(moved)] = d;
  }
  sparse[idx] = -1;
  h->denseCount = last;
  return moved;
}

}  // namespace

b8 ecsInit(Ecs* ecs, u32 capacity) {
  if (!ecs) return false;
  std::memset(ecs, 0, sizeof(Ecs));
  if (capacity > kEcsMaxCapacity) capacity = kEcsMaxCapacity;
  ecs->capacity = capacity;
  ecs->highWater = 1;
  ecs->slots = static_cast<EcsSlot*>(memCalloc(capacity, sizeof(EcsSlot)));
  ecs->freeIndices = static_cast<u32*>(memCalloc(capacity, sizeof(u32)));
  bool ok = ecs->slots && ecs->freeIndices;
  u32 words = bitsetWords(capacity);
  for (u32 s = 0; s < ECS_SYS_COUNT && ok; ++s) {
    ecs->bits[s].words = static_cast<u64*>(memCalloc(words, sizeof(u64)));
    ecs->bits[s].wordCount = words;
    ok = ecs->bits[s].words != nullptr;
  }
  if (!ok) {
    ecsDestroy(ecs);
    return false;
  }
  return true;
}

void ecsDestroy(Ecs* ecs) {
  if (!ecs) return;
  for (u32 s = 0; s < ECS_SYS_COUNT; ++s) {
    memFree(ecs->bits[s].words);
    ecsPoolFree(ecs->pools[s]);
    memFree(ecs->reverseMap[s]);
  }
  memFree(ecs->slots);
  memFree(ecs->freeIndices);
  std::memset(ecs, 0, sizeof(Ecs));
}

b8 ecsRegister(Ecs* ecs, u32 sys, u32 stride, u32 maxComponents) {
  if (!ecs || sys >= ECS_SYS_COUNT || ecs->pools[sys]) return false;
  ecs->pools[sys] = ecsPoolNew(stride, ecs->capacity, maxComponents);
  return ecs->pools[sys] != nullptr;
}

b8 ecsRegisterReverse(Ecs* ecs, u32 sys, u32 capacity) {
  if (!ecs || sys >= ECS_SYS_COUNT || ecs->reverseMap[sys]) return false;
  Entity* map = static_cast<Entity*>(memCalloc(capacity, sizeof(Entity)));
  if (!map) return false;
  ecs->reverseMap[sys] = map;
  ecs->reverseCapacity[sys] = capacity;
  return true;
}

Entity ecsCreate(Ecs* ecs) {
  if (!ecs || !ecs->slots) return 0;
  u32 idx;
  if (ecs->freeCount > 0) {
    idx = ecs->freeIndices[--ecs->freeCount];
  } else {
    if (ecs->highWater >= ecs->capacity) return 0;
    idx = ecs->highWater++;
  }
  EcsSlot& slot = ecs->slots[idx];
  slot.flags |= kEcsSlotAlive;
  ++ecs->aliveCount;
  return ecsMakeEntity(idx, slot.generation);
}

b8 ecsIsAlive(const Ecs* ecs, Entity e) {
  if (!ecs) return false;
  u32 idx = ecsEntityIndex(e);
  if (idx == 0 || idx >= ecs->capacity) return false;
  const EcsSlot& slot = ecs->slots[idx];
  return (slot.flags & kEcsSlotAlive) && slot.generation == ecsEntityGeneration(e);
}

void ecsEntityDestroy(Ecs* ecs, Entity e) {
  if (!ecsIsAlive(ecs, e)) return;
  u32 idx = ecsEntityIndex(e);
  for (u32 s = 0; s < ECS_SYS_COUNT; ++s) {
    if (!ecsHas(ecs, s, e)) continue;
    ecsPoolRemoveSwap(ecs->pools[s], e);
    setBit(ecs->bits[s], idx, false);
  }
  EcsSlot& slot = ecs->slots[idx];
  slot.flags &= (u16)~kEcsSlotAlive;
  slot.generation = (u16)((slot.generation + 1) % kEcsGenerationCount);
  ecs->freeIndices[ecs->freeCount++] = idx;
  --ecs->aliveCount;
}

i32 ecsAttach(Ecs* ecs, u32 sys, Entity e) {
  if (!ecs || sys >= ECS_SYS_COUNT) return -1;
  i32 d = ecsPoolAdd(ecs->pools[sys], e);
  if (d >= 0) setBit(ecs->bits[sys], ecsEntityIndex(e), true);
  return d;
}

Entity ecsDetach(Ecs* ecs, u32 sys, Entity e) {
  if (!ecs || sys >= ECS_SYS_COUNT) return 0;
  u32 idx = ecsEntityIndex(e);
  if (idx < ecs->capacity) setBit(ecs->bits[sys], idx, false);
  return ecsPoolRemoveSwap(ecs->pools[sys], e);
}

u32 ecsQuery(const Ecs* ecs, u32 requiredMask, Entity* outEntities, u32 maxOut) {
  // Bits beyond the registry's systems name nothing and are ignored.
  requiredMask &= (1u << ECS_SYS_COUNT) - 1;
  if (!ecs || !ecs->slots || !requiredMask || !outEntities || maxOut == 0) return 0;
  u32 sys[ECS_SYS_COUNT];
  u32 nsys = 0;
  for (u32 s = 0; s < ECS_SYS_COUNT; ++s)
    if (requiredMask & (1u << s)) sys[nsys++] = s;
  u32 count = 0;
  u32 words = ecs->bits[0].wordCount;
  for (u32 w = 0; w < words; w += 4) {
    u64 g[4];
    for (u32 k = 0; k < 4; ++k) g[k] = ecs->bits[sys[0]].words[w + k];
    for (u32 i = 1; i < nsys; ++i) {
      const u64* b = ecs->bits[sys[i]].words + w;
      for (u32 k = 0; k < 4; ++k) g[k] &= b[k];
    }
    if (!(g[0] | g[1] | g[2] | g[3])) continue;
    for (u32 k = 0; k < 4; ++k) {
      for (u64 bits = g[k]; bits; bits &= bits - 1) {
        u32 idx = (w + k) * 64 + (u32)__builtin_ctzll(bits);
        if (idx >= ecs->capacity) break;
        const EcsSlot& slot = ecs->slots[idx];
        if (!(slot.flags & kEcsSlotAlive)) continue;
        outEntities[count++] = ecsMakeEntity(idx, slot.generation);
        if (count == maxOut) return count;
      }
    }
  }
  return count;
}

void* ecsPoolNew(u32 stride, u32 sparseCapacity, u32 denseCapacity) {
  if ((u64)denseCapacity * stride > (1ull << 48)) return nullptr;  // keeps the sum below from wrapping
  u64 bytes = sizeof(EcsPool) + ecsPoolDataBytes(stride, denseCapacity) + (u64)sparseCapacity * sizeof(i32) +
              (u64)denseCapacity * sizeof(Entity);
  EcsPool* h = static_cast<EcsPool*>(memCalloc(1, (size_t)bytes));
  if (!h) return nullptr;
  h->stride = stride;
  h->denseCapacity = denseCapacity;
  h->sparseCapacity = sparseCapacity;
  void* pool = h + 1;
  i32* sparse = ecsPoolSparse(pool);
  for (u32 i = 0; i < sparseCapacity; ++i) sparse[i] = -1;
  return pool;
}

void ecsPoolFree(void* pool) {
  if (pool) memFree(ecsPoolHeader(pool));
}

i32 ecsPoolAdd(void* pool, Entity e) {
  if (!pool) return -1;
  EcsPool* h = ecsPoolHeader(pool);
  u32 idx = ecsEntityIndex(e);
  if (idx >= h->sparseCapacity) return -1;
  i32* sparse = ecsPoolSparse(pool);
  if (sparse[idx] >= 0) return sparse[idx];
  if (h->denseCount == h->denseCapacity) return -1;
  u32 d = h->denseCount++;
  ecsPoolDense(pool)[d] = e;
  sparse[idx] = (i32)d;
  return (i32)d;
}

Entity ecsPoolRemove(void* pool, Entity e) { return poolRemove(pool, e, false); }

Entity ecsPoolRemoveSwap(void* pool, Entity e) { return poolRemove(pool, e, true); }

void ecsPoolSwapData(void* pool, u32 a, u32 b) {
  if (!pool || a == b) return;
  u32 stride = ecsPoolHeader(pool)->stride;
  u8* pa = static_cast<u8*>(ecsPoolComponent(pool, a));
  u8* pb = static_cast<u8*>(ecsPoolComponent(pool, b));
  // Large components go through the buffer in pieces, so no heap is needed.
  u8 tmp[256];
  for (u32 off = 0; off < stride; off += sizeof tmp) {
    u32 n = stride - off < sizeof tmp ? stride - off : (u32)sizeof tmp;
    std::memcpy(tmp, pa + off, n);
    std::memcpy(pa + off, pb + off, n);
    std::memcpy(pb + off, tmp, n);
  }
}
