// Accounted heap with a hard RAM budget, and the GPU memory counters.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/types.h"

struct VkDevice_T;
struct VkPhysicalDevice_T;

struct Memory {
  std::atomic<size_t> used;  // heap bytes accounted, headers included
  u64 ramLimit;
  u64 vramLimit;
  std::atomic<size_t> vramUsed;
  std::atomic<size_t> stagingUsed;
  VkDevice_T* device;  // set by the VRAM accounting
  VkPhysicalDevice_T* physicalDevice;
};

// Placed before every block handed out; keeps the user pointer 16-byte aligned.
struct AllocHeader {
  size_t size;
  size_t pad;
};

// Stores both limits, zeroes the GPU counters and returns the process-wide
// record; `used` keeps counting heap blocks that are already live.
Memory* memoryInit(u64 ramLimit, u64 vramLimit);
// The process-wide record (valid before memoryInit too, with unlimited budgets).
Memory* memoryGet();

// Null for size 0, past the budget, or when size + 16 overflows.
void* memAlloc(size_t size);
// Zero-filled; a zero total still gives a header-only block. Null when count * size overflows.
void* memCalloc(size_t count, size_t size);
// Null ptr: memAlloc. newSize 0: frees and returns null. On failure the old block stays valid.
void* memRealloc(void* ptr, size_t newSize);
void memFree(void* ptr);

// Unaccounted aligned allocation for the GPU side.
void* alignedAlloc(size_t alignment, size_t size);
void alignedFree(void* ptr);
