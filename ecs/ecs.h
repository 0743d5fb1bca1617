// Entity registry: generation-checked identifiers, one sparse-set pool of
// fixed-size components per system, a membership bit set per system for fast
// multi-system queries, and optional reverse maps from an outside key (a body
// index) to an entity.
#pragma once

#include "platform/bitset.h"
#include "platform/types.h"

// Bits 0..19 slot index, bits 20..31 generation; 0 means no entity.
using Entity = u32;

inline constexpr u32 kEcsIndexBits = 20;
inline constexpr u32 kEcsIndexMask = (1u << kEcsIndexBits) - 1;
inline constexpr u32 kEcsMaxCapacity = 1u << kEcsIndexBits;
inline constexpr u32 kEcsGenerationCount = 4096;

enum EcsSystemId : u32 {
  ECS_SYS_MODEL = 0,
  ECS_SYS_POSE = 1,
  ECS_SYS_RAGDOLL = 2,
  ECS_SYS_PHYSICS_BODY = 3,
  ECS_SYS_AUDIO = 4,
  ECS_SYS_RENDER = 5,
  ECS_SYS_TERRAIN = 6,
  ECS_SYS_COUNT = 7,
};

struct EcsSlot {
  u16 generation;  // within 12 bits
  u16 flags;       // bit 0: alive
};
inline constexpr u16 kEcsSlotAlive = 1;


// Header of a component pool; the pool handle points just past it at component 0.
// After the components come sparseCapacity i32 (slot index -> dense index, -1 when
// absent), then denseCapacity dense entities.
struct EcsPool {
  u32 stride;
  u32 denseCount;
  u32 denseCapacity;
  u32 sparseCapacity;
};

struct Ecs {
  EcsSlot* slots;
  u32 capacity;
  u32* freeIndices;
  u32 freeCount;
  u32 highWater;  // next never-used index; index 0 is never handed out
  u32 aliveCount;
  Bitset bits[ECS_SYS_COUNT];
  void* pools[ECS_SYS_COUNT];         // null when not registered
  Entity* reverseMap[ECS_SYS_COUNT];  // null when not registered
  u32 reverseCapacity[ECS_SYS_COUNT];
};

// Capacity clamped to 2^20. False when memory runs out (the record is then empty).
b8 ecsInit(Ecs* ecs, u32 capacity);
void ecsDestroy(Ecs* ecs);
// Pool with one sparse entry per slot and maxComponents components. False when
// the system is out of range, already registered, or memory runs out.
b8 ecsRegister(Ecs* ecs, u32 sys, u32 stride, u32 maxComponents);
// Zero-filled reverse map of capacity entities. False as for ecsRegister.
b8 ecsRegisterReverse(Ecs* ecs, u32 sys, u32 capacity);

// 0 when every index is in use.
Entity ecsCreate(Ecs* ecs);
// Ignored for stale or dead identifiers. Leaves every system; reverse maps are untouched.
void ecsEntityDestroy(Ecs* ecs, Entity e);
b8 ecsIsAlive(const Ecs* ecs, Entity e);

// Dense index of the entity's component, or -1 (system not registered or pool full).
i32 ecsAttach(Ecs* ecs, u32 sys, Entity e);
// The entity moved into the freed dense position, or 0.
Entity ecsDetach(Ecs* ecs, u32 sys, Entity e);
// Entities in every system of requiredMask (bit i: system i), increasing index
// order, at most maxOut; returns how many were written.
u32 ecsQuery(const Ecs* ecs, u32 requiredMask, Entity* outEntities, u32 maxOut);

