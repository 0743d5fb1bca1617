#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <string>

#include "store/blob_store.h"
#include "store_fixture.h"

namespace {

using namespace storetest;

class Store : public StoreDir {
 protected:
  bs_store* open(u32 chunk = 4096, u32 workers = 1) {
    bs_cfg cfg = smallCfg(chunk, workers);
    bs_store* s = nullptr;
    EXPECT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
    return s;
  }
};

TEST_F(Store, ChunkingAtTheBoundaryAndReopen) {
  struct Case { size_t len; u64 chunks; } cases[] = {
      {0, 1}, {1, 1}, {4095, 1}, {4096, 1}, {4097, 2}, {3 * 4096 + 5, 4}, {40000, 10}};
  bs_store* s = open();
  ASSERT_NE(s, nullptr);
  u64 t0 = (u64)time(nullptr);
  for (size_t i = 0; i < std::size(cases); i++) {
    std::string name = nm("e", i);
    Bytes data = i % 2 ? text(cases[i].len, i) : noise(cases[i].len, i);
    ASSERT_EQ(bs_add_buffer(s, data.data(), data.size(), name.c_str()), BS_OK);
    u64 size = 0, chunks = 0, mtime = 0;
    ASSERT_EQ(bs_manifest_entry_info(s, i, &size, &chunks, &mtime), BS_OK);
    EXPECT_EQ(size, cases[i].len);
    EXPECT_EQ(chunks, cases[i].chunks) << cases[i].len;
    EXPECT_GE(mtime, t0);
    EXPECT_LE(mtime, (u64)time(nullptr));
    EXPECT_EQ(restore(s, name.c_str()), data) << cases[i].len;
  }
  ASSERT_EQ(bs_close(s), BS_OK);
  s = open();
  ASSERT_EQ(bs_manifest_count(s), std::size(cases));
  EXPECT_EQ(bs_manifest_entry_info(s, std::size(cases), nullptr, nullptr, nullptr), BS_ERR);
  for (size_t i = 0; i < std::size(cases); i++) {
    std::string name = nm("e", i);
    EXPECT_STREQ(bs_manifest_name(s, i), name.c_str());
    Bytes data = i % 2 ? text(cases[i].len, i) : noise(cases[i].len, i);
    EXPECT_EQ(restore(s, name.c_str()), data) << cases[i].len;
  }
  EXPECT_EQ(bs_verify(s), BS_OK);
  bs_close(s);
}

TEST_F(Store, EmptyEntryIsOneZeroLengthChunkAndRestoresAsNull) {
  bs_store* s = open();
  ASSERT_EQ(bs_add_buffer(s, nullptr, 0, "empty"), BS_OK);
  bs_stats st = bs_get_stats(s);
  EXPECT_EQ(st.stored_chunks, 1u);
  EXPECT_EQ(st.stored_bytes, 48u);
  u8* buf = reinterpret_cast<u8*>(1);
  size_t n = 99;
  ASSERT_EQ(bs_restore_buffer(s, "empty", &buf, &n), BS_OK);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(n, 0u);
  // An empty file adds an empty entry and restores to an empty file.
  writeFile(file("zero.bin"), {});
  ASSERT_EQ(bs_add_file(s, file("zero.bin").c_str(), "zero"), BS_OK);
  ASSERT_EQ(bs_restore_file(s, "zero", file("out.bin").c_str()), BS_OK);
  EXPECT_TRUE(exists(file("out.bin")));
  EXPECT_EQ(fileSize(file("out.bin")), 0u);
  bs_close(s);
}

TEST_F(Store, SameBytesUnderTwoNamesAreStoredOnce) {
  bs_store* s = open();
  Bytes data = noise(5 * 4096 + 100, 3);
  ASSERT_EQ(bs_add_buffer(s, data.data(), data.size(), "a"), BS_OK);
  bs_stats first = bs_get_stats(s);
  ASSERT_EQ(bs_add_buffer(s, data.data(), data.size(), "b"), BS_OK);
  bs_stats second = bs_get_stats(s);
  EXPECT_EQ(first.stored_chunks, 6u);
  EXPECT_EQ(second.stored_chunks, 6u);
  EXPECT_EQ(second.stored_bytes, first.stored_bytes);
  EXPECT_EQ(second.logical_chunks, 12u);
  EXPECT_EQ(second.logical_bytes, 2 * data.size());
  EXPECT_EQ(restore(s, "b"), data);
  bs_close(s);
}

// Within one buffer, equality is checked against what has been written: a piece
// equal to one already drained from the ring is skipped, one equal to a piece still
// in flight is written again. One worker gives a ring of four.
TEST_F(Store, InFlightDuplicatesAreWrittenDrainedOnesAreNot) {
  struct Case { const char* pattern; u64 stored; } cases[] = {
      {"ABA", 3},       // the second A is submitted while the first is in flight
      {"ABCDEFGA", 7},  // the first A was drained when the ring filled
      {"AAAA", 4},
  };
  for (const Case& c : cases) {
    bs_store* s = open();
    Bytes data;
    for (const char* p = c.pattern; *p; p++) {
      Bytes piece = noise(4096, (u64)*p);
      data.insert(data.end(), piece.begin(), piece.end());
    }
    ASSERT_EQ(bs_add_buffer(s, data.data(), data.size(), "x"), BS_OK);
    EXPECT_EQ(bs_get_stats(s).stored_chunks, c.stored) << c.pattern;
    EXPECT_EQ(restore(s, "x"), data) << c.pattern;
    bs_close(s);
    s = open();
    EXPECT_EQ(restore(s, "x"), data) << c.pattern;
    EXPECT_EQ(bs_verify(s), BS_OK);
    bs_close(s);
    std::remove(path.c_str());
  }
}

TEST_F(Store, ReplaceKeepsThePositionAndCompactionDropsOldChunks) {
  bs_store* s = open();
  Bytes a = noise(9000, 1), b = noise(9000, 2), c = noise(9000, 3), b2 = text(20000, 4);
  ASSERT_EQ(bs_add_buffer(s, a.data(), a.size(), "a"), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, b.data(), b.size(), "b"), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, c.data(), c.size(), "c"), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, b2.data(), b2.size(), "b"), BS_OK);
  EXPECT_EQ(bs_manifest_count(s), 3u);
  EXPECT_STREQ(bs_manifest_name(s, 1), "b");
  EXPECT_EQ(restore(s, "b"), b2);
  ASSERT_EQ(bs_flush(s), BS_OK);
  u64 before = fileSize(path);
  ASSERT_EQ(bs_compact(s), BS_OK);
  EXPECT_LT(fileSize(path), before - 9000);  // the old "b" chunks are gone
  EXPECT_FALSE(exists(path + ".compact"));
  EXPECT_EQ(restore(s, "a"), a);
  EXPECT_EQ(restore(s, "b"), b2);
  EXPECT_EQ(restore(s, "c"), c);
  // The store keeps working on the new file.
  ASSERT_EQ(bs_add_buffer(s, a.data(), 100, "d"), BS_OK);
  bs_close(s);
  s = open();
  EXPECT_EQ(bs_manifest_count(s), 4u);
  EXPECT_EQ(restore(s, "d"), Bytes(a.begin(), a.begin() + 100));
  EXPECT_EQ(bs_verify(s), BS_OK);
  bs_close(s);
}

