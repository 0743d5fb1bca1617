#include "platform/trace_profiler.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/memory.h"
#include "platform/profiler_hook.h"

namespace {

// Entries live in one fixed array so that a thread's pointer to its own entry
// never dangles; a program has a handful of named threads.
constexpr u32 kMaxThreads = 64;
// How long the sampler waits for a handler before giving up on that thread for
// this pass (a thread whose handler is still pending is not signalled again).
constexpr u64 kHandlerWaitNs = 2'000'000;

struct TraceThreadEntry {
  u64 token;
  pthread_t handle;
  char name[TRACE_NAME_LEN];
  u64 stackTop;  // one past the highest stack byte, noted at registration
  u64 items[TRACE_MAX_FRAMES];
  std::atomic<u32> count;
  std::atomic<u32> seq;
  u32 consumedSeq;
  std::atomic<u32> pending;  // signal sent, handler not finished; a futex word
  std::atomic<b8> active;
};

static_assert(sizeof(std::atomic<u32>) == sizeof(u32), "pending is waited on as a futex");
TraceThreadEntry gThreads[kMaxThreads];
u32 gThreadCount;  // under gThreadsMu
std::mutex gThreadsMu;

std::mutex gQueueMu;
TraceSample* gQueue;
u32 gQueueHead, gQueueCount;

std::atomic<b8> gProfilerReady{false};
std::atomic<b8> gProfilerRunning{false};
std::atomic<u32> gPaused{0};  // a futex word the sampler sleeps on
u64 gSampleIntervalNs;
std::atomic<u64> gPeriodNs{0};
pthread_t gSamplerThread;
int gSignal;
struct sigaction gOldAction;

thread_local TraceThreadEntry* gTlsEntry __attribute__((tls_model("initial-exec")));

u64 monoNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (u64)ts.tv_sec * 1'000'000'000ull + (u64)ts.tv_nsec;
}

u64 currentTid() { return (u64)syscall(SYS_gettid); }

u64 currentStackTop() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* addr = nullptr;
  size_t size = 0;
  u64 top = 0;
  if (pthread_attr_getstack(&attr, &addr, &size) == 0) top = (u64)addr + size;
  pthread_attr_destroy(&attr);
  return top;
}

void copyName(char* dst, const char* name, u64 tid) {
  if (name && name[0]) {
    std::snprintf(dst, TRACE_NAME_LEN, "%s", name);
  } else {
    std::snprintf(dst, TRACE_NAME_LEN, "thread-%llu", (unsigned long long)tid);
  }
}

// Walks the frame-pointer chain of the interrupted code. Every frame pointer
// must be 8-byte aligned, at or above the interrupted stack pointer, below the
// stack top and above the previous one, so a frame pointer holding garbage
// (code built without them) ends the walk instead of faulting. Reads only the
// thread's own live stack; never allocates, locks or names anything.
__attribute__((no_sanitize("address", "thread"))) u32 walkInterrupted(const ucontext_t* uc, u64 top,
                                                                      u64* out) {
  u64 pc = 0, fp = 0, sp = 0;
#if defined(__x86_64__)
  pc = (u64)uc->uc_mcontext.gregs[REG_RIP];
  fp = (u64)uc->uc_mcontext.gregs[REG_RBP];
  sp = (u64)uc->uc_mcontext.gregs[REG_RSP];
#elif defined(__aarch64__)
  pc = (u64)uc->uc_mcontext.pc;
  fp = (u64)uc->uc_mcontext.regs[29];
  sp = (u64)uc->uc_mcontext.sp;
#else
  (void)uc;
#endif
  u32 n = 0;
  if (pc == 0) return 0;
  out[n++] = pc;
  while (n < TRACE_MAX_FRAMES) {
    if (top == 0 || (fp & 7u) != 0 || fp < sp || fp > top - 16) break;
    const u64* frame = (const u64*)fp;
    const u64 next = frame[0];
    const u64 ret = frame[1];
    if (ret == 0) break;
    out[n++] = ret;
    if (next <= fp) break;
    fp = next;
  }
  return n;
}

