#include "platform/ring.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include <immintrin.h>

#include "platform/memory.h"
#include "platform/threads.h"

static_assert(offsetof(AsyncRing, WritePos) == 64 && offsetof(AsyncRing, ReadPos) == 128 &&
                  offsetof(AsyncRing, WaitSeq) == 192 && sizeof(AsyncRing) == 256,
              "ring fields start their own cache lines");

namespace {

// One per live buffer, so that release unmaps exactly what allocation mapped.
struct CircBufferBacking {
  u8* base;
  u64 size;
  u64 totalLen;
  u32 repCount;
  u8* reserve;
  CircBufferBacking* next;
};

pthread_mutex_t gBackingLock = PTHREAD_MUTEX_INITIALIZER;
CircBufferBacking* gBackings = nullptr;

// The sleeping protocol is a Dekker pair on (position, sleep word), all
// sequentially consistent: a committer stores its position and then reads the
// other side's word; a waiter raises its word and then reads the position.
// Either the committer sees the raised word and wakes the waiter, or the waiter
// sees the new position and does not sleep. Only a raised word is taken, with
// one exchange, so one sleep gets at most one wake-up; a take that lands after
// the waiter raised its word again only makes that wait return at once.
void wakeIfSleeping(AsyncRing* r, std::atomic<u32>* sleepWord, std::atomic<u32>* wakes) {
  if (sleepWord->load(std::memory_order_seq_cst) == 0) return;
  if (sleepWord->exchange(0, std::memory_order_seq_cst) == 0) return;
  r->WaitSeq.fetch_add(1, std::memory_order_relaxed);
  wakes->fetch_add(1, std::memory_order_relaxed);
  wakeOneu32(sleepWord);
}

// The other side usually commits within microseconds: spin briefly before
// paying for a sleep and a wake-up. Only briefly: with more runnable threads
// than cores a longer spin burns the time slice the other side needs (256
// tries instead of 32 cost a third of the throughput with three busy threads
// per core, for little gain when idle).
constexpr int kSpinTries = 32;

// Loops tryOnce until it yields a pointer, sleeping on this side's word between
// tries. tryOnce re-reads the shared position whenever its copy says the
// request cannot be met, so the test after raising the word is a fresh one.
template <typename Try>
u8* waitFor(std::atomic<u32>* sleepWord, std::atomic<u32>* sleeps, Try tryOnce) {
  for (int i = 0; i < kSpinTries; ++i) {
    if (u8* p = tryOnce()) return p;
    _mm_pause();
  }
  for (;;) {
    sleepWord->store(1, std::memory_order_seq_cst);
    sleeps->fetch_add(1, std::memory_order_relaxed);
    if (u8* p = tryOnce()) {
      // Lower the word again; if a committer already took it, its wake-up
      // finds nobody waiting, which is harmless.
      sleepWord->exchange(0, std::memory_order_seq_cst);
      return p;
    }
    while (sleepWord->load(std::memory_order_acquire) != 0) waitu32(sleepWord, 1);
    if (u8* p = tryOnce()) return p;
  }
}

u64 pageSize() {
  long g = sysconf(_SC_PAGESIZE);
  return g > 0 ? (u64)g : 65536;
}

}  // namespace

CircBuffer CircBufferAlloc(u64 MinimumSize, u32 RepCount) {
  CircBuffer out{nullptr, 0, RepCount};
  if (MinimumSize == 0) {
    errno = EINVAL;
    return out;
  }
  u64 g = pageSize();
  if (MinimumSize > ~0ull - (g - 1)) {
    errno = EOVERFLOW;
    return out;
  }
  u64 size = (MinimumSize + g - 1) / g * g;
  u64 maps = 2ull * RepCount + 1;
  if (size > ~0ull / maps) {
    errno = EOVERFLOW;
    return out;
  }
  u64 total = size * maps;

  CircBufferBacking* node = static_cast<CircBufferBacking*>(memCalloc(1, sizeof(CircBufferBacking)));
  if (!node) {
    errno = ENOMEM;
    return out;
  }
  int fd = memfd_create("circbuffer", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, (off_t)size) != 0) {
    if (fd >= 0) close(fd);
    memFree(node);
    errno = ENOMEM;
    return out;
  }
  // Reserve the whole range first; the fixed maps then replace parts of our own
  // reservation, so no other thread can take the addresses in between.
  void* reserve = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserve == MAP_FAILED) {
    close(fd);
    memFree(node);
    errno = ENOMEM;
    return out;
  }
  u8* start = static_cast<u8*>(reserve);
  for (u64 k = 0; k < maps; ++k) {
    void* v = mmap(start + k * size, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
    if (v == MAP_FAILED) {
      munmap(reserve, total);
      close(fd);
      memFree(node);
      errno = ENOMEM;
      return out;
    }
  }
  // The maps keep the memory object alive; the descriptor is not needed.
  close(fd);

  node->base = start + (u64)RepCount * size;
  node->size = size;
  node->totalLen = total;
  node->repCount = RepCount;
  node->reserve = start;
  pthread_mutex_lock(&gBackingLock);
  node->next = gBackings;
  gBackings = node;
  pthread_mutex_unlock(&gBackingLock);
  // A new memory object reads as zeros in every copy; nothing to clear.
  out.Base = node->base;
  out.Size = size;
  return out;
}

