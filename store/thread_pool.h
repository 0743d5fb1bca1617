// A small pool of worker threads running queued jobs. Callers await their own work
// items by done flags, so the order in which jobs run never matters.
#pragma once

#include <atomic>

#include "platform/threads.h"
#include "platform/types.h"

using tp_fn = void (*)(void* arg);

struct tp_job {
  tp_fn fn;
  void* arg;
  tp_job* next;
};

struct tp_pool {
  Thread** workers;
  u32 count;
  ThreadMutex mutex;
  ThreadCond work;  // a job was queued, or stop was set
  ThreadCond done;  // a job finished
  tp_job* head;     // taken last-in first-out
  b8 stop;
};

// Starts count workers; on failure nothing is left running.
int tp_start(tp_pool* pool, u32 count);
// Sets stop, wakes and joins every worker, frees what is left.
void tp_stop(tp_pool* pool);
// Queues fn(arg); -1 when the job record cannot be allocated.
int tp_submit(tp_pool* pool, tp_fn fn, void* arg);
i32 tp_worker(void* pool);
// Blocks until *done_flag is non-zero. A job sets its flag (release) as its last
// access to the item; the worker then signals "done" under the mutex.
void tp_wait_item(tp_pool* pool, const std::atomic<u32>* done_flag);
