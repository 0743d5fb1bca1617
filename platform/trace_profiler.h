// Whole-program sampling profiler. Threads register by name; a sampler thread
// interrupts each registered thread with a real-time signal, whose handler walks
// the frame-pointer chain from the interrupted context, and queues the address
// chains for the main thread to turn into flame graphs.
#pragma once

#include "platform/types.h"

inline constexpr u32 TRACE_MAX_FRAMES = 62;
inline constexpr u32 TRACE_QUEUE_CAP = 256;
inline constexpr u32 TRACE_NAME_LEN = 32;

// One stack: items[0] is the interrupted program counter, later ones return
// addresses going outward. The addresses live in the record itself, so queueing
// and popping a sample never allocates.
struct TraceSample {
  u64 threadToken;  // the kernel thread id
  char threadName[TRACE_NAME_LEN];
  u64 count;
  u64 items[TRACE_MAX_FRAMES];
};

// 0 means 5 ms. False (and the profiler stays off) when the signal, the queue
// or the sampler thread cannot be set up.
b8 traceProfilerInit(u64 intervalNs);
// Registers the calling thread. An entry of the same thread, or an inactive one
// of the same name, is reused; a null or empty name becomes "thread-<id>".
void traceProfilerThreadStart(const char* name);
void traceProfilerThreadEnd();
// Copies out and removes the oldest queued sample; false when none is queued.
b8 traceProfilerPopSample(TraceSample* out);
// Appends a sample (at most TRACE_MAX_FRAMES addresses kept); a full queue
// drops its oldest. The sampler's own path, open to tests.
void traceProfilerQueuePush(u64 token, const char* name, const u64* items, u32 count);
// Samples waiting in the queue.
u32 traceProfilerQueuedCount();
// Measured average time between sampling passes (the configured interval before
// any pass), for converting hits to time.
u64 traceProfilerPeriodNs();
// Registry entries in use (active or not), for tests.
u32 traceProfilerEntryCount();
void traceProfilerShutdown();
// While paused the sampler signals nobody and sleeps until resumed: a program
// whose flame graph is off pays nothing for it. Starts unpaused.
void traceProfilerSetPaused(b8 paused);

// Name of the function containing `address` (a program counter; return
// addresses are looked up at address - 1 by the caller). The executable's own
// symbol table first (it names static functions too), then the dynamic linker,
// else "0x%llx". Demangled; results are cached. Main thread only.
const char* traceSymbolName(u64 address);

// For tests: the sampler's interrupt handler; labels containing it end a walk.
void traceSignalHandler(int sig, void* info, void* context);