TEST_F(Store, DeleteHidesTheEntryAndTheFlagReachesTheFile) {
  bs_store* s = open();
  const char* names[] = {"t0", "t1", "t2", "t3", "t4"};
  for (const char* n : names) ASSERT_EQ(bs_add_buffer(s, (const u8*)n, 2, n), BS_OK);
  ASSERT_EQ(bs_delete(s, "t2"), BS_OK);
  EXPECT_EQ(bs_delete(s, "t2"), BS_ERR);
  EXPECT_EQ(bs_delete(s, "nope"), BS_ERR);
  bs_status st;
  restore(s, "t2", &st);
  EXPECT_EQ(st, BS_ERR);
  EXPECT_EQ(bs_manifest_count(s), 4u);
  EXPECT_STREQ(bs_manifest_name(s, 2), "t3");
  EXPECT_EQ(bs_manifest_name(s, 4), nullptr);
  ASSERT_EQ(bs_flush(s), BS_OK);
  Bytes f = readFile(path);
  u64 moff = le64(f, 32);
  ASSERT_EQ(le32(f, moff), 5u);
  const size_t entry = 277 + 8;
  EXPECT_STREQ((const char*)&f[moff + 4 + 2 * entry], "t2");
  EXPECT_EQ(f[moff + 4 + 2 * entry + 272], 1);
  EXPECT_EQ(f[moff + 4 + 1 * entry + 272], 0);
  bs_close(s);
  s = open();  // one deleted of five: not yet due for compaction
  EXPECT_EQ(bs_manifest_count(s), 4u);
  restore(s, "t2", &st);
  EXPECT_EQ(st, BS_ERR);
  // A new entry of the deleted name is a fresh one at the end.
  ASSERT_EQ(bs_add_buffer(s, (const u8*)"new", 3, "t2"), BS_OK);
  EXPECT_STREQ(bs_manifest_name(s, 4), "t2");
  bs_close(s);
}

