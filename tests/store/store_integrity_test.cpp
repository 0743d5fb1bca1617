// Integrity beyond single records: chunk ids that collide (one id, different bytes)
// and manifests that no longer match the index.
#include <gtest/gtest.h>

#include <string>

#include "store/blob_store.h"
#include "store/bs_internal.h"
#include "store_fixture.h"

namespace {

using namespace storetest;

// Every chunk of one length gets one id: any two different chunks of equal length
// collide, as two inputs found to collide under XXH3-64 would.
u64 idByLength(const void*, size_t len) { return 0xC0111DE0000ull + len; }

class Collisions : public StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    bs_chunk_id_hook = idByLength;
  }
  void TearDown() override {
    bs_chunk_id_hook = nullptr;
    StoreDir::TearDown();
  }
  bs_store* open() {
    bs_cfg cfg = smallCfg(4096, 2);
    bs_store* s = nullptr;
    EXPECT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
    return s;
  }
  static Bytes cat(const Bytes& a, const Bytes& b) {
    Bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
  }
};

// A refused add leaves file, index, manifest and statistics as they were; adds of
// the bytes really stored under the id still deduplicate.
TEST_F(Collisions, DifferentBytesUnderAStoredIdAreRefusedAndWriteNothing) {
  const Bytes x = noise(4096, 1), y = noise(4096, 2), small = text(300, 3), other = noise(300, 4);
  struct Case { const char* what; Bytes bytes; } refused[] = {
      {"two pieces of one buffer", cat(noise(4096, 5), noise(4096, 6))},  // checked first, on an empty store
      {"single chunk", y},
      {"second chunk of two", cat(x, other)},
      {"first chunk of two", cat(y, small)},
  };
  bs_store* s = open();
  for (const Case& c : refused) {
    if (c.bytes.size() == 4096) {  // the stored chunks the later cases collide with
      ASSERT_EQ(bs_add_buffer(s, x.data(), x.size(), "x"), BS_OK);
      ASSERT_EQ(bs_add_buffer(s, small.data(), small.size(), "small"), BS_OK);
      ASSERT_EQ(bs_flush(s), BS_OK);
    }
    Bytes file = readFile(path);
    bs_stats st = bs_get_stats(s);
    u64 chunks = bs_chunk_count(s), entries = bs_manifest_count(s);
    EXPECT_EQ(bs_add_buffer(s, c.bytes.data(), c.bytes.size(), "y"), BS_ERR) << c.what;
    EXPECT_EQ(readFile(path), file) << c.what;
    EXPECT_EQ(bs_chunk_count(s), chunks) << c.what;
    EXPECT_EQ(bs_get_stats(s).stored_chunks, st.stored_chunks) << c.what;
    EXPECT_EQ(bs_manifest_count(s), entries) << c.what;
  }
  // The same bytes again, alone or beside a new chunk: deduplicated as before.
  Bytes both = cat(x, small);
  ASSERT_EQ(bs_add_buffer(s, x.data(), x.size(), "x again"), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, both.data(), both.size(), "x and small"), BS_OK);
  EXPECT_EQ(bs_chunk_count(s), 2u);
  bs_close(s);
  s = open();
  EXPECT_EQ(restore(s, "x"), x);
  EXPECT_EQ(restore(s, "x again"), x);
  EXPECT_EQ(restore(s, "x and small"), both);
  bs_status r;
  restore(s, "y", &r);
  EXPECT_EQ(r, BS_ERR);
  bs_close(s);
}

// Records whose header holds no second hash (written before it existed, or whose
// hash does not match) are compared byte for byte.
TEST_F(Collisions, RecordsWithoutTheSecondHashAreComparedByBytes) {
  const Bytes x = noise(2000, 1), y = noise(2000, 2);
  bs_store* s = open();
  ASSERT_EQ(bs_add_buffer(s, x.data(), x.size(), "x"), BS_OK);
  ASSERT_EQ(bs_close(s), BS_OK);
  Bytes f = readFile(path);
  put64(f, 256 + 24, 0);  // the first record's sequence field
  writeFile(path, f);
  s = open();
  ASSERT_EQ(bs_add_buffer(s, x.data(), x.size(), "same"), BS_OK);
  EXPECT_EQ(bs_get_stats(s).stored_chunks, 0u);
  EXPECT_EQ(bs_add_buffer(s, y.data(), y.size(), "other"), BS_ERR);
  EXPECT_EQ(restore(s, "same"), x);
  bs_close(s);
}

class Manifest : public StoreDir {};

// A manifest whose chunk list or size no longer matches the index fails verify (as
// a restore of that entry would), naming the entry; records no entry lists and dead
// ranges are only reported.
TEST_F(Manifest, VerifyChecksEntriesAgainstTheIndex) {
  bs_cfg cfg = smallCfg();
  bs_store* s = nullptr;
  ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
  Bytes a = noise(9000, 1), b = text(5000, 2);
  ASSERT_EQ(bs_add_buffer(s, a.data(), a.size(), "a"), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, b.data(), b.size(), "b"), BS_OK);
  ASSERT_EQ(bs_close(s), BS_OK);
  Bytes good = readFile(path);
  u64 entry0 = le64(good, 32) + 4;  // the manifest's first entry: "a"
  struct Case { const char* what; size_t at; u8 flip; const char* message; } cases[] = {
      {"chunk id", entry0 + 277 + 8, 0x10, "verify: entry 'a': chunk #2 (id="},
      {"size", entry0 + 256, 0x01, "verify: entry 'a': its chunks hold 9000 bytes, the entry says 9001"},
  };
  for (const Case& c : cases) {
    Bytes bad = good;
    bad[c.at] ^= c.flip;
    writeFile(path, bad);
    ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK) << c.what;
    testing::internal::CaptureStderr();
    EXPECT_EQ(bs_verify(s), BS_ERR) << c.what;
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(c.message), std::string::npos) << c.what << "\n" << log;
    EXPECT_NE(log.find("1 errors"), std::string::npos) << log;
    bs_status r;
    restore(s, "a", &r);
    EXPECT_EQ(r, BS_ERR) << c.what;
    EXPECT_EQ(restore(s, "b"), b);
    bs_close(s);
  }
  // Replaced chunks (dropped from the index by the flush verify makes) and the old
  // trailer: information only.
  writeFile(path, good);
  ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
  ASSERT_EQ(bs_add_buffer(s, b.data(), b.size(), "a"), BS_OK);
  testing::internal::CaptureStderr();
  EXPECT_EQ(bs_verify(s), BS_OK);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("verify: info: "), std::string::npos) << log;
  EXPECT_NE(log.find(" ranges hold no listed record or the trailer"), std::string::npos) << log;
  EXPECT_NE(log.find(" 0 errors"), std::string::npos) << log;
  bs_close(s);
}

}  // namespace