void CircBufferDealloc(CircBuffer buf) {
  if (!buf.Base || !buf.Size) return;
  pthread_mutex_lock(&gBackingLock);
  CircBufferBacking** link = &gBackings;
  while (*link && (*link)->base != buf.Base) link = &(*link)->next;
  CircBufferBacking* node = *link;
  if (node) *link = node->next;
  pthread_mutex_unlock(&gBackingLock);
  if (!node) return;
  munmap(node->reserve, node->totalLen);
  memFree(node);
}

AsyncRing AsyncRingAlloc(u64 MinimumSize) {
  AsyncRing r;
  r.Buf = CircBufferAlloc(MinimumSize, 1);
  return r;
}

void AsyncRingDealloc(AsyncRing* r) {
  if (!r) return;
  CircBufferDealloc(r->Buf);
  *r = AsyncRing();
}

u8* AsyncRingWritePtr(AsyncRing* r, u64 len) {
  if (!r || !r->Buf.Base || len == 0 || len > r->Buf.Size) return nullptr;
  const u64 w = r->WritePos.load(std::memory_order_relaxed);
  if (w + len - r->WriteSeenRead > r->Buf.Size) {
    r->WriteSeenRead = r->ReadPos.load(std::memory_order_seq_cst);
    if (w + len - r->WriteSeenRead > r->Buf.Size) return nullptr;
  }
  return r->Buf.Base + w % r->Buf.Size;
}

i32 AsyncRingWriteCommit(AsyncRing* r, u64 len) {
  if (!r) return -1;
  const u64 w = r->WritePos.load(std::memory_order_relaxed);
  if (len > r->Buf.Size - (w - r->WriteSeenRead)) {
    r->WriteSeenRead = r->ReadPos.load(std::memory_order_seq_cst);
    if (len > r->Buf.Size - (w - r->WriteSeenRead)) return -1;
  }
  r->WritePos.store(w + len, std::memory_order_seq_cst);
  wakeIfSleeping(r, &r->ReadSleep, &r->ReadWakes);
  return 0;
}

u8* AsyncRingReadPtr(AsyncRing* r, u64* len) {
  if (!r || !len) return nullptr;
  if (!r->Buf.Base) {
    *len = 0;
    return nullptr;
  }
  const u64 rd = r->ReadPos.load(std::memory_order_relaxed);
  if (r->ReadSeenWrite == rd) {
    r->ReadSeenWrite = r->WritePos.load(std::memory_order_seq_cst);
    if (r->ReadSeenWrite == rd) {
      *len = 0;
      return nullptr;
    }
  }
  const u64 n = r->ReadSeenWrite - rd;
  *len = n < r->Buf.Size ? n : r->Buf.Size;
  return r->Buf.Base + rd % r->Buf.Size;
}

i32 AsyncRingReadCommit(AsyncRing* r, u64 len) {
  if (!r) return -1;
  const u64 rd = r->ReadPos.load(std::memory_order_relaxed);
  if (len > r->ReadSeenWrite - rd) {
    r->ReadSeenWrite = r->WritePos.load(std::memory_order_seq_cst);
    if (len > r->ReadSeenWrite - rd) return -1;
  }
  r->ReadPos.store(rd + len, std::memory_order_seq_cst);
  wakeIfSleeping(r, &r->WriteSleep, &r->WriteWakes);
  return 0;
}

u8* AsyncRingWritePtrWait(AsyncRing* r, u64 len) {
  if (!r || !r->Buf.Base || len == 0 || len > r->Buf.Size) return nullptr;
  return waitFor(&r->WriteSleep, &r->WriteSleeps, [&] { return AsyncRingWritePtr(r, len); });
}

u8* AsyncRingReadPtrWait(AsyncRing* r, u64* len) {
  if (!r || !len) return nullptr;
  if (!r->Buf.Base) {
    *len = 0;
    return nullptr;
  }
  return waitFor(&r->ReadSleep, &r->ReadSleeps, [&] { return AsyncRingReadPtr(r, len); });
}
