#include "renderer/vram.h"

#include <gtest/gtest.h>

#include <cstdint>

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

int gIdleWaits = 0;
void countIdleWait(void* context) { gIdleWaits += *static_cast<int*>(context); }

// Out of heap with a frame in flight, a deferred free waits for the device
// through the wait the renderer installs (which takes the queue lock), then
// frees at once.
TEST(Vram, OutOfHeapDeferredFreeWaitsThroughTheInstalledWait) {
  Memory* m = memoryInit(0, ~0ull);
  int one = 1;
  vramSetIdleWait(countIdleWait, &one);
  gIdleWaits = 0;
  gpuSerialBeginFrame();
  ASSERT_GT(gpuSerialCurrent(), gpuSerialDone());
  m->vramUsed.store(16);
  vramDeferFree(VK_NULL_HANDLE, reinterpret_cast<VkDeviceMemory>(uintptr_t{0x10}), 16, false);
  EXPECT_EQ(gIdleWaits, 1);
  EXPECT_EQ(m->vramUsed.load(), 0u) << "freed at once";
  EXPECT_EQ(vramDeferredCount(), 0u);
  vramSetIdleWait(nullptr, nullptr);
  gpuSerialComplete(gpuSerialCurrent());
  memoryInit(~0ull, ~0ull);
}

}  // namespace
