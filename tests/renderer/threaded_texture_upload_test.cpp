// The upload worker's queue with a fake completion step in place of the GPU:
// several threads queue uploads at once, waits return only after publication,
// and shutdown finishes everything queued. Runs under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/memory.h"
#include "renderer/texture.h"
#include "renderer/texture_upload.h"

namespace {

constexpr u32 kThreads = 4, kPerThread = 64;

struct Fake {
  std::atomic<u32> published[kThreads * kPerThread];
  std::atomic<b8> hold{false};
  std::atomic<u32> completed{0};
};

void fakeComplete(PendingTextureUpload* item, void* user) {
  auto* f = static_cast<Fake*>(user);
  while (f->hold.load()) std::this_thread::yield();
  // What the real step does: publish the slot after the copy, release staging.
  f->published[item->bindlessIndex].fetch_add(1);
  f->completed.fetch_add(1);
}

PendingTextureUpload* newItem(GltfTexture* t, u32 slot) {
  auto* item = static_cast<PendingTextureUpload*>(memCalloc(1, sizeof(PendingTextureUpload)));
  item->texture = t;
  item->bindlessIndex = slot;
  return item;
}

TEST(TextureUploadQueue, UploadsFromManyThreadsArePublishedOnceBeforeTheirWaitReturns) {
  memoryInit(~0ull, ~0ull);
  size_t before = memoryGet()->used.load();
  static Fake f;
  TextureUploadQueue q;
  ASSERT_TRUE(textureUploadQueueInit(&q, fakeComplete, &f));
  ASSERT_TRUE(textureUploadQueueStart(&q));
  std::vector<GltfTexture> textures(kThreads * kPerThread);
  std::atomic<u32> early{0};
  std::vector<std::thread> producers;
  for (u32 t = 0; t < kThreads; t++)
    producers.emplace_back([&, t] {
      for (u32 i = 0; i < kPerThread; i++) {
        u32 slot = t * kPerThread + i;
        textureUploadQueuePush(&q, newItem(&textures[slot], slot));
      }
      for (u32 i = 0; i < kPerThread; i++) {
        u32 slot = t * kPerThread + i;
        textureUploadQueueWait(&q, &textures[slot]);
        if (f.published[slot].load() != 1) early.fetch_add(1);
      }
    });
  for (auto& p : producers) p.join();
  EXPECT_EQ(early.load(), 0u);
  textureUploadQueueShutdown(&q);
  EXPECT_EQ(f.completed.load(), kThreads * kPerThread);
  for (u32 i = 0; i < kThreads * kPerThread; i++) EXPECT_EQ(f.published[i].load(), 1u) << i;
  EXPECT_EQ(memoryGet()->used.load(), before);
}

TEST(TextureUploadQueue, AWaitBlocksUntilTheWorkerHasPublished) {
  static Fake f;
  TextureUploadQueue q;
  ASSERT_TRUE(textureUploadQueueInit(&q, fakeComplete, &f));
  ASSERT_TRUE(textureUploadQueueStart(&q));
  GltfTexture t{};
  f.hold.store(true);
  textureUploadQueuePush(&q, newItem(&t, 5));
  EXPECT_TRUE(textureUploadQueuePending(&q, &t));
  std::atomic<b8> returned{false};
  std::thread waiter([&] {
    textureUploadQueueWait(&q, &t);
    returned.store(true);
  });
  for (int i = 0; i < 20; i++) std::this_thread::yield();
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(f.published[5].load(), 0u);
  f.hold.store(false);
  waiter.join();
  EXPECT_EQ(f.published[5].load(), 1u);
  EXPECT_FALSE(textureUploadQueuePending(&q, &t));
  textureUploadQueueShutdown(&q);
}

TEST(TextureUploadQueue, ShutdownFinishesEverythingQueued) {
  static Fake f;
  for (b8 started : {true, false}) {
    f.completed.store(0);
    TextureUploadQueue q;
    ASSERT_TRUE(textureUploadQueueInit(&q, fakeComplete, &f));
    if (started) {
      ASSERT_TRUE(textureUploadQueueStart(&q));
    }
    std::vector<GltfTexture> textures(16);
    f.hold.store(started);
    for (u32 i = 0; i < 16; i++) textureUploadQueuePush(&q, newItem(&textures[i], 100 + i));
    std::thread release([&] { f.hold.store(false); });
    textureUploadQueueShutdown(&q);
    release.join();
    EXPECT_EQ(f.completed.load(), 16u) << (started ? "with a worker" : "without one");
    for (auto& t : textures) EXPECT_FALSE(t.pendingUpload);
  }
}

}  // namespace
