#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/threads.h"

namespace {

struct Shared {
  ThreadMutex mutex;
  ThreadCond cond;
  int counter = 0;
  bool ready = false;
  std::atomic<u32> word{0};
  std::atomic<i32> tryResult{0};
};

i32 addMany(void* p) {
  Shared* s = static_cast<Shared*>(p);
  for (int i = 0; i < 10000; ++i) {
    threadMutexLock(&s->mutex);
    threadMutexLock(&s->mutex);  // recursive
    ++s->counter;
    threadMutexUnlock(&s->mutex);
    threadMutexUnlock(&s->mutex);
  }
  return 0;
}

TEST(Threads, RecursiveMutexSerialisesTwoThreads) {
  Shared s;
  ASSERT_EQ(threadMutexInit(&s.mutex), 0);
  Thread* a = threadCreate(addMany, &s);
  Thread* b = threadCreate(addMany, &s);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(threadPlatHandle(a), nullptr);
  EXPECT_EQ(threadPlatHandle(nullptr), nullptr);
  EXPECT_EQ(threadJoin(a), 0);
  EXPECT_EQ(threadJoin(b), 0);
  EXPECT_EQ(threadDestroy(a), 0);
  EXPECT_EQ(threadDestroy(b), 0);
  EXPECT_EQ(s.counter, 20000);
  EXPECT_EQ(threadMutexDestroy(&s.mutex), 0);
}

i32 tryFromOther(void* p) {
  Shared* s = static_cast<Shared*>(p);
  i32 r = threadMutexTryLock(&s->mutex);
  s->tryResult.store(r);
  if (r == 0) threadMutexUnlock(&s->mutex);
  return 0;
}

TEST(Threads, TryLockIsBusyWhileAnotherThreadHolds) {
  Shared s;
  threadMutexInit(&s.mutex);
  ASSERT_EQ(threadMutexLock(&s.mutex), 0);
  EXPECT_EQ(threadMutexTryLock(&s.mutex), 0);  // the owner may take it again
  Thread* t = threadCreate(tryFromOther, &s);
  threadJoin(t);
  threadDestroy(t);
  EXPECT_EQ(s.tryResult.load(), -1);
  threadMutexUnlock(&s.mutex);
  threadMutexUnlock(&s.mutex);
  t = threadCreate(tryFromOther, &s);
  threadJoin(t);
  threadDestroy(t);
  EXPECT_EQ(s.tryResult.load(), 0);
  threadMutexDestroy(&s.mutex);
}

i32 signalReady(void* p) {
  Shared* s = static_cast<Shared*>(p);
  nanoSleep(2000000);
  threadMutexLock(&s->mutex);
  s->ready = true;
  threadCondSignal(&s->cond);
  threadMutexUnlock(&s->mutex);
  return 0;
}

TEST(Threads, ConditionWaitWakesOnSignal) {
  Shared s;
  threadMutexInit(&s.mutex);
  threadCondInit(&s.cond);
  Thread* t = threadCreate(signalReady, &s);
  threadMutexLock(&s.mutex);
  while (!s.ready) ASSERT_EQ(threadCondWait(&s.cond, &s.mutex), 0);
  threadMutexUnlock(&s.mutex);
  threadJoin(t);
  threadDestroy(t);
  EXPECT_EQ(threadCondDestroy(&s.cond), 0);
  threadMutexDestroy(&s.mutex);
}

i32 bumpWord(void* p) {
  Shared* s = static_cast<Shared*>(p);
  nanoSleep(2000000);
  s->word.store(1, std::memory_order_release);
  wakeOneu32(&s->word);
  return 0;
}

TEST(Threads, AddressWaitReturnsAfterWake) {
  Shared s;
  Thread* t = threadCreate(bumpWord, &s);
  while (s.word.load(std::memory_order_acquire) == 0) waitu32(&s.word, 0);
  EXPECT_EQ(s.word.load(), 1u);
  // A wait on a value that already differs returns at once.
  EXPECT_EQ(waitu32(&s.word, 0), 0);
  threadJoin(t);
  threadDestroy(t);
}

i32 noop(void*) { return 0; }

TEST(Threads, DestroyWithoutJoinAndNullArguments) {
  // The record may go at once; the thread does not read it.
  Thread* t = threadCreate(noop, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(threadDestroy(t), 0);
  EXPECT_EQ(threadCreate(nullptr, nullptr), nullptr);
  EXPECT_EQ(threadJoin(nullptr), -1);
  EXPECT_EQ(threadMutexLock(nullptr), -1);
  EXPECT_EQ(threadCondWait(nullptr, nullptr), -1);
  EXPECT_EQ(waitu32(nullptr, 0), -1);
  EXPECT_NE(threadCurrentToken(), 0u);
}

}  // namespace