// Pools work on the slot index alone; generations are the registry's business.
void* ecsPoolNew(u32 stride, u32 sparseCapacity, u32 denseCapacity);
void ecsPoolFree(void* pool);
// Dense index: the existing one when present, -1 when out of range or full.
i32 ecsPoolAdd(void* pool, Entity e);
// Both return the entity moved into the freed dense position, or 0. Remove leaves
// component data where it is; RemoveSwap moves the last component along with it.
Entity ecsPoolRemove(void* pool, Entity e);
Entity ecsPoolRemoveSwap(void* pool, Entity e);
void ecsPoolSwapData(void* pool, u32 a, u32 b);

inline u32 ecsEntityIndex(Entity e) { return e & kEcsIndexMask; }
inline u32 ecsEntityGeneration(Entity e) { return e >> kEcsIndexBits; }
inline Entity ecsMakeEntity(u32 index, u32 generation) { return index | (generation << kEcsIndexBits); }

inline EcsPool* ecsPoolHeader(void* pool) { return static_cast<EcsPool*>(pool) - 1; }
inline const EcsPool* ecsPoolHeader(const void* pool) { return static_cast<const EcsPool*>(pool) - 1; }
inline u32 ecsPoolCount(const void* pool) { return pool ? ecsPoolHeader(pool)->denseCount : 0; }
// Bytes of component data before the sparse array, rounded up so that the i32
// entries are aligned whatever the stride.
inline u64 ecsPoolDataBytes(u32 stride, u32 denseCapacity) { return ((u64)denseCapacity * stride + 3) & ~3ull; }
inline i32* ecsPoolSparse(void* pool) {
  EcsPool* h = ecsPoolHeader(pool);
  return reinterpret_cast<i32*>(static_cast<u8*>(pool) + ecsPoolDataBytes(h->stride, h->denseCapacity));
}
inline Entity* ecsPoolDense(void* pool) {
  return reinterpret_cast<Entity*>(ecsPoolSparse(pool) + ecsPoolHeader(pool)->sparseCapacity);
}
// Component number i of the dense array.
inline void* ecsPoolComponent(void* pool, u32 i) {
  return static_cast<u8*>(pool) + (u64)i * ecsPoolHeader(pool)->stride;
}
// Dense index of the slot's component, or -1 (index alone, generation not compared).
inline i32 ecsPoolFind(void* pool, Entity e) {
  if (!pool) return -1;
  u32 idx = ecsEntityIndex(e);
  if (idx >= ecsPoolHeader(pool)->sparseCapacity) return -1;
  return ecsPoolSparse(pool)[idx];
}

inline b8 ecsHas(const Ecs* ecs, u32 sys, Entity e) {
  u32 idx = ecsEntityIndex(e);
  if (!ecs || sys >= ECS_SYS_COUNT || idx >= ecs->capacity || !ecs->bits[sys].words) return false;
  return (ecs->bits[sys].words[idx >> 6] >> (idx & 63)) & 1;
}
inline i32 ecsGet(const Ecs* ecs, u32 sys, Entity e) {
  if (!ecs || sys >= ECS_SYS_COUNT) return -1;
  return ecsPoolFind(ecs->pools[sys], e);
}
// The entity's component in the system, or null.
inline void* ecsGetComponent(const Ecs* ecs, u32 sys, Entity e) {
  i32 d = ecsGet(ecs, sys, e);
  return d < 0 ? nullptr : ecsPoolComponent(ecs->pools[sys], (u32)d);
}

// Reverse maps: key -> entity, 0 for an unknown key or one out of range.
inline Entity ecsReverseGet(const Ecs* ecs, u32 sys, u32 key) {
  if (!ecs || sys >= ECS_SYS_COUNT || !ecs->reverseMap[sys] || key >= ecs->reverseCapacity[sys]) return 0;
  return ecs->reverseMap[sys][key];
}
inline b8 ecsReverseSet(Ecs* ecs, u32 sys, u32 key, Entity e) {
  if (!ecs || sys >= ECS_SYS_COUNT || !ecs->reverseMap[sys] || key >= ecs->reverseCapacity[sys]) return false;
  ecs->reverseMap[sys][key] = e;
  return true;
}
