#include "renderer/vram.h"

#include <gtest/gtest.h>

#include "platform/memory.h"

namespace {

TEST(Vram, RefusesPastTheLimitWithoutTouchingCounters) {
  Memory* m = memoryInit(1ull << 30, 4096);
  m->vramUsed.store(1000);
  m->stagingUsed.store(500);
  VkMemoryAllocateInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  ai.allocationSize = 3097;
  VkDeviceMemory mem = VK_NULL_HANDLE;
  EXPECT_EQ(vramAlloc(&ai, &mem), VK_ERROR_OUT_OF_DEVICE_MEMORY);
  EXPECT_EQ((int)VK_ERROR_OUT_OF_DEVICE_MEMORY, -2);
  EXPECT_EQ(mem, VK_NULL_HANDLE);
  EXPECT_EQ(m->vramUsed.load(), 1000u);
  EXPECT_EQ(m->stagingUsed.load(), 500u);
  memoryInit(~0ull, ~0ull);
}

TEST(Vram, FreeOfNullIsNothing) {
  Memory* m = memoryInit(~0ull, ~0ull);
  m->vramUsed.store(64);
  vramFree(VK_NULL_HANDLE, 64, true);
  EXPECT_EQ(m->vramUsed.load(), 64u);
  m->vramUsed.store(0);
}

}  // namespace
