#include "ecs/ecs.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/memory.h"

namespace {

struct Registry : ::testing::Test {
  Ecs ecs;
  size_t usedBefore = 0;
  void SetUp() override {
    usedBefore = memoryGet()->used.load();
    ASSERT_TRUE(ecsInit(&ecs, 1000));
  }
  void TearDown() override {
    ecsDestroy(&ecs);
    EXPECT_EQ(memoryGet()->used.load(), usedBefore);  // everything released
  }
};

TEST_F(Registry, IdentifiersCarryGenerationsAndStaleOnesAreRejected) {
  Entity a = ecsCreate(&ecs);
  EXPECT_EQ(a, 1u);
  EXPECT_TRUE(ecsIsAlive(&ecs, a));
  ecsEntityDestroy(&ecs, a);
  EXPECT_FALSE(ecsIsAlive(&ecs, a));
  Entity b = ecsCreate(&ecs);
  EXPECT_EQ(b, 1048577u);  // index 1, generation 1
  // The stale identifier neither reports alive nor destroys the new entity.
  EXPECT_FALSE(ecsIsAlive(&ecs, a));
  ecsEntityDestroy(&ecs, a);
  EXPECT_TRUE(ecsIsAlive(&ecs, b));
  EXPECT_EQ(ecs.aliveCount, 1u);
  EXPECT_FALSE(ecsIsAlive(&ecs, 0));
  EXPECT_FALSE(ecsIsAlive(&ecs, 5000));  // index beyond capacity
  ecsEntityDestroy(&ecs, 5000);
}

TEST_F(Registry, GenerationWrapsAfter4096Cycles) {
  Entity e = ecsCreate(&ecs);
  for (int i = 0; i < 4096; ++i) {
    ecsEntityDestroy(&ecs, e);
    e = ecsCreate(&ecs);
  }
  EXPECT_EQ(ecsEntityIndex(e), 1u);
  EXPECT_EQ(ecsEntityGeneration(e), 0u);
}

TEST_F(Registry, FreedIndicesReusedLastFirstAndCapacityExhausts) {
  std::vector<Entity> es;
  for (;;) {
    Entity e = ecsCreate(&ecs);
    if (!e) break;
    es.push_back(e);
  }
  EXPECT_EQ(es.size(), 999u);  // index 0 is never handed out
  ecsEntityDestroy(&ecs, es[10]);
  ecsEntityDestroy(&ecs, es[20]);
  EXPECT_EQ(ecsEntityIndex(ecsCreate(&ecs)), ecsEntityIndex(es[20]));
  EXPECT_EQ(ecsEntityIndex(ecsCreate(&ecs)), ecsEntityIndex(es[10]));
  EXPECT_EQ(ecsCreate(&ecs), 0u);
}

TEST_F(Registry, AttachTwiceGivesSameIndexAndFullPoolFails) {
  ASSERT_TRUE(ecsRegister(&ecs, ECS_SYS_MODEL, sizeof(u64), 2));
  EXPECT_FALSE(ecsRegister(&ecs, ECS_SYS_MODEL, sizeof(u64), 2));
  Entity a = ecsCreate(&ecs), b = ecsCreate(&ecs), c = ecsCreate(&ecs);
  EXPECT_EQ(ecsAttach(&ecs, ECS_SYS_MODEL, a), 0);
  EXPECT_EQ(ecsAttach(&ecs, ECS_SYS_MODEL, a), 0);
  EXPECT_EQ(ecsAttach(&ecs, ECS_SYS_MODEL, b), 1);
  EXPECT_EQ(ecsAttach(&ecs, ECS_SYS_MODEL, c), -1);
  EXPECT_FALSE(ecsHas(&ecs, ECS_SYS_MODEL, c));
  EXPECT_EQ(ecsAttach(&ecs, ECS_SYS_POSE, a), -1);  // not registered
  EXPECT_TRUE(ecsHas(&ecs, ECS_SYS_MODEL, a));
}

TEST_F(Registry, RemovingTheMiddleComponentMovesTheLastIntoItsPlace) {
  ASSERT_TRUE(ecsRegister(&ecs, ECS_SYS_POSE, sizeof(u64), 8));
  Entity e[3];
  for (int i = 0; i < 3; ++i) {
    e[i] = ecsCreate(&ecs);
    i32 d = ecsAttach(&ecs, ECS_SYS_POSE, e[i]);
    *static_cast<u64*>(ecsPoolComponent(ecs.pools[ECS_SYS_POSE], (u32)d)) = 100 + i;
  }
  EXPECT_EQ(ecsDetach(&ecs, ECS_SYS_POSE, e[1]), e[2]);
  void* pool = ecs.pools[ECS_SYS_POSE];
  EXPECT_EQ(ecsPoolCount(pool), 2u);
  EXPECT_EQ(ecsGet(&ecs, ECS_SYS_POSE, e[2]), 1);
  EXPECT_EQ(*static_cast<u64*>(ecsGetComponent(&ecs, ECS_SYS_POSE, e[2])), 102u);
  EXPECT_EQ(ecsGet(&ecs, ECS_SYS_POSE, e[1]), -1);
  EXPECT_FALSE(ecsHas(&ecs, ECS_SYS_POSE, e[1]));
  // Removing the last one moves nothing.
  EXPECT_EQ(ecsDetach(&ecs, ECS_SYS_POSE, e[2]), 0u);
  EXPECT_EQ(ecsDetach(&ecs, ECS_SYS_POSE, e[2]), 0u);  // absent
}

TEST(EcsPool, RemoveWithoutSwapKeepsDataAndLargeStridesSwapWhole) {
  const u32 stride = 600;  // larger than the swap buffer
  void* pool = ecsPoolNew(stride, 16, 4);
  ASSERT_NE(pool, nullptr);
  for (u32 i = 1; i <= 3; ++i) {
    ASSERT_EQ(ecsPoolAdd(pool, i), (i32)i - 1);
    memset(ecsPoolComponent(pool, i - 1), (int)i, stride);
  }
  EXPECT_EQ(ecsPoolAdd(pool, 16), -1);  // beyond the sparse capacity
  ecsPoolSwapData(pool, 0, 2);
  const u8* c0 = static_cast<u8*>(ecsPoolComponent(pool, 0));
  const u8* c2 = static_cast<u8*>(ecsPoolComponent(pool, 2));
  for (u32 k = 0; k < stride; ++k) {
    ASSERT_EQ(c0[k], 3);
    ASSERT_EQ(c2[k], 1);
  }
  // Without swap, entity 3 takes position 0 but the data there stays.
  EXPECT_EQ(ecsPoolRemove(pool, 1), 3u);
  EXPECT_EQ(ecsPoolFind(pool, 3), 0);
  EXPECT_EQ(c0[0], 3);
  EXPECT_EQ(ecsPoolDense(pool)[0], 3u);
  ecsPoolFree(pool);
}

// Strides times capacities that are not multiples of 4 must not misalign the
// i32 sparse array or the entity array after it.
TEST(EcsPool, SparseAndDenseArraysStayAlignedForOddStrides) {
  struct Case { u32 stride, dense; } cases[] = {{1, 3}, {3, 5}, {6, 3}, {7, 1}, {13, 9}};
  for (const Case& k : cases) {
    void* pool = ecsPoolNew(k.stride, 16, k.dense);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ecsPoolSparse(pool)) % alignof(i32), 0u) << k.stride << "x" << k.dense;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ecsPoolDense(pool)) % alignof(Entity), 0u);
    for (u32 e = 1; e <= k.dense; ++e) {
      ASSERT_EQ(ecsPoolAdd(pool, e), (i32)e - 1);
      memset(ecsPoolComponent(pool, e - 1), 0xEE, k.stride);  // component bytes never reach the sparse array
    }
    for (u32 e = 1; e <= k.dense; ++e) EXPECT_EQ(ecsPoolFind(pool, e), (i32)e - 1);
    EXPECT_EQ(ecsPoolFind(pool, 0), -1);
    ecsPoolFree(pool);
  }
}

