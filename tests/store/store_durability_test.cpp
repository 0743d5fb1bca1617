// A process killed in the middle of writing leaves a store that opens with every
// entry of its last completed flush. The writer runs in a forked child that kills
// itself at a chosen point of the write paths.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "store/blob_store.h"
#include "store/bs_internal.h"
#include "store_fixture.h"

namespace {

using namespace storetest;

const char* gKillAt = nullptr;
int gKillAfter = 0;

void killHere(const char* where) {
  if (std::strcmp(where, gKillAt) == 0 && --gKillAfter <= 0) raise(SIGKILL);
}

// From now on, the nth time the write paths pass the point kills the process.
void armKill(const char* point, int nth) {
  gKillAt = point;
  gKillAfter = nth;
  bs_crash_point = killHere;
}

// Runs body in a child process; true when it was killed (at the point it armed).
template <typename F>
bool killedIn(F body) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);  // the point was never reached
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

class Durability : public StoreDir {
 protected:
  bs_store* open() {
    bs_cfg cfg = smallCfg();
    bs_store* s = nullptr;
    EXPECT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
    return s;
  }
  // Entries e0..e(n-1), flushed.
  void writeFlushed(bs_store* s, int n) {
    for (int i = 0; i < n; i++) {
      Bytes d = i % 2 ? text(9000 + i, i) : noise(3000 + i, i);
      ASSERT_EQ(bs_add_buffer(s, d.data(), d.size(), nm("e", i).c_str()), BS_OK);
    }
    ASSERT_EQ(bs_flush(s), BS_OK);
  }
  void expectFlushed(int n, const std::vector<int>& deleted = {}) {
    bs_store* s = open();
    ASSERT_NE(s, nullptr);
    for (int i = 0; i < n; i++) {
      if (std::find(deleted.begin(), deleted.end(), i) != deleted.end()) continue;
      Bytes d = i % 2 ? text(9000 + i, i) : noise(3000 + i, i);
      EXPECT_EQ(restore(s, nm("e", i).c_str()), d) << "entry " << i;
    }
    EXPECT_EQ(bs_manifest_count(s), (u64)(n - deleted.size()));
    testing::internal::CaptureStderr();
    EXPECT_EQ(bs_verify(s), BS_OK);
    testing::internal::GetCapturedStderr();
    bs_close(s);
  }
};

TEST_F(Durability, KilledDuringAnAddAfterAFlush) {
  struct Case { const char* point; int nth; } cases[] = {
      {"add:record", 1},  // the first record after the flush: it used to land on the trailer
      {"add:record", 5},
      {"flush:trailer", 1},  // the next flush's trailer is down, its superblock is not
  };
  for (const Case& c : cases) {
    std::remove(path.c_str());
    bool died = killedIn([&] {
      bs_store* s = open();
      writeFlushed(s, 4);
      armKill(c.point, c.nth);
      Bytes more = noise(40000, 99);
      bs_add_buffer(s, more.data(), more.size(), "e1");  // replaces a flushed entry
      bs_add_buffer(s, more.data(), more.size(), "late");
      bs_flush(s);
      bs_close(s);
    });
    ASSERT_TRUE(died) << c.point << " " << c.nth;
    expectFlushed(4);
  }
}

// Records and trailers written into dead ranges (an old trailer, the records of a
// deleted entry) never touch what the last flushed trailer lists.
TEST_F(Durability, KilledWhileFillingDeadRanges) {
  struct Case { const char* point; int nth; } cases[] = {{"add:record", 1}, {"add:record", 4}, {"flush:trailer", 1}};
  for (const Case& c : cases) {
    std::remove(path.c_str());
    bool died = killedIn([&] {
      bs_store* s = open();
      writeFlushed(s, 4);
      Bytes tmp = noise(20000, 77);
      bs_add_buffer(s, tmp.data(), tmp.size(), "tmp");
      bs_flush(s);
      bs_delete(s, "tmp");
      bs_flush_nolock(s);  // its records are dead now, and so is the previous trailer
      armKill(c.point, c.nth);
      Bytes more = noise(12000, 99);
      bs_add_buffer(s, more.data(), more.size(), "e1");
      bs_add_buffer(s, more.data(), 3000, "late");
      bs_flush(s);
      bs_close(s);
    });
    ASSERT_TRUE(died) << c.point << " " << c.nth;
    expectFlushed(4);
  }
}

TEST_F(Durability, KilledDuringCompaction) {
  for (const char* point : {"compact:copied", "compact:synced", "compact:renamed"}) {
    std::remove(path.c_str());
    bool died = killedIn([&] {
      bs_store* s = open();
      writeFlushed(s, 6);
      bs_delete(s, "e0");
      bs_delete(s, "e3");
      bs_flush(s);
      armKill(point, 1);
      bs_compact(s);
      bs_close(s);
    });
    ASSERT_TRUE(died) << point;
    expectFlushed(6, {0, 3});
  }
}

// The same at open: the reopen compacts (a third deleted) and is killed inside.
TEST_F(Durability, KilledDuringCompactionAtOpen) {
  bs_store* s = open();
  writeFlushed(s, 4);
  ASSERT_EQ(bs_delete(s, "e2"), BS_OK);
  ASSERT_EQ(bs_delete(s, "e1"), BS_OK);
  ASSERT_EQ(bs_flush_nolock(s), BS_OK);  // a flush without the compaction its dead space calls for
  Bytes flushed = readFile(path);
  bs_close(s);
  writeFile(path, flushed);
  ASSERT_TRUE(killedIn([&] {
    armKill("compact:synced", 1);
    bs_close(open());
  }));
  expectFlushed(4, {1, 2});
}

}  // namespace