TEST_F(Store, OpenCompactsWhenHalfTheEntriesAreDeleted) {
  bs_store* s = open();
  for (int i = 0; i < 4; i++) {  // small deleted entries: their dead space is not what counts
    Bytes d = noise(i % 2 ? 6000 : 300, i);
    ASSERT_EQ(bs_add_buffer(s, d.data(), d.size(), nm("n", i).c_str()), BS_OK);
  }
  ASSERT_EQ(bs_delete(s, "n0"), BS_OK);
  ASSERT_EQ(bs_delete(s, "n2"), BS_OK);
  ASSERT_EQ(bs_flush(s), BS_OK);
  Bytes flushed = readFile(path);  // as a crash right after the flush would leave it
  ASSERT_EQ(bs_close(s), BS_OK);   // close compacts too
  EXPECT_LT(fileSize(path), flushed.size());
  writeFile(path, flushed);
  s = open();
  ASSERT_NE(s, nullptr);
  EXPECT_LT(fileSize(path), flushed.size());
  EXPECT_FALSE(exists(path + ".compact"));
  EXPECT_EQ(bs_manifest_count(s), 2u);
  EXPECT_EQ(restore(s, "n1"), noise(6000, 1));
  EXPECT_EQ(restore(s, "n3"), noise(6000, 3));
  EXPECT_EQ(bs_verify(s), BS_OK);
  bs_close(s);
}

// A flush writes the trailer; later records go after it, so the superblock of the
// last flush stays valid whatever happens next.
TEST_F(Store, RecordsAfterAFlushNeverOverwriteItsTrailer) {
  bs_store* s = open();
  Bytes a = text(10000, 1), b = noise(30000, 2);
  ASSERT_EQ(bs_add_buffer(s, a.data(), a.size(), "a"), BS_OK);
  ASSERT_EQ(bs_flush(s), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, b.data(), b.size(), "b"), BS_OK);
  Bytes crashed = readFile(path);  // never flushed again
  ASSERT_EQ(bs_flush(s), BS_OK);
  ASSERT_EQ(bs_delete(s, "a"), BS_OK);
  ASSERT_EQ(bs_flush(s), BS_OK);  // a second dead trailer inside the data
  EXPECT_EQ(bs_verify(s), BS_OK);
  bs_close(s);

  writeFile(path, crashed);
  s = open();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(bs_manifest_count(s), 1u);
  EXPECT_EQ(restore(s, "a"), a);
  EXPECT_EQ(bs_verify(s), BS_OK);
  // And it goes on from there.
  ASSERT_EQ(bs_add_buffer(s, b.data(), b.size(), "b"), BS_OK);
  bs_close(s);
  s = open();
  EXPECT_EQ(restore(s, "b"), b);
  bs_close(s);
}

TEST_F(Store, NamesMustBeOneTo255Bytes) {
  bs_store* s = open();
  std::string n255(255, 'n'), n256(256, 'n');
  u8 d = 1;
  EXPECT_EQ(bs_add_buffer(s, &d, 1, nullptr), BS_ERR);
  EXPECT_EQ(bs_add_buffer(s, &d, 1, ""), BS_ERR);
  EXPECT_EQ(bs_add_buffer(s, &d, 1, n256.c_str()), BS_ERR);
  EXPECT_EQ(bs_add_buffer(s, nullptr, 1, "x"), BS_ERR);
  EXPECT_EQ(bs_manifest_count(s), 0u);
  ASSERT_EQ(bs_add_buffer(s, &d, 1, n255.c_str()), BS_OK);
  bs_close(s);
  s = open();
  EXPECT_EQ(restore(s, n255.c_str()), Bytes{1});
  bs_status st;
  restore(s, n256.c_str(), &st);
  EXPECT_EQ(st, BS_ERR);
  bs_close(s);
}

