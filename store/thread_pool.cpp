#include "store/thread_pool.h"

#include "platform/memory.h"

int tp_start(tp_pool* pool, u32 count) {
  if (!pool || count == 0) return -1;
  *pool = tp_pool{};
  if (threadMutexInit(&pool->mutex) != 0) return -1;
  threadCondInit(&pool->work);
  threadCondInit(&pool->done);
  pool->workers = static_cast<Thread**>(memCalloc(count, sizeof(Thread*)));
  if (!pool->workers) {
    tp_stop(pool);
    return -1;
  }
  for (u32 i = 0; i < count; i++) {
    pool->workers[i] = threadCreate(tp_worker, pool);
    if (!pool->workers[i]) {
      tp_stop(pool);
      return -1;
    }
    pool->count = i + 1;
  }
  return 0;
}

void tp_stop(tp_pool* pool) {
  if (!pool) return;
  threadMutexLock(&pool->mutex);
  pool->stop = true;
  threadCondBroadcast(&pool->work);
  threadMutexUnlock(&pool->mutex);
  for (u32 i = 0; i < pool->count; i++) {
    threadJoin(pool->workers[i]);
    threadDestroy(pool->workers[i]);
  }
  memFree(pool->workers);
  while (pool->head) {
    tp_job* j = pool->head;
    pool->head = j->next;
    memFree(j);
  }
  threadCondDestroy(&pool->work);
  threadCondDestroy(&pool->done);
  threadMutexDestroy(&pool->mutex);
  *pool = tp_pool{};
}

int tp_submit(tp_pool* pool, tp_fn fn, void* arg) {
  if (!pool || !fn) return -1;
  tp_job* j = static_cast<tp_job*>(memAlloc(sizeof(tp_job)));
  if (!j) return -1;
  j->fn = fn;
  j->arg = arg;
  threadMutexLock(&pool->mutex);
  j->next = pool->head;
  pool->head = j;
  threadCondSignal(&pool->work);
  threadMutexUnlock(&pool->mutex);
  return 0;
}

i32 tp_worker(void* arg) {
  tp_pool* pool = static_cast<tp_pool*>(arg);
  threadMutexLock(&pool->mutex);
  for (;;) {
    while (!pool->head && !pool->stop) threadCondWait(&pool->work, &pool->mutex);
    if (pool->stop) break;
    tp_job* j = pool->head;
    pool->head = j->next;
    threadMutexUnlock(&pool->mutex);
    j->fn(j->arg);
    memFree(j);
    threadMutexLock(&pool->mutex);
    threadCondBroadcast(&pool->done);
  }
  threadMutexUnlock(&pool->mutex);
  return 0;
}

void tp_wait_item(tp_pool* pool, const std::atomic<u32>* done_flag) {
  if (done_flag->load(std::memory_order_acquire)) return;
  threadMutexLock(&pool->mutex);
  while (!done_flag->load(std::memory_order_acquire)) threadCondWait(&pool->done, &pool->mutex);
  threadMutexUnlock(&pool->mutex);
}
