#include "platform/threads.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// Lives on the creator's stack until the new thread has copied it, so the
// thread never touches its Thread record and threadDestroy may free it at once.
struct ThreadStart {
  ThreadFn fn;
  void* userData;
  std::atomic<u32> taken;
};

long futex(std::atomic<u32>* addr, int op, u32 val);

void* threadEntry(void* arg) {
  ThreadStart* s = static_cast<ThreadStart*>(arg);
  ThreadFn fn = s->fn;
  void* userData = s->userData;
  s->taken.store(1, std::memory_order_release);
  futex(&s->taken, FUTEX_WAKE_PRIVATE, 1);
  fn(userData);
  return nullptr;
}

static_assert(sizeof(std::atomic<u32>) == sizeof(u32) && std::atomic<u32>::is_always_lock_free,
              "futex waits need a plain 32-bit word");

long futex(std::atomic<u32>* addr, int op, u32 val) {
  return syscall(SYS_futex, reinterpret_cast<u32*>(addr), op, val, nullptr, nullptr, 0);
}

}  // namespace

Thread* threadCreate(ThreadFn fn, void* userData) {
  if (!fn) return nullptr;
  Thread* t = static_cast<Thread*>(std::calloc(1, sizeof(Thread)));
  if (!t) return nullptr;
  t->fn = fn;
  t->userData = userData;
  ThreadStart start{fn, userData, {0}};
  if (pthread_create(&t->handle, nullptr, threadEntry, &start) != 0) {
    std::free(t);
    return nullptr;
  }
  while (start.taken.load(std::memory_order_acquire) == 0) futex(&start.taken, FUTEX_WAIT_PRIVATE, 0);
  return t;
}

i32 threadJoin(Thread* t) {
  if (!t) return -1;
  if (t->joined) return -1;
  if (pthread_join(t->handle, nullptr) != 0) return -1;
  t->joined = true;
  return 0;
}

i32 threadDestroy(Thread* t) {
  if (!t) return -1;
  // A thread never joined is detached so that its resources go when it ends.
  if (!t->joined) pthread_detach(t->handle);
  std::free(t);
  return 0;
}

u64 threadCurrentToken() { return (u64)gettid(); }

void threadYield() { sched_yield(); }

pthread_t* threadPlatHandle(Thread* t) { return t ? &t->handle : nullptr; }

i32 threadMutexInit(ThreadMutex* m) {
  if (!m) return -1;
  pthread_mutexattr_t a;
  if (pthread_mutexattr_init(&a) != 0) return -1;
  pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
  int r = pthread_mutex_init(&m->m, &a);
  pthread_mutexattr_destroy(&a);
  return r == 0 ? 0 : -1;
}

i32 threadMutexDestroy(ThreadMutex* m) {
  if (!m) return -1;
  return pthread_mutex_destroy(&m->m) == 0 ? 0 : -1;
}

i32 threadMutexLock(ThreadMutex* m) {
  if (!m) return -1;
  return pthread_mutex_lock(&m->m) == 0 ? 0 : -1;
}

i32 threadMutexUnlock(ThreadMutex* m) {
  if (!m) return -1;
  return pthread_mutex_unlock(&m->m) == 0 ? 0 : -1;
}

i32 threadMutexTryLock(ThreadMutex* m) {
  if (!m) return -1;
  return pthread_mutex_trylock(&m->m) == 0 ? 0 : -1;
}

i32 threadCondInit(ThreadCond* c) {
  if (!c) return -1;
  return pthread_cond_init(&c->c, nullptr) == 0 ? 0 : -1;
}

i32 threadCondSignal(ThreadCond* c) {
  if (!c) return -1;
  return pthread_cond_signal(&c->c) == 0 ? 0 : -1;
}

i32 threadCondBroadcast(ThreadCond* c) {
  if (!c) return -1;
  return pthread_cond_broadcast(&c->c) == 0 ? 0 : -1;
}

i32 threadCondWait(ThreadCond* c, ThreadMutex* m) {
  if (!c || !m) return -1;
  return pthread_cond_wait(&c->c, &m->m) == 0 ? 0 : -1;
}

i32 threadCondDestroy(ThreadCond* c) {
  if (!c) return -1;
  pthread_cond_destroy(&c->c);
  return 0;
}

i32 waitu32(std::atomic<u32>* addr, u32 expected) {
  if (!addr) return -1;
  // EAGAIN (value already changed) and EINTR are the allowed spurious returns.
  futex(addr, FUTEX_WAIT_PRIVATE, expected);
  return 0;
}

i32 wakeOneu32(std::atomic<u32>* addr) {
  if (!addr) return -1;
  return futex(addr, FUTEX_WAKE_PRIVATE, 1) < 0 ? -1 : 0;
}
