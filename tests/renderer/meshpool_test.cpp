#include "renderer/meshpool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <random>
#include <vector>

#include "renderer/vram.h"

namespace {

struct Range {
  VkDeviceSize offset, size;
  bool operator==(const Range& o) const { return offset == o.offset && size == o.size; }
};

std::vector<Range> freeList(const MeshPool& p) {
  std::vector<Range> out;
  for (const MeshBlock* b = p.freeList; b; b = b->next) out.push_back({b->offset, b->size});
  return out;
}

// Reference model: free ranges by offset, always merged.
struct Model {
  std::map<VkDeviceSize, VkDeviceSize> free;
  VkDeviceSize used = 0;
  MeshAlloc alloc(VkDeviceSize size) {
    size = (size + 15) & ~VkDeviceSize(15);
    for (auto it = free.begin(); it != free.end(); ++it) {
      if (it->second < size) continue;
      MeshAlloc a{it->first, size};
      VkDeviceSize rest = it->second - size;
      VkDeviceSize off = it->first + size;
      free.erase(it);
      if (rest) free[off] = rest;
      used += size;
      return a;
    }
    return {0, 0};
  }
  void release(MeshAlloc a) {
    used -= a.size;
    auto it = free.emplace(a.offset, a.size).first;
    auto next = std::next(it);
    if (next != free.end() && it->first + it->second == next->first) {
      it->second += next->second;
      free.erase(next);
    }
    if (it != free.begin()) {
      auto prev = std::prev(it);
      if (prev->first + prev->second == it->first) {
        prev->second += it->second;
        free.erase(it);
      }
    }
  }
  std::vector<Range> list() const {
    std::vector<Range> out;
    for (auto& [o, s] : free) out.push_back({o, s});
    return out;
  }
};

TEST(MeshPool, RandomAllocFreeMatchesReferenceAndTilesThePool) {
  const VkDeviceSize cap = 1 << 20;
  MeshPool pool;
  meshPoolInitRanges(&pool, cap);
  Model model;
  model.free[0] = cap;
  std::vector<MeshAlloc> live;
  std::mt19937 rng(1234);
  for (int step = 0; step < 20000; step++) {
    bool doAlloc = live.empty() || rng() % 100 < 55;
    if (doAlloc) {
      VkDeviceSize size = rng() % 8 == 0 ? 1 + rng() % 65536 : 1 + rng() % 2048;
      MeshAlloc got = meshPoolAlloc(&pool, size);
      MeshAlloc want = model.alloc(size);
      ASSERT_EQ(got.offset, want.offset) << "step " << step;
      ASSERT_EQ(got.size, want.size) << "step " << step;
      if (got.size) live.push_back(got);
    } else {
      size_t i = rng() % live.size();
      meshPoolFree(&pool, live[i]);
      model.release(live[i]);
      live[i] = live.back();
      live.pop_back();
    }
    ASSERT_EQ(freeList(pool), model.list()) << "step " << step;
    ASSERT_EQ(pool.freeBlockCount, model.free.size());
    ASSERT_EQ(pool.usedBytes, model.used);
  }
  // Free ranges and live allocations tile [0, capacity) exactly, 16-aligned.
  std::vector<Range> all = freeList(pool);
  for (const MeshAlloc& a : live) all.push_back({a.offset, a.size});
  std::sort(all.begin(), all.end(), [](const Range& a, const Range& b) { return a.offset < b.offset; });
  VkDeviceSize at = 0;
  for (const Range& r : all) {
    ASSERT_EQ(r.offset, at);
    ASSERT_EQ(r.offset % 16, 0u);
    ASSERT_EQ(r.size % 16, 0u);
    at += r.size;
  }
  EXPECT_EQ(at, cap);
  for (const MeshAlloc& a : live) meshPoolFree(&pool, a);
  EXPECT_EQ(freeList(pool), (std::vector<Range>{{0, cap}}));
  meshPoolDestroy(&pool);
}

TEST(MeshPool, FreeListEdgeCases) {
  struct Case {
    const char* what;
    std::vector<VkDeviceSize> allocs;  // sizes allocated in order
    std::vector<int> frees;  // indices freed in order
    std::vector<Range> expect;
  };
  const VkDeviceSize cap = 256;
  Case cases[] = {
      {"one byte takes 16", {1}, {}, {{16, 240}}},
      {"exact fit empties the list", {256}, {}, {}},
      {"freeing between two free blocks merges three", {64, 64, 64}, {0, 2, 1}, {{0, 256}}},
      {"adjacent only to the next block extends it down", {64, 64}, {1}, {{64, 192}}},
      {"a lone range becomes its own block", {64, 64, 64}, {1}, {{64, 64}, {192, 64}}},
  };
  for (const Case& c : cases) {
    MeshPool pool;
    meshPoolInitRanges(&pool, cap);
    std::vector<MeshAlloc> got;
    for (VkDeviceSize s : c.allocs) got.push_back(meshPoolAlloc(&pool, s));
    for (int i : c.frees) meshPoolFree(&pool, got[i]);
    EXPECT_EQ(freeList(pool), c.expect) << c.what;
    EXPECT_EQ(pool.freeBlockCount, c.expect.size()) << c.what;
    meshPoolDestroy(&pool);
  }
}

TEST(MeshPool, NoCompactionAndBadFreesAreIgnored) {
  MeshPool pool;
  meshPoolInitRanges(&pool, 192);
  MeshAlloc a = meshPoolAlloc(&pool, 64), b = meshPoolAlloc(&pool, 64), c = meshPoolAlloc(&pool, 64);
  meshPoolFree(&pool, a);
  meshPoolFree(&pool, c);
  ASSERT_EQ(meshPoolFreeSpace(&pool), 128u);
  EXPECT_EQ(meshPoolLargestFree(&pool), 64u);
  EXPECT_EQ(meshPoolAlloc(&pool, 128).size, 0u) << "free space is split; nothing is moved";
  // A double free or a range outside the pool must not corrupt the list.
  meshPoolFree(&pool, a);
  meshPoolFree(&pool, MeshAlloc{4096, 64});
  EXPECT_EQ(freeList(pool), (std::vector<Range>{{0, 64}, {128, 64}}));
  EXPECT_EQ(pool.usedBytes, 64u);
  EXPECT_EQ(meshPoolAlloc(&pool, 0).size, 0u);
  EXPECT_EQ(meshPoolAlloc(nullptr, 16).size, 0u);
  meshPoolFree(&pool, b);
  EXPECT_EQ(freeList(pool), (std::vector<Range>{{0, 192}}));
  meshPoolDestroy(&pool);
}

// A range freed while a frame may still draw from it returns only once that frame
// has completed.
TEST(MeshPool, FreesWaitForFramesInFlight) {
  MeshPool pool;
  meshPoolInitRanges(&pool, 256);
  MeshAlloc a = meshPoolAlloc(&pool, 256);
  u64 frame = gpuSerialBeginFrame();
  meshPoolFree(&pool, a);
  EXPECT_EQ(meshPoolFreeSpace(&pool), 0u);
  EXPECT_EQ(meshPoolAlloc(&pool, 16).size, 0u);
  gpuSerialComplete(frame);
  MeshAlloc again = meshPoolAlloc(&pool, 256);
  EXPECT_EQ(again.size, 256u);
  EXPECT_EQ(again.offset, 0u);
  meshPoolDestroy(&pool);
}

}  // namespace
