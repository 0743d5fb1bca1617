// The queue between threads that submit texture copies and the worker that
// finishes them: a locked FIFO, a condition, and a completion step the worker
// runs per item outside the lock (tests give it a fake one).
#pragma once

#include "platform/threads.h"
#include "platform/types.h"
#include "renderer/vkloader.h"

struct GltfTexture;
struct Renderer;

struct PendingTextureUpload {
  GltfTexture* texture;
  Renderer* renderer;
  VkFence fence;
  VkBuffer stagingBuffer;
  VkDeviceMemory stagingMemory;
  VkDeviceSize stagingMemorySize;
  u32 bindlessIndex;
  VkCommandBuffer commandBuffer;  // from the texture system's own pool
  PendingTextureUpload* next;
};

// Waits for the item's copy and publishes it; runs on the worker, unlocked.
using TextureUploadComplete = void (*)(PendingTextureUpload* item, void* user);

struct TextureUploadQueue {
  ThreadMutex mutex;
  ThreadCond cond;
  PendingTextureUpload* head;
  PendingTextureUpload* tail;
  Thread* worker;
  b8 shuttingDown;
  TextureUploadComplete complete;
  void* user;
};

b8 textureUploadQueueInit(TextureUploadQueue* q, TextureUploadComplete complete, void* user);
// Starts the worker; false when the thread cannot start.
b8 textureUploadQueueStart(TextureUploadQueue* q);
// Marks the texture pending and queues the item (a memAlloc block the worker frees).
void textureUploadQueuePush(TextureUploadQueue* q, PendingTextureUpload* item);
// Whether the texture's upload is still in flight.
b8 textureUploadQueuePending(TextureUploadQueue* q, const GltfTexture* texture);
// Blocks (1 ms naps) until the texture's upload has been published.
void textureUploadQueueWait(TextureUploadQueue* q, const GltfTexture* texture);
// Finishes every queued item, then joins the worker and frees the queue's locks.
void textureUploadQueueShutdown(TextureUploadQueue* q);

// The texture system's lock: its command pool and bindless writes. Tests hold it
// to keep the worker from publishing.
void textureLock();
void textureUnlock();
// Whether the texture system's worker still has this texture's upload.
b8 textureUploadIsPending(const GltfTexture* texture);