TEST_F(Registry, QueryReturnsHoldersOfEverySystemInIndexOrder) {
  ASSERT_TRUE(ecsRegister(&ecs, ECS_SYS_MODEL, 4, 600));
  ASSERT_TRUE(ecsRegister(&ecs, ECS_SYS_PHYSICS_BODY, 4, 600));
  std::vector<Entity> expected;
  std::vector<Entity> all;
  for (u32 i = 0; i < 600; ++i) all.push_back(ecsCreate(&ecs));
  // Attach in reverse so that dense order differs from index order.
  for (u32 i = 600; i-- > 0;) {
    if (i % 2 == 0) ecsAttach(&ecs, ECS_SYS_MODEL, all[i]);
    if (i % 3 == 0) ecsAttach(&ecs, ECS_SYS_PHYSICS_BODY, all[i]);
  }
  ecsEntityDestroy(&ecs, all[6]);  // leaves both systems
  for (u32 i = 0; i < 600; ++i)
    if (i % 6 == 0 && i != 6) expected.push_back(all[i]);
  const u32 mask = (1u << ECS_SYS_MODEL) | (1u << ECS_SYS_PHYSICS_BODY);
  std::vector<Entity> out(1000);
  u32 n = ecsQuery(&ecs, mask, out.data(), 1000);
  out.resize(n);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(ecsQuery(&ecs, mask, out.data(), 3), 3u);
  EXPECT_EQ(ecsQuery(&ecs, 0, out.data(), 10), 0u);
  EXPECT_EQ(ecsQuery(&ecs, mask, out.data(), 0), 0u);
}

TEST_F(Registry, ReverseMapsAreBoundsChecked) {
  EXPECT_EQ(ecsReverseGet(&ecs, ECS_SYS_PHYSICS_BODY, 0), 0u);
  ASSERT_TRUE(ecsRegisterReverse(&ecs, ECS_SYS_PHYSICS_BODY, 64));
  Entity e = ecsCreate(&ecs);
  EXPECT_TRUE(ecsReverseSet(&ecs, ECS_SYS_PHYSICS_BODY, 63, e));
  EXPECT_FALSE(ecsReverseSet(&ecs, ECS_SYS_PHYSICS_BODY, 64, e));
  EXPECT_EQ(ecsReverseGet(&ecs, ECS_SYS_PHYSICS_BODY, 63), e);
  EXPECT_EQ(ecsReverseGet(&ecs, ECS_SYS_PHYSICS_BODY, 64), 0u);
}

TEST(EcsInit, CapacityClampedAndSmallRegistriesWork) {
  Ecs big;
  ASSERT_TRUE(ecsInit(&big, 0xFFFFFFFF));
  EXPECT_EQ(big.capacity, 1u << 20);
  EXPECT_EQ(big.bits[0].wordCount, (1u << 20) / 64);
  ecsDestroy(&big);
  Ecs tiny;
  ASSERT_TRUE(ecsInit(&tiny, 2));
  EXPECT_EQ(tiny.bits[0].wordCount, 4u);
  EXPECT_EQ(ecsCreate(&tiny), 1u);
  EXPECT_EQ(ecsCreate(&tiny), 0u);
  ecsDestroy(&tiny);
}

}  // namespace