void* samplerMain(void*) {
  u64 passes = 0;
  u64 start = monoNs();
  u64 next = start;
  while (gProfilerRunning.load(std::memory_order_acquire)) {
    if (gPaused.load(std::memory_order_acquire)) {
      while (gPaused.load(std::memory_order_acquire) && gProfilerRunning.load(std::memory_order_acquire))
        syscall(SYS_futex, (u32*)&gPaused, FUTEX_WAIT_PRIVATE, 1u, nullptr, nullptr, 0);
      // The period is measured over sampling time only.
      passes = 0;
      start = next = monoNs();
      continue;
    }
    // Passes on an absolute grid, so the work of a pass does not stretch the period.
    next += gSampleIntervalNs;
    const u64 now = monoNs();
    if (next > now) {
      timespec ts{(time_t)(next / 1'000'000'000ull), (long)(next % 1'000'000'000ull)};
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
      }
    } else {
      next = now;  // fell behind: do not burst to catch up
    }
    if (!gProfilerRunning.load(std::memory_order_acquire)) break;

    std::lock_guard<std::mutex> reg(gThreadsMu);
    const u64 self = currentTid();
    for (u32 i = 0; i < gThreadCount; ++i) {
      TraceThreadEntry* e = &gThreads[i];
      if (!e->active.load(std::memory_order_acquire) || e->token == self) continue;
      if (e->pending.load(std::memory_order_acquire)) continue;  // an earlier signal still outstanding
      e->pending.store(1, std::memory_order_release);
      if (pthread_kill(e->handle, gSignal) != 0) {
        e->pending.store(0, std::memory_order_release);
        continue;
      }
      const u64 deadline = monoNs() + kHandlerWaitNs;
      // Sleep rather than spin: on a busy machine the thread may first have to be
      // scheduled, and a spinning sampler would take its processor.
      for (u64 now2 = monoNs(); e->pending.load(std::memory_order_acquire) && now2 < deadline; now2 = monoNs()) {
        const u64 left = deadline - now2;
        timespec wait{0, (long)left};
        syscall(SYS_futex, (u32*)&e->pending, FUTEX_WAIT_PRIVATE, 1u, &wait, nullptr, 0);
      }
      if (e->pending.load(std::memory_order_acquire)) continue;
      const u32 seq = e->seq.load(std::memory_order_acquire);
      const u32 count = e->count.load(std::memory_order_acquire);
      if (seq == e->consumedSeq || count == 0) continue;
      e->consumedSeq = seq;
      traceProfilerQueuePush(e->token, e->name, e->items, count);
    }
    ++passes;
    gPeriodNs.store((monoNs() - start) / passes, std::memory_order_relaxed);
  }
  return nullptr;
}

void hookStart(const char* name) { traceProfilerThreadStart(name); }
void hookEnd() { traceProfilerThreadEnd(); }

}  // namespace

