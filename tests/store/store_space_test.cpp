// File growth: dead ranges (old trailers, replaced and deleted chunks) are filled
// again or compacted away, so the file stays near the size a compaction leaves.
#include <gtest/gtest.h>

#include <string>

#include "store/blob_store.h"
#include "store_fixture.h"

namespace {

using namespace storetest;

class Space : public StoreDir {
 protected:
  bs_store* open() {
    bs_cfg cfg = smallCfg(4096, 2);
    bs_store* s = nullptr;
    EXPECT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
    return s;
  }
  // What the store would shrink to: a copy compacted, plus one trailer of it.
  u64 compactedPlusTrailer() {
    std::string copy = file("copy.qel");
    writeFile(copy, readFile(path));
    bs_cfg cfg = smallCfg(4096, 2);
    bs_store* c = nullptr;
    EXPECT_EQ(bs_open(&c, copy.c_str(), &cfg), BS_OK);
    EXPECT_EQ(bs_compact(c), BS_OK);
    bs_close(c);
    Bytes f = readFile(copy);
    std::remove(copy.c_str());
    return f.size() + le64(f, 24) + le64(f, 40);  // index and manifest lengths
  }
};

// Single small adds, each flushed; replaces of growing entries; deletes: after every
// flush the file is within 1.5 times its compacted size plus one trailer.
TEST_F(Space, FlushesReplacesAndDeletesStayWithinTheBound) {
  bs_store* s = open();
  double worst = 0;
  for (int i = 0; i < 300; i++) {
    Bytes d;
    std::string name;
    switch (i % 5) {
      case 0: case 1: case 2: d = text(20 + i % 7, i); name = nm("small", i); break;
      case 3: d = noise(1000 + 97 * (i % 13), i); name = nm("big", i % 4); break;  // replaced again and again
      default: d = noise(9000, i); name = "multi"; break;  // several chunks, replaced
    }
    ASSERT_EQ(bs_add_buffer(s, d.data(), d.size(), name.c_str()), BS_OK);
    if (i % 50 == 49) {
      ASSERT_EQ(bs_delete(s, nm("small", i - 9).c_str()), BS_OK);
    }
    ASSERT_EQ(bs_flush(s), BS_OK);
    if (i % 10 == 9) {
      double ratio = (double)fileSize(path) / (double)compactedPlusTrailer();
      worst = ratio > worst ? ratio : worst;
      ASSERT_LE(ratio, 1.5) << "after " << i + 1 << " flushes";
    }
  }
  EXPECT_GT(worst, 1.0);  // dead space was there to reclaim
  ASSERT_EQ(bs_close(s), BS_OK);
  s = open();
  EXPECT_EQ(restore(s, "multi"), noise(9000, 299));
  EXPECT_EQ(restore(s, "small280"), text(20 + 280 % 7, 280));
  EXPECT_EQ(restore(s, "big3"), noise(1000 + 97 * (283 % 13), 283));  // last i with i % 5 == 3, i % 4 == 3
  testing::internal::CaptureStderr();
  EXPECT_EQ(bs_verify(s), BS_OK);
  testing::internal::GetCapturedStderr();
  bs_close(s);
}

// After a flush, the regions of an old trailer and of chunks no entry lists take new
// records before the file grows.
TEST_F(Space, DeadRangesTakeNewRecordsBeforeTheFileGrows) {
  bs_store* s = open();
  Bytes base = noise(60000, 1), victim = noise(12000, 2), next = noise(8000, 3);
  ASSERT_EQ(bs_add_buffer(s, base.data(), base.size(), "base"), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, victim.data(), victim.size(), "victim"), BS_OK);
  ASSERT_EQ(bs_flush(s), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, victim.data(), 100, "victim"), BS_OK);  // 12000 bytes die
  ASSERT_EQ(bs_flush(s), BS_OK);
  u64 size = fileSize(path);
  ASSERT_EQ(bs_add_buffer(s, next.data(), next.size(), "next"), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, base.data(), base.size(), "base again"), BS_OK);  // deduplicated
  ASSERT_EQ(bs_flush(s), BS_OK);
  EXPECT_LE(fileSize(path), size);
  bs_close(s);
  s = open();
  EXPECT_EQ(restore(s, "next"), next);
  EXPECT_EQ(restore(s, "base again"), base);
  EXPECT_EQ(restore(s, "victim"), Bytes(victim.begin(), victim.begin() + 100));
  testing::internal::CaptureStderr();
  EXPECT_EQ(bs_verify(s), BS_OK);
  testing::internal::GetCapturedStderr();
  bs_close(s);
}

}  // namespace
