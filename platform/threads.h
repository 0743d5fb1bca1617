// Threads, a recursive mutex, condition variables and 32-bit address waits.
// Every i32 result is 0 on success and -1 for a null argument or a failed call.
#pragma once

#include <pthread.h>

#include <atomic>

#include "platform/types.h"

// The result of a thread function is ignored.
using ThreadFn = i32 (*)(void* userData);

// Lives on the system heap, not the accounted one: threads may outlive budgets.
struct Thread {
  pthread_t handle;
  ThreadFn fn;
  void* userData;
  b8 joined;  // a joined handle must not be detached
};

// Recursive: the owning thread may lock it again.
struct ThreadMutex {
  pthread_mutex_t m;
};

struct ThreadCond {
  pthread_cond_t c;
};

// Starts fn(userData) on a new thread; null when the thread cannot start.
Thread* threadCreate(ThreadFn fn, void* userData);
// Waits without limit for the thread to end.
i32 threadJoin(Thread* t);
// Frees the record without waiting; a thread not joined before is detached.
i32 threadDestroy(Thread* t);
// Gives the processor to another ready thread.
void threadYield();
// Identifier of the calling thread (its kernel thread id).
u64 threadCurrentToken();
// Address of the thread's pthread_t (for signalling it), null for null.
pthread_t* threadPlatHandle(Thread* t);

i32 threadMutexInit(ThreadMutex* m);
i32 threadMutexDestroy(ThreadMutex* m);
i32 threadMutexLock(ThreadMutex* m);
i32 threadMutexUnlock(ThreadMutex* m);
// 0 when acquired, -1 when another thread holds it.
i32 threadMutexTryLock(ThreadMutex* m);

i32 threadCondInit(ThreadCond* c);
i32 threadCondSignal(ThreadCond* c);
i32 threadCondBroadcast(ThreadCond* c);
// Releases the mutex (held once by the caller), waits, and takes it back.
i32 threadCondWait(ThreadCond* c, ThreadMutex* m);
i32 threadCondDestroy(ThreadCond* c);

// Blocks while *addr equals expected; may return spuriously, so callers loop.
i32 waitu32(std::atomic<u32>* addr, u32 expected);
// Wakes one thread blocked in waitu32 on addr.
i32 wakeOneu32(std::atomic<u32>* addr);