void traceSignalHandler(int, void*, void* context) {
  const int savedErrno = errno;
  TraceThreadEntry* e = gTlsEntry;
  if (e && e->pending.load(std::memory_order_acquire)) {
    const u32 n = walkInterrupted((const ucontext_t*)context, e->stackTop, e->items);
    e->count.store(n, std::memory_order_release);
    if (n) e->seq.fetch_add(1, std::memory_order_acq_rel);
    e->pending.store(0, std::memory_order_release);
    syscall(SYS_futex, (u32*)&e->pending, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
  errno = savedErrno;
}

namespace {
void signalTrampoline(int sig, siginfo_t* info, void* context) { traceSignalHandler(sig, info, context); }
}  // namespace

b8 traceProfilerInit(u64 intervalNs) {
  if (gProfilerReady.load()) return true;
  gSampleIntervalNs = intervalNs ? intervalNs : 5'000'000ull;
  gPeriodNs.store(gSampleIntervalNs);
  gQueue = (TraceSample*)memCalloc(TRACE_QUEUE_CAP, sizeof(TraceSample));
  if (!gQueue) return false;
  gQueueHead = gQueueCount = 0;
  gSignal = SIGRTMIN + 4;
  struct sigaction sa {};
  sa.sa_sigaction = signalTrampoline;
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&sa.sa_mask);
  if (sigaction(gSignal, &sa, &gOldAction) != 0) {
    memFree(gQueue);
    gQueue = nullptr;
    return false;
  }
  gProfilerRunning.store(true, std::memory_order_release);
  if (pthread_create(&gSamplerThread, nullptr, samplerMain, nullptr) != 0) {
    gProfilerRunning.store(false);
    sigaction(gSignal, &gOldAction, nullptr);
    memFree(gQueue);
    gQueue = nullptr;
    return false;
  }
  pthread_setname_np(gSamplerThread, "sampler");
  gProfilerReady.store(true, std::memory_order_release);
  profilerHookInstall(hookStart, hookEnd);
  return true;
}

void traceProfilerThreadStart(const char* name) {
  if (!gProfilerReady.load(std::memory_order_acquire)) return;
  const u64 tid = currentTid();
  char wanted[TRACE_NAME_LEN];
  copyName(wanted, name, tid);
  std::lock_guard<std::mutex> reg(gThreadsMu);
  TraceThreadEntry* found = nullptr;
  for (u32 i = 0; i < gThreadCount && !found; ++i)
    if (gThreads[i].token == tid && gThreads[i].active.load()) found = &gThreads[i];
  // A restarted thread of the same name takes its old entry (and panel).
  for (u32 i = 0; i < gThreadCount && !found; ++i)
    if (!gThreads[i].active.load() && std::strcmp(gThreads[i].name, wanted) == 0) found = &gThreads[i];
  if (!found) {
    if (gThreadCount == kMaxThreads) return;  // not sampled, otherwise unaffected
    found = &gThreads[gThreadCount++];
    found->seq.store(0);
    found->consumedSeq = 0;
  }
  if (name && name[0]) std::memcpy(found->name, wanted, TRACE_NAME_LEN);
  else if (!found->name[0]) std::memcpy(found->name, wanted, TRACE_NAME_LEN);
  found->token = tid;
  found->handle = pthread_self();
  found->stackTop = currentStackTop();
  found->count.store(0);
  found->pending.store(0);
  gTlsEntry = found;
  found->active.store(true, std::memory_order_release);
}

void traceProfilerThreadEnd() {
  TraceThreadEntry* e = gTlsEntry;
  if (!e) return;
  // Under the registry lock, so the sampler never signals a thread past this point.
  std::lock_guard<std::mutex> reg(gThreadsMu);
  e->active.store(false, std::memory_order_release);
  gTlsEntry = nullptr;
}

b8 traceProfilerPopSample(TraceSample* out) {
  if (!gProfilerReady.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> q(gQueueMu);
  if (!gQueue || gQueueCount == 0) return false;
  const TraceSample& s = gQueue[gQueueHead];
  out->threadToken = s.threadToken;
  std::memcpy(out->threadName, s.threadName, TRACE_NAME_LEN);
  out->count = s.count;
  std::memcpy(out->items, s.items, sizeof(u64) * s.count);
  gQueueHead = (gQueueHead + 1) % TRACE_QUEUE_CAP;
  --gQueueCount;
  return true;
}

void traceProfilerQueuePush(u64 token, const char* name, const u64* items, u32 count) {
  std::lock_guard<std::mutex> q(gQueueMu);
  if (!gQueue) return;
  if (gQueueCount == TRACE_QUEUE_CAP) {  // full: the oldest goes
    gQueueHead = (gQueueHead + 1) % TRACE_QUEUE_CAP;
    --gQueueCount;
  }
  TraceSample* s = &gQueue[(gQueueHead + gQueueCount) % TRACE_QUEUE_CAP];
  s->threadToken = token;
  copyName(s->threadName, name, token);
  s->count = std::min<u32>(count, TRACE_MAX_FRAMES);
  std::memcpy(s->items, items, sizeof(u64) * s->count);
  ++gQueueCount;
}

u32 traceProfilerQueuedCount() {
  std::lock_guard<std::mutex> q(gQueueMu);
  return gQueueCount;
}

u64 traceProfilerPeriodNs() { return gPeriodNs.load(std::memory_order_relaxed); }

void traceProfilerSetPaused(b8 paused) {
  gPaused.store(paused ? 1u : 0u, std::memory_order_release);
  if (!paused) syscall(SYS_futex, (u32*)&gPaused, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

u32 traceProfilerEntryCount() {
  std::lock_guard<std::mutex> reg(gThreadsMu);
  return gThreadCount;
}

void traceProfilerShutdown() {
  if (!gProfilerReady.load()) return;
  profilerHookInstall(nullptr, nullptr);
  gProfilerRunning.store(false, std::memory_order_release);
  gPaused.store(0, std::memory_order_release);
  syscall(SYS_futex, (u32*)&gPaused, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  pthread_join(gSamplerThread, nullptr);
  {
    std::lock_guard<std::mutex> reg(gThreadsMu);
    for (u32 i = 0; i < gThreadCount; ++i) gThreads[i].active.store(false);
    gThreadCount = 0;
  }
  {
    std::lock_guard<std::mutex> q(gQueueMu);
    memFree(gQueue);
    gQueue = nullptr;
    gQueueCount = gQueueHead = 0;
  }
  // The handler stays installed (a late signal then finds no entry and returns).
  gProfilerReady.store(false, std::memory_order_release);
}
