// The upload worker's FIFO. Items are pushed at the tail and popped at the head
// under the mutex; the completion step runs unlocked, and the texture's pending
// flag is cleared under the mutex only after it, so a destroy that sees the flag
// clear knows the slot has been published.
#include "renderer/texture_upload.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/memory.h"
#include "renderer/texture.h"

namespace {

i32 uploadWorker(void* user) {
  auto* q = static_cast<TextureUploadQueue*>(user);
  for (;;) {
    threadMutexLock(&q->mutex);
    while (!q->head && !q->shuttingDown) threadCondWait(&q->cond, &q->mutex);
    PendingTextureUpload* item = q->head;
    if (!item) {
      // Shutting down with nothing left.
      threadMutexUnlock(&q->mutex);
      return 0;
    }
    q->head = item->next;
    if (!q->head) q->tail = nullptr;
    threadMutexUnlock(&q->mutex);

    q->complete(item, q->user);

    threadMutexLock(&q->mutex);
    item->texture->pendingUpload = false;
    threadMutexUnlock(&q->mutex);
    memFree(item);
  }
}

}  // namespace

b8 textureUploadQueueInit(TextureUploadQueue* q, TextureUploadComplete complete, void* user) {
  if (!q || !complete) return false;
  std::memset(static_cast<void*>(q), 0, sizeof(*q));
  q->complete = complete;
  q->user = user;
  if (threadMutexInit(&q->mutex) != 0) return false;
  if (threadCondInit(&q->cond) != 0) {
    threadMutexDestroy(&q->mutex);
    return false;
  }
  return true;
}

b8 textureUploadQueueStart(TextureUploadQueue* q) {
  if (!q) return false;
  if (q->worker) return true;
  q->worker = threadCreate(uploadWorker, q);
  return q->worker != nullptr;
}

void textureUploadQueuePush(TextureUploadQueue* q, PendingTextureUpload* item) {
  item->next = nullptr;
  threadMutexLock(&q->mutex);
  item->texture->pendingUpload = true;
  if (q->tail)
    q->tail->next = item;
  else
    q->head = item;
  q->tail = item;
  threadCondSignal(&q->cond);
  threadMutexUnlock(&q->mutex);
}

b8 textureUploadQueuePending(TextureUploadQueue* q, const GltfTexture* texture) {
  threadMutexLock(&q->mutex);
  b8 pending = texture->pendingUpload;
  threadMutexUnlock(&q->mutex);
  return pending;
}

void textureUploadQueueWait(TextureUploadQueue* q, const GltfTexture* texture) {
  while (textureUploadQueuePending(q, texture)) nanoSleep(1000000);
}

void textureUploadQueueShutdown(TextureUploadQueue* q) {
  if (!q) return;
  threadMutexLock(&q->mutex);
  q->shuttingDown = true;
  threadCondBroadcast(&q->cond);
  threadMutexUnlock(&q->mutex);
  if (q->worker) {
    threadJoin(q->worker);
    threadDestroy(q->worker);
    q->worker = nullptr;
  } else {
    // No worker ever ran: finish what was queued here.
    while (PendingTextureUpload* item = q->head) {
      q->head = item->next;
      q->complete(item, q->user);
      item->texture->pendingUpload = false;
      memFree(item);
    }
    q->tail = nullptr;
  }
  threadCondDestroy(&q->cond);
  threadMutexDestroy(&q->mutex);
}
