#include "platform/memory.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kHeader = sizeof(AllocHeader);
static_assert(kHeader == 16, "the header keeps user pointers 16-byte aligned");

// Budgets are unlimited until memoryInit sets them, so static initialisers may allocate.
Memory gMemory{{0}, ~0ull, ~0ull, {0}, {0}, nullptr, nullptr};

bool fitsBudget(size_t add) {
  size_t used = gMemory.used.load(std::memory_order_relaxed);
  return used <= gMemory.ramLimit && add <= gMemory.ramLimit - used;
}

AllocHeader* headerOf(void* p) { return reinterpret_cast<AllocHeader*>(static_cast<u8*>(p) - kHeader); }

}  // namespace

Memory* memoryInit(u64 ramLimit, u64 vramLimit) {
  gMemory.ramLimit = ramLimit;
  gMemory.vramLimit = vramLimit;
  // `used` is not reset: heap blocks taken before this call (static
  // initialisers, earlier set-up) are still live, and zeroing would make their
  // frees wrap the counter so that every later request fails the budget test.
  gMemory.vramUsed.store(0);
  gMemory.stagingUsed.store(0);
  return &gMemory;
}

Memory* memoryGet() { return &gMemory; }

void* memAlloc(size_t size) {
  if (size == 0 || size > SIZE_MAX - kHeader) return nullptr;
  size_t total = size + kHeader;
  if (!fitsBudget(total)) return nullptr;
  void* block = std::malloc(total);
  if (!block) return nullptr;
  AllocHeader* h = static_cast<AllocHeader*>(block);
  h->size = size;
  h->pad = 0;
  gMemory.used.fetch_add(total);
  return static_cast<u8*>(block) + kHeader;
}

void* memCalloc(size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  size_t bytes = count * size;
  if (bytes > SIZE_MAX - kHeader) return nullptr;
  size_t total = bytes + kHeader;
  if (!fitsBudget(total)) return nullptr;
  void* block = std::calloc(1, total);
  if (!block) return nullptr;
  AllocHeader* h = static_cast<AllocHeader*>(block);
  h->size = bytes;
  gMemory.used.fetch_add(total);
  return static_cast<u8*>(block) + kHeader;
}

void* memRealloc(void* ptr, size_t newSize) {
  if (!ptr) return memAlloc(newSize);
  if (newSize == 0) {
    memFree(ptr);
    return nullptr;
  }
  if (newSize > SIZE_MAX - kHeader) return nullptr;
  AllocHeader* h = headerOf(ptr);
  size_t oldSize = h->size;
  if (newSize > oldSize && !fitsBudget(newSize - oldSize)) return nullptr;
  void* block = std::realloc(h, newSize + kHeader);
  if (!block) return nullptr;
  h = static_cast<AllocHeader*>(block);
  h->size = newSize;
  if (newSize > oldSize)
    gMemory.used.fetch_add(newSize - oldSize);
  else
    gMemory.used.fetch_sub(oldSize - newSize);
  return static_cast<u8*>(block) + kHeader;
}

void memFree(void* ptr) {
  if (!ptr) return;
  AllocHeader* h = headerOf(ptr);
  gMemory.used.fetch_sub(h->size + kHeader);
  std::free(h);
}

void* alignedAlloc(size_t alignment, size_t size) {
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  void* p = nullptr;
  if (posix_memalign(&p, alignment, size ? size : 1) != 0) return nullptr;
  return p;
}

void alignedFree(void* ptr) { std::free(ptr); }