TEST_F(Store, RestoreIntoChecksCapacityAndFilesRoundTrip) {
  bs_store* s = open();
  Bytes d = text(10000, 9);
  writeFile(file("in.bin"), d);
  ASSERT_EQ(bs_add_file(s, file("in.bin").c_str(), "f"), BS_OK);
  Bytes out(d.size());
  size_t n = 0;
  EXPECT_EQ(bs_restore_buffer_into(s, "f", out.data(), d.size() - 1, &n), BS_ERR);
  ASSERT_EQ(bs_restore_buffer_into(s, "f", out.data(), d.size(), &n), BS_OK);
  EXPECT_EQ(n, d.size());
  EXPECT_EQ(out, d);
  ASSERT_EQ(bs_restore_file(s, "f", file("out.bin").c_str()), BS_OK);
  EXPECT_EQ(readFile(file("out.bin")), d);
  struct stat st;
  ASSERT_EQ(stat(file("out.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~umask(022));
  EXPECT_EQ(bs_add_file(s, file("missing.bin").c_str(), "m"), BS_ERR);
  EXPECT_EQ(bs_add_file(s, dir.c_str(), "dir"), BS_ERR);
  EXPECT_EQ(bs_restore_file(s, "none", file("none.bin").c_str()), BS_ERR);
  EXPECT_FALSE(exists(file("none.bin")));
  bs_close(s);
}

TEST_F(Store, ExpireFlagsOldLargeEntries) {
  bs_store* s = open();
  Bytes big = noise(5000, 1);
  ASSERT_EQ(bs_add_buffer(s, big.data(), big.size(), "old-big"), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, big.data(), 10, "old-small"), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, big.data(), big.size(), "new-big"), BS_OK);
  ASSERT_EQ(bs_close(s), BS_OK);
  // Back-date the first two entries to 1970.
  Bytes f = readFile(path);
  u64 moff = le64(f, 32);
  size_t at = moff + 4;
  for (int i = 0; i < 2; i++) {
    put64(f, at + 264, 1000);
    at += 277 + 8 * le32(f, at + 273);
  }
  writeFile(path, f);
  s = open();
  EXPECT_EQ(bs_expire(s, 100, 3600), 1);
  EXPECT_EQ(bs_manifest_count(s), 2u);
  bs_status st;
  restore(s, "old-big", &st);
  EXPECT_EQ(st, BS_ERR);
  EXPECT_EQ(restore(s, "old-small"), Bytes(big.begin(), big.begin() + 10));
  EXPECT_EQ(bs_expire(s, 100, 3600), 0);
  EXPECT_EQ(bs_expire(nullptr, 0, 0), -1);
  bs_close(s);
}

TEST_F(Store, NullStoreAndArguments) {
  EXPECT_EQ(bs_open(nullptr, path.c_str(), nullptr), BS_ERR);
  bs_store* s = nullptr;
  EXPECT_EQ(bs_open(&s, nullptr, nullptr), BS_ERR);
  EXPECT_EQ(bs_close(nullptr), BS_OK);
  EXPECT_EQ(bs_flush(nullptr), BS_ERR);
  EXPECT_EQ(bs_manifest_count(nullptr), 0u);
  EXPECT_EQ(bs_get_stats(nullptr).logical_bytes, 0u);
  std::string longPath = dir + "/" + std::string(300, 'p');
  EXPECT_EQ(bs_open(&s, longPath.c_str(), nullptr), BS_ERR);
  // Defaults (null configuration) work too.
  ASSERT_EQ(bs_open(&s, path.c_str(), nullptr), BS_OK);
  Bytes d = noise(200000, 5);
  ASSERT_EQ(bs_add_buffer(s, d.data(), d.size(), "d"), BS_OK);
  EXPECT_EQ(restore(s, "d"), d);
  bs_close(s);
}

}  // namespace
