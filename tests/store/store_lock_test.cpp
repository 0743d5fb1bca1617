// One store, several openers: the file lock (exclusive for writers, shared for
// readers), the read-only mode that never writes, and leftovers of compactions.
// flock locks belong to each open of the file, so two opens in one process conflict
// exactly as two processes would.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "store/blob_store.h"
#include "store/bs_internal.h"
#include "store_fixture.h"

namespace {

using namespace storetest;

class Locking : public StoreDir {
 protected:
  bs_status openAs(bs_store** s, bool readOnly) {
    bs_cfg cfg = smallCfg();
    cfg.read_only = readOnly ? 1 : 0;
    *s = nullptr;
    return bs_open(s, path.c_str(), &cfg);
  }
  void makeStore(int entries, int deleted) {
    bs_store* s = nullptr;
    ASSERT_EQ(openAs(&s, false), BS_OK);
    // The entries to be deleted are small: their dead space alone does not call for
    // a compaction at the flush, only their number does at open and close.
    for (int i = 0; i < entries; i++) {
      Bytes d = noise(i < deleted ? 100 : 5000, i);
      ASSERT_EQ(bs_add_buffer(s, d.data(), d.size(), nm("e", i).c_str()), BS_OK);
    }
    ASSERT_EQ(bs_flush(s), BS_OK);
    // Deleted without the close compacting: the flushed file is kept as it was.
    for (int i = 0; i < deleted; i++) ASSERT_EQ(bs_delete(s, nm("e", i).c_str()), BS_OK);
    ASSERT_EQ(bs_flush(s), BS_OK);
    Bytes flushed = readFile(path);
    ASSERT_EQ(bs_close(s), BS_OK);
    writeFile(path, flushed);
  }
};

TEST_F(Locking, WritersExcludeEveryoneReadersShare) {
  makeStore(2, 0);
  struct Case { bool firstReads, secondReads; bs_status second; } cases[] = {
      {false, false, BS_BUSY}, {false, true, BS_BUSY}, {true, false, BS_BUSY}, {true, true, BS_OK}};
  for (const Case& c : cases) {
    bs_store *a = nullptr, *b = nullptr;
    ASSERT_EQ(openAs(&a, c.firstReads), BS_OK);
    EXPECT_EQ(openAs(&b, c.secondReads), c.second) << c.firstReads << c.secondReads;
    EXPECT_EQ(b == nullptr, c.second != BS_OK);
    bs_close(b);
    bs_close(a);
    // Closed: the lock is gone with it.
    ASSERT_EQ(openAs(&b, false), BS_OK);
    bs_close(b);
  }
}

// The new file a compaction puts under the store's name is locked before the
// rename, and the writer keeps holding it afterwards.
TEST_F(Locking, CompactionKeepsTheStoreLocked) {
  makeStore(3, 1);
  bs_store *a = nullptr, *b = nullptr;
  ASSERT_EQ(openAs(&a, false), BS_OK);
  ASSERT_EQ(bs_compact(a), BS_OK);
  EXPECT_EQ(openAs(&b, true), BS_BUSY);
  EXPECT_EQ(openAs(&b, false), BS_BUSY);
  Bytes d = noise(7000, 9);
  ASSERT_EQ(bs_add_buffer(a, d.data(), d.size(), "after"), BS_OK);
  ASSERT_EQ(bs_close(a), BS_OK);
  ASSERT_EQ(openAs(&b, true), BS_OK);
  EXPECT_EQ(restore(b, "after"), d);
  EXPECT_EQ(restore(b, "e1"), noise(5000, 1));
  bs_close(b);
}

// Another process's compaction renames a new file over the store between our open
// and our lock: the lock we get is on a file nobody will read again, so the open
// must notice and take the file the path names now.
std::string gReplacement, gTarget;
void replaceOnce(const char* where) {
  if (std::string(where) != "open:opened" || gReplacement.empty()) return;
  ASSERT_EQ(std::rename(gReplacement.c_str(), gTarget.c_str()), 0);
  gReplacement.clear();
}

TEST_F(Locking, AFileRenamedOverTheStoreBeforeTheLockIsReopened) {
  for (bool readOnly : {false, true}) {
    std::remove(path.c_str());
    makeStore(2, 0);
    std::string newer = file("newer.qel");
    Bytes fresh = noise(3000, 42);
    {
      bs_cfg cfg = smallCfg();
      bs_store* n = nullptr;
      ASSERT_EQ(bs_open(&n, newer.c_str(), &cfg), BS_OK);
      ASSERT_EQ(bs_add_buffer(n, fresh.data(), fresh.size(), "fresh"), BS_OK);
      ASSERT_EQ(bs_close(n), BS_OK);
    }
    gReplacement = newer;
    gTarget = path;
    bs_crash_point = replaceOnce;
    bs_store* s = nullptr;
    bs_status r = openAs(&s, readOnly);
    bs_crash_point = nullptr;
    ASSERT_EQ(r, BS_OK);
    EXPECT_EQ(restore(s, "fresh"), fresh) << readOnly;
    bs_close(s);
  }
}

TEST_F(Locking, ReadOnlyOpensNeverWrite) {
  bs_store* s = nullptr;
  // Missing and empty files: not stores, and a reader does not make them one.
  EXPECT_EQ(openAs(&s, true), BS_ERR);
  EXPECT_FALSE(exists(path));
  writeFile(path, {});
  EXPECT_EQ(openAs(&s, true), BS_ERR);
  EXPECT_EQ(fileSize(path), 0u);
  // Due for compaction (two of three deleted): a reader leaves it alone.
  makeStore(3, 2);
  Bytes before = readFile(path);
  writeFile(path + ".compact", noise(100, 1));  // not the reader's to remove
  ASSERT_EQ(openAs(&s, true), BS_OK);
  EXPECT_EQ(bs_manifest_count(s), 1u);
  EXPECT_EQ(restore(s, "e2"), noise(5000, 2));
  Bytes d = noise(10, 3);
  EXPECT_EQ(bs_add_buffer(s, d.data(), d.size(), "x"), BS_ERR);
  EXPECT_EQ(bs_delete(s, "e2"), BS_ERR);
  EXPECT_EQ(bs_compact(s), BS_ERR);
  EXPECT_EQ(bs_expire(s, 0, 0), -1);
  EXPECT_EQ(bs_flush(s), BS_OK);  // nothing to write
  testing::internal::CaptureStderr();
  EXPECT_EQ(bs_verify(s), BS_OK);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(bs_close(s), BS_OK);
  EXPECT_EQ(readFile(path), before);
  EXPECT_TRUE(exists(path + ".compact"));
  // The next writer removes the leftover (and compacts).
  ASSERT_EQ(openAs(&s, false), BS_OK);
  EXPECT_FALSE(exists(path + ".compact"));
  EXPECT_LT(fileSize(path), before.size());
  EXPECT_EQ(restore(s, "e2"), noise(5000, 2));
  bs_close(s);
}

// A compaction started by the store itself that fails leaves the file as it was,
// is reported, and an explicit compaction retries it.
TEST_F(Locking, FailedAutomaticCompactionIsReportedAndRetried) {
  makeStore(4, 2);
  Bytes before = readFile(path);
  ASSERT_EQ(mkdir((path + ".compact").c_str(), 0755), 0);  // the new file cannot be made
  bs_store* s = nullptr;
  ASSERT_EQ(openAs(&s, false), BS_OK);
  EXPECT_TRUE(bs_compaction_pending(s));
  EXPECT_EQ(readFile(path), before);
  EXPECT_EQ(bs_compact(s), BS_ERR);
  ASSERT_EQ(rmdir((path + ".compact").c_str()), 0);
  EXPECT_EQ(bs_compact(s), BS_OK);
  EXPECT_FALSE(bs_compaction_pending(s));
  EXPECT_LT(fileSize(path), before.size());
  EXPECT_EQ(restore(s, "e3"), noise(5000, 3));
  bs_close(s);
}

}  // namespace
