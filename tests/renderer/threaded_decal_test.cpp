// The decal loader's threads: results arrive whole for the slot that asked,
// and a shutdown with jobs still queued, in hand and finished but untaken
// leaves nothing behind.
#include <stb/stb_image_write.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/memory.h"
#include "renderer/decal.h"

namespace {

std::string writePicture(const char* name, u32 side) {
  std::vector<u32> px((size_t)side * side);
  for (u32 i = 0; i < side * side; i++) px[i] = 0xFF000000u | (i * 2654435761u >> 8);
  std::string path = testing::TempDir() + "/" + name + std::to_string(getpid()) + ".png";
  stbi_write_png(path.c_str(), (int)side, (int)side, 4, px.data(), (int)side * 4);
  return path;
}

u32 drain(DecalAsyncState* s, const std::string& path, std::vector<b8>* seen) {
  u32 n = 0;
  for (DecalLoadResult* r = decalAsyncTake(s); r;) {
    DecalLoadResult* next = r->next;
    EXPECT_EQ(path, r->path);
    EXPECT_EQ(r->width, 64u);
    EXPECT_EQ(r->height, 64u);
    EXPECT_EQ(r->format, VK_FORMAT_BC7_UNORM_BLOCK);
    EXPECT_EQ(r->dataSize, 64u * 64u);  // 16 x 16 blocks of 16 bytes
    if (r->slot < seen->size()) {
      EXPECT_FALSE((*seen)[r->slot]) << "slot " << r->slot << " twice";
      (*seen)[r->slot] = true;
    }
    decalLoadResultFree(r);
    n++;
    r = next;
  }
  return n;
}

TEST(DecalLoader, EveryQueuedJobYieldsOneResultForItsSlot) {
  memoryInit(~0ull, ~0ull);
  std::string path = writePicture("decal_loader_a", 64);
  const size_t before = memoryGet()->used.load();
  DecalAsyncState s{};
  ASSERT_TRUE(decalAsyncInit(&s, DECAL_WORKER_COUNT));
  constexpr u32 kJobs = 64;
  std::vector<b8> seen(kJobs, false);
  for (u32 i = 0; i < kJobs; i++) ASSERT_TRUE(decalAsyncQueue(&s, path.c_str(), i));
  u32 got = 0;
  u64 end = clockNanos() + 60'000'000'000ull;
  while (got < kJobs && clockNanos() < end) {
    got += drain(&s, path, &seen);
    nanoSleep(1'000'000);
  }
  EXPECT_EQ(got, kJobs);
  decalAsyncShutdown(&s);
  EXPECT_FALSE(decalAsyncQueue(&s, path.c_str(), 0)) << "a stopped loader takes no jobs";
  EXPECT_EQ(memoryGet()->used.load(), before);
  unlink(path.c_str());
}

TEST(DecalLoader, ShutdownWithJobsQueuedInHandAndUntakenFreesEverything) {
  memoryInit(~0ull, ~0ull);
  std::string path = writePicture("decal_loader_b", 64);
  const size_t before = memoryGet()->used.load();
  for (u32 round = 0; round < 4; round++) {
    DecalAsyncState s{};
    ASSERT_TRUE(decalAsyncInit(&s, 1 + round * 2));
    std::vector<b8> seen(400, false);
    for (u32 i = 0; i < 400; i++) ASSERT_TRUE(decalAsyncQueue(&s, path.c_str(), i));
    // Take some while the workers run; stop once results are waiting untaken.
    drain(&s, path, &seen);
    u64 end = clockNanos() + 10'000'000'000ull;
    for (;;) {
      threadMutexLock(&s.mutex);
      b8 waiting = s.doneHead != nullptr;
      threadMutexUnlock(&s.mutex);
      if (waiting || clockNanos() > end) break;
      nanoSleep(500'000);
    }
    decalAsyncShutdown(&s);
    EXPECT_FALSE(s.initialized);
    EXPECT_EQ(memoryGet()->used.load(), before) << "round " << round;
  }
  unlink(path.c_str());
}

}  // namespace
